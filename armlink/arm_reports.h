// What the arm link, the jog buttons, the runner and the program files see of the main window.
#pragma once

#include <QString>
#include <cstdint>

namespace quillmar {

class Console {
  public:
    virtual ~Console() = default;

    // Append text and CR LF to the message / error pane; the caret then goes to the end.
    virtual void show_message(const QString& text) = 0;
    virtual void show_error(const QString& text) = 0;

    // The light indicator: 1 ticked, 0 clear. It is the light byte of every start and stop.
    virtual int light_indicator() const = 0;
    virtual void set_light_indicator(int value) = 0;

    // The program pane's text, lines ended by CR LF.
    virtual QString program_text() const = 0;
    virtual void set_program_text(const QString& text) = 0;

    // A run locks the program pane, the controls frame and the file buttons, in that order, and
    // unlocks the frame, the file buttons and the pane, in that order.
    virtual void lock_for_run() = 0;
    virtual void unlock_after_run() = 0;
    virtual void focus_stop() = 0;
};

// The light byte of a start or stop command: the indicator as it stands now.
inline std::uint8_t light_byte(const Console& console) {
    return static_cast<std::uint8_t>(console.light_indicator());
}

}  // namespace quillmar
