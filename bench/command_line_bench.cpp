// The command line as a script meets it: `quillmar check` of a class's folder of programs, and how
// soon `quillmar run --virtual-arm` sends its first command after it was started.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int files = 1000;
constexpr int lines_per_file = 256;
constexpr int tries = 5;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Milliseconds from starting the program to its first "command" event.
double first_command_ms(const QString& program) {
    QProcess child;
    QElapsedTimer timer;
    timer.start();
    child.start(QStringLiteral(QUILLMAR_BINARY),
                {QStringLiteral("run"), QStringLiteral("--virtual-arm"), QStringLiteral("--json"),
                 program});
    while (child.waitForReadyRead(5000)) {
        while (child.canReadLine()) {
            if (child.readLine().contains("\"event\":\"command\"")) {
                const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
                child.waitForFinished();
                return ms;
            }
        }
    }
    return -1.0;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // Every line a step, a line that will not run and an end stop now and then: the whole check.
    QByteArray text;
    for (int line = 0; line < lines_per_file; ++line) {
        text += line % 50 == 49 ? QByteArray("not a step\r\n")
                                : QByteArray::number(line % 10 + 1) + ",120\r\n";
    }
    QStringList arguments{QStringLiteral("check")};
    for (int index = 0; index < files; ++index) {
        const QString name = dir.filePath(QStringLiteral("pupil%1.rob").arg(index));
        QFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
            std::fputs("cannot write the programs\n", stderr);
            return 1;
        }
        arguments << name;
    }

    std::vector<double> check_ms;
    for (int i = 0; i < tries; ++i) {
        QProcess child;
        child.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer timer;
        timer.start();
        child.start(QStringLiteral(QUILLMAR_BINARY), arguments);
        child.waitForFinished(60'000);
        check_ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("quillmar check, %d files of %d lines: median %.0f ms, slowest %.0f ms of %d\n",
                files, lines_per_file, median(check_ms),
                *std::max_element(check_ms.begin(), check_ms.end()), tries);

    const QString one_step = dir.filePath(QStringLiteral("one.rob"));
    QFile file(one_step);
    if (!file.open(QIODevice::WriteOnly) || file.write("1,10\r\n") != 6) {
        return 1;
    }
    file.close();
    std::vector<double> first_ms;
    for (int i = 0; i < tries * 2; ++i) {
        first_ms.push_back(first_command_ms(one_step));
    }
    std::printf(
        "quillmar run --virtual-arm, 1 step: first command %.1f ms after the start "
        "(median), slowest %.1f ms of %d\n",
        median(first_ms), *std::max_element(first_ms.begin(), first_ms.end()), tries * 2);
    return 0;
}
