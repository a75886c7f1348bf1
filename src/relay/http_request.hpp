// What a scraper's request to the metrics page asks for, judged on its bytes alone: the
// part of the metrics listener (http_metrics.hpp) that faces strangers, kept pure so that
// tests and fuzzers reach it without a socket.
#pragma once

#include <cstddef>

namespace kiv {

// A request (its line and headers) longer than this is answered 431.
inline constexpr size_t METRICS_REQUEST_BYTES = 2048;

// The length of `request` up to and including the empty line that ends its headers, or 0
// while that line has not arrived.
size_t request_end(const char* request, size_t length);

// What a complete request asks for, as the status code to answer it with: 200 for
// "GET /metrics" (a query string allowed), 405 for another method, 404 for another target,
// 400 for anything that is not an HTTP/1.x request line. `request` must be a whole request,
// no longer than METRICS_REQUEST_BYTES: exactly what request_end measured.
int metrics_request_status(const char* request, size_t length);

// The reason phrase of a status metrics_request_status gives, or of 431 and 500.
const char* status_text(int status);

}  // namespace kiv
