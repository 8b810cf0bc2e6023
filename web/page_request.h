// The blocks page's HTTP requests: the head read, and who may have what: loopback names only,
// the page's own origin, the token of this start.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <optional>

namespace quillmar {

// No request of the page's comes near this; a longer head is refused.
inline constexpr qsizetype longest_request_head = 16 * 1024;

struct PageRequest {
    QByteArray method;
    QByteArray path;                       // without the query
    QByteArray query;                      // after '?', empty when none
    QMap<QByteArray, QByteArray> headers;  // names in lower case; a repeated name is refused
};

// The request line and headers, up to and with the empty line; nothing when they are malformed.
std::optional<PageRequest> read_request_head(QByteArrayView head);

// What a request may have, from what it carries.
struct PageAccess {
    QByteArray token;  // this start's secret
    quint16 port;
};

enum class Verdict {
    page,          // serve the file, or upgrade the page's socket
    take_token,    // the token came in the address: keep it in the cookie and go on without it
    bad_request,   // not a GET, or a WebSocket elsewhere than the page's socket
    foreign_host,  // a Host other than the loopback names with this port: DNS rebinding
    foreign_origin,
    no_token,
};

// The name of the cookie that keeps the token; the port tells two starts apart.
QByteArray token_cookie(const PageAccess& access);

Verdict judge(const PageRequest& request, const PageAccess& access);

// A WebSocket handshake for the page's socket.
bool wants_socket(const PageRequest& request);

// The status line, headers and body of an answer; every answer carries the page's policy.
QByteArray page_answer(int status, const QByteArray& type, const QByteArray& body,
                       const QByteArray& extra_headers = {});

// The answer that refuses `verdict`.
QByteArray refusal_answer(Verdict verdict);

// The type of a file of the page by its name's end.
QByteArray content_type(QByteArrayView path);

// A fresh secret from the system's random source, as hex.
QByteArray fresh_token();

}  // namespace quillmar
