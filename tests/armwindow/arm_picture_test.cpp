#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <functional>

#include "armwindow/arm_picture.h"
#include "armwindow/arm_window.h"
#include "support/fake_pacer.h"
#include "usb/emulated_bus.h"

using namespace quillmar;

Q_DECLARE_METATYPE(quillmar::Joint)

namespace {

QImage render(const ArmView& view) {
    QImage image(568, 300, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    draw_arm(painter, QRectF(image.rect()), view, arm_colours(QPalette()));
    return image;
}

int count_pixels(const QImage& image, const std::function<bool(const QColor&)>& wanted) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += wanted(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return count;
}

// Pixels of the lamp's warm yellow glow.
int glow_pixels(const QImage& image) {
    return count_pixels(image, [](const QColor& c) {
        return c.red() > 200 && c.green() > 150 && c.blue() < c.red() - 50;
    });
}

// Pixels of the red strain sign.
int strain_pixels(const QImage& image) {
    return count_pixels(
        image, [](const QColor& c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; });
}

ArmView extreme_view() {
    ArmView view;
    for (const auto& row : joint_table) {
        view.pose.at(static_cast<std::size_t>(row.joint)) = row.maximum;
    }
    return view;
}

}  // namespace

class ArmPictureTest : public QObject {
    Q_OBJECT
  private slots:
    void light_glows_only_when_on_data();
    void light_glows_only_when_on();
    void every_joint_moves_the_drawn_arm_data();
    void every_joint_moves_the_drawn_arm();
    void straining_motor_is_marked_data();
    void straining_motor_is_marked();
    void window_redraws_only_while_a_joint_travels();
    void reset_pose_button_puts_the_arm_back();
};

void ArmPictureTest::light_glows_only_when_on_data() {
    QTest::addColumn<ArmView>("view");
    QTest::newRow("start pose") << ArmView{};
    QTest::newRow("every joint at its maximum") << extreme_view();
}

void ArmPictureTest::light_glows_only_when_on() {
    QFETCH(ArmView, view);
    view.light = false;
    QCOMPARE(glow_pixels(render(view)), 0);
    view.light = true;
    QVERIFY(glow_pixels(render(view)) > 400);
}

void ArmPictureTest::every_joint_moves_the_drawn_arm_data() {
    QTest::addColumn<Joint>("joint");
    for (const auto& row : joint_table) {
        QTest::newRow(row.name) << row.joint;
    }
}

void ArmPictureTest::every_joint_moves_the_drawn_arm() {
    QFETCH(Joint, joint);
    const JointRow& row = row_of(joint);
    ArmView view;
    const QImage before = render(view);
    view.pose.at(static_cast<std::size_t>(joint)) = row.start + 0.25 * (row.maximum - row.minimum);
    QVERIFY(render(view) != before);
    QCOMPARE(render(ArmView{}), before);
}

void ArmPictureTest::straining_motor_is_marked_data() {
    every_joint_moves_the_drawn_arm_data();
}

void ArmPictureTest::straining_motor_is_marked() {
    QFETCH(Joint, joint);
    ArmView view = extreme_view();
    QCOMPARE(strain_pixels(render(view)), 0);
    view.straining.at(static_cast<std::size_t>(joint)) = true;
    QVERIFY(strain_pixels(render(view)) > 30);
}

// The virtual arm's window on an emulated bus, in virtual time from 0.
struct VirtualArmWindow {
    quillmar::testing::FakePacer pacer;
    // At 0 before the bus and the session first read the clock.
    double& now = (pacer.time = 0.0, pacer.time);
    EmulatedBus usb{[this] { return now; }, {}};
    ArmSession session{usb, pacer, ArmSource::virtual_arm};
    ArmWindow window{session, ArmSource::virtual_arm};
};

void ArmPictureTest::window_redraws_only_while_a_joint_travels() {
    VirtualArmWindow fixture;
    double& now = fixture.now;
    ArmModel& model = fixture.session.model();
    ArmWindow& window = fixture.window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Virtual arm"));
    QVERIFY(!window.animating());

    model.set_command(start_command(4, 1), now);  // wrist up, light on
    QVERIFY(window.animating());
    now = 1.0;
    QTRY_COMPARE(window.reading(Joint::wrist), QString::fromUtf8("4.0°"));

    now = 60.0;  // long past the wrist's upper limit
    QTRY_VERIFY(!window.animating());
    QCOMPARE(window.reading(Joint::wrist), QString::fromUtf8("60.0° at limit, straining"));

    model.set_command(stop_command(1), now);
    QVERIFY(!window.animating());
    QCOMPARE(window.reading(Joint::wrist), QString::fromUtf8("60.0°"));
}

void ArmPictureTest::reset_pose_button_puts_the_arm_back() {
    VirtualArmWindow fixture;
    double& now = fixture.now;
    ArmModel& model = fixture.session.model();
    ArmWindow& window = fixture.window;
    model.set_command(start_command(9, 0), now);
    now = 2.0;
    model.set_command(stop_command(0), now);
    QCOMPARE(window.reading(Joint::base), QString::fromUtf8("54.0°"));
    auto* reset = window.findChild<QPushButton*>(QStringLiteral("resetpose"));
    QVERIFY(reset != nullptr);
    QCOMPARE(reset->text(), QStringLiteral("Reset pose"));
    reset->click();
    QCOMPARE(model.pose_at(now), start_pose());
    QCOMPARE(window.reading(Joint::base), QString::fromUtf8("0.0°"));
}

QTEST_MAIN(ArmPictureTest)
#include "arm_picture_test.moc"
