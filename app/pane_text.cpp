#include "pane_text.h"

#include <QPlainTextEdit>
#include <QTextCursor>

namespace quillmar {

QString crlf_from_widget_text(const QString& widget_text) {
    QString text = widget_text;
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

QString widget_text_from_crlf(const QString& text) {
    QString widget_text = text;
    widget_text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    widget_text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return widget_text;
}

QString pane_text(const QPlainTextEdit& pane) {
    return crlf_from_widget_text(pane.toPlainText());
}

void set_pane_text(QPlainTextEdit& pane, const QString& text) {
    pane.setPlainText(widget_text_from_crlf(text));
}

void append_to_pane(QPlainTextEdit& pane, const QString& text) {
    QTextCursor end(pane.document());
    end.movePosition(QTextCursor::End);
    end.insertText(widget_text_from_crlf(text));
}

}  // namespace quillmar
