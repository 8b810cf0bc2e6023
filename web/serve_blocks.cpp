#include "serve_blocks.h"

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>

namespace quillmar {

std::unique_ptr<PageServer> serve_blocks(ArmSession& session, ArmServer& server,
                                         const QString& program, const QString& name,
                                         bool open_browser) {
    const QString folder = page_folder(QCoreApplication::applicationDirPath());
    const auto fail = [](const QString& why) {
        std::fputs(
            qPrintable(QStringLiteral("quillmar: the blocks page is not served: ") + why + u'\n'),
            stderr);
        return nullptr;
    };
    if (folder.isEmpty()) {
        return fail(QStringLiteral("its files are not installed"));
    }
    auto page = std::make_unique<PageServer>(session, server, folder);
    page->set_program(program, name);
    if (const QString why = page->listen(); !why.isEmpty()) {
        return fail(why);
    }
    std::fputs(qPrintable(page->address() + u'\n'), stdout);
    std::fflush(stdout);
    if (open_browser) {
        QProcess::startDetached(QStringLiteral("xdg-open"), {page->address()});
    }
    return page;
}

}  // namespace quillmar
