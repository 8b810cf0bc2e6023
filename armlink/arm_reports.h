// What the arm link tells the window, and the light indicator it reads every command's light from.
#pragma once

#include <QString>

namespace quillmar {

class ArmReports {
  public:
    virtual ~ArmReports() = default;

    // Append text and CR LF to the message / error pane; the caret then goes to the end.
    virtual void show_message(const QString& text) = 0;
    virtual void show_error(const QString& text) = 0;

    // Ticked shows the light on. It is also the light byte of every start and stop command.
    virtual bool light_indicator() const = 0;
    virtual void set_light_indicator(bool ticked) = 0;
};

}  // namespace quillmar
