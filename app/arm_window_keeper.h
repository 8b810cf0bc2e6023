// Pairs the arm window with the main window: F2 and the menu of the window's background show and
// hide it, it follows the program and its runs, and only the main window's close ends the program.
#pragma once

#include <QObject>

class QEvent;
class QPoint;
class QSettings;

namespace quillmar {

class ArmWindow;
class Robot;

class ArmWindowKeeper : public QObject {
    Q_OBJECT
  public:
    // Where `remembered` keeps whether the arm window was last shown.
    static constexpr auto shown_key = "arm_window/shown";

    // `remembered` keeps the user's choice between runs; null keeps nothing. The application
    // ends when `robot` closes, and only then.
    ArmWindowKeeper(Robot& robot, ArmWindow& window, QSettings* remembered);

    // At start-up, with the main window shown: shows the arm window when `asked`, or when it
    // was shown at the end of the last run.
    void start(bool asked);

    // Shows the arm window beside the main window, or hides it; remembers which.
    void toggle();

  protected:
    // Keys from the keyboard reach the arm window only after a click in it, or F2 there.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void show_window();
    // Beside the main window, both inside the free part of the screen as far as they fit.
    void place_window();
    void remember(bool shown);
    // The menu of the main window's background; controls keep their own.
    void offer_menu(const QPoint& position);

    Robot& robot;
    ArmWindow& window;
    QSettings* remembered;
    // The user clicked in the arm window since it last had the keyboard: its keys may drive.
    bool keys_invited = false;
};

}  // namespace quillmar
