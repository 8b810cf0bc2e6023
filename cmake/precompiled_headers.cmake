# Precompiled Qt headers for every library and program of the tree that uses Qt, so that each
# source does not parse them again. A precompiled header serves a compilation only where the
# macros it looks at are defined the same way: Qt Test's headers look at QT_GUI_LIB,
# QT_WIDGETS_LIB and QT_NETWORK_LIB, the others at none of the modules' macros. So the targets are
# grouped by the headers they get and the macros those headers see, and each group reuses the
# header of one small library made for it. A target whose sources must include something before
# Qt's headers sets DISABLE_PRECOMPILE_HEADERS. GCC only: clang's fuzz build compiles too little to
# gain from it.

# The headers of each module that nearly every source of a target using it includes.
set(quillmar_pch_Core <QByteArray> <QObject> <QString> <QStringList> <QTimer>)
set(quillmar_pch_Widgets <QApplication> <QWidget>)
set(quillmar_pch_Test <QSignalSpy> <QTest>)

# quillmar_qt_modules(TARGET VAR): the Qt modules whose compile flags reach TARGET, directly or
# through the libraries it links, sorted. Link-only dependencies ($<LINK_ONLY:...>) bring none.
# A module that a room finds for itself is not a target here, but its macro reaches TARGET all the
# same.
function(quillmar_qt_modules target var)
    get_target_property(queue ${target} LINK_LIBRARIES)
    set(seen)
    set(modules)
    while(queue)
        list(POP_FRONT queue library)
        if(library MATCHES "^\\$<" OR library IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${library})
        if(library MATCHES "^Qt6::([A-Za-z]+)$")
            list(APPEND modules ${CMAKE_MATCH_1})
        elseif(NOT TARGET ${library})
            continue()
        endif()
        if(TARGET ${library})
            get_target_property(next ${library} INTERFACE_LINK_LIBRARIES)
            if(next)
                list(APPEND queue ${next})
            endif()
        endif()
    endwhile()
    list(SORT modules)
    set(${var} ${modules} PARENT_SCOPE)
endfunction()

# quillmar_targets(DIR VAR): the libraries and programs defined in DIR and below.
function(quillmar_targets dir var)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    foreach(subdir IN LISTS subdirs)
        quillmar_targets(${subdir} below)
        list(APPEND targets ${below})
    endforeach()
    set(${var} ${targets} PARENT_SCOPE)
endfunction()

# quillmar_precompile_headers(): gives every library and program of the tree its group's header.
function(quillmar_precompile_headers)
    # Qt Test passes each test its own folders as macros for QFINDTESTDATA, which no test here
    # uses; they would keep one test from reusing another's header, and keep a clone of the
    # repository elsewhere from reusing the compiler cache.
    get_target_property(test_macros Qt6::Test INTERFACE_COMPILE_DEFINITIONS)
    list(FILTER test_macros EXCLUDE REGEX "^QT_TESTCASE_(BUILD|SOURCE)DIR=")
    set_target_properties(Qt6::Test PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${test_macros}")
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR CMAKE_DISABLE_PRECOMPILE_HEADERS)
        return()
    endif()
    set(empty ${PROJECT_BINARY_DIR}/precompiled/empty.cpp)
    file(CONFIGURE OUTPUT ${empty} CONTENT "// Holds a precompiled header.\n")
    quillmar_targets(${PROJECT_SOURCE_DIR} targets)
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        get_target_property(disabled ${target} DISABLE_PRECOMPILE_HEADERS)
        if(NOT type MATCHES "^(STATIC_LIBRARY|EXECUTABLE)$" OR disabled)
            continue()
        endif()
        quillmar_qt_modules(${target} modules)
        if(NOT "Core" IN_LIST modules)
            continue()
        endif()
        set(group Core)
        if("Widgets" IN_LIST modules)
            list(APPEND group Widgets)
        endif()
        if("Test" IN_LIST modules)
            list(APPEND group Test)
            foreach(module Gui Network)
                if(module IN_LIST modules)
                    list(APPEND group ${module})
                endif()
            endforeach()
        endif()
        list(JOIN group "_" name)
        set(holder quillmar_pch_${name})
        if(NOT TARGET ${holder})
            add_library(${holder} STATIC ${empty})
            set_target_properties(${holder} PROPERTIES AUTOMOC OFF)
            set(headers)
            foreach(module IN LISTS group)
                if(TARGET Qt6::${module})
                    target_link_libraries(${holder} PRIVATE Qt6::${module})
                else()
                    string(TOUPPER "QT_${module}_LIB" macro)
                    target_compile_definitions(${holder} PRIVATE ${macro})
                endif()
                list(APPEND headers ${quillmar_pch_${module}})
            endforeach()
            target_precompile_headers(${holder} PRIVATE ${headers})
        endif()
        target_precompile_headers(${target} REUSE_FROM ${holder})
    endforeach()
endfunction()
