// The "Virtual arm" window: the arm's picture, its joint readings and a "Reset pose" button.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "arm_model.h"
#include "arm_picture.h"

class QLabel;
class QPushButton;

namespace quillmar {

class VirtualArmWindow : public QWidget {
    Q_OBJECT
  public:
    // Frame interval while a joint travels; the window is not redrawn while the arm stands.
    static constexpr int frame_ms = 16;

    // `clock` is the clock of the arm's commands (monotonic seconds).
    VirtualArmWindow(ArmModel& model, std::function<double()> clock, QWidget* parent = nullptr);

    // Shows the window just right of `main_window`, tops aligned. When the screen has no room
    // there, the main window moves left so that both fit side by side.
    void show_beside(QWidget& main_window);

    bool animating() const { return frames.isActive(); }
    const ArmPicture& picture() const { return *arm_picture; }
    QString reading(Joint joint) const;

  private:
    // Shows the arm as it is now, and keeps the frames going only while a joint travels.
    void refresh();

    ArmModel& model;
    std::function<double()> clock;
    ArmPicture* arm_picture = nullptr;
    std::array<QLabel*, joint_count> readings{};
    QLabel* light_reading = nullptr;
    QPushButton* reset = nullptr;
    QTimer frames;
};

}  // namespace quillmar
