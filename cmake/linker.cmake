# Links with LLVM's lld, or else with gold, where the compiler can use it: each test program links
# every room and Qt, and ld.bfd spends about four times the processor time of lld on it (gold
# twice). GCC's cross compiler finds no lld, so the arm64 build links with its gold.
include(CheckLinkerFlag)
foreach(linker lld gold)
    check_linker_flag(CXX -fuse-ld=${linker} QUILLMAR_LINKER_${linker})
    if(QUILLMAR_LINKER_${linker})
        add_link_options(-fuse-ld=${linker})
        break()
    endif()
endforeach()
