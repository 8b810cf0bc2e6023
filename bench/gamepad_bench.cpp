// How soon a gamepad's stick moves the arm, and what a pad standing still costs: from the stick
// pushed on SDL's virtual pad to the start command at the emulated arm, at random moments against
// the pad's pump, while the pad is in use and from rest; then the processor time of thirty idle
// seconds with the pad open, and with none. SDL's virtual pad has no device node: a FIFO stands
// in for it, written as a pad's node would be read when it reports ("watched"); without it the
// pad is asked on a timer. Not a test: a loaded machine moves these figures.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "support/pad_on_the_arm.h"

using namespace quillmar;

namespace {

constexpr int moves = 200;

// Runs the events for `ms` milliseconds of real time.
void run_for(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// User and system time of the process, in seconds.
double processor_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    testing::PadOnTheArm arm(ArmSource::virtual_arm);
    run_for(300);
    std::printf("%s\n", qPrintable(arm.pad.status_text()));
    QTemporaryDir folder;
    const QByteArray fifo = folder.filePath(QStringLiteral("event0")).toLocal8Bit();
    int node = -1;
    // The stick as a pad with a node reports it: SDL's state, then the node readable.
    const auto set_axis = [&](int value) {
        arm.virtual_pad.set_axis(SDL_CONTROLLER_AXIS_LEFTX, value);
        if (node >= 0 && write(node, "e", 1) != 1) {
            std::perror("writing the stand-in node");
        }
    };

    QElapsedTimer clock;
    clock.start();
    std::vector<double> latencies;
    qint64 pushed_at = -1;
    QObject::connect(&arm.session, &ArmSession::command_sent, [&](ArmCommand command) {
        if (pushed_at < 0 || (command.motor == 0 && command.base == 0)) {
            return;
        }
        latencies.push_back(static_cast<double>(clock.nsecsElapsed() - pushed_at) / 1e6);
        pushed_at = -1;
        // Let go a moment later; the stop ends the drive and the press returns.
        QTimer::singleShot(20, [&] { set_axis(0); });
    });
    // `moves` pushes `pause_ms` and a random moment apart; with `thumb`, the stick first stands
    // at a tenth of its travel for 15 ms, as a thumb passes it on its way.
    const auto measure = [&](const char* what, int count, int pause_ms, bool thumb) {
        latencies.clear();
        for (int move = 0; move < count; ++move) {
            run_for(pause_ms + QRandomGenerator::global()->bounded(10));
            if (thumb) {
                set_axis(SDL_JOYSTICK_AXIS_MAX / 10);
                run_for(15);
            }
            pushed_at = clock.nsecsElapsed();
            set_axis(SDL_JOYSTICK_AXIS_MAX);
            run_for(60);
        }
        std::sort(latencies.begin(), latencies.end());
        std::printf("%-44s n=%-3zu min %6.3f  median %6.3f  max %6.3f ms\n", what, latencies.size(),
                    latencies.front(), latencies[latencies.size() / 2], latencies.back());
    };
    const int rested = static_cast<int>(Gamepad::rest_after.count()) + 100;
    // Idle once the pad has come to rest, and with none plugged in.
    const auto idle = [](const char* what) {
        const double before = processor_seconds();
        QElapsedTimer wall;
        wall.start();
        run_for(30000);
        const double seconds = static_cast<double>(wall.elapsed()) / 1000.0;
        const double used = processor_seconds() - before;
        std::printf("%-44s %.3f s of processor in %.1f s = %.2f %%\n", what, used, seconds,
                    100.0 * used / seconds);
    };
    const auto all = [&](const char* how) {
        std::printf("-- the pad's node %s\n", how);
        measure("stick pushed, pad in use:", 200, 20, false);
        measure("stick pushed by a thumb, pad at rest:", 15, rested, true);
        measure("stick jumped to full, pad at rest:", 15, rested, false);
        run_for(rested);
        idle("idle with the pad open:");
    };
    all("not watched (asked on a timer)");
    if (mkfifo(fifo.constData(), 0600) != 0) {
        std::perror("mkfifo");
        return 1;
    }
    arm.pad.watch_node(QString::fromLocal8Bit(fifo));
    node = open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    all("watched");
    close(node);
    arm.virtual_pad.unplug();
    run_for(300);
    idle("idle with no pad:");
    return 0;
}
