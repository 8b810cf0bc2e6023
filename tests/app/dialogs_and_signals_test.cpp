// The Qt face of the file dialogs, and termination signals turned into a close.
#include <csignal>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/qt_file_dialogs.h"
#include "session/signal_bridge.h"

using namespace quillmar;

namespace {

// Runs `answer` on the modal dialog once it is up.
template <typename Dialog, typename Answer>
void when_shown(Answer answer) {
    QTimer::singleShot(0, [answer] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        answer(dialog);
    });
}

}  // namespace

class DialogsAndSignalsTest : public QObject {
    Q_OBJECT
  private slots:
    void replace_question_data();
    void replace_question();
    void file_dialog();
    void signals_ask_to_close_data();
    void signals_ask_to_close();
};

void DialogsAndSignalsTest::replace_question_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("replace");
    QTest::newRow("enter takes the default, OK") << int(Qt::Key_Return) << true;
    QTest::newRow("escape is Cancel") << int(Qt::Key_Escape) << false;
}

void DialogsAndSignalsTest::replace_question() {
    QFETCH(int, key);
    QFETCH(bool, replace);
    QtFileDialogs dialogs;
    when_shown<QMessageBox>([key](QMessageBox* box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("Confirm File Deletion"));
        QCOMPARE(box->text(), QStringLiteral("Delete existing file /tmp/a.rob"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Ok));
        QTest::keyClick(box, static_cast<Qt::Key>(key));
    });
    QCOMPARE(dialogs.confirm_replace("Delete existing file /tmp/a.rob"), replace);
}

void DialogsAndSignalsTest::file_dialog() {
    QTemporaryDir folder;
    const QString preset = folder.filePath("arm.rob");
    QtFileDialogs dialogs;
    dialogs.set_start_folder(folder.path());
    when_shown<QFileDialog>([&](QFileDialog* dialog) {
        QCOMPARE(dialog->windowTitle(), QString::fromLatin1(file_dialog_title));
        QCOMPARE(dialog->nameFilters(), QStringList{QString::fromLatin1(file_dialog_filter)});
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QVERIFY(dialog->testOption(QFileDialog::DontConfirmOverwrite));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QCOMPARE(dialogs.ask_save_name(preset), preset);

    when_shown<QFileDialog>([&](QFileDialog* dialog) {
        QCOMPARE(dialog->directory().absolutePath(), QDir(folder.path()).absolutePath());
        dialog->reject();
    });
    QCOMPARE(dialogs.ask_open_name(QString()), QString());
}

void DialogsAndSignalsTest::signals_ask_to_close_data() {
    QTest::addColumn<int>("number");
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGQUIT") << SIGQUIT;
}

void DialogsAndSignalsTest::signals_ask_to_close() {
    QFETCH(int, number);
    {
        SignalBridge bridge;
        QSignalSpy requested(&bridge, &SignalBridge::termination_requested);
        QCOMPARE(std::raise(number), 0);
        QVERIFY(requested.wait(2000));
        QCOMPARE(requested.count(), 1);
    }
    // A second one as the program ends, after its bridge (Ctrl+C twice): dropped, so that the
    // program still ends with the status the first one chose, not by the signal.
    QCOMPARE(std::raise(number), 0);
}

QTEST_MAIN(DialogsAndSignalsTest)
#include "dialogs_and_signals_test.moc"
