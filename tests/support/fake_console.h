// A window face without widgets: panes as strings, the indicator as an int, locks as a log.
#pragma once

#include <QString>
#include <QStringList>

#include "armlink/console.h"

namespace quillmar::testing {

class FakeConsole : public Console {
  public:
    void show_message(const QString& text) override { message += text + QStringLiteral("\r\n"); }
    void show_error(const QString& text) override { error += text + QStringLiteral("\r\n"); }
    int light_indicator() const override { return light; }
    void set_light_indicator(int value) override { light = value; }
    QString program_text() const override { return program; }
    void set_program_text(const QString& text) override { program = text; }
    void lock_for_run() override {
        locked = true;
        events << QStringLiteral("lock");
    }
    void unlock_after_run() override {
        locked = false;
        events << QStringLiteral("unlock");
    }
    void focus_stop() override { events << QStringLiteral("focus stop"); }

    QString message;
    QString error;
    int light = 0;
    QString program;
    bool locked = false;
    QStringList events;
};

}  // namespace quillmar::testing
