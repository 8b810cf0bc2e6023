// The arm drawn with QPainter: a side view and a top view, the light, straining motors, and a pale
// ghost of the pose a program will leave it in.
#pragma once

#include <QRectF>
#include <QWidget>
#include <array>
#include <optional>

#include "arm_colours.h"
#include "motion/arm_model.h"

class QPainter;

namespace quillmar {

// What one picture of the arm shows.
struct ArmView {
    Pose pose = start_pose();
    bool light = false;
    std::array<bool, joint_count> straining{};
    std::optional<Pose> ghost;  // drawn translucent over the arm
};

ArmView view_at(const ArmModel& model, double time);

// Draws both views side by side into `area`, the side view on the left.
void draw_arm(QPainter& painter, const QRectF& area, const ArmView& view,
              const ArmColours& colours);

class ArmPicture : public QWidget {
    Q_OBJECT
  public:
    explicit ArmPicture(QWidget* parent = nullptr);
    void set_view(const ArmView& view);
    const ArmView& shown() const { return view; }
    // Framed in the highlight colour while the keys drive the arm.
    void set_framed(bool framed);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ArmView view;
    bool framed = false;
};

}  // namespace quillmar
