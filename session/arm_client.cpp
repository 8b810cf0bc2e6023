#include "arm_client.h"

#include "arm_session.h"
#include "armlink/arm_command.h"

namespace quillmar {

namespace {

QString caption_of(int command) {
    return QString::fromLatin1(command_table.at(static_cast<std::size_t>(command)).caption);
}

// " (by NAME)" when the holder is known.
QString by_whom(const QString& holder) {
    return holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder);
}

}  // namespace

QString Refusal::text() const {
    switch (why) {
        case Why::no_arm:
            return QStringLiteral("No arm is attached");
        case Why::arm_attached:
            return QStringLiteral("An arm is attached already");
        case Why::moving_by_hand:
            return QStringLiteral("The arm is busy: it is moved by hand") + by_whom(holder);
        case Why::running:
            return QStringLiteral("The arm is busy: a program runs") + by_whom(holder);
        case Why::going_back:
            return QStringLiteral("The arm is busy: it goes to a pose") + by_whom(holder);
        case Why::other_client:
            return QStringLiteral("Another script drives the arm: ") + holder;
        case Why::stopped_by_user:
            return QStringLiteral("Stopped by the user");
        case Why::not_responding:
            return QStringLiteral("Not responding: a motor may be running");
        case Why::shutting_down:
            return QStringLiteral("Quillmar is closing");
        case Why::opposite_held:
            return QStringLiteral("%1 refused: %2 runs the same motor the other way")
                .arg(caption_of(command.value_or(0)),
                     caption_of(opposite_command(command.value_or(0))));
        case Why::one_at_a_time:
            return QStringLiteral("%1 refused: Record takes one motor at a time")
                .arg(caption_of(command.value_or(0)));
        case Why::keys_held:
            return QStringLiteral("Let the keys go first");
        case Why::no_such_step:
            return QStringLiteral("The program has no such step");
        case Why::taking_over:
            return QStringLiteral("A script was stopped: you drive the arm");
    }
    return {};
}

ArmClient::ArmClient(ArmSession& session, ClientKind kind, QString name, QObject* parent)
    : QObject(parent), arm(session), client_kind(kind), client_name(std::move(name)) {}

ArmClient::~ArmClient() {
    arm.forget(*this);
}

bool ArmClient::at_the_arm() const {
    return client_kind == ClientKind::main_window || client_kind == ClientKind::arm_window ||
           client_kind == ClientKind::pad;
}

Answer<> ArmClient::attach() {
    return arm.attach(*this);
}

Answer<> ArmClient::release() {
    return arm.release(*this);
}

Answer<double> ArmClient::jog(int command_number) {
    return arm.jog(*this, command_number);
}

Answer<HoldOutcome> ArmClient::hold(int command_number) {
    return arm.hold(*this, command_number, std::nullopt);
}

Answer<HoldOutcome> ArmClient::hold_for(int command_number, double seconds) {
    return arm.hold(*this, command_number, seconds);
}

void ArmClient::let_go() {
    arm.let_go(*this);
}

Answer<> ArmClient::press_key(int command_number) {
    return arm.press_key(*this, command_number);
}

void ArmClient::release_key(int command_number) {
    arm.release_key(*this, command_number);
}

void ArmClient::focus_lost() {
    arm.focus_lost(*this);
}

Answer<bool> ArmClient::light() {
    return arm.light(*this, std::nullopt);
}

Answer<bool> ArmClient::set_light(bool on) {
    return arm.light(*this, on);
}

Answer<std::optional<int>> ArmClient::run(const QString& text, Direction direction) {
    return arm.run(*this, text, direction);
}

Answer<int> ArmClient::repeat(const QString& text, Direction direction, int times,
                              bool back_between) {
    return arm.repeat(*this, text, direction, times, back_between);
}

Answer<int> ArmClient::step(const QString& text, int index) {
    return arm.step(*this, text, index);
}

void ArmClient::stop() {
    arm.stop(*this);
}

Answer<WayEnd> ArmClient::back_to_start() {
    return arm.back_to_start(*this);
}

Answer<WayEnd> ArmClient::go_to(const Pose& pose) {
    return arm.go_to(*this, pose);
}

Answer<WayEnd> ArmClient::find_end(Joint joint, int drive, double seconds) {
    return arm.find_end(*this, joint, drive, seconds);
}

void ArmClient::when_still(std::function<void()> action) {
    arm.when_still(std::move(action));
}

void ArmClient::resume() {
    arm.resume(*this);
}

void ArmClient::release_drive() {
    arm.release_drive(*this);
}

}  // namespace quillmar
