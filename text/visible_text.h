// Outside text (device strings, file names) made safe to show as one line of a pane.
#pragma once

#include <QString>

namespace quillmar {

// Control characters (C0, DEL, C1) and the line and paragraph separators become '?', so the text
// can neither break its line nor forge lines of its own.
QString visible_text(QString text);

}  // namespace quillmar
