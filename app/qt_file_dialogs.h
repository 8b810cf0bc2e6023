// The file dialog, the replace question and the beep, shown with Qt's own dialogs.
#pragma once

#include <QPointer>
#include <QWidget>

#include "programs/program_files.h"

namespace quillmar {

class QtFileDialogs : public FileDialogs {
  public:
    // The window the dialogs are modal to; set once it exists.
    void set_parent(QWidget* window) { parent = window; }

    void set_start_folder(const QString& folder) override { start_folder = folder; }
    QString ask_open_name(const QString& name) override;
    QString ask_save_name(const QString& name) override;
    bool confirm_replace(const QString& text) override;
    void beep() override;

  private:
    QString ask_name(const QString& name, bool saving);
    // A window manager gives the keyboard to another window when a dialog closes, maybe the arm
    // window, whose keys drive the arm: the window that opened the dialog takes it back.
    void give_keyboard_back();

    QPointer<QWidget> parent;
    QString start_folder;
};

}  // namespace quillmar
