#include "qt_file_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

#include "programs/example_programs.h"

#include "window_placement.h"

namespace quillmar {

QString QtFileDialogs::ask_open_name(const QString& name) {
    return ask_name(name, false);
}

QString QtFileDialogs::ask_save_name(const QString& name) {
    return ask_name(save_dialog_name(name, start_folder,
                                     examples_folder(QCoreApplication::applicationDirPath())),
                    true);
}

QString QtFileDialogs::ask_name(const QString& name, bool saving) {
    QFileDialog dialog(parent, QString::fromLatin1(file_dialog_title), start_folder,
                       QString::fromLatin1(file_dialog_filter));
    dialog.setAcceptMode(saving ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(saving ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Saving asks its own question before it replaces a file.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    // The examples as a place in the side bar of Qt's own dialog (a desktop's dialog has its own).
    // The dialog saves its side bar for every Qt program of this user: the place leaves it again.
    const QUrl examples =
        QUrl::fromLocalFile(examples_folder(QCoreApplication::applicationDirPath()));
    const bool examples_added = !examples.isEmpty() && !dialog.sidebarUrls().contains(examples);
    if (examples_added) {
        dialog.setSidebarUrls(dialog.sidebarUrls() << examples);
    }
    if (!name.isEmpty()) {
        dialog.selectFile(name);
    }
    const bool chosen = dialog.exec() == QDialog::Accepted;
    if (examples_added) {
        QList<QUrl> places = dialog.sidebarUrls();
        places.removeAll(examples);
        dialog.setSidebarUrls(places);
    }
    give_keyboard_back();
    return chosen ? dialog.selectedFiles().value(0) : QString();
}

bool QtFileDialogs::confirm_replace(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Confirm File Deletion"), text,
                    QMessageBox::Ok | QMessageBox::Cancel, parent);
    // The text holds a file name, which must not be read as markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    // Closing the box without a button counts as Cancel.
    box.setEscapeButton(QMessageBox::Cancel);
    const bool replace = box.exec() == QMessageBox::Ok;
    give_keyboard_back();
    return replace;
}

void QtFileDialogs::give_keyboard_back() {
    if (parent) {
        give_keyboard_to(*parent);
    }
}

void QtFileDialogs::beep() {
    QApplication::beep();
}

}  // namespace quillmar
