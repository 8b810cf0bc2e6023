// Serving the blocks page for a front end: the server started, its address told, a browser opened.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "page_server.h"

namespace quillmar {

// The page served as connections of `server`, opening with `program` (named `name`); its address
// printed on standard output and, when `open_browser`, opened with xdg-open. Nothing, with a line
// on standard error, when it could not be served.
std::unique_ptr<PageServer> serve_blocks(ArmSession& session, ArmServer& server,
                                         const QString& program, const QString& name,
                                         bool open_browser);

}  // namespace quillmar
