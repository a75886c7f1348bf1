#include "relay/http_request.hpp"

#include <cassert>
#include <cstring>

namespace kiv {
namespace {

bool starts_with(const char* text, size_t length, const char* prefix) {
    size_t prefix_length = strlen(prefix);
    return length >= prefix_length && memcmp(text, prefix, prefix_length) == 0;
}

}  // namespace

size_t request_end(const char* request, size_t length) {
    for (size_t i = 0; i + 1 < length; ++i) {
        if (request[i] != '\n') continue;
        if (request[i + 1] == '\n') return i + 2;
        if (i + 2 < length && request[i + 1] == '\r' && request[i + 2] == '\n') return i + 3;
    }
    return 0;
}

int metrics_request_status(const char* request, size_t length) {
    assert(length <= METRICS_REQUEST_BYTES && request_end(request, length) == length);
    const char* line_end = static_cast<const char*>(memchr(request, '\n', length));
    if (line_end == nullptr) return 400;
    size_t line_length = size_t(line_end - request);
    if (line_length > 0 && request[line_length - 1] == '\r') --line_length;
    assert(line_length < length);

    const char* method_end = static_cast<const char*>(memchr(request, ' ', line_length));
    if (method_end == nullptr) return 400;
    const char* target = method_end + 1;
    assert(target <= request + line_length);
    size_t rest = line_length - size_t(target - request);
    const char* target_end = static_cast<const char*>(memchr(target, ' ', rest));
    if (target_end == nullptr) return 400;
    const char* version = target_end + 1;
    assert(version <= request + line_length);
    size_t version_length = line_length - size_t(version - request);
    if (!starts_with(version, version_length, "HTTP/1.") || version_length != 8) return 400;

    if (size_t(method_end - request) != 3 || memcmp(request, "GET", 3) != 0) return 405;
    size_t target_length = size_t(target_end - target);
    const char* query = static_cast<const char*>(memchr(target, '?', target_length));
    size_t path_length = query != nullptr ? size_t(query - target) : target_length;
    assert(path_length <= target_length);
    if (path_length != 8 || memcmp(target, "/metrics", 8) != 0) return 404;
    return 200;
}

const char* status_text(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        default:
            return "Internal Server Error";
    }
}

}  // namespace kiv
