// The light's two values, kept once by the arm's session and read through references below it.
#pragma once

namespace quillmar {

struct ArmLight {
    // The light button's state: its next click switches the light the other way. It outlives a
    // release, as the button never learns that the arm let its light go.
    bool toggle = false;
    // The indicator: ticked shows the light on, and it is the light byte of every command.
    bool indicator = false;
};

}  // namespace quillmar
