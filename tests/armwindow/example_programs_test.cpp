#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "programs/example_programs.h"
#include "programs/program_preview.h"

using namespace quillmar;

class ExampleProgramsTest : public QObject {
    Q_OBJECT
  private slots:
    void every_example_runs_cleanly_data();
    void every_example_runs_cleanly();
    void examples_are_found_beside_the_program_data();
    void examples_are_found_beside_the_program();
    void this_build_finds_the_source_trees_examples();
};

void ExampleProgramsTest::every_example_runs_cleanly_data() {
    QTest::addColumn<QString>("file");
    const QDir examples(QStringLiteral(QUILLMAR_SOURCE_EXAMPLES));
    const QStringList names = examples.entryList({QStringLiteral("*.rob")}, QDir::Files);
    QVERIFY(names.size() >= 4);
    for (const QString& name : names) {
        QTest::newRow(qPrintable(name)) << examples.filePath(name);
    }
}

// Every line runs, and the run from the start pose meets no end, so that the reverse run
// retraces it; the light ends as it began.
void ExampleProgramsTest::every_example_runs_cleanly() {
    QFETCH(QString, file);
    QFile example(file);
    QVERIFY(example.open(QIODevice::ReadOnly));
    const QByteArray bytes = example.readAll();
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(bytes.count('\n'), bytes.count("\r\n"));
    QCOMPARE(bytes.count('\r'), bytes.count("\r\n"));

    const CheckedProgram program = check_program(QString::fromLatin1(bytes));
    QVERIFY(program.rejected.empty());
    for (const QString& message : program.messages) {
        QVERIFY2(!message.startsWith(QStringLiteral("Programing error")), qPrintable(message));
    }
    const ProgramPreview forwards =
        preview_program(program, Direction::forwards, start_pose(), false);
    QCOMPARE(preview_warnings(forwards, 10), QStringList{});
    QVERIFY(!forwards.end_light);
    const ProgramPreview reverse = preview_program(program, Direction::reverse, forwards.end_pose,
                                                   forwards.end_light, start_pose());
    QCOMPARE(preview_warnings(reverse, 10), QStringList{});
}

void ExampleProgramsTest::examples_are_found_beside_the_program_data() {
    QTest::addColumn<QString>("program_folder");
    QTest::addColumn<QString>("examples");  // "" for none
    QTest::newRow("installed") << "usr/bin"
                               << "usr/share/quillmar/examples";
    QTest::newRow("installed in /usr/local") << "usr/local/bin"
                                             << "usr/local/share/quillmar/examples";
    QTest::newRow("none beside it") << "opt/bin"
                                    << "";
}

void ExampleProgramsTest::examples_are_found_beside_the_program() {
    QFETCH(QString, program_folder);
    QFETCH(QString, examples);
    QTemporaryDir root;
    const QDir scratch(root.path());
    for (const QString& folder : {QStringLiteral("usr/bin"), QStringLiteral("usr/local/bin"),
                                  QStringLiteral("usr/share/quillmar/examples"),
                                  QStringLiteral("usr/local/share/quillmar/examples"),
                                  QStringLiteral("opt/bin"), QStringLiteral("opt/examples")}) {
        QVERIFY(scratch.mkpath(folder));
    }
    const QString expected = examples.isEmpty() ? QString() : scratch.filePath(examples);
    QCOMPARE(examples_folder(scratch.filePath(program_folder)), expected);
}

// The build links share/quillmar/examples beside its program's folder to the source tree's
// examples.
void ExampleProgramsTest::this_build_finds_the_source_trees_examples() {
    const QString found = examples_folder(QStringLiteral(QUILLMAR_BUILD_PROGRAM_FOLDER));
    QVERIFY(!found.isEmpty());
    QCOMPARE(QDir(found).canonicalPath(),
             QDir(QStringLiteral(QUILLMAR_SOURCE_EXAMPLES)).canonicalPath());
}

QTEST_GUILESS_MAIN(ExampleProgramsTest)
#include "example_programs_test.moc"
