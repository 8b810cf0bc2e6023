// Fuzz target: any bytes as the head of a request to the blocks page, read and judged; only a
// request with the token, a loopback Host and no foreign Origin may have the page.
#include "web/page_request.h"
#include "fuzz_check.h"

using quillmar::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray head(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const auto request = quillmar::read_request_head(head);
    if (!request) {
        return 0;
    }
    const quillmar::PageAccess access{"5ec2e7", 8123};
    const quillmar::Verdict verdict = quillmar::judge(*request, access);
    if (verdict == quillmar::Verdict::page || verdict == quillmar::Verdict::take_token) {
        require(head.contains("5ec2e7"), "the page only with its token");
        const QByteArray host = request->headers.value("host").toLower();
        require(host == "127.0.0.1:8123" || host == "[::1]:8123" || host == "localhost:8123",
                "the page only on a loopback name with its port");
        require(request->method == "GET" || request->method == "HEAD", "the page only to a GET");
    }
    return 0;
}
