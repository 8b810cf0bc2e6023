// The timing thread's priority asked of RealtimeKit, where the thread may not raise it itself: a
// stand-in service with RealtimeKit's interface on a private bus that the program takes for the
// system bus.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QProcess>
#include <QTest>
#include <atomic>
#include <optional>
#include <thread>

#include "motion/timing_priority.h"
#include "support/emulation.h"
#include "support/thread_capabilities.h"

using namespace quillmar;

namespace {

const QString rtkit_service = QStringLiteral("org.freedesktop.RealtimeKit1");

struct Asked {
    quint64 thread;
    int priority;
};

// What RealtimeKit answers, as its documentation gives the interface.
class StandInRealtimeKit : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MinNiceLevel READ min_nice_level)

  public:
    int min_nice_level() const { return lowest; }

    int lowest = -15;
    bool refuses = false;
    std::optional<Asked> asked;

  public slots:
    void MakeThreadHighPriority(qulonglong thread, int priority) {
        asked = Asked{thread, priority};
        if (refuses) {
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("Operation not permitted"));
        }
    }
};

// Whether the thread may not raise its own priority, once the limit allows nothing.
bool may_not_raise_itself() {
    const rlimit none{0, 0};
    return setrlimit(RLIMIT_NICE, &none) == 0 &&
           setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -1) != 0;
}

}  // namespace

Q_DECLARE_METATYPE(TimingPriority)

class TimingPriorityTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void cleanupTestCase();
    void asked_of_realtimekit_data();
    void asked_of_realtimekit();

  private:
    QProcess bus;
    StandInRealtimeKit rtkit;
};

void TimingPriorityTest::initTestCase() {
    if (quillmar::testing::under_emulation()) {
        QSKIP("an emulated test cannot start the bus's process");
    }
    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"),
               QStringLiteral("--print-address=1")});
    QVERIFY2(bus.waitForStarted(), "dbus-daemon did not start");
    QVERIFY(bus.waitForReadyRead(5000));
    const QString address = QString::fromLocal8Bit(bus.readLine()).trimmed();
    QVERIFY(!address.isEmpty());
    // Read once, when the program first reaches for the system bus.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toLocal8Bit());
    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("rtkit"));
    QVERIFY(service.isConnected());
    QVERIFY(service.registerObject(
        QStringLiteral("/org/freedesktop/RealtimeKit1"), &rtkit,
        QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
}

void TimingPriorityTest::cleanupTestCase() {
    if (bus.state() == QProcess::NotRunning) {
        return;
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("rtkit"));
    bus.terminate();
    bus.waitForFinished();
}

void TimingPriorityTest::asked_of_realtimekit_data() {
    QTest::addColumn<bool>("present");
    QTest::addColumn<int>("lowest");
    QTest::addColumn<bool>("refuses");
    QTest::addColumn<int>("asked");  // the nice level asked for; 0: none
    QTest::addColumn<TimingPriority>("outcome");
    QTest::newRow("granted") << true << -15 << false << -10 << TimingPriority::raised_by_rtkit;
    QTest::newRow("granted no higher than it allows")
        << true << -5 << false << -5 << TimingPriority::raised_by_rtkit;
    QTest::newRow("refused") << true << -15 << true << -10 << TimingPriority::unchanged;
    QTest::newRow("absent") << false << -15 << false << 0 << TimingPriority::unchanged;
}

// Each row in a thread of its own, as only a thread's first call asks.
void TimingPriorityTest::asked_of_realtimekit() {
    QFETCH(bool, present);
    QFETCH(int, lowest);
    QFETCH(bool, refuses);
    QFETCH(int, asked);
    QFETCH(TimingPriority, outcome);
    QDBusConnection service = QDBusConnection(QStringLiteral("rtkit"));
    if (present) {
        QVERIFY(service.registerService(rtkit_service));
    }
    rtkit.lowest = lowest;
    rtkit.refuses = refuses;
    rtkit.asked.reset();

    std::atomic<bool> done = false;
    bool alone = false;
    quint64 thread = 0;
    TimingPriority result{};
    std::thread timing([&] {
        thread = static_cast<quint64>(syscall(SYS_gettid));
        // Root's power to raise it is given up too.
        const quillmar::testing::WithoutCapabilities seated{CAP_SYS_NICE};
        alone = may_not_raise_itself();
        if (alone) {
            result = raise_timing_priority();
        }
        done = true;
    });
    // The stand-in answers from this thread's events.
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    timing.join();
    if (present) {
        QVERIFY(service.unregisterService(rtkit_service));
    }
    if (!alone) {
        QSKIP("this thread cannot give up raising its own priority here");
    }
    QCOMPARE(result, outcome);
    QCOMPARE(rtkit.asked.has_value(), asked != 0);
    if (asked != 0) {
        QCOMPARE(rtkit.asked->thread, thread);
        QCOMPARE(rtkit.asked->priority, asked);
    }
}

QTEST_GUILESS_MAIN(TimingPriorityTest)
#include "timing_priority_test.moc"
