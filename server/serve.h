// `quillmar serve`: the arm and its local interface, without a window.
#pragma once

namespace quillmar {

// Serves the arm, virtual or real, until a signal ends it; the exit status. The application
// object is the caller's.
int serve(bool virtual_arm);

}  // namespace quillmar
