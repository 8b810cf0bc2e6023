#include "blocks_box.h"

#include <QApplication>
#include <QClipboard>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

#include "web/serve_blocks.h"

namespace quillmar {

BlocksBox::BlocksBox(ArmSession& session, std::function<QString()> program,
                     std::function<ArmServer*()> server, QWidget* parent)
    : QWidget(parent), session(session), program(std::move(program)), server(std::move(server)) {
    auto* layout = new QGridLayout(this);
    auto* open = new QPushButton(QStringLiteral("Blocks..."), this);
    open->setObjectName(QStringLiteral("blocks"));
    open->setToolTip(QStringLiteral("Opens the program as blocks in the browser, for pupils"));
    address_line = new QLineEdit(this);
    address_line->setObjectName(QStringLiteral("blocksaddress"));
    address_line->setReadOnly(true);
    address_line->setPlaceholderText(QStringLiteral("The page's address shows here"));
    address_line->setAccessibleName(QStringLiteral("Address of the blocks page"));
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName(QStringLiteral("blockscopy"));
    copy->setToolTip(QStringLiteral("Copies the address, for a browser that did not open"));
    note = new QLabel(this);
    note->setWordWrap(true);
    layout->addWidget(open, 0, 0);
    layout->addWidget(address_line, 0, 1);
    layout->addWidget(copy, 0, 2);
    layout->addWidget(note, 1, 0, 1, 3);
    layout->setRowStretch(2, 1);
    connect(open, &QPushButton::clicked, this, &BlocksBox::open_page);
    connect(copy, &QPushButton::clicked, this, [this] {
        if (!address_line->text().isEmpty()) {
            QApplication::clipboard()->setText(address_line->text());
        }
    });
}

BlocksBox::~BlocksBox() = default;

void BlocksBox::open_page() {
    ArmServer* const local = server();
    if (local == nullptr) {
        note->setText(
            QStringLiteral("The blocks page runs programs through the local interface "
                           "for scripts, which is off."));
        return;
    }
    if (page) {
        page->set_program(program(), {});
        QProcess::startDetached(QStringLiteral("xdg-open"), {page->address()});
        return;
    }
    page = serve_blocks(session, *local, program(), {}, true);
    if (!page) {
        note->setText(
            QStringLiteral("The blocks page could not be served: its files are missing "
                           "or no port is free."));
        return;
    }
    page->set_poses(poses);
    address_line->setText(page->address());
    note->setText(
        QStringLiteral("Only this computer reaches the page, and only with its address."));
}

void BlocksBox::set_poses(std::function<std::vector<NamedPose>()> named) {
    poses = std::move(named);
}

QString BlocksBox::address() const {
    return address_line->text();
}

}  // namespace quillmar
