// File dialogs that answer at once with what the test set up, and remember what was asked.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

#include "programs/program_files.h"

namespace quillmar::testing {

class ScriptedDialogs : public FileDialogs {
  public:
    void set_start_folder(const QString& folder) override { start_folder = folder; }
    QString ask_open_name(const QString& name) override {
        shown << QStringLiteral("open ") + name;
        return answer;
    }
    QString ask_save_name(const QString& name) override {
        shown << QStringLiteral("save ") + name;
        return answer;
    }
    bool confirm_replace(const QString& text) override {
        shown << QStringLiteral("confirm ") + text;
        if (while_confirming) {
            while_confirming();
        }
        return replace;
    }
    void beep() override { shown << QStringLiteral("beep"); }

    int beeps() const { return static_cast<int>(shown.count(QStringLiteral("beep"))); }

    QString start_folder;
    QString answer;  // the name every file dialog closes with
    bool replace = true;
    std::function<void()> while_confirming;
    QStringList shown;
};

}  // namespace quillmar::testing
