#include "pad_mapping.h"

#include "motion/arm_model.h"

namespace quillmar {

QStringList pad_legend() {
    QStringList legend;
    for (const JointRow& row : joint_table) {
        QStringList controls;
        for (const HeldInput& up : held_inputs) {
            if (up.command != row.increasing_command) {
                continue;
            }
            for (const HeldInput& down : held_inputs) {
                if (down.command == row.decreasing_command &&
                    QLatin1String(down.control) == QLatin1String(up.control) &&
                    (down.axis == no_axis) == (up.axis == no_axis)) {
                    controls << QString::fromUtf8(up.control) + QString::fromUtf8(up.way) +
                                    QLatin1Char(' ') + QString::fromUtf8(down.way);
                }
            }
        }
        legend << QString::fromUtf8(row.name) + QStringLiteral(": ") +
                      controls.join(QStringLiteral(", "));
    }
    for (const ActionButton& button : action_buttons) {
        legend << QString::fromUtf8(button.label) + QStringLiteral(": ") +
                      QString::fromUtf8(button.what);
    }
    return legend;
}

}  // namespace quillmar
