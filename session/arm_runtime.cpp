#include "arm_runtime.h"

#include <QFile>
#include <QStandardPaths>
#include <cstdio>

#include "motion/speed_settings.h"
#include "text/plain_file.h"

namespace quillmar {

std::unique_ptr<QSettings> remembered_settings() {
    constexpr qint64 largest_settings_file = 64 * 1024;
    const QString name = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QStringLiteral("/quillmar/quillmar.conf");
    const PlainFile file = read_plain_file(QFile::encodeName(name), largest_settings_file);
    if (file.refusal == PlainFile::Refusal::none || file.refusal == PlainFile::Refusal::missing) {
        return std::make_unique<QSettings>(name, QSettings::IniFormat);
    }
    const QString reason = file.refusal == PlainFile::Refusal::too_large
                               ? name + QStringLiteral(" is larger than 64 KiB")
                               : refusal_text(file.refusal, name, file.system_error);
    std::fputs(qPrintable(QStringLiteral("quillmar: settings ignored: ") + reason + u'\n'), stderr);
    return nullptr;
}

ArmRuntime::ArmRuntime(bool virtual_arm, std::optional<double> virtual_speed)
    : bus(virtual_arm, event_pacer),
      // A virtual arm of other speeds than the table's is estimated as a real arm is.
      arm_source(virtual_speed && virtual_arm ? ArmSource::commands_sent : bus.source()),
      kept(remembered_settings()) {
    if (virtual_speed && bus.virtual_arm()) {
        truth = std::make_unique<ArmModel>(event_pacer.now(),
                                           JointSpeeds::built_in().scaled(*virtual_speed));
        truth->follow(*bus.virtual_arm());
    }
    arm_session = std::make_unique<ArmSession>(bus.usb(), event_pacer, arm_source, bus.presence());
    if (bus.virtual_arm() && !truth) {
        arm_session->model().follow(*bus.virtual_arm());
    }
    if (!bus.virtual_arm()) {
        arm_session->use_arm_lock(default_lock_folder());
    }
    if (kept) {
        arm_session->set_soft_limits(
            kept->value(settings_group() + QStringLiteral("/soft_limits"), true).toBool());
        arm_session->set_joint_speeds(
            read_joint_speeds(*kept, settings_group() + QStringLiteral("/speeds")));
    }
}

ArmRuntime::~ArmRuntime() = default;

QString ArmRuntime::settings_group() const {
    return virtual_arm() ? QStringLiteral("virtual_arm") : QStringLiteral("arm");
}

std::vector<NamedPose> ArmRuntime::named_poses() const {
    return kept ? read_named_poses(*kept, settings_group() + QStringLiteral("/poses"))
                : std::vector<NamedPose>{};
}

std::optional<QString> ArmRuntime::start_up() {
    if (const auto started = arm_session->start_up(); !started) {
        return start_failure(started.error());
    }
    return std::nullopt;
}

QString ArmRuntime::start_failure(UsbError error) const {
    return usb_start_failure(error, bus.init_error_text());
}

}  // namespace quillmar
