// The ten motor buttons: a quick click jogs, a press held past a threshold runs the motor until
// it is let go.
#pragma once

#include <array>
#include <chrono>

#include <QObject>
#include <QTimer>

#include "armlink/arm_command.h"
#include "session/arm_session.h"

class QPushButton;
class QWidget;

namespace quillmar {

class MotorButtons : public QObject {
    Q_OBJECT
  public:
    // As long as a key waits before it repeats: a shorter press is a click.
    static constexpr std::chrono::milliseconds hold_threshold{300};

    // `buttons` by command number 1 to 10 (index 0 unused); `window` holds them.
    MotorButtons(const std::array<QPushButton*, last_command_number + 1>& buttons,
                 ArmSession& session, QWidget& window);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void on_pressed(int number);
    void on_released(int number);
    void on_clicked(int number);
    void start_hold();
    // Stop: a press that is not a hold yet never becomes one or a jog.
    void stop();

    ArmSession& session;
    QTimer threshold;
    int pressed_number = 0;  // whose press the threshold is timing
    int held_number = 0;     // whose hold is under way
    int spent_number = 0;    // whose press became a hold, or met Stop: its click is no jog
};

}  // namespace quillmar
