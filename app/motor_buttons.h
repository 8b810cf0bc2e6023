// The ten motor buttons: a quick click jogs, a press held past a threshold runs the motor until
// it is let go.
#pragma once

#include <array>
#include <chrono>

#include <QObject>
#include <QTimer>

#include "armlink/arm_command.h"
#include "motion/key_repeat_filter.h"
#include "session/arm_client.h"
#include "session/arm_session.h"

class QKeyEvent;
class QPushButton;
class QWidget;

namespace quillmar {

class MotorButtons : public QObject {
    Q_OBJECT
  public:
    // As long as a key waits before it repeats: a shorter press is a click.
    static constexpr std::chrono::milliseconds hold_threshold{300};

    // `buttons` by command number 1 to 10 (index 0 unused); `window` holds them.
    MotorButtons(const std::array<QPushButton*, last_command_number + 1>& buttons, ArmClient& hand,
                 QWidget& window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void on_pressed(int number);
    void on_released(int number);
    void on_clicked(int number);
    void start_hold();
    // Stop: a press that is not a hold yet never becomes one or a jog.
    void stop();
    // Space on a button, as the window system sent it: true when it was taken here.
    bool take_space(int number, const QKeyEvent& key);
    // A real press or release of Space on the button of `number` reaches the button.
    void pass_space(int number, bool press);

    std::array<QPushButton*, last_command_number + 1> buttons;
    ArmClient& hand;
    // Space held on a focused button repeats: only its first press and its last release reach
    // the button, by command number.
    KeyRepeatFilter space_repeats{[this](int number, bool press) { pass_space(number, press); }};
    QTimer threshold;
    int pressed_number = 0;  // whose press the threshold is timing
    int held_number = 0;     // whose hold is under way
    int spent_number = 0;    // whose press became a hold, or met Stop: its click is no jog
};

}  // namespace quillmar
