#include "arm_window_keeper.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QShortcut>

#include "robot.h"
#include "virtualarm/arm_window.h"

namespace quillmar {

ArmWindowKeeper::ArmWindowKeeper(Robot& robot, ArmWindow& window, QSettings* remembered)
    : robot(robot), window(window), remembered(remembered) {
    // The main window is a tool window, which does not count as a window that keeps the
    // application alive: closing the arm window would otherwise end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    connect(&robot, &Robot::closed, this, [this] {
        this->remembered = nullptr;
        this->window.close();
        QCoreApplication::quit();
    });
    connect(&window, &ArmWindow::closed, this, [this] { remember(false); });

    window.setWindowIcon(robot.windowIcon());
    for (QWidget* owner : {static_cast<QWidget*>(&robot), static_cast<QWidget*>(&window)}) {
        connect(new QShortcut(QKeySequence(Qt::Key_F2), owner), &QShortcut::activated, this,
                &ArmWindowKeeper::toggle);
    }
    robot.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&robot, &QWidget::customContextMenuRequested, this, &ArmWindowKeeper::offer_menu);

    // Read when the preview is due, not at every keystroke.
    window.set_program_source([&robot] { return robot.program_text(); });
    connect(&robot, &Robot::program_text_changed, &window, &ArmWindow::program_changed);
}

void ArmWindowKeeper::start(bool asked) {
    if (asked || (remembered && remembered->value(QLatin1String(shown_key), false).toBool())) {
        show_window();
    }
}

void ArmWindowKeeper::toggle() {
    if (window.isVisible()) {
        window.hide();
        remember(false);
    } else {
        show_window();
        remember(true);
    }
}

void ArmWindowKeeper::show_window() {
    window.show_beside(robot);
}

void ArmWindowKeeper::remember(bool shown) {
    if (remembered) {
        remembered->setValue(QLatin1String(shown_key), shown);
    }
}

void ArmWindowKeeper::offer_menu(const QPoint& position) {
    QWidget* under = robot.childAt(position);
    if (under && !qobject_cast<QLabel*>(under) && !qobject_cast<QGroupBox*>(under)) {
        return;
    }
    // Not exec(): a wait of a running step beneath it must be able to end on time.
    auto* menu = new QMenu(&robot);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(window.isVisible() ? QStringLiteral("Hide arm window (F2)")
                                       : QStringLiteral("Show arm window (F2)"),
                    this, &ArmWindowKeeper::toggle);
    menu->popup(robot.mapToGlobal(position));
}

}  // namespace quillmar
