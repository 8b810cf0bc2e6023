#include "arm_runtime.h"

#include <QFile>
#include <QStandardPaths>
#include <cstdio>

#include "arm_lock.h"
#include "armlink/arm_device.h"
#include "armlink/arm_ids.h"
#include "motion/event_pacer.h"
#include "motion/speed_settings.h"
#include "survey/device_survey.h"
#include "text/plain_file.h"
#include "usb/emulated_bus.h"
#include "usb/libusb_bus.h"
#include "usb/udev_presence.h"

namespace quillmar {

namespace {

QString usb_start_failure(UsbError error, const QString& library_text) {
    return QStringLiteral("The USB library could not be started (error %1).\n%2")
        .arg(error_code(error))
        .arg(library_text);
}

// The bus a front end drives its arm on: the real USB bus, where arms are heard being plugged in
// and pulled out, or the virtual arm on an emulated bus.
class ArmBus {
  public:
    // The virtual arm's bus keeps its time by `pacer`.
    ArmBus(bool virtual_arm, const Pacer& pacer) {
        if (virtual_arm) {
            emulated =
                std::make_unique<EmulatedBus>([&pacer] { return pacer.now(); }, hub_and_arm());
        } else {
            libusb = std::make_unique<LibusbBus>();
            udev = std::make_unique<UdevPresence>(arm_vendor_id, arm_product_id);
        }
    }

    UsbBus& usb() { return emulated ? static_cast<UsbBus&>(*emulated) : *libusb; }
    // Null on the real bus.
    EmulatedBus* virtual_arm() const { return emulated.get(); }
    // Null on the virtual arm's bus: only a real arm is plugged in and pulled out.
    DevicePresence* presence() const { return udev.get(); }
    // The virtual arm's model is the emulated arm; a real arm's is estimated from every command
    // sent.
    ArmSource source() const {
        return emulated ? ArmSource::virtual_arm : ArmSource::commands_sent;
    }
    // The USB library's own words on a failed start; empty for the virtual arm.
    QString init_error_text() const { return libusb ? libusb->init_error_text() : QString(); }

  private:
    std::unique_ptr<EmulatedBus> emulated;
    std::unique_ptr<LibusbBus> libusb;
    std::unique_ptr<UdevPresence> udev;
};

}  // namespace

struct ArmRuntime::Parts {
    explicit Parts(bool virtual_arm) : bus(virtual_arm, pacer) {}

    EventPacer pacer;
    ArmBus bus;
};

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
    : parts(std::make_unique<Parts>(virtual_arm)),
      // A virtual arm of other speeds than the table's is estimated as a real arm is.
      arm_source(virtual_speed && virtual_arm ? ArmSource::commands_sent : parts->bus.source()),
      kept(remembered_settings()) {
    ArmBus& bus = parts->bus;
    if (virtual_speed && bus.virtual_arm()) {
        truth = std::make_unique<ArmModel>(parts->pacer.now(),
                                           JointSpeeds::built_in().scaled(*virtual_speed));
        truth->follow(*bus.virtual_arm());
    }
    arm_session = std::make_unique<ArmSession>(bus.usb(), parts->pacer, arm_source, bus.presence());
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

bool ArmRuntime::virtual_arm() const {
    return parts->bus.virtual_arm() != nullptr;
}

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
    return usb_start_failure(error, parts->bus.init_error_text());
}

DeviceListing list_devices(bool virtual_arm) {
    // The library's own words on a failed start are known only after it.
    const auto survey = [](UsbBus& usb, const LibusbBus* libusb) {
        if (const auto started = usb.initialise(); !started) {
            return DeviceListing{
                {},
                usb_start_failure(started.error(), libusb ? libusb->init_error_text() : QString())};
        }
        // The level that the window's start sets before its survey.
        usb.set_debug_level(255);
        return DeviceListing{DeviceSurvey(usb).list_devices(), std::nullopt};
    };
    if (virtual_arm) {
        EmulatedBus usb([] { return 0.0; }, hub_and_arm());
        return survey(usb, nullptr);
    }
    LibusbBus usb;
    return survey(usb, &usb);
}

}  // namespace quillmar
