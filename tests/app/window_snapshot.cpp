// Renders the window attached to an emulated arm, with a program typed in, into a PNG file.
#include <QApplication>
#include <QPixmap>

#include "app/robot_bench.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2) {
        qWarning("usage: window_snapshot OUTPUT.png");
        return 2;
    }
    quillmar::testing::RobotBench bench(true);
    bench.robot.start_up();
    bench.hand.light();
    bench.robot.set_program_text(QStringLiteral("1,100\r\n0,\r\n5,200\r\n7,150"));
    bench.robot.show();
    QApplication::processEvents();
    return bench.robot.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
