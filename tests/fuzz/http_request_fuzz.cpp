// Fuzz target for the metrics page's request parser, fed as the listener feeds it: the bytes
// a stranger sent so far either hold no complete request yet, or end one at an empty line,
// and a complete request gets one of the four answers: 200 only for "GET /metrics" (a query
// string allowed) on an HTTP/1.x request line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "relay/http_request.hpp"

namespace {

[[noreturn]] void fail(const char* fault) {
    fprintf(stderr, "http_request_fuzz: %s\n", fault);
    abort();
}

bool has_prefix(const char* text, size_t length, const char* prefix) {
    size_t prefix_length = strlen(prefix);
    return length >= prefix_length && memcmp(text, prefix, prefix_length) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A buffer of exactly the request's size, so a read past it is caught by the sanitizer.
    size_t length = size < kiv::METRICS_REQUEST_BYTES ? size : kiv::METRICS_REQUEST_BYTES;
    std::unique_ptr<char[]> request(new char[length == 0 ? 1 : length]);
    if (length > 0) memcpy(request.get(), data, length);
    const char* text = request.get();
    size_t end = kiv::request_end(text, length);
    if (end == 0) {
        // No empty line yet: the listener waits for more, or answers 431 when the buffer is full.
        for (size_t i = 0; i + 1 < length; ++i) {
            if (text[i] == '\n' &&
                (text[i + 1] == '\n' || has_prefix(text + i + 1, length - i - 1, "\r\n"))) {
                fail("an empty line the request's end was not found at");
            }
        }
        return 0;
    }
    if (end > length || text[end - 1] != '\n') fail("a request end that is not a line end");
    int status = kiv::metrics_request_status(text, end);
    if (status != 200 && status != 400 && status != 404 && status != 405) fail("unknown status");
    const char* reason = kiv::status_text(status);
    if (reason == nullptr || *reason == '\0') fail("a status without a reason phrase");
    if (status == 200) {
        const char* line_end = static_cast<const char*>(memchr(text, '\n', end));
        if (line_end == nullptr) fail("200 without a request line");
        size_t line_length = size_t(line_end - text);
        if (!has_prefix(text, line_length, "GET /metrics ") &&
            !has_prefix(text, line_length, "GET /metrics?")) {
            fail("200 for a request other than GET /metrics");
        }
        if (line_length > 0 && text[line_length - 1] == '\r') --line_length;
        if (line_length < 8 || !has_prefix(text + line_length - 8, 8, "HTTP/1.")) {
            fail("200 for a request line that does not end in HTTP/1.x");
        }
    }
    return 0;
}
