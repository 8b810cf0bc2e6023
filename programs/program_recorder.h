// Teaching by hand: movements and light switches as the program lines that do them again.
#pragma once

#include <QString>
#include <QStringList>

#include "program_files.h"

namespace quillmar {

// The lines that run the motor of command 1 to 10 for `seconds`: the duration in hundredths,
// rounded and at least one, split into lines of at most the longest duration a line may hold.
QStringList movement_lines(int command_number, double seconds);

// The line that switches the light.
QString light_line();

// The program text with `lines` added as lines of their own at its end.
QString with_lines_added(const QString& text, const QStringList& lines);

// Record: while it is on, each movement made by hand and each light switch goes to the end of the
// program pane as the lines that do it again.
class Recorder {
  public:
    explicit Recorder(FilePane& pane);

    void set_on(bool on) { recording = on; }
    bool on() const { return recording; }

    // Each adds its lines while recording; true when it did.
    bool add_movement(int command_number, double seconds);
    bool add_light();

  private:
    bool add(const QStringList& lines);

    FilePane& pane;
    bool recording = false;
};

}  // namespace quillmar
