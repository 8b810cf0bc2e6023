// Numbers as the program's messages write them: a leading blank for zero and up, a minus below.
#pragma once

#include <QString>

namespace quillmar {

QString number_text(long long value);

}  // namespace quillmar
