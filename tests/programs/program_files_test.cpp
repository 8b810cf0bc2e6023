// Saving program text to files and loading it back without losing the user's work.

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "programs/program_check.h"
#include "programs/program_files.h"
#include "support/scripted_dialogs.h"

namespace quillmar {
namespace {

// The program pane and the message pane as strings.
struct Pane : FilePane {
    QString program_text() const override { return program; }
    void set_program_text(const QString& text) override { program = text; }
    void show_message(const QString& text) override { message += text + QStringLiteral("\r\n"); }
    QString program;
    QString message;
};

QByteArray read_bytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void write_bytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Every file under the folder with its content, to show that a failure changed nothing.
QMap<QString, QByteArray> snapshot(const QString& folder) {
    QMap<QString, QByteArray> files;
    QDir dir(folder);
    for (const QString& entry :
         dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        const QFileInfo info(dir.filePath(entry));
        files[entry] = info.isDir()    ? QByteArray("<folder>")
                       : info.isFile() ? read_bytes(info.filePath())
                                       : QByteArray("<special>");
    }
    return files;
}

QString high_bytes() {
    QString text;
    for (int c = 0x80; c <= 0xFF; ++c) {
        text += QChar(c);
    }
    return text;
}

}  // namespace

class ProgramFilesTest : public QObject {
    Q_OBJECT

  private slots:
    void init();

    void saves_and_loads_data();
    void saves_and_loads();
    void loads_line_ends_data();
    void loads_line_ends();
    void each_round_trip_adds_an_empty_line();
    void save_with_empty_pane_only_beeps();
    void empty_name_stops_both();
    void trims_and_remembers_the_name();
    void saves_over_an_existing_file_data();
    void saves_over_an_existing_file();
    void reports_failures_data();
    void reports_failures();
    void read_only_folder_keeps_old_file();
    void write_failing_midway_keeps_old_file();
    void names_show_control_characters_as_question_marks_data();
    void names_show_control_characters_as_question_marks();
    void opens_a_name_that_is_not_utf8_by_its_bytes();
    void start_folder_data();
    void start_folder();
    void save_dialog_starts_where_the_user_may_write_data();
    void save_dialog_starts_where_the_user_may_write();
    void start_folder_of_a_program_data();
    void start_folder_of_a_program();

  private:
    QString path(const QString& name) const { return dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> dir;
    Pane pane;
    testing::ScriptedDialogs dialogs;
};

void ProgramFilesTest::init() {
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    pane = Pane{};
    dialogs.answer.clear();
    dialogs.replace = true;
    dialogs.while_confirming = nullptr;
    dialogs.shown.clear();
}

void ProgramFilesTest::saves_and_loads_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("loaded");

    QTest::newRow("two lines") << "1,100\r\n2,50" << QByteArray("1,100\r\n2,50\r\n")
                               << "1,100\r\n2,50\r\n";
    QTest::newRow("ends with a line break") << "1,100\r\n"
                                            << QByteArray("1,100\r\n\r\n") << "1,100\r\n\r\n";
    QTest::newRow("spaces and empty lines kept")
        << "  \r\n\r\n 3 , 7 " << QByteArray("  \r\n\r\n 3 , 7 \r\n") << "  \r\n\r\n 3 , 7 \r\n";
    QTest::newRow("line breaks alone") << "\r\n" << QByteArray("\r\n\r\n") << "\r\n\r\n";
    QTest::newRow("bytes 0x80 to 0xFF") << high_bytes() << high_bytes().toLatin1() + "\r\n"
                                        << high_bytes() + "\r\n";
}

void ProgramFilesTest::saves_and_loads() {
    QFETCH(QString, text);
    QFETCH(QByteArray, file);
    QFETCH(QString, loaded);

    ProgramFiles files(pane, dialogs);
    dialogs.answer = path("p.rob");
    pane.program = text;
    files.save_file();
    QCOMPARE(pane.message, "File saved\r\n");
    QCOMPARE(read_bytes(path("p.rob")), file);

    pane.program = "something else";
    files.load_file();
    QCOMPARE(pane.program, loaded);
    QCOMPARE(pane.message, "File saved\r\n");
}

void ProgramFilesTest::loads_line_ends_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("text");

    QTest::newRow("last line without line end")
        << QByteArray("1,100\r\n2,50") << "1,100\r\n2,50\r\n";
    QTest::newRow("CR alone") << QByteArray("1,100\r2,50\r") << "1,100\r\n2,50\r\n";
    QTest::newRow("LF alone") << QByteArray("1,100\n2,50\n") << "1,100\r\n2,50\r\n";
    QTest::newRow("LF then CR is two line ends") << QByteArray("a\n\rb") << "a\r\n\r\nb\r\n";
    QTest::newRow("empty lines kept") << QByteArray("\r\n\r\n") << "\r\n\r\n";
    QTest::newRow("empty file") << QByteArray() << "";
    const QByteArray longest = "1," + QByteArray(longest_line - 2, '7');
    QTest::newRow("the longest line")
        << "0,\r" + longest << QString::fromLatin1("0,\r\n" + longest + "\r\n");
}

void ProgramFilesTest::loads_line_ends() {
    QFETCH(QByteArray, file);
    QFETCH(QString, text);

    write_bytes(path("p.rob"), file);
    ProgramFiles files(pane, dialogs);
    dialogs.answer = path("p.rob");
    pane.program = "old text";
    files.load_file();
    QCOMPARE(pane.program, text);
    QCOMPARE(pane.message, "");
}

void ProgramFilesTest::each_round_trip_adds_an_empty_line() {
    ProgramFiles files(pane, dialogs);
    dialogs.answer = path("p.rob");
    pane.program = "1,100\r\n";
    for (int round = 1; round <= 3; ++round) {
        files.save_file();
        files.load_file();
        QCOMPARE(pane.program, "1,100\r\n" + QString("\r\n").repeated(round));
    }
}

void ProgramFilesTest::save_with_empty_pane_only_beeps() {
    ProgramFiles files(pane, dialogs);
    dialogs.answer = path("p.rob");
    files.save_file();
    QCOMPARE(dialogs.shown, QStringList{"beep"});
    QVERIFY(!QFile::exists(path("p.rob")));
    QCOMPARE(pane.message, "");

    pane.program = " ";
    files.save_file();
    QCOMPARE(read_bytes(path("p.rob")), " \r\n");
}

void ProgramFilesTest::empty_name_stops_both() {
    ProgramFiles files(pane, dialogs);
    pane.program = "1,100\r\n";
    dialogs.answer = "   ";
    files.save_file();
    files.load_file();
    QCOMPARE(dialogs.shown, (QStringList{"save ", "beep", "open "}));
    QCOMPARE(pane.program, "1,100\r\n");
    QCOMPARE(pane.message, "");
    QVERIFY(snapshot(dir->path()).isEmpty());
}

void ProgramFilesTest::trims_and_remembers_the_name() {
    ProgramFiles files(pane, dialogs);
    pane.program = "1,100";
    dialogs.answer = "  " + path("p.rob") + "  ";
    files.save_file();
    QCOMPARE(files.file_name(), path("p.rob"));
    QCOMPARE(read_bytes(path("p.rob")), "1,100\r\n");

    dialogs.answer = path("p.rob");
    files.load_file();
    QCOMPARE(dialogs.shown, (QStringList{"save ", "open " + path("p.rob")}));
}

void ProgramFilesTest::saves_over_an_existing_file_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<bool>("removed_while_asking");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("OK replaces") << "new" << true << false << "File saved" << QByteArray("new\r\n");
    QTest::newRow("Cancel keeps") << "new" << false << false << "File not saved"
                                  << QByteArray("old\r\n");
    QTest::newRow("removed while asking")
        << "new" << true << true << "File saved" << QByteArray("new\r\n");
    QTest::newRow("text beyond 8 bits")
        << QString::fromUtf8("1,100 \u20ac") << true << false
        << "File not saved: the text holds characters that a program file cannot hold"
        << QByteArray("old\r\n");
}

void ProgramFilesTest::saves_over_an_existing_file() {
    QFETCH(QString, text);
    QFETCH(bool, replace);
    QFETCH(bool, removed_while_asking);
    QFETCH(QString, message);
    QFETCH(QByteArray, file);

    write_bytes(path("p.rob"), "old\r\n");
    ProgramFiles files(pane, dialogs);
    pane.program = text;
    dialogs.answer = path("p.rob");
    dialogs.replace = replace;
    if (removed_while_asking) {
        dialogs.while_confirming = [this] { QFile::remove(path("p.rob")); };
    }
    files.save_file();
    QCOMPARE(pane.message, message + "\r\n");
    QCOMPARE(read_bytes(path("p.rob")), file);
    QCOMPARE(snapshot(dir->path()).keys(), QStringList{"p.rob"});

    // The name stays for the next dialog whether or not the file was written.
    dialogs.answer.clear();
    files.load_file();
    QCOMPARE(dialogs.shown, (QStringList{"save ", "confirm Delete existing file " + path("p.rob"),
                                         "open " + path("p.rob")}));
}

void ProgramFilesTest::reports_failures_data() {
    QTest::addColumn<bool>("saving");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("message");  // the whole line, or its start when it ends in ": "

    QTest::newRow("save to a folder") << true << "folder.rob"
                                      << "File not saved: %1 is a folder";
    QTest::newRow("save inside a file") << true << "plain.rob/x.rob"
                                        << "File not saved: ";
    QTest::newRow("save into a missing folder") << true << "missing/x.rob"
                                                << "File not saved: ";
    QTest::newRow("save to a pipe") << true << "pipe.rob"
                                    << "File not saved: %1 is not a plain file";
    QTest::newRow("load a pipe") << false << "pipe.rob"
                                 << "File not loaded: %1 is not a plain file";
    QTest::newRow("load a folder") << false << "folder.rob"
                                   << "File not loaded: %1 is a folder";
    QTest::newRow("load an endless device") << false << "zero.rob"
                                            << "File not loaded: %1 is not a plain file";
    QTest::newRow("load a missing file") << false << "gone.rob"
                                         << "File not loaded: ";
    QTest::newRow("load inside a file") << false << "plain.rob/x.rob"
                                        << "File not loaded: ";
    QTest::newRow("load a missing file names it") << false << "gone.rob"
                                                  << "File not loaded: %1: ";
    QTest::newRow("load a large file")
        << false << "big.rob"
        << "File not loaded: the file is larger than 1 MiB, too large for a program";
    QTest::newRow("load NUL bytes")
        << false << "nul.rob"
        << "File not loaded: the file holds NUL bytes, it is not a program text";
    QTest::newRow("load a line too long")
        << false << "long.rob"
        << "File not loaded: line 3 is longer than 32765 characters, too long for a program";
}

void ProgramFilesTest::reports_failures() {
    QFETCH(bool, saving);
    QFETCH(QString, name);
    QFETCH(QString, message);

    write_bytes(path("plain.rob"), "old\r\n");
    QVERIFY(QDir(dir->path()).mkdir("folder.rob"));
    write_bytes(path("big.rob"), QByteArray(1024 * 1024 + 1, '1'));
    write_bytes(path("nul.rob"), QByteArray("1,100\r\n\0\r\n", 10));
    // Laid out in the program pane, a line this long would keep the window busy.
    write_bytes(path("long.rob"), "1,100\n\r" + QByteArray(longest_line + 1, '7') + "\r\n");
    QCOMPARE(mkfifo(QFile::encodeName(path("pipe.rob")).constData(), 0600), 0);
    QVERIFY(QFile::link("/dev/zero", path("zero.rob")));
    const auto before = snapshot(dir->path());

    ProgramFiles files(pane, dialogs);
    pane.program = "1,100\r\n";
    dialogs.answer = path(name);
    saving ? files.save_file() : files.load_file();

    const QString expected = message.contains("%1") ? message.arg(path(name)) : message;
    if (expected.endsWith(": ")) {
        // The reason comes from the system; it must be there, on the one line.
        QVERIFY2(pane.message.startsWith(expected), qPrintable(pane.message));
        QVERIFY(pane.message.size() > expected.size() + 2);
        QCOMPARE(pane.message.count("\r\n"), 1);
    } else {
        QCOMPARE(pane.message, expected + "\r\n");
    }
    QCOMPARE(pane.program, "1,100\r\n");
    QCOMPARE(snapshot(dir->path()), before);
    QCOMPARE(files.file_name(), path(name));
}

void ProgramFilesTest::read_only_folder_keeps_old_file() {
    if (geteuid() == 0) {
        QSKIP("permissions do not stop root from writing; the other failure cases still run");
    }
    QVERIFY(QDir(dir->path()).mkdir("locked"));
    const QString name = path("locked/p.rob");
    write_bytes(name, "old\r\n");
    QVERIFY(QFile::setPermissions(path("locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    ProgramFiles files(pane, dialogs);
    pane.program = "new";
    dialogs.answer = name;
    files.save_file();
    QFile::setPermissions(path("locked"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY2(pane.message.startsWith("File not saved: "), qPrintable(pane.message));
    QCOMPARE(pane.message.count("\r\n"), 1);
    QCOMPARE(read_bytes(name), "old\r\n");
}

// The disk refuses the new file part of the way through: a file-size limit makes the system's own
// write fail with EFBIG once the file passes 4 KiB, as a full disk or a quota would.
void ProgramFilesTest::write_failing_midway_keeps_old_file() {
    write_bytes(path("p.rob"), "old\r\n");
    ProgramFiles files(pane, dialogs);
    pane.program = QString(10000, QLatin1Char('1'));
    dialogs.answer = path("p.rob");

    rlimit before{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = 4096;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    files.save_file();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_handler);

    QCOMPARE(pane.message, "File not saved: File too large\r\n");
    QCOMPARE(read_bytes(path("p.rob")), "old\r\n");
    QCOMPARE(snapshot(dir->path()).keys(), QStringList{"p.rob"});
}

void ProgramFilesTest::names_show_control_characters_as_question_marks_data() {
    QTest::addColumn<bool>("saving");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folder");
    QTest::addColumn<QString>("message");  // %1: the path as shown
    QTest::addColumn<QString>("shown");

    const QString forged = QStringLiteral("forged\r\nFile saved\r\nArm attached");
    const QString forged_shown = QStringLiteral("forged??File saved??Arm attached");
    QTest::newRow("load") << false << forged << true << "File not loaded: %1 is a folder"
                          << forged_shown;
    QTest::newRow("save") << true << forged << true << "File not saved: %1 is a folder"
                          << forged_shown;
    QTest::newRow("replace question, tab, NEL and line separator")
        << true << QString::fromUtf8("a\tb\u0085c\u2028d.rob") << false << "File not saved"
        << "a?b?c?d.rob";
}

void ProgramFilesTest::names_show_control_characters_as_question_marks() {
    QFETCH(bool, saving);
    QFETCH(QString, name);
    QFETCH(bool, folder);
    QFETCH(QString, message);
    QFETCH(QString, shown);

    if (folder) {
        QVERIFY(QDir(dir->path()).mkdir(name));
    } else {
        write_bytes(path(name), "old\r\n");
    }
    ProgramFiles files(pane, dialogs);
    pane.program = "1,100\r\n";
    dialogs.answer = path(name);
    dialogs.replace = false;
    saving ? files.save_file() : files.load_file();
    QCOMPARE(pane.message, QString(message).replace("%1", path(shown)) + "\r\n");
    if (!folder) {
        QCOMPARE(dialogs.shown.last(), "confirm Delete existing file " + path(shown));
    }
    QCOMPARE(files.file_name(), path(name));
}

// The command line and a drop give a name's bytes; Latin-1 bytes are no UTF-8 and decode to
// another name, which the dialogs then show and hand back.
void ProgramFilesTest::opens_a_name_that_is_not_utf8_by_its_bytes() {
    const QByteArray name = QFile::encodeName(dir->path()) + "/caf\xe9.rob";
    const int descriptor = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(descriptor >= 0);
    // The temporary folder cannot remove a name that it cannot decode.
    const auto remove = [](const char* doomed) { ::unlink(doomed); };
    const std::unique_ptr<const char, decltype(remove)> removed(name.constData(), remove);
    QCOMPARE(::write(descriptor, "1,100", 5), 5);
    ::close(descriptor);

    ProgramFiles files(pane, dialogs);
    files.load_from(name);
    QCOMPARE(pane.program, "1,100\r\n");
    QCOMPARE(pane.message, "");

    pane.program.clear();
    dialogs.answer = files.file_name();
    files.load_file();
    QCOMPARE(pane.program, "1,100\r\n");

    // Saving goes through the name's text, which names another file.
    files.save_file();
    QCOMPARE(pane.message,
             "File not saved: the file name is not valid UTF-8, choose another name\r\n");
    QVERIFY(!QFile::exists(files.file_name()));
}

void ProgramFilesTest::save_dialog_starts_where_the_user_may_write_data() {
    QTest::addColumn<QString>("folder");  // under the test's folder; "" for the name alone
    QTest::addColumn<bool>("writable");
    QTest::addColumn<bool>("examples");  // the folder is the examples folder
    QTest::addColumn<bool>("kept");      // the name offered as it is
    QTest::newRow("the user's folder") << "mine" << true << false << true;
    QTest::newRow("a folder the user cannot write") << "shared" << false << false << false;
    QTest::newRow("the examples, writable by root") << "examples" << true << true << false;
    QTest::newRow("a folder that is gone") << "gone" << false << false << false;
}

void ProgramFilesTest::save_dialog_starts_where_the_user_may_write() {
    QFETCH(QString, folder);
    QFETCH(bool, writable);
    QFETCH(bool, examples);
    QFETCH(bool, kept);
    const QString place = path(folder);
    if (folder != QLatin1String("gone")) {
        QVERIFY(QDir().mkpath(place));
        QFile::setPermissions(place, writable
                                         ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                         : QFile::ReadOwner | QFile::ExeOwner);
    }
    const QString name = place + QStringLiteral("/wave.rob");
    const QString offered = save_dialog_name(name, QStringLiteral("/home/u/Documents"),
                                             examples ? place : path(QStringLiteral("elsewhere")));
    QFile::setPermissions(place, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // Root may write anywhere: only the examples count then.
    if (!writable && !examples && ::geteuid() == 0 && folder != QLatin1String("gone")) {
        QSKIP("root writes to any folder");
    }
    QCOMPARE(offered, kept ? name : QStringLiteral("/home/u/Documents/wave.rob"));
}

void ProgramFilesTest::start_folder_data() {
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("documents");
    QTest::addColumn<QString>("expected");

    QTest::newRow("writable program folder, as a build") << true << "/home/u/Documents"
                                                         << "/opt/q";
    QTest::newRow("read-only program folder, with documents") << false << "/home/u/Documents"
                                                              << "/home/u/Documents";
    QTest::newRow("read-only program folder, no documents") << false << ""
                                                            << "/home/u";
}

void ProgramFilesTest::start_folder() {
    QFETCH(bool, writable);
    QFETCH(QString, documents);
    QFETCH(QString, expected);

    QCOMPARE(choose_start_folder("/opt/q", writable, documents, "/home/u"), expected);
    write_bytes(path("CMakeCache.txt"), "");
    QCOMPARE(start_folder_for(dir->path()), dir->path());
}

// Only a build folder is the first folder; an installed program's is not, though root may write
// to it.
void ProgramFilesTest::start_folder_of_a_program_data() {
    QTest::addColumn<QString>("cache");  // where CMakeCache.txt lies, below the temporary folder
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("opens_there");
    const auto row = [](const char* name, const char* cache, const char* program, bool there) {
        QTest::newRow(name) << cache << program << there;
    };
    row("a build's program folder", "build", "build/app", true);
    row("a build's top folder", "build", "build", true);
    row("a test's folder in a build", "build", "build/tests/app", true);
    row("an installed program", "", "usr/bin", false);
    row("beside a build", "build", "usr/bin", false);
}

void ProgramFilesTest::start_folder_of_a_program() {
    QFETCH(QString, cache);
    QFETCH(QString, program);
    QFETCH(bool, opens_there);
    QVERIFY(QDir(dir->path()).mkpath(program));
    if (!cache.isEmpty()) {
        QVERIFY(QDir(dir->path()).mkpath(cache));
        write_bytes(path(cache + QStringLiteral("/CMakeCache.txt")), "");
    }
    const QString folder = path(program);
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString elsewhere = QFileInfo(documents).isDir() ? documents : QDir::homePath();
    QCOMPARE(start_folder_for(folder), opens_there ? folder : elsewhere);
}

}  // namespace quillmar

QTEST_APPLESS_MAIN(quillmar::ProgramFilesTest)
#include "program_files_test.moc"
