#include "virtual_arm_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

namespace quillmar {

namespace {

const QString strain_style = QStringLiteral("color: rgb(220, 30, 30); font-weight: bold;");

QString reading_text(const JointRow& row, double value, bool straining) {
    const QString unit = QString::fromUtf8(row.unit);
    // A degree sign follows its number; a unit in letters stands apart.
    QString text = QString::number(value, 'f', 1) +
                   (unit == QStringLiteral("°") ? unit : QLatin1Char(' ') + unit);
    if (straining) {
        text += QObject::tr(" at limit, straining");
    }
    return text;
}

}  // namespace

VirtualArmWindow::VirtualArmWindow(ArmModel& model, std::function<double()> clock, QWidget* parent)
    : QWidget(parent), model(model), clock(std::move(clock)) {
    setWindowTitle(tr("Virtual arm"));
    arm_picture = new ArmPicture(this);

    auto* numbers = new QGridLayout;
    numbers->setHorizontalSpacing(12);
    for (const auto& joint : joint_table) {
        const auto index = static_cast<int>(joint.joint);
        // Two columns of name and reading: base, shoulder, elbow left; wrist, gripper, light right.
        const int row = index % 3;
        const int column = (index / 3) * 2;
        numbers->addWidget(new QLabel(QString::fromUtf8(joint.name) + QLatin1Char(':'), this), row,
                           column);
        auto* label = new QLabel(this);
        label->setMinimumWidth(fontMetrics().horizontalAdvance(reading_text(joint, -888.8, true)));
        readings.at(static_cast<std::size_t>(index)) = label;
        numbers->addWidget(label, row, column + 1);
    }
    numbers->addWidget(new QLabel(tr("Light:"), this), 2, 2);
    light_reading = new QLabel(this);
    numbers->addWidget(light_reading, 2, 3);
    numbers->setColumnStretch(1, 1);
    numbers->setColumnStretch(3, 1);

    reset = new QPushButton(tr("Reset pose"), this);
    reset->setObjectName(QStringLiteral("resetpose"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(reset);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(arm_picture);
    layout->addLayout(numbers);
    layout->addLayout(buttons);

    frames.setInterval(frame_ms);
    connect(&frames, &QTimer::timeout, this, &VirtualArmWindow::refresh);
    connect(&model, &ArmModel::changed, this, &VirtualArmWindow::refresh);
    connect(reset, &QPushButton::clicked, this, [this] { this->model.reset_pose(this->clock()); });
    refresh();
}

void VirtualArmWindow::show_beside(QWidget& main_window) {
    constexpr int gap = 12;
    show();
    const QRect main_frame = main_window.frameGeometry();
    const int width = frameGeometry().width();
    if (const QScreen* display = main_window.screen()) {
        const QRect room = display->availableGeometry();
        if (main_frame.right() + gap + width > room.right()) {
            const int pair_width = main_frame.width() + gap + width;
            const int left = std::max(room.left(), room.center().x() - pair_width / 2);
            main_window.move(left, main_frame.top());
        }
    }
    const QRect placed = main_window.frameGeometry();
    move(placed.right() + 1 + gap, placed.top());
}

QString VirtualArmWindow::reading(Joint joint) const {
    return readings.at(static_cast<std::size_t>(joint))->text();
}

void VirtualArmWindow::refresh() {
    const double now = clock();
    const ArmView view = view_at(model, now);
    arm_picture->set_view(view);
    for (const auto& row : joint_table) {
        const auto index = static_cast<std::size_t>(row.joint);
        QLabel* label = readings.at(index);
        label->setText(reading_text(row, view.pose.at(index), view.straining.at(index)));
        const QString style = view.straining.at(index) ? strain_style : QString();
        if (label->styleSheet() != style) {
            label->setStyleSheet(style);
        }
    }
    light_reading->setText(view.light ? tr("on") : tr("off"));
    if (!model.moving(now)) {
        frames.stop();
    } else if (!frames.isActive()) {
        frames.start();
    }
}

}  // namespace quillmar
