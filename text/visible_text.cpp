#include "visible_text.h"

namespace quillmar {

QString visible_text(QString text) {
    for (QChar& c : text) {
        switch (c.category()) {
            case QChar::Other_Control:
            case QChar::Separator_Line:
            case QChar::Separator_Paragraph:
                c = QLatin1Char('?');
                break;
            default:
                break;
        }
    }
    return text;
}

}  // namespace quillmar
