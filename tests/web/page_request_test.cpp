// Who may have what of the blocks page: a request's head read, and every refusal of a foreign
// host, a foreign origin or a missing token.
#include <QTest>

#include "web/page_request.h"

using namespace quillmar;

namespace {

const PageAccess page_access{"0123456789abcdef", 8123};

QByteArray head(const QByteArray& line, const QByteArrayList& headers) {
    return line + "\r\n" + headers.join("\r\n") + (headers.isEmpty() ? "" : "\r\n") + "\r\n";
}

}  // namespace

class PageRequestTest : public QObject {
    Q_OBJECT
  private slots:
    void requests_judged_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QByteArrayList>("headers");
        QTest::addColumn<Verdict>("verdict");
        const QByteArray cookie = "Cookie: a=b; quillmar_token_8123=0123456789abcdef";
        const QByteArray socket = "Upgrade: websocket";
        QTest::newRow("the cookie's token")
            << QByteArray("GET /page.js HTTP/1.1") << QByteArrayList{"Host: 127.0.0.1:8123", cookie}
            << Verdict::page;
        QTest::newRow("IPv6 loopback")
            << QByteArray("GET / HTTP/1.1") << QByteArrayList{"Host: [::1]:8123", cookie}
            << Verdict::page;
        QTest::newRow("localhost in any case")
            << QByteArray("GET / HTTP/1.1") << QByteArrayList{"Host: LocalHost:8123", cookie}
            << Verdict::page;
        QTest::newRow("the page's own origin")
            << QByteArray("GET / HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: http://localhost:8123", cookie}
            << Verdict::page;
        QTest::newRow("the token in the address")
            << QByteArray("GET /?token=0123456789abcdef HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123"} << Verdict::take_token;
        QTest::newRow("the page's socket")
            << QByteArray("GET /socket HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: http://127.0.0.1:8123", socket,
                              cookie}
            << Verdict::page;
        QTest::newRow("no token") << QByteArray("GET / HTTP/1.1")
                                  << QByteArrayList{"Host: 127.0.0.1:8123"} << Verdict::no_token;
        QTest::newRow("a wrong token")
            << QByteArray("GET /?token=0123456789abcdee HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Cookie: quillmar_token_8123=x"}
            << Verdict::no_token;
        QTest::newRow("the token's start only")
            << QByteArray("GET /?token=0123 HTTP/1.1") << QByteArrayList{"Host: 127.0.0.1:8123"}
            << Verdict::no_token;
        QTest::newRow("another start's cookie")
            << QByteArray("GET / HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123",
                              "Cookie: quillmar_token_8124=0123456789abcdef"}
            << Verdict::no_token;
        QTest::newRow("the socket with the token in its address")
            << QByteArray("GET /socket?token=0123456789abcdef HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: http://127.0.0.1:8123", socket}
            << Verdict::no_token;
        QTest::newRow("a rebound name")
            << QByteArray("GET / HTTP/1.1") << QByteArrayList{"Host: evil.example:8123", cookie}
            << Verdict::foreign_host;
        QTest::newRow("another port")
            << QByteArray("GET / HTTP/1.1") << QByteArrayList{"Host: 127.0.0.1:8124", cookie}
            << Verdict::foreign_host;
        QTest::newRow("no port") << QByteArray("GET / HTTP/1.1")
                                 << QByteArrayList{"Host: localhost", cookie}
                                 << Verdict::foreign_host;
        QTest::newRow("no host") << QByteArray("GET / HTTP/1.1") << QByteArrayList{cookie}
                                 << Verdict::foreign_host;
        QTest::newRow("another site")
            << QByteArray("GET / HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: http://evil.example", cookie}
            << Verdict::foreign_origin;
        QTest::newRow("an opaque origin")
            << QByteArray("GET / HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: null", cookie}
            << Verdict::foreign_origin;
        QTest::newRow("another scheme")
            << QByteArray("GET / HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: https://127.0.0.1:8123", cookie}
            << Verdict::foreign_origin;
        QTest::newRow("a socket without an origin")
            << QByteArray("GET /socket HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", socket, cookie} << Verdict::foreign_origin;
        QTest::newRow("a socket elsewhere")
            << QByteArray("GET /page.js HTTP/1.1")
            << QByteArrayList{"Host: 127.0.0.1:8123", "Origin: http://127.0.0.1:8123", socket,
                              cookie}
            << Verdict::bad_request;
        QTest::newRow("a post") << QByteArray("POST / HTTP/1.1")
                                << QByteArrayList{"Host: 127.0.0.1:8123", cookie}
                                << Verdict::bad_request;
    }
    void requests_judged() {
        QFETCH(QByteArray, line);
        QFETCH(QByteArrayList, headers);
        QFETCH(Verdict, verdict);
        const std::optional<PageRequest> request = read_request_head(head(line, headers));
        QVERIFY(request);
        QCOMPARE(judge(*request, page_access), verdict);
    }

    void malformed_heads_refused_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("unfinished") << QByteArray("GET / HTTP/1.1\r\nHost: a:1\r\n");
        QTest::newRow("a bare line feed") << QByteArray("GET / HTTP/1.1\nHost: a:1\r\n\r\n");
        QTest::newRow("a carriage return inside")
            << QByteArray("GET / HTTP/1.1\r\nHost: a\r:1\r\n\r\n");
        QTest::newRow("a header without a colon") << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n");
        QTest::newRow("a header name with a space")
            << QByteArray("GET / HTTP/1.1\r\nHo st: a:1\r\n\r\n");
        QTest::newRow("the same header twice")
            << QByteArray("GET / HTTP/1.1\r\nHost: a:1\r\nhost: b:1\r\n\r\n");
        QTest::newRow("not HTTP/1") << QByteArray("GET / HTTP/2\r\n\r\n");
        QTest::newRow("a target that is no path") << QByteArray("GET http://a/ HTTP/1.1\r\n\r\n");
        QTest::newRow("no request line") << QByteArray("\r\n\r\n");
        QTest::newRow("too long") << "GET / HTTP/1.1\r\nA: " +
                                         QByteArray(longest_request_head, 'a') + "\r\n\r\n";
    }
    void malformed_heads_refused() {
        QFETCH(QByteArray, bytes);
        QVERIFY(!read_request_head(bytes));
    }

    void head_read() {
        const std::optional<PageRequest> request =
            read_request_head("GET /a/b.js?token=x HTTP/1.1\r\nHOST:  127.0.0.1:1 \r\n\r\n");
        QVERIFY(request);
        QCOMPARE(request->method, QByteArray("GET"));
        QCOMPARE(request->path, QByteArray("/a/b.js"));
        QCOMPARE(request->query, QByteArray("token=x"));
        QCOMPARE(request->headers.value("host"), QByteArray("127.0.0.1:1"));
    }

    void tokens_fresh_each_start() {
        const QByteArray first = fresh_token();
        QCOMPARE(first.size(), 64);
        QVERIFY(first != fresh_token());
    }
};

QTEST_GUILESS_MAIN(PageRequestTest)
#include "page_request_test.moc"
