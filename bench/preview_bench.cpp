// How long one update of the arm window's preview takes: the check pass and the simulated run
// alone, and from the request until the window's timeline, warnings and picture are drawn, for a
// program of 256 steps and for the largest program files.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "armwindow/arm_window.h"
#include "motion/event_pacer.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

namespace {

// 256 steps of every command with blank and faulty lines between, some driving into an end.
QString program_of_256_steps() {
    QString text;
    for (int step = 0; step < 256; ++step) {
        text += QStringLiteral("%1,%2\r\n").arg(step % 11).arg(20 + (step * 37) % 400);
        if (step % 32 == 0) {
            text += QStringLiteral("\r\nnot a step\r\n");
        }
    }
    return text;
}

// Whole lines of `line` and LF up to the 1 MiB that a program file may hold.
QString largest_program(const QString& line) {
    const QString one = line + QLatin1Char('\n');
    return one.repeated((1024 * 1024) / one.size());
}

double median_ms(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void measure(ArmWindow& window, const ArmModel& model, const char* what, const QString& text,
             int rounds) {
    std::vector<double> compute;
    std::vector<double> update;
    QElapsedTimer timer;
    for (int round = 0; round < rounds; ++round) {
        timer.start();
        const ProgramPreview preview = preview_program(check_program(text, {}), Direction::forwards,
                                                       model.pose_at(0.0), false);
        compute.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);

        window.set_program_source([&text] { return text; });
        QEventLoop shown;
        QObject::connect(&window, &ArmWindow::preview_shown, &shown, &QEventLoop::quit);
        timer.restart();
        window.update_preview();
        shown.exec();
        window.repaint();
        update.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf(
        "%-24s (%2d updates) check and simulate %7.2f ms (max %7.2f), whole update "
        "drawn %7.2f ms (max %7.2f)\n",
        what, rounds, median_ms(compute), *std::max_element(compute.begin(), compute.end()),
        median_ms(update), *std::max_element(update.begin(), update.end()));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    EventPacer pacer;
    EmulatedBus usb([&pacer] { return pacer.now(); }, {});
    ArmSession session(usb, pacer, ArmSource::virtual_arm);
    ArmModel& model = session.model();
    ArmWindow window(session, ArmSource::virtual_arm);
    window.show();
    QApplication::processEvents();
    std::printf("median and worst of the updates\n");
    measure(window, model, "256 steps", program_of_256_steps(), 50);
    measure(window, model, "1 MiB of empty lines", largest_program(QString()), 5);
    measure(window, model, "1 MiB of \"1,100\" lines", largest_program(QStringLiteral("1,100")), 5);
    return 0;
}
