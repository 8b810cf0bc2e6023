#include "number_text.h"

namespace quillmar {

QString number_text(long long value) {
    return value < 0 ? QString::number(value) : QLatin1Char(' ') + QString::number(value);
}

}  // namespace quillmar
