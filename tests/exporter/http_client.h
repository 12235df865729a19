// A raw HTTP/1.1 client over TCP for the tests of the export port: the
// status line, headers and body exactly as they came, for any request text.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

#include "handles.h"

namespace exporter_test {

// Connects over TCP to addr (an IPv4 or IPv6 literal); the socket, or -1.
inline int tcp_connect(const std::string& addr, int port) {
    sockaddr_storage sa{};
    socklen_t len = 0;
    auto* in4 = reinterpret_cast<sockaddr_in*>(&sa);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (inet_pton(AF_INET, addr.c_str(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof *in4;
    } else if (inet_pton(AF_INET6, addr.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof *in6;
    }
    unique_fd fd(socket(sa.ss_family, SOCK_STREAM, 0));
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0) return -1;
    return fd.release();
}

struct http_answer {
    std::string head;  // status line and headers, up to the empty line
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

inline void parse_head(http_answer* a) {
    size_t at = a->head.find("\r\n");
    const std::string status_line = a->head.substr(0, at);
    const size_t sp = status_line.find(' ');
    a->status = sp == std::string::npos ? 0 : atoi(status_line.c_str() + sp + 1);
    while (at != std::string::npos && at + 2 < a->head.size()) {
        const size_t next = a->head.find("\r\n", at + 2);
        const std::string line = a->head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            size_t v = colon + 1;
            while (v < line.size() && line[v] == ' ') ++v;
            a->headers[name] = line.substr(v);
        }
        at = next;
    }
}

// How long a client waits for an answer at most. The daemon answers at
// once; the deadline only ends a wait for an answer that never comes, on
// however loaded a machine.
constexpr std::chrono::seconds ANSWER_DEADLINE{60};

// Reads from fd into *got until done(*got) holds, the peer closes (then
// *closed is set, when given), or the deadline passes; false when done()
// never held.
template <class Done>
bool read_until(int fd, std::string* got, std::chrono::steady_clock::time_point deadline, Done done,
                bool* closed = nullptr) {
    using std::chrono::steady_clock;
    char buf[65536];
    while (!done(*got)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed != nullptr) *closed = true;
            return done(*got);
        }
        got->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Sends request to 127.0.0.1:port and reads the answer: its head, then the
// body its Content-Length gives (none for a 101), or up to the close.
// `head_only` stops after the head. Whatever came before the deadline.
inline http_answer http_exchange(int port, const std::string& request, bool head_only = false) {
    http_answer a;
    const auto deadline = std::chrono::steady_clock::now() + ANSWER_DEADLINE;
    unique_fd fd(tcp_connect("127.0.0.1", port));
    if (!fd) return a;
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return a;
    std::string got;
    const auto has_head = [](const std::string& g) { return g.find("\r\n\r\n") != std::string::npos; };
    if (!read_until(fd.get(), &got, deadline, has_head)) {
        a.head = got;
        return a;
    }
    const size_t end = got.find("\r\n\r\n");
    a.head = got.substr(0, end + 2);
    a.body = got.substr(end + 4);
    parse_head(&a);
    if (head_only || a.status == 101) return a;
    const std::string length = a.header("content-length");
    const size_t want = length.empty() ? std::string::npos : strtoull(length.c_str(), nullptr, 10);
    read_until(fd.get(), &a.body, deadline, [want](const std::string& b) { return b.size() >= want; });
    return a;
}

// The head of the answer only, up to its empty line.
inline std::string raw_request(int port, const std::string& request) { return http_exchange(port, request, true).head; }

// A GET of path (sent as it is, unnormalised) with more header lines.
inline http_answer http_get(int port, const std::string& path, const std::string& headers = "") {
    return http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                   "\r\nConnection: close\r\n" + headers + "\r\n");
}

}  // namespace exporter_test
