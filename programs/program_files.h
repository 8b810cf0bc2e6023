// Load File and Save File: program text kept in .rob files without ever losing the user's work.
#pragma once

#include <QByteArray>
#include <QString>

namespace quillmar {

inline constexpr char file_dialog_title[] = "Select file for Quillmar";
inline constexpr char file_dialog_filter[] = "Robot files (*.rob)";

// What loading and saving need of the window: the program pane's text and the message pane.
class FilePane {
  public:
    virtual ~FilePane() = default;
    // The program pane's text, lines ended by CR LF.
    virtual QString program_text() const = 0;
    virtual void set_program_text(const QString& text) = 0;
    // Appends text and CR LF to the message pane.
    virtual void show_message(const QString& text) = 0;
};

// The modal parts of loading and saving, so that tests can answer them.
class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    // The folder the first dialog opens in.
    virtual void set_start_folder(const QString& folder) = 0;
    // Shows the file dialog preset with `name`; the name it holds when closed, "" if cancelled.
    virtual QString ask_open_name(const QString& name) = 0;
    virtual QString ask_save_name(const QString& name) = 0;
    // The "Confirm File Deletion" box with OK (the default) and Cancel; true for OK.
    virtual bool confirm_replace(const QString& text) = 0;
    virtual void beep() = 0;
};

// Where the first file dialog opens: the program's folder when it is a build folder the user may
// write to, else the documents folder (passed empty when the user has none), else home. An
// installed program's folder (/usr/bin) is no place for program files, even for root, who may
// write there.
QString choose_start_folder(const QString& program_folder, bool own_build_folder,
                            const QString& documents_folder, const QString& home_folder);
// The same choice for this user, from the file system and the desktop's standard folders. A build
// folder is one of a CMake build: it or a folder above it holds CMakeCache.txt.
QString start_folder_for(const QString& program_folder);

// The name the save dialog offers for `name`: as it is, unless its folder is one the user cannot
// write to or the examples folder (which root may write to): then the same file name in
// `start_folder`, so that saving an example makes a copy where the first dialog opens.
QString save_dialog_name(const QString& name, const QString& start_folder, const QString& examples);

// A program file's text, lines ended by CR LF, or why the file holds no program.
struct ProgramFileText {
    QString text;
    QString refusal;  // empty when the file was read
    // The refusal is about the file's content and does not name the file.
    bool content_refused = false;
};

// Reads and vets a program file as Load File does: a plain file of at most 1 MiB, no NUL byte, no
// line longer than a program line. `name` is how the refusal names the file.
ProgramFileText read_program_file(const QByteArray& local_name, const QString& name);

class ProgramFiles {
  public:
    ProgramFiles(FilePane& pane, FileDialogs& dialogs);

    void load_file();
    void save_file();
    // Loads the named file into the program pane and remembers the name, as Load File does with
    // the name from its dialog; a file named at start-up or dropped on the window comes here. The
    // name is the file system's bytes, which need not be valid UTF-8.
    void load_from(const QByteArray& local_name);

    const QString& file_name() const { return program_file_name; }

  private:
    // Remembers the dialog's name without its outer spaces.
    void take_name(const QString& dialog_name);
    void load();

    FilePane& pane;
    FileDialogs& dialogs;
    // As shown and offered by the dialogs, and as the file system spells it.
    QString program_file_name;
    QByteArray program_file_path;
};

}  // namespace quillmar
