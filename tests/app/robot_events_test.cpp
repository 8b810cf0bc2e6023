// What the window does at start-up, on each button, around a program run, and when it closes.
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/pane_text.h"
#include "app/robot_bench.h"
#include "support/session_probe.h"

using namespace quillmar;
using quillmar::testing::RobotBench;

namespace {

QString bytes_text(const ArmCommand& command) {
    return QStringLiteral("%1,%2,%3").arg(command.motor).arg(command.base).arg(command.light);
}

// The commands that reached the arm, as "motor,base,light".
QStringList sent(const EmulatedBus& usb) {
    QStringList commands;
    for (const auto& transfer : usb.transfers()) {
        commands << bytes_text({transfer.data.at(0), transfer.data.at(1), transfer.data.at(2)});
    }
    return commands;
}

QStringList routines(const EmulatedBus& usb) {
    QStringList names;
    for (const auto& call : usb.calls()) {
        names << QString::fromStdString(call.routine);
    }
    return names;
}

// Which of the switched controls are usable, as a string such as "gettit release".
QString usable(RobotBench& bench) {
    QStringList names;
    for (const char* name :
         {"gettit", "release", "panel", "stopme", "data", "loadfile", "savefile"}) {
        if (bench.control(name)->isEnabled()) {
            names << QLatin1String(name);
        }
    }
    return names.join(' ');
}

// Drags `mime` onto the middle of the named control and drops it there, delivered as the window
// system does: to the innermost widget at that point that takes drops. True if it was accepted.
bool drop_on(RobotBench& bench, const QString& name, const QMimeData& mime) {
    QWidget* control = bench.control(name.toLatin1().constData());
    const QPoint at = control->mapTo(&bench.robot, control->rect().center());
    QWidget* target = bench.robot.childAt(at);
    while (!target->acceptDrops()) {
        target = target->parentWidget();
    }
    const QPoint local = target->mapFrom(&bench.robot, at);
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction;
    QDragEnterEvent enter(local, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(local, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    if (!enter.isAccepted() || !move.isAccepted()) {
        return false;
    }
    QDropEvent drop(local, offered, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

const QString detached = QStringLiteral("gettit data loadfile savefile");
const QString attached = QStringLiteral("release panel stopme data loadfile savefile");

class FailingUsb : public EmulatedBus {
  public:
    FailingUsb() : EmulatedBus([] { return 0.0; }) {}
    UsbResult<void> initialise() override { return UsbError::io; }
};

}  // namespace

class RobotEventsTest : public QObject {
    Q_OBJECT
  private slots:
    void start_up_without_arm();
    void start_up_with_arm();
    void start_up_stops_when_the_library_fails();
    void attach_button();
    void release_button();
    void command_buttons_data();
    void command_buttons();
    void file_buttons();
    void dropped_files_data();
    void dropped_files();
    void dropped_names_data();
    void dropped_names();
    void run_locks_and_unlocks();
    void release_during_a_run_keeps_the_panel_locked();
    void controls_follow_the_state_data();
    void controls_follow_the_state();
    void close_data();
    void close();
    void close_during_a_jog();
};

void RobotEventsTest::start_up_without_arm() {
    RobotBench bench(false);
    QVERIFY(bench.robot.start_up().ok());
    const QStringList calls = routines(bench.usb);
    QCOMPARE(calls.mid(0, 2), QStringList({"initialise", "set_debug_level"}));
    QCOMPARE(bench.usb.calls().at(1).arguments, std::vector<int>{255});
    QCOMPARE(bench.dialogs.start_folder, QCoreApplication::applicationDirPath());
    QVERIFY(bench.robot.program_text().isEmpty());
    QVERIFY(
        pane_text(*bench.control<QPlainTextEdit>("message")).endsWith("\r\nCould not attach\r\n"));
    QCOMPARE(usable(bench), detached);
}

void RobotEventsTest::start_up_with_arm() {
    RobotBench bench(true);
    QVERIFY(bench.robot.start_up().ok());
    QVERIFY(bench.session.attached());
    QVERIFY(
        pane_text(*bench.control<QPlainTextEdit>("message")).endsWith("\r\n\r\nArm attached\r\n"));
    QCOMPARE(usable(bench), attached);
    QVERIFY(sent(bench.usb).isEmpty());
}

void RobotEventsTest::start_up_stops_when_the_library_fails() {
    FailingUsb usb;
    quillmar::testing::FakePacer pacer;
    quillmar::testing::ScriptedDialogs dialogs;
    ArmSession session(usb, pacer, ArmSource::commands_sent);
    Robot robot(session, dialogs);
    QCOMPARE(robot.start_up().error(), UsbError::io);
    QVERIFY(routines(usb).isEmpty());
    QVERIFY(pane_text(*robot.findChild<QPlainTextEdit*>("message")).isEmpty());
}

void RobotEventsTest::attach_button() {
    RobotBench bench(false);
    bench.robot.start_up();
    bench.usb.plug(arm_device_model(1, 2));
    bench.robot.show_message("left over");
    QTest::mouseClick(bench.control("gettit"), Qt::LeftButton);
    const QString message = pane_text(*bench.control<QPlainTextEdit>("message"));
    QVERIFY(!message.contains("left over"));
    QVERIFY(!message.contains("Could not attach"));
    QVERIFY(message.endsWith("\r\n\r\nArm attached\r\n"));
    QCOMPARE(usable(bench), attached);
}

void RobotEventsTest::release_button() {
    RobotBench bench(true);
    bench.robot.start_up();
    QTest::mouseClick(bench.control("lightme"), Qt::LeftButton);
    QTest::mouseClick(bench.control("release"), Qt::LeftButton);
    QCOMPARE(sent(bench.usb), QStringList({"0,0,1", "0,0,0"}));
    QVERIFY(!bench.robot.light_indicator());
    QVERIFY(pane_text(*bench.control<QPlainTextEdit>("message"))
                .endsWith("\r\nArm attached\r\n\r\nArm released\r\n"));
    QCOMPARE(bench.pacer.wakes, 1);
    QCOMPARE(usable(bench), detached);
}

void RobotEventsTest::command_buttons_data() {
    QTest::addColumn<QStringList>("commands");
    // With the light indicator ticked, so that its byte shows in every command.
    for (int number = 1; number <= last_command_number; ++number) {
        QTest::newRow(command_table.at(static_cast<std::size_t>(number)).button)
            << QStringList{bytes_text(start_command(number, 1)), "0,0,1"};
    }
    // The first light click after start-up switches the light on.
    QTest::newRow("lightme") << QStringList{"0,0,1"};
    QTest::newRow("stopme") << QStringList{"0,0,1", "0,0,1"};
    // The program pane holds "1,100"; reverse runs its opposite, Open.
    QTest::newRow("program") << QStringList{"1,0,1", "0,0,1"};
    QTest::newRow("reverse") << QStringList{"2,0,1", "0,0,1"};
}

void RobotEventsTest::command_buttons() {
    QFETCH(QStringList, commands);
    RobotBench bench(true);
    bench.robot.start_up();
    testing::SessionProbe::link(bench.session).show_light(true);
    bench.robot.set_program_text("1,100");
    QTest::mouseClick(bench.control(QTest::currentDataTag()), Qt::LeftButton);
    QCOMPARE(sent(bench.usb), commands);
    QCOMPARE(usable(bench), attached);
}

void RobotEventsTest::file_buttons() {
    RobotBench bench(false);
    QTemporaryDir folder;
    const QString path = folder.filePath("moves.rob");
    bench.dialogs.answer = path;

    QTest::mouseClick(bench.control("savefile"), Qt::LeftButton);
    QCOMPARE(bench.dialogs.beeps(), 1);

    bench.robot.set_program_text("1,100\r\n2,50");
    QTest::mouseClick(bench.control("savefile"), Qt::LeftButton);
    QVERIFY(pane_text(*bench.control<QPlainTextEdit>("message")).endsWith("File saved\r\n"));
    bench.robot.set_program_text("");
    QTest::mouseClick(bench.control("loadfile"), Qt::LeftButton);
    QCOMPARE(bench.robot.program_text(), QStringLiteral("1,100\r\n2,50\r\n"));
}

void RobotEventsTest::dropped_files_data() {
    QTest::addColumn<QString>("onto");
    QTest::addColumn<QStringList>("files");  // names in the test folder, or whole addresses
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("program");

    const QString loaded = QStringLiteral("1,100\r\n2,50\r\n");
    QTest::newRow("file on the window")
        << "Label3" << QStringList{"a.rob"} << "" << false << true << loaded;
    QTest::newRow("file on the program pane")
        << "data" << QStringList{"a.rob"} << "" << false << true << loaded;
    QTest::newRow("file on a log pane")
        << "message" << QStringList{"a.rob"} << "" << false << true << loaded;
    QTest::newRow("two files") << "data" << QStringList{"a.rob", "b.rob"} << "" << false << false
                               << "old";
    QTest::newRow("web address") << "Label3" << QStringList{"https://example.org/a.rob"} << ""
                                 << false << false << "old";
    QTest::newRow("file while a program runs")
        << "Label3" << QStringList{"a.rob"} << "" << true << false << "old";
    QTest::newRow("file on the locked pane")
        << "data" << QStringList{"a.rob"} << "" << true << false << "old";
    QTest::newRow("text on the program pane")
        << "data" << QStringList{} << "3," << false << true << "old3,";
}

void RobotEventsTest::dropped_files() {
    QFETCH(QString, onto);
    QFETCH(QStringList, files);
    QFETCH(QString, text);
    QFETCH(bool, running);
    QFETCH(bool, accepted);
    QFETCH(QString, program);

    QTemporaryDir folder;
    for (const char* name : {"a.rob", "b.rob"}) {
        QFile file(folder.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("1,100\r\n2,50");
    }
    QList<QUrl> urls;
    for (const QString& file : files) {
        urls << (file.contains(':') ? QUrl(file) : QUrl::fromLocalFile(folder.filePath(file)));
    }
    QMimeData mime;
    if (!urls.isEmpty()) {
        mime.setUrls(urls);
    }
    if (!text.isEmpty()) {
        mime.setText(text);
    }

    // A run needs an arm.
    RobotBench bench(running);
    bench.robot.set_program_text("old");
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    const auto drop_and_check = [&] {
        QCOMPARE(drop_on(bench, onto, mime), accepted);
        QCOMPARE(bench.robot.program_text(), program);
        QCOMPARE(bench.robot.files().file_name(),
                 accepted && !urls.isEmpty() ? folder.filePath("a.rob") : QString());
    };
    if (running) {
        bench.robot.start_up();
        bench.pacer.at(bench.pacer.now() + 1.0, drop_and_check);
        bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
    } else {
        drop_and_check();
    }
}

void RobotEventsTest::dropped_names_data() {
    QTest::addColumn<QByteArray>("name");  // as the file system spells it
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message");  // the message pane's last line; %1: the test folder

    QTest::newRow("not valid UTF-8") << QByteArray("caf\xe9.rob") << false << "1,100\r\n"
                                     << "Could not attach";
    QTest::newRow("line ends in a folder's name")
        << QByteArray("forged\r\nFile saved\r\nArm attached") << true << "old"
        << "File not loaded: %1/forged??File saved??Arm attached is a folder";
}

void RobotEventsTest::dropped_names() {
    QFETCH(QByteArray, name);
    QFETCH(bool, folder);
    QFETCH(QString, program);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path()) + '/' + name;
    if (folder) {
        QCOMPARE(::mkdir(path.constData(), 0700), 0);
    } else {
        const int descriptor = ::open(path.constData(), O_WRONLY | O_CREAT, 0600);
        QCOMPARE(::write(descriptor, "1,100", 5), 5);
        ::close(descriptor);
    }
    QMimeData mime;
    mime.setUrls({QUrl::fromEncoded("file://" + path.toPercentEncoding("/"))});

    RobotBench bench(false);
    bench.robot.start_up();
    bench.robot.set_program_text("old");
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    const bool dropped = drop_on(bench, "data", mime);
    folder ? ::rmdir(path.constData()) : ::unlink(path.constData());
    QVERIFY(dropped);
    QCOMPARE(bench.robot.program_text(), program);
    QVERIFY(pane_text(*bench.control<QPlainTextEdit>("message"))
                .endsWith("\r\n" + QString(message).replace("%1", dir.path()) + "\r\n"));
}

void RobotEventsTest::run_locks_and_unlocks() {
    RobotBench bench(true);
    bench.robot.start_up();
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    bench.pacer.at(bench.pacer.now() + 1.0, [&] {
        QCOMPARE(usable(bench), QStringLiteral("release stopme"));
        QCOMPARE(QApplication::focusWidget(), bench.control("stopme"));
    });
    bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
    QCOMPARE(usable(bench), attached);
}

void RobotEventsTest::release_during_a_run_keeps_the_panel_locked() {
    RobotBench bench(true);
    bench.robot.start_up();
    bench.pacer.at(bench.pacer.now() + 1.0, [&] {
        QTest::mouseClick(bench.control("release"), Qt::LeftButton);
        // Attaching again while the run unwinds must not open the panel to a second run.
        QTest::mouseClick(bench.control("gettit"), Qt::LeftButton);
        QVERIFY(!bench.control("panel")->isEnabled());
        QVERIFY(bench.control("stopme")->isEnabled());
    });
    bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
    QCOMPARE(usable(bench), attached);

    bench.pacer.at(bench.pacer.now() + 1.0,
                   [&] { QTest::mouseClick(bench.control("release"), Qt::LeftButton); });
    bench.hand.run(QStringLiteral("1,1000"), Direction::forwards);
    QCOMPARE(usable(bench), detached);
}

void RobotEventsTest::controls_follow_the_state_data() {
    QTest::addColumn<QString>("reached");
    for (const char* reached : {"no arm", "idle", "jog", "running", "released in a run",
                                "attached again in a run", "going back"}) {
        QTest::newRow(reached) << QString::fromLatin1(reached);
    }
}

// Each control that starts an operation is usable exactly when the session would take it.
void RobotEventsTest::controls_follow_the_state() {
    QFETCH(QString, reached);
    RobotBench bench(true);
    bench.robot.start_up();
    using Operation = ArmSession::Operation;
    const std::array<std::pair<const char*, Operation>, 6> controls{{
        {"gettit", Operation::attach},
        {"release", Operation::release},
        {"stopme", Operation::stop},
        {"panel", Operation::jog},
        {"lightme", Operation::light},
        {"program", Operation::run},
    }};
    QString shown;
    QString allowed;
    const auto compare = [&] {
        for (const auto& [name, operation] : controls) {
            shown += bench.control(name)->isEnabled() ? u'1' : u'0';
            allowed += bench.session.may(operation) ? u'1' : u'0';
        }
    };
    const auto click = [&](const char* name) {
        QTest::mouseClick(bench.control(name), Qt::LeftButton);
    };
    const double within = bench.pacer.now() + 0.05;
    if (reached == "no arm") {
        click("release");
        compare();
    } else if (reached == "idle") {
        compare();
    } else if (reached == "jog") {
        bench.pacer.at(within, compare);
        click("handin");
    } else if (reached == "going back") {
        bench.pacer.at(within, compare);
        testing::SessionProbe::go_back(bench.session, bench.hand, {{1, 1.0}});
    } else {
        bench.pacer.at(within, [&] {
            if (reached != "running") {
                click("release");
            }
            if (reached == "attached again in a run") {
                click("gettit");
            }
            compare();
        });
        bench.hand.run(QStringLiteral("1,100"), Direction::forwards);
    }
    QVERIFY(!allowed.isEmpty());
    QCOMPARE(shown, allowed);
}

void RobotEventsTest::close_data() {
    QTest::addColumn<bool>("with_arm");
    QTest::addColumn<bool>("released_first");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QString>("last_words");
    QTest::newRow("no arm") << false << false << QStringList{} << "Could not attach\r\n";
    QTest::newRow("attached") << true << false << QStringList{"0,0,1", "0,0,0"}
                              << "\r\nArm released\r\n";
    QTest::newRow("released") << true << true << QStringList{"0,0,1", "0,0,0"}
                              << "\r\nArm released\r\n";
}

void RobotEventsTest::close() {
    QFETCH(bool, with_arm);
    QFETCH(bool, released_first);
    QFETCH(QStringList, commands);
    QFETCH(QString, last_words);
    RobotBench bench(with_arm);
    bench.robot.start_up();
    bench.robot.show();
    if (with_arm) {
        QTest::mouseClick(bench.control("lightme"), Qt::LeftButton);
    }
    if (released_first) {
        QTest::mouseClick(bench.control("release"), Qt::LeftButton);
    }
    const QString before = pane_text(*bench.control<QPlainTextEdit>("message"));
    QSignalSpy closed(&bench.robot, &Robot::closed);

    QVERIFY(bench.robot.close());
    QVERIFY(bench.robot.close());
    QCOMPARE(closed.count(), 1);
    QVERIFY(bench.pacer.cancelled());
    QCOMPARE(sent(bench.usb), commands);
    QVERIFY(!bench.robot.light_indicator());
    const QString message = pane_text(*bench.control<QPlainTextEdit>("message"));
    QVERIFY(message.endsWith(last_words));
    if (released_first) {
        QCOMPARE(message, before);
    }
}

void RobotEventsTest::close_during_a_jog() {
    RobotBench bench(true);
    bench.robot.start_up();
    bench.robot.show();
    bench.pacer.at(bench.pacer.now() + 0.05, [&] { bench.robot.close(); });
    QTest::mouseClick(bench.control("handin"), Qt::LeftButton);
    // The jog ends at once, and its stop command never follows the all off.
    QCOMPARE(sent(bench.usb), QStringList({"1,0,0", "0,0,0"}));
    QVERIFY(bench.pacer.now() < 1000.1);
}

QTEST_MAIN(RobotEventsTest)
#include "robot_events_test.moc"
