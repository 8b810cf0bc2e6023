// The window's controls: where they sit, what they say, how they start, and how focus moves.
#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <algorithm>
#include <cmath>

#include "app/caption_button.h"
#include "app/caption_fit.h"
#include "app/robot_bench.h"
#include "support/contrast.h"
#include "support/session_probe.h"

using namespace quillmar;
using quillmar::testing::contrast;
using quillmar::testing::RobotBench;

namespace {

QRect twips(int left, int top, int width, int height) {
    return {left / 15, top / 15, width / 15, height / 15};
}

QString text_of(QWidget* widget) {
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
        return frame->title();
    }
    return qobject_cast<QPlainTextEdit*>(widget)->toPlainText();
}

// Names in ascending tab index.
const QStringList tab_order{"gettit",   "release",   "error",   "shoulderup", "shoulderdown",
                            "lightme",  "lighton",   "handin",  "handout",    "wristdown",
                            "wristup",  "elbowdown", "elbowup", "antibody",   "clockbody",
                            "message",  "program",   "data",    "info",       "reverse",
                            "loadfile", "savefile",  "stopme"};

// Light text on dark surfaces, as a dark desktop theme sets it.
QPalette dark_palette() {
    QPalette palette(QColor(60, 60, 60), QColor(45, 45, 45));
    for (const auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
        palette.setColor(role, QColor(235, 235, 235));
    }
    palette.setColor(QPalette::Base, QColor(30, 30, 30));
    return palette;
}

}  // namespace

class RobotLayoutTest : public QObject {
    Q_OBJECT
  private slots:
    void controls_data();
    void controls();
    void window();
    void tab_chain_follows_tab_indexes();
    void tab_key_visits_usable_controls();
    void stop_is_orange_and_legible_data();
    void stop_is_orange_and_legible();
    void controls_without_captions_have_names_data();
    void controls_without_captions_have_names();
    void light_indicator_ignores_clicks();
    void captions_fit_whole_data();
    void captions_fit_whole();
    void help_text();
};

void RobotLayoutTest::controls_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<bool>("usable");
    QTest::addColumn<Qt::Alignment>("alignment");

    const Qt::Alignment none{};
    auto row = [](const char* name, const char* kind, const QString& caption, const char* parent,
                  QRect place, bool usable, Qt::Alignment alignment) {
        QTest::newRow(name) << QString::fromLatin1(kind) << caption << QString::fromLatin1(parent)
                            << place << usable << alignment;
    };
    row("gettit", "QPushButton", "Attach arm", "Robot", twips(120, 120, 1335, 615), true, none);
    row("release", "QPushButton", "Release arm", "Robot", twips(2400, 120, 1335, 615), false, none);
    row("error", "QPlainTextEdit", "", "Robot", twips(240, 5520, 3255, 735), true, none);
    row("Label1", "QLabel", "Info", "Robot", twips(4080, 0, 2655, 255), true, Qt::AlignHCenter);
    row("Label2", "QLabel", "USB response ( \"-5\" : I/O , \" -116\" Timeout )", "Robot",
        twips(240, 5160, 3255, 255), true, Qt::AlignHCenter);
    row("panel", "QGroupBox", "Controls", "Robot", twips(120, 960, 3615, 4095), false, none);
    row("message", "QPlainTextEdit", "", "Robot", twips(3840, 240, 3615, 2175), true, none);
    row("Label3", "QLabel", "Program the arm", "Robot", twips(3840, 2520, 1335, 255), true,
        Qt::AlignLeft);
    row("data", "QPlainTextEdit", "", "Robot", twips(3840, 2880, 1215, 2655), true, none);
    row("loadfile", "QPushButton", "Load File", "Robot", twips(3840, 5760, 1335, 495), true, none);
    row("savefile", "QPushButton", "Save File", "Robot", twips(6120, 5760, 1335, 495), true, none);
    row("stopme", "QPushButton", "Stop!", "Robot", twips(240, 4320, 1455, 495), false, none);
    row("lightme", "QPushButton", "Light (0)", "panel", twips(120, 360, 855, 495), false, none);
    row("lighton", "QCheckBox", "", "panel", twips(1080, 480, 255, 255), false, none);
    row("handin", "QPushButton", "Grip (1)", "panel", twips(1560, 360, 855, 495), false, none);
    row("handout", "QPushButton", "Open (2)", "panel", twips(2520, 360, 855, 495), false, none);
    row("wristdown", "QPushButton", "Wrist Down (3)", "panel", twips(120, 960, 1455, 495), false,
        none);
    row("wristup", "QPushButton", "Wrist Up (4)", "panel", twips(1920, 960, 1455, 495), false,
        none);
    row("elbowdown", "QPushButton", "Elbow Down (5)", "panel", twips(120, 1560, 1455, 495), false,
        none);
    row("elbowup", "QPushButton", "Elbow Up (6)", "panel", twips(1920, 1560, 1455, 495), false,
        none);
    row("shoulderdown", "QPushButton", "Shoulder Down (7)", "panel", twips(120, 2160, 1455, 495),
        false, none);
    row("shoulderup", "QPushButton", "Shoulder Up (8)", "panel", twips(1920, 2160, 1455, 495),
        false, none);
    row("antibody", "QPushButton", "Body Anticlockwise (9)", "panel", twips(120, 2760, 1455, 495),
        false, none);
    row("clockbody", "QPushButton", "Body Clockwise (10)", "panel", twips(1920, 2760, 1455, 495),
        false, none);
    row("program", "QPushButton", "Run Program", "panel", twips(1680, 3360, 855, 495), false, none);
    row("reverse", "QPushButton", "Reverse Program", "panel", twips(2640, 3360, 855, 495), false,
        none);
}

void RobotLayoutTest::controls() {
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(QString, parent);
    QFETCH(QRect, place);
    QFETCH(bool, usable);
    QFETCH(Qt::Alignment, alignment);

    RobotBench bench(false);
    auto* widget = bench.control(QTest::currentDataTag());
    QVERIFY(widget);
    QVERIFY2(widget->inherits(kind.toLatin1()), widget->metaObject()->className());
    QCOMPARE(text_of(widget), caption);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), place);
    QCOMPARE(widget->isEnabled(), usable);
    QVERIFY(widget->isVisibleTo(&bench.robot));
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask, alignment);
    }
    if (auto* pane = qobject_cast<QPlainTextEdit*>(widget)) {
        QCOMPARE(pane->isReadOnly(), pane->objectName() != "data");
    }
}

void RobotLayoutTest::window() {
    RobotBench bench(false);
    Robot& robot = bench.robot;
    QCOMPARE(robot.objectName(), QStringLiteral("Robot"));
    QCOMPARE(robot.windowTitle(), QStringLiteral("Quillmar"));
    QCOMPARE(robot.minimumSize(), QSize(504, 424));
    QCOMPARE(robot.maximumSize(), QSize(504, 424));
    const Qt::WindowFlags flags = robot.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!robot.testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(robot.windowIcon().availableSizes().contains(QSize(32, 32)));
    QCOMPARE(robot.findChild<QPlainTextEdit*>("info")->verticalScrollBarPolicy(),
             Qt::ScrollBarAlwaysOff);

    robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&robot));
    const QRect screen = robot.screen()->availableGeometry();
    QVERIFY(qAbs(robot.geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(robot.geometry().center().y() - screen.center().y()) <= 1);
}

void RobotLayoutTest::tab_chain_follows_tab_indexes() {
    RobotBench bench(false);
    QStringList visited;
    QWidget* widget = bench.control("gettit");
    do {
        if (tab_order.contains(widget->objectName()) && !visited.contains(widget->objectName())) {
            visited << widget->objectName();
        }
        widget = widget->nextInFocusChain();
    } while (widget != bench.control("gettit"));
    QCOMPARE(visited, tab_order);
}

void RobotLayoutTest::tab_key_visits_usable_controls() {
    RobotBench bench(false);
    bench.robot.show();
    bench.robot.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&bench.robot));
    bench.control("gettit")->setFocus();
    QStringList visited;
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    const QStringList expected{"error",    "message",  "data",  "info",
                               "loadfile", "savefile", "gettit"};
    QCOMPARE(visited, expected);
}

void RobotLayoutTest::stop_is_orange_and_legible_data() {
    QTest::addColumn<QString>("style");
    QTest::addColumn<bool>("dark");
    for (const QString& style : QStyleFactory::keys()) {
        QTest::newRow(qPrintable(style)) << style << false;
        QTest::newRow(qPrintable(style + " dark")) << style << true;
    }
}

void RobotLayoutTest::stop_is_orange_and_legible() {
    QFETCH(QString, style);
    QFETCH(bool, dark);
    const QString old_style = QApplication::style()->name();
    const QPalette old_palette = QApplication::palette();
    const auto restore = qScopeGuard([&] {
        QApplication::setStyle(old_style);
        QApplication::setPalette(old_palette);
    });
    QApplication::setStyle(style);
    if (dark) {
        QApplication::setPalette(dark_palette());
    }

    RobotBench bench(false);
    auto* stop = bench.control<CaptionButton>("stopme");
    QCOMPARE(bench.robot.childAt(stop->geometry().center()), stop);
    for (const bool enabled : {false, true}) {
        stop->setEnabled(enabled);
        const QImage image = stop->grab().toImage();
        const QRect caption = stop->caption_box();
        const QColor background = image.pixelColor(caption.topLeft());
        QCOMPARE(background, QColor(255, 128, 0));
        // The caption's most distinct pixel: its colour where a stroke covers whole pixels.
        double best = 1;
        for (int y = caption.top(); y <= caption.bottom(); ++y) {
            for (int x = caption.left(); x <= caption.right(); ++x) {
                best = std::max(best, contrast(image.pixelColor(x, y), background));
            }
        }
        QVERIFY2(best >= 4.5,
                 qPrintable(
                     QStringLiteral("enabled %1: contrast %2").arg(enabled).arg(best, 0, 'f', 2)));
    }
}

void RobotLayoutTest::controls_without_captions_have_names_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QAccessible::Role>("role");
    QTest::newRow("message") << "Info" << QAccessible::EditableText;
    QTest::newRow("error") << "USB response" << QAccessible::EditableText;
    QTest::newRow("data") << "Program the arm" << QAccessible::EditableText;
    QTest::newRow("info") << "Examples" << QAccessible::EditableText;
    QTest::newRow("lighton") << "Light is on" << QAccessible::CheckBox;
    QTest::newRow("stopme") << "Stop!" << QAccessible::Button;
}

void RobotLayoutTest::controls_without_captions_have_names() {
    QFETCH(QString, name);
    QFETCH(QAccessible::Role, role);
    RobotBench bench(false);
    QAccessibleInterface* control =
        QAccessible::queryAccessibleInterface(bench.control(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->text(QAccessible::Name), name);
    QCOMPARE(control->role(), role);
    QVERIFY(!control->text(QAccessible::Description).isEmpty());
}

void RobotLayoutTest::light_indicator_ignores_clicks() {
    RobotBench bench(true);
    QVERIFY(bench.robot.start_up().ok());
    auto* indicator = bench.control<QCheckBox>("lighton");
    QVERIFY(bench.control("panel")->isEnabled());
    QVERIFY(!indicator->isEnabled());
    bench.robot.show();
    QTest::mouseClick(indicator, Qt::LeftButton);
    QVERIFY(!indicator->isChecked());
    testing::SessionProbe::link(bench.session).show_light(true);
    QTest::mouseClick(indicator, Qt::LeftButton);
    QVERIFY(indicator->isChecked());
    QVERIFY(bench.robot.light_indicator());
}

void RobotLayoutTest::captions_fit_whole_data() {
    QTest::addColumn<QByteArray>("name");
    for (const char* name :
         {"gettit", "release", "loadfile", "savefile", "program", "reverse", "stopme"}) {
        QTest::newRow(name) << QByteArray(name);
    }
    for (const auto& row : command_table) {
        QTest::newRow(row.button) << QByteArray(row.button);
    }
}

void RobotLayoutTest::captions_fit_whole() {
    QFETCH(QByteArray, name);
    RobotBench bench(false);
    auto* button = bench.control<CaptionButton>(name.constData());
    QVERIFY(button);
    const QFont& font = button->caption_font();
    QVERIFY(font.pointSizeF() <= QFontInfo(button->font()).pointSizeF());
    QVERIFY2(
        caption_fits(font, button->text(), button->caption_box(), CaptionButton::caption_flags),
        qPrintable(QString::number(font.pointSizeF())));
    // Half a point more would no longer fit, unless the default size already fits.
    QFont larger = font;
    larger.setPointSizeF(font.pointSizeF() + 0.5);
    QVERIFY(
        font.pointSizeF() >= QFontInfo(button->font()).pointSizeF() ||
        !caption_fits(larger, button->text(), button->caption_box(), CaptionButton::caption_flags));
}

void RobotLayoutTest::help_text() {
    RobotBench bench(false);
    QVERIFY(bench.robot.start_up().ok());
    bench.robot.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bench.robot));
    auto* info = bench.control<QPlainTextEdit>("info");
    QCOMPARE(info->toPlainText().replace("\n", "\r\n"),
             QStringLiteral("Examples:\r\nEnter \"1,100\"\r\nTo close the Grip for 100 cS\r\n\r\n"
                            "Seperate commands with return:\r\n0,\r\n2,50\r\n5,200\r\n7,200\r\n"
                            "\r\nThe light is not timed (Just enter \"0,\")"));
    // No scroll bars: the whole text has to show.
    QVERIFY(info->document()->size().height() * QFontMetricsF(info->font()).lineSpacing() <=
            info->viewport()->height() + 1);
}

QTEST_MAIN(RobotLayoutTest)
#include "robot_layout_test.moc"
