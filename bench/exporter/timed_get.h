// One GET timed over a connection of its own, as the export daemon's
// benchmarks of HTTP replies take it.
#pragma once

#include <sys/socket.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "exporter/http_client.h"
#include "handles.h"

namespace bench {

// One GET over a connection of its own, timed from the connect to the
// reply's first byte (the daemon has built it and sent its head) and to its
// last. The body into *body.
struct timed_get {
    double first_us = -1;
    double last_us = -1;
    int status = 0;
};

inline timed_get time_get(int port, const std::string& request, std::string* body) {
    timed_get r;
    const auto t0 = clock_type::now();
    unique_fd fd(exporter_test::tcp_connect("127.0.0.1", port));
    if (!fd || send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return r;
    }
    std::string got;
    std::vector<char> buf(1 << 20);
    size_t head_end = std::string::npos;
    size_t length = 0;
    for (;;) {
        const ssize_t n = recv(fd.get(), buf.data(), buf.size(), 0);
        if (n <= 0) break;
        if (r.first_us < 0) r.first_us = us_between(t0, clock_type::now());
        got.append(buf.data(), static_cast<size_t>(n));
        if (head_end == std::string::npos && (head_end = got.find("\r\n\r\n")) != std::string::npos) {
            exporter_test::http_answer a;
            a.head = got.substr(0, head_end + 2);
            exporter_test::parse_head(&a);
            r.status = a.status;
            length = std::stoull(a.header("content-length"));
        }
        if (head_end != std::string::npos && got.size() >= head_end + 4 + length) break;
    }
    r.last_us = us_between(t0, clock_type::now());
    if (head_end != std::string::npos) *body = got.substr(head_end + 4);
    return r;
}

}  // namespace bench
