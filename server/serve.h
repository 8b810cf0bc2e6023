// `quillmar serve`: the arm and its local interface, without a window.
#pragma once

namespace quillmar {

// Serves until a signal ends it; the exit status.
int serve_main(int argc, char* argv[]);

}  // namespace quillmar
