// What the arm link tells the window: its messages, its errors and the light indicator.
#pragma once

#include <QString>

namespace quillmar {

class ArmReports {
  public:
    virtual ~ArmReports() = default;

    // Append text and CR LF to the message / error pane; the caret then goes to the end.
    virtual void show_message(const QString& text) = 0;
    virtual void show_error(const QString& text) = 0;

    // The light indicator changed: ticked shows the light on.
    virtual void set_light_indicator(bool ticked) = 0;
};

}  // namespace quillmar
