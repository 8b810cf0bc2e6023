#include "page_request.h"

#include <QList>
#include <QRandomGenerator>
#include <array>

namespace quillmar {

namespace {

// Scripts, styles, pictures and the socket from the page's own origin only; the pictures the page
// draws for export and Blockly's small icons come as blob: and data: addresses.
constexpr char policy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

bool is_token_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

// Compares in a time that does not tell how much of a guess was right.
bool same_secret(QByteArrayView given, QByteArrayView secret) {
    if (given.size() != secret.size() || secret.isEmpty()) {
        return false;
    }
    unsigned char differ = 0;
    for (qsizetype index = 0; index < secret.size(); ++index) {
        differ |= static_cast<unsigned char>(given[index] ^ secret[index]);
    }
    return differ == 0;
}

bool loopback_host(QByteArrayView host, quint16 port) {
    const QByteArray suffix = ':' + QByteArray::number(port);
    const QByteArray lower = host.toByteArray().toLower();
    for (const char* name : {"127.0.0.1", "[::1]", "localhost"}) {
        if (lower == QByteArray(name) + suffix) {
            return true;
        }
    }
    return false;
}

QByteArray cookie_value(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& pair : header.split(';')) {
        const QByteArray trimmed = pair.trimmed();
        if (trimmed.startsWith(name + '=')) {
            return trimmed.mid(name.size() + 1);
        }
    }
    return {};
}

QByteArray reason_of(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 303:
            return "See Other";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Error";
    }
}

}  // namespace

std::optional<PageRequest> read_request_head(QByteArrayView head) {
    if (head.size() > longest_request_head || !head.endsWith("\r\n\r\n")) {
        return std::nullopt;
    }
    // Lines end in CR LF; a lone CR or LF inside one is refused.
    QList<QByteArray> lines;
    QByteArrayView rest = head.chopped(2);
    while (!rest.isEmpty()) {
        const qsizetype end = rest.indexOf("\r\n");
        const QByteArrayView line = rest.first(end);
        if (line.contains('\r') || line.contains('\n')) {
            return std::nullopt;
        }
        lines << line.toByteArray();
        rest = rest.sliced(end + 2);
    }
    const QList<QByteArray> first = lines.front().split(' ');
    if (first.size() != 3 || !first[2].startsWith("HTTP/1.") || !first[1].startsWith('/')) {
        return std::nullopt;
    }
    PageRequest request;
    request.method = first[0];
    const qsizetype mark = first[1].indexOf('?');
    request.path = mark < 0 ? first[1] : first[1].left(mark);
    request.query = mark < 0 ? QByteArray() : first[1].mid(mark + 1);
    for (qsizetype index = 1; index < lines.size(); ++index) {
        const QByteArray& line = lines[index];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            return std::nullopt;
        }
        const QByteArray name = line.left(colon).toLower();
        if (!std::ranges::all_of(name, is_token_char) || request.headers.contains(name)) {
            return std::nullopt;
        }
        request.headers.insert(name, line.mid(colon + 1).trimmed());
    }
    return request;
}

QByteArray token_cookie(const PageAccess& access) {
    return "quillmar_token_" + QByteArray::number(access.port);
}

bool wants_socket(const PageRequest& request) {
    return request.headers.value("upgrade").toLower() == "websocket";
}

Verdict judge(const PageRequest& request, const PageAccess& access) {
    if (request.method != "GET" && request.method != "HEAD") {
        return Verdict::bad_request;
    }
    if (!loopback_host(request.headers.value("host"), access.port)) {
        return Verdict::foreign_host;
    }
    const bool socket = wants_socket(request);
    if (request.headers.contains("origin") || socket) {
        const QByteArray origin = request.headers.value("origin");
        if (!origin.startsWith("http://") || !loopback_host(origin.mid(7), access.port)) {
            return Verdict::foreign_origin;
        }
    }
    if (socket && request.path != "/socket") {
        return Verdict::bad_request;
    }
    if (same_secret(cookie_value(request.headers.value("cookie"), token_cookie(access)),
                    access.token)) {
        return Verdict::page;
    }
    if (!socket && request.query.startsWith("token=") &&
        same_secret(QByteArrayView(request.query).sliced(6), access.token)) {
        return Verdict::take_token;
    }
    return Verdict::no_token;
}

QByteArray page_answer(int status, const QByteArray& type, const QByteArray& body,
                       const QByteArray& extra_headers) {
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason_of(status) +
           "\r\nContent-Type: " + type + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nContent-Security-Policy: " + policy +
           "\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
           "Referrer-Policy: no-referrer\r\nCross-Origin-Opener-Policy: same-origin\r\n"
           "Cross-Origin-Resource-Policy: same-origin\r\nCache-Control: no-store\r\n" +
           extra_headers + "Connection: close\r\n\r\n" + body;
}

QByteArray refusal_answer(Verdict verdict) {
    const auto text = [](int status, const char* why) {
        return page_answer(status, "text/plain; charset=utf-8", QByteArray(why) + '\n');
    };
    switch (verdict) {
        case Verdict::foreign_host:
            return text(403, "Only this computer's own addresses reach the blocks page.");
        case Verdict::foreign_origin:
            return text(403, "Only the blocks page itself may ask this.");
        case Verdict::no_token:
            return text(403, "Open the blocks page with the address that Quillmar printed.");
        case Verdict::bad_request:
            return text(400, "The blocks page answers GET requests only.");
        case Verdict::page:
        case Verdict::take_token:
            break;
    }
    return text(400, "Bad request.");
}

QByteArray content_type(QByteArrayView path) {
    static constexpr std::array<std::pair<const char*, const char*>, 9> types{{
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".gif", "image/gif"},
        {".cur", "image/x-icon"},
        {".mp3", "audio/mpeg"},
        {".json", "application/json"},
    }};
    for (const auto& [end, type] : types) {
        if (path.endsWith(end)) {
            return type;
        }
    }
    return "application/octet-stream";
}

QByteArray fresh_token() {
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char*>(words.data()),
                      static_cast<qsizetype>(sizeof(words)))
        .toHex();
}

}  // namespace quillmar
