// The colours of the arm window's drawings and marks: the palette's own, or chosen to stand out
// on it, whether the palette is light or dark.
#pragma once

#include <QColor>

class QPalette;

namespace quillmar {

struct ArmColours {
    QColor background;  // the palette's base
    QColor text;        // the palette's text
    QColor frame;       // between the two
    QColor pause;       // a faint band on the background
    QColor ground;
    QColor body;
    QColor joint;
    QColor finger;
    QColor lamp_off;
    QColor glow;
    QColor ghost;
    // A joint at its end, and Record on: in marks on the background and in text on the window.
    QColor red;
    QColor raising;   // a movement towards the joint's maximum
    QColor lowering;  // towards its minimum
    QColor light_on;
    QColor now;  // where a run has come to on the timeline
};

// A palette whose text is lighter than its base is a dark one: the marks are lighter there.
ArmColours arm_colours(const QPalette& palette);

}  // namespace quillmar
