#include "arm_picture.h"

#include <QPainter>
#include <QRadialGradient>
#include <cmath>
#include <numbers>

namespace quillmar {

namespace {

// The drawn arm's proportions, in millimetres of a small toy arm.
constexpr double base_height = 60.0;
constexpr double base_radius = 45.0;
constexpr double upper_arm = 90.0;
constexpr double forearm = 85.0;
constexpr double hand = 35.0;
constexpr double finger = 24.0;
constexpr double joint_radius = 8.0;
constexpr double glow_radius = 55.0;
constexpr double strain_radius = 15.0;
// What each view shows: the side view from 40 mm under the table to 320 mm above it, both views
// 250 mm to either side of the base.
constexpr double scene_half_width = 250.0;
constexpr double side_scene_bottom = -40.0;
constexpr double side_scene_top = 320.0;

constexpr double ghost_opacity = 0.45;

struct Point3 {
    double forward;
    double left;
    double up;
};

// The arm's points in the room: the base turns the arm's plane, the other joints bend within it.
struct Skeleton {
    Point3 shoulder;
    Point3 elbow;
    Point3 wrist;
    Point3 palm;
    Point3 lamp;
    std::array<Point3, 2> finger_roots;
    std::array<Point3, 2> finger_tips;
};

double radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

double joint_value(const Pose& pose, Joint joint) {
    return pose.at(static_cast<std::size_t>(joint));
}

Skeleton skeleton_of(const Pose& pose) {
    const double turn = radians(joint_value(pose, Joint::base));
    // A point of the arm's plane: `reach` from the base's axis, `height` above the table.
    auto place = [turn](double reach, double height) {
        return Point3{reach * std::cos(turn), reach * std::sin(turn), height};
    };
    const double a1 = radians(joint_value(pose, Joint::shoulder));
    const double a2 = a1 + radians(joint_value(pose, Joint::elbow));
    const double a3 = a2 + radians(joint_value(pose, Joint::wrist));
    const double elbow_r = upper_arm * std::cos(a1);
    const double elbow_z = base_height + upper_arm * std::sin(a1);
    const double wrist_r = elbow_r + forearm * std::cos(a2);
    const double wrist_z = elbow_z + forearm * std::sin(a2);
    const double palm_r = wrist_r + hand * std::cos(a3);
    const double palm_z = wrist_z + hand * std::sin(a3);
    // The jaws open within the arm's plane, across the hand.
    const double half_opening = joint_value(pose, Joint::gripper) / 2.0 + 3.0;
    const double across_r = -std::sin(a3);
    const double across_z = std::cos(a3);
    Skeleton skeleton{};
    skeleton.shoulder = place(0.0, base_height);
    skeleton.elbow = place(elbow_r, elbow_z);
    skeleton.wrist = place(wrist_r, wrist_z);
    skeleton.palm = place(palm_r, palm_z);
    skeleton.lamp = place((wrist_r + palm_r) / 2.0, (wrist_z + palm_z) / 2.0);
    for (std::size_t side = 0; side < 2; ++side) {
        const double sign = side == 0 ? 1.0 : -1.0;
        const double root_r = palm_r + sign * half_opening * across_r;
        const double root_z = palm_z + sign * half_opening * across_z;
        skeleton.finger_roots.at(side) = place(root_r, root_z);
        skeleton.finger_tips.at(side) =
            place(root_r + finger * std::cos(a3), root_z + finger * std::sin(a3));
    }
    return skeleton;
}

// Maps room millimetres onto one panel of the picture.
class Projection {
  public:
    // `top_down`: seen from above with straight ahead upwards; otherwise seen from the arm's
    // right with straight ahead to the right.
    Projection(const QRectF& scene_area, bool top_down) : top_down(top_down) {
        const double scene_height =
            top_down ? 2.0 * scene_half_width : side_scene_top - side_scene_bottom;
        scale = std::min(scene_area.width() / (2.0 * scene_half_width),
                         scene_area.height() / scene_height);
        const double centre_x = scene_area.center().x();
        origin = top_down
                     ? QPointF(centre_x, scene_area.center().y())
                     : QPointF(centre_x, scene_area.center().y() +
                                             scale * (side_scene_top + side_scene_bottom) / 2.0);
    }
    QPointF operator()(const Point3& point) const {
        if (top_down) {
            return origin + QPointF(-point.left, -point.forward) * scale;
        }
        return origin + QPointF(point.forward, -point.up) * scale;
    }
    double length(double millimetres) const { return millimetres * scale; }

  private:
    bool top_down;
    double scale = 1.0;
    QPointF origin;
};

void draw_link(QPainter& painter, const Projection& project, const Point3& from, const Point3& to,
               double width, const QColor& colour) {
    painter.setPen(QPen(colour, project.length(width), Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(project(from), project(to));
}

void draw_joint(QPainter& painter, const Projection& project, const Point3& at,
                const ArmColours& colours) {
    painter.setPen(QPen(colours.body.darker(130), 1.0));
    painter.setBrush(colours.joint);
    const double r = project.length(joint_radius);
    painter.drawEllipse(project(at), r, r);
}

// A red ring with spikes around a joint whose motor runs against its limit.
void draw_strain(QPainter& painter, const Projection& project, const Point3& at,
                 const QColor& colour) {
    const QPointF centre = project(at);
    const double r = project.length(strain_radius);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(colour, std::max(2.0, r / 5.0), Qt::SolidLine, Qt::RoundCap));
    painter.drawEllipse(centre, r, r);
    constexpr int spikes = 8;
    for (int spike = 0; spike < spikes; ++spike) {
        const double angle = 2.0 * std::numbers::pi * spike / spikes;
        const QPointF direction(std::cos(angle), std::sin(angle));
        painter.drawLine(centre + direction * (r * 1.25), centre + direction * (r * 1.7));
    }
}

void draw_glow(QPainter& painter, const Projection& project, const Point3& at,
               const QColor& colour) {
    const QPointF centre = project(at);
    const double r = project.length(glow_radius);
    QRadialGradient gradient(centre, r);
    QColor inner = colour;
    inner.setAlpha(230);
    QColor outer = colour;
    outer.setAlpha(0);
    gradient.setColorAt(0.0, inner);
    gradient.setColorAt(0.35, inner);
    gradient.setColorAt(1.0, outer);
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawEllipse(centre, r, r);
}

// The links, the jaws and the joints; in one colour for a ghost.
void draw_body(QPainter& painter, const Projection& project, const Skeleton& arm,
               const ArmColours& colours, const std::optional<QColor>& ghost) {
    const QColor body = ghost.value_or(colours.body);
    const QColor fingers = ghost.value_or(colours.finger);
    draw_link(painter, project, arm.shoulder, arm.elbow, 14.0, body);
    draw_link(painter, project, arm.elbow, arm.wrist, 12.0, body);
    draw_link(painter, project, arm.wrist, arm.palm, 10.0, body);
    draw_link(painter, project, arm.finger_roots[0], arm.finger_roots[1], 5.0, fingers);
    for (std::size_t side = 0; side < 2; ++side) {
        draw_link(painter, project, arm.finger_roots.at(side), arm.finger_tips.at(side), 5.0,
                  fingers);
    }
    if (!ghost) {
        draw_joint(painter, project, arm.shoulder, colours);
        draw_joint(painter, project, arm.elbow, colours);
        draw_joint(painter, project, arm.wrist, colours);
    }
}

void draw_view(QPainter& painter, const QRectF& panel, const QString& caption, bool top_down,
               const ArmView& view, const ArmColours& colours) {
    painter.setPen(QPen(colours.frame, 1.0));
    painter.setBrush(colours.background);
    painter.drawRect(panel.adjusted(0.5, 0.5, -0.5, -0.5));
    const QFontMetricsF metrics(painter.font());
    const QRectF caption_box(panel.left(), panel.top() + 4.0, panel.width(), metrics.height());
    painter.setPen(colours.text);
    painter.drawText(caption_box, Qt::AlignHCenter | Qt::AlignTop, caption);

    const QRectF scene_area = panel.adjusted(6.0, caption_box.height() + 8.0, -6.0, -6.0);
    const Projection project(scene_area, top_down);
    const Skeleton arm = skeleton_of(view.pose);
    const Point3 centre{0.0, 0.0, 0.0};
    painter.save();
    painter.setClipRect(scene_area);

    if (top_down) {
        // Straight ahead, for reference.
        painter.setPen(QPen(colours.frame, 1.0, Qt::DashLine));
        painter.drawLine(project(centre), project({scene_half_width, 0.0, 0.0}));
        painter.setPen(QPen(colours.body.darker(130), 1.0));
        painter.setBrush(colours.joint.lighter(120));
        const double r = project.length(base_radius);
        painter.drawEllipse(project(centre), r, r);
    } else {
        painter.setPen(QPen(colours.ground, 2.0));
        painter.drawLine(QPointF(scene_area.left(), project(centre).y()),
                         QPointF(scene_area.right(), project(centre).y()));
        painter.setPen(QPen(colours.body.darker(130), 1.0));
        painter.setBrush(colours.joint.lighter(120));
        painter.drawRect(
            QRectF(project({-base_radius, 0.0, base_height}), project({base_radius, 0.0, 0.0})));
    }
    if (view.light) {
        draw_glow(painter, project, arm.lamp, colours.glow);
    }
    draw_body(painter, project, arm, colours, std::nullopt);

    painter.setPen(QPen(colours.finger, 1.0));
    painter.setBrush(view.light ? colours.glow.lighter(115) : colours.lamp_off);
    const double lamp_r = project.length(6.0);
    painter.drawEllipse(project(arm.lamp), lamp_r, lamp_r);

    const std::array<Point3, joint_count> strain_points{
        top_down ? centre : Point3{0.0, 0.0, base_height / 2.0}, arm.shoulder, arm.elbow, arm.wrist,
        arm.palm};
    for (std::size_t joint = 0; joint < joint_count; ++joint) {
        if (view.straining.at(joint)) {
            draw_strain(painter, project, strain_points.at(joint), colours.red);
        }
    }
    if (view.ghost) {
        painter.setOpacity(ghost_opacity);
        draw_body(painter, project, skeleton_of(*view.ghost), colours, colours.ghost);
    }
    painter.restore();
}

}  // namespace

ArmView view_at(const ArmModel& model, double time) {
    ArmView view;
    view.pose = model.pose_at(time);
    view.light = model.light_on();
    for (const auto& row : joint_table) {
        view.straining.at(static_cast<std::size_t>(row.joint)) = model.straining(row.joint, time);
    }
    return view;
}

void draw_arm(QPainter& painter, const QRectF& area, const ArmView& view,
              const ArmColours& colours) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    constexpr double gap = 8.0;
    const double panel_width = (area.width() - gap) / 2.0;
    const QRectF side(area.left(), area.top(), panel_width, area.height());
    const QRectF top(area.left() + panel_width + gap, area.top(), panel_width, area.height());
    draw_view(painter, side, QStringLiteral("Side view"), false, view, colours);
    draw_view(painter, top, QStringLiteral("Top view"), true, view, colours);
    painter.restore();
}

ArmPicture::ArmPicture(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ArmPicture::set_view(const ArmView& new_view) {
    view = new_view;
    update();
}

void ArmPicture::set_framed(bool now_framed) {
    if (framed != now_framed) {
        framed = now_framed;
        update();
    }
}

QSize ArmPicture::sizeHint() const {
    return {640, 300};
}

void ArmPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    draw_arm(painter, QRectF(rect()), view, arm_colours(palette()));
    if (framed) {
        painter.setPen(QPen(palette().color(QPalette::Active, QPalette::Highlight), 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(rect()).adjusted(1.0, 1.0, -1.0, -1.0));
    }
}

}  // namespace quillmar
