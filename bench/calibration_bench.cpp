// How far the estimate strays from a virtual arm that truly runs at 0.8 times the joint table's
// speeds, at the end of a 60 s scripted session of holds: before and after the arm window's
// calibration timed each joint from holds that the user lets go 0.15 s after the joint stopped.
// In virtual time; not a test.
#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "armlink/arm_device.h"
#include "armwindow/arm_tools.h"
#include "motion/speed_settings.h"
#include "session/arm_client.h"
#include "support/fake_pacer.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

constexpr double true_factor = 0.8;
constexpr double reaction = 0.15;

struct Hold {
    int command;
    double seconds;
};

// About a minute of moving by hand: every joint both ways, some holds into an end.
const std::vector<Hold> script{
    {9, 3.0},  {8, 2.0}, {6, 4.0}, {3, 2.0}, {2, 1.5}, {10, 5.0}, {5, 3.0},
    {4, 3.0},  {1, 2.0}, {7, 4.0}, {9, 2.5}, {6, 3.0}, {3, 1.5},  {2, 2.0},
    {10, 1.0}, {8, 3.0}, {5, 2.0}, {4, 1.0}, {1, 3.0}, {7, 1.5},
};

struct TrueArm {
    TrueArm() : truth(pacer.now(), JointSpeeds::built_in().scaled(true_factor)) {
        truth.follow(usb);
        session.start_up();
    }
    // A hold longer than a hold may last is made as several, as a user would.
    void hold(int command, double seconds) {
        constexpr double longest = 10.0;
        for (double left = seconds; left > 0; left -= longest) {
            pacer.at(pacer.now() + std::min(left, longest), [this] { hand.let_go(); });
            hand.hold(command);
        }
    }
    testing::FakePacer pacer;
    EmulatedBus usb{[this] { return pacer.now(); }, hub_and_arm()};
    ArmModel truth;
    ArmSession session{usb, pacer, ArmSource::commands_sent};
    ArmClient hand{session, ClientKind::main_window, QStringLiteral("bench")};
};

// Runs the script from the start pose, both set as where the arm stands, and prints how far the
// estimate is from the truth at its end.
void run_script(TrueArm& arm, const char* title) {
    arm.session.set_start_pose();
    arm.truth.reset_pose(arm.pacer.now());
    const double start = arm.pacer.now();
    for (const Hold& hold : script) {
        arm.hold(hold.command, hold.seconds);
        arm.pacer.wait(arm.pacer.now(), 0.5, [] { return false; });
    }
    std::printf("%-22s after %.1f s:", title, arm.pacer.now() - start);
    for (const auto& row : joint_table) {
        const double error = std::abs(arm.session.model().position_at(row.joint, arm.pacer.now()) -
                                      arm.truth.position_at(row.joint, arm.pacer.now()));
        std::printf("  %s %.1f%s", row.name, error, row.unit);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TrueArm arm;
    CalibrationBox box(arm.hand, {}, nullptr);
    run_script(arm, "Built-in table");
    for (const auto& row : joint_table) {
        const double travel = travel_seconds(row.joint, row.speed * true_factor) + reaction;
        box.start_timing(row.joint);
        arm.hold(row.increasing_command, travel);
        box.next_timing_step();
        arm.hold(row.decreasing_command, travel);
        box.next_timing_step();
        arm.hold(row.increasing_command, travel);
        box.next_timing_step();
    }
    run_script(arm, "Calibrated");
    return 0;
}
