#include <QTest>
class ArmSessionTest : public QObject {
    Q_OBJECT
};
QTEST_GUILESS_MAIN(ArmSessionTest)
#include "arm_session_test.moc"
