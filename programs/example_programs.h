// Where the example programs that come with Quillmar are found.
#pragma once

#include <QString>

namespace quillmar {

// The examples folder of a program that runs from `program_folder`: share/quillmar/examples beside
// the folder that holds the program, as installed (/usr/bin and /usr/share/quillmar/examples) and
// as a build folder links it to the examples of its source tree; "" when there is none.
QString examples_folder(const QString& program_folder);

}  // namespace quillmar
