#include <QTest>

#include "motion/key_repeat_filter.h"

using namespace quillmar;

class KeyRepeatFilterTest : public QObject {
    Q_OBJECT
  private slots:
    void only_real_presses_and_releases_count_data();
    void only_real_presses_and_releases_count();
};

// Events as "p1@100" (key 1 pressed at 100 ms), "r1@200" (released), "P" and "R" for the same
// marked as a repeat, "grace" for the grace running out in virtual time; what counts as "+1" and
// "-1", then once the grace timer had its time.
void KeyRepeatFilterTest::only_real_presses_and_releases_count_data() {
    QTest::addColumn<QString>("events");
    QTest::addColumn<QString>("taken");
    QTest::addColumn<QString>("settled");
    const auto row = [](const char* name, const char* events, const char* taken,
                        const char* settled = nullptr) {
        QTest::newRow(name) << events << taken << (settled ? settled : taken);
    };
    row("tap", "p1@100 r1@150 grace", "+1 -1");
    row("release waits out the grace", "p1@100 r1@150", "+1", "+1 -1");
    row("X11 repeats, each press in time", "p1@100 r1@700 p1@700 r1@740 p1@740 r1@900 grace",
        "+1 -1");
    row("marked repeats", "p1@100 R1@700 P1@700 r1@900 grace", "+1 -1");
    // The press came after the grace: the key was let go, and stays so until pressed again.
    row("late repeat press", "p1@100 r1@700 grace p1@700 r1@900 grace", "+1 -1 -1");
    row("pressed again", "p1@100 r1@200 p1@260 r1@300 grace", "+1 -1 +1 -1");
    // A later event shows the release was real, without waiting for the grace.
    row("another key after a release", "p1@100 r1@200 p2@210", "+1 -1 +2");
    row("repeat of one key while another is held", "p1@100 p2@150 r1@700 p1@700 r2@750 grace",
        "+1 +2 -2");
    row("the other key's time is no repeat", "p1@100 r1@200 p2@200 grace", "+1 +2 -1");
    row("made by the program: at once", "p1@0 r1@0", "+1 -1");
}

void KeyRepeatFilterTest::only_real_presses_and_releases_count() {
    QFETCH(QString, events);
    QFETCH(QString, taken);
    QFETCH(QString, settled);
    QStringList heard;
    KeyRepeatFilter filter([&heard](int key, bool press) {
        heard << (press ? QStringLiteral("+") : QStringLiteral("-")) + QString::number(key);
    });
    for (const QString& event : events.split(QLatin1Char(' '))) {
        if (event == QLatin1String("grace")) {
            filter.settle();
            continue;
        }
        const QChar kind = event.at(0);
        filter.take(event.mid(1).section(QLatin1Char('@'), 0, 0).toInt(),
                    kind.toLower() == QLatin1Char('p'),
                    event.section(QLatin1Char('@'), 1).toULongLong(), kind.isUpper());
    }
    QCOMPARE(heard.join(QLatin1Char(' ')), taken);
    QTRY_COMPARE_WITH_TIMEOUT(heard.join(QLatin1Char(' ')), settled, 1000);
}

QTEST_GUILESS_MAIN(KeyRepeatFilterTest)
#include "key_repeat_filter_test.moc"
