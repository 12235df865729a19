// The HTTP side of the export port, as the service loop drives it: a
// request is read, answered by the routes (routes.h), and its reply sent.
// No request waits on the disk for long: files go out in pieces, one per
// writable callback, so a slow downloader holds one piece at a time.
//
// The routes see only the request and reply records below, never the
// server library's types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "exporter/access.h"
#include "exporter/instance.h"
#include "handles.h"

struct lws;

// The statuses the routes answer with.
constexpr unsigned HTTP_OK = 200;
constexpr unsigned HTTP_PARTIAL_CONTENT = 206;
constexpr unsigned HTTP_SEE_OTHER = 303;
constexpr unsigned HTTP_BAD_REQUEST = 400;
constexpr unsigned HTTP_UNAUTHORIZED = 401;
constexpr unsigned HTTP_NOT_FOUND = 404;
constexpr unsigned HTTP_METHOD_NOT_ALLOWED = 405;
constexpr unsigned HTTP_CONFLICT = 409;
constexpr unsigned HTTP_LENGTH_REQUIRED = 411;
constexpr unsigned HTTP_RANGE_NOT_SATISFIABLE = 416;
constexpr unsigned HTTP_UNPROCESSABLE = 422;
constexpr unsigned HTTP_SERVER_ERROR = 500;

enum class http_method { get, head, post, other };

// A request as the routes see it, read whole before they are asked.
struct http_request {
    http_method method = http_method::get;
    std::string path;
    std::vector<std::string> args;  // URL arguments, "name=value", decoded
    access_request access;          // the headers the token check reads
    std::string range;              // Range; empty when absent
    std::string peer;               // the client's address, for log lines
    std::string body;               // a POST's body
    bool body_too_large = false;    // it was longer than a login form can be
};

// A reply: status and headers, then a body from memory or from a file.
struct http_reply {
    unsigned status = HTTP_OK;
    std::string type = "text/plain; charset=utf-8";
    // Sent in this order, after the common ones; each name ends in ':'.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    unique_fd file;
    uint64_t offset = 0;  // of the file's part to send
    uint64_t length = 0;  // of the body, from memory or file
};

// GET or HEAD: a request that only reads.
bool http_reading(const http_request& request);

// A reply with its body in memory.
http_reply http_text_reply(unsigned status, std::string body, std::string type = "text/plain; charset=utf-8");

http_reply http_not_found();
http_reply http_method_not_allowed();

// A regular file, whole or the part the request's Range asks for; the
// reply keeps the descriptor and reads it as it sends. cache_control is
// that header's value.
http_reply http_file_reply(const http_request& request, unique_fd fd, const char* type,
                           const char* cache_control = "no-cache");

// The library writes the status line with the version of the request, and
// before it has read that of a WebSocket handshake it writes HTTP/1.0, which
// clients of the WebSocket protocol refuse to read. This makes the status
// line that the header block at `start` begins with say HTTP/1.1.
void http_status_line_1_1(unsigned char* start, const unsigned char* end);

// One HTTP reply in progress on a connection.
struct http_transfer;

// True for the library callback reasons that belong to the HTTP side.
bool http_handles(int reason);

// Handles one of those reasons. *transfer is the connection's reply in
// progress: null between requests, made and freed here (also when the
// connection closes). Returns what the protocol callback returns; non-zero
// closes the connection. Nothing is thrown out of it: what escapes the
// routes is logged and answered with 500 while the reply has not begun.
//
// A request that comes with a body other than a login form's is answered
// without reading it, and its connection closes after the answer; a login
// form is read whole first. Both Content-Length and Transfer-Encoding, or a
// Content-Length that is not a number, is refused with 400 and closed.
int http_callback(instance_t* instance, struct lws* wsi, int reason, http_transfer** transfer, void* in, size_t len);
