// Tests built for another kind of processor run under the emulator named in QUILLMAR_EMULATOR.
#pragma once

#include <QtGlobal>

namespace quillmar::testing {

// Under an emulator, times say nothing about a real processor, and QProcess cannot start a child
// (qemu-user refuses the clone flags that it uses).
inline bool under_emulation() {
    return qEnvironmentVariableIsSet("QUILLMAR_EMULATOR");
}

}  // namespace quillmar::testing
