#include "exporter/http_transport.h"

#include <libwebsockets.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>

#include "exporter/http_parse.h"
#include "exporter/metrics.h"
#include "exporter/peer_log.h"
#include "exporter/routes.h"

namespace {

// What one writable callback sends of a body.
constexpr size_t PIECE = 256 * 1024;
// The most a POST body may hold (a login form).
constexpr size_t MAX_POST_BODY = 4096;
// URL arguments looked at, at most.
constexpr int MAX_URL_ARGS = 32;
// Seconds a reply may wait for the client to take more before the
// connection is dropped. The library's own time-out (5 s from the request)
// would cut any download that takes longer, however steadily it goes.
constexpr int STALL_SECS = 30;

}  // namespace

struct http_transfer {
    http_request request;
    http_reply out;
    uint64_t sent = 0;
    std::unique_ptr<unsigned char[]> piece;  // LWS_PRE + PIECE bytes, for file bodies
    bool awaiting_body = false;  // answered once its body is in
    bool body_complete = false;  // all Content-Length bytes have come
    bool answered = false;       // the status line has been written
    bool close_after = false;    // the connection ends with this reply
    size_t handed = 0;           // of the last write, what the socket may not have taken yet
    int64_t counted = 0;         // what the buffered-bytes gauge holds for this reply

    http_transfer() = default;
    http_transfer(const http_transfer&) = delete;
    http_transfer& operator=(const http_transfer&) = delete;
    ~http_transfer() { metrics_http_buffered(-counted); }

    // Brings the gauge to what this reply holds now: its body in memory, its
    // piece of a file, and what the library may still hold of the last write.
    void recount() {
        const size_t held = out.body.size() + (piece ? LWS_PRE + PIECE : 0) + handed;
        metrics_http_buffered(static_cast<int64_t>(held) - counted);
        counted = static_cast<int64_t>(held);
    }
};

bool http_reading(const http_request& request) {
    return request.method == http_method::get || request.method == http_method::head;
}

http_reply http_text_reply(unsigned status, std::string body, std::string type) {
    http_reply r;
    r.status = status;
    r.type = std::move(type);
    r.body = std::move(body);
    r.length = r.body.size();
    return r;
}

http_reply http_not_found() { return http_text_reply(HTTP_NOT_FOUND, "not found\n"); }

http_reply http_method_not_allowed() { return http_text_reply(HTTP_METHOD_NOT_ALLOWED, ""); }

http_reply http_file_reply(const http_request& request, unique_fd fd, const char* type, const char* cache_control) {
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return http_not_found();
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    http_reply r;
    r.type = type;
    r.file = std::move(fd);
    r.length = size;
    r.headers.emplace_back("accept-ranges:", "bytes");
    r.headers.emplace_back("cache-control:", cache_control);
    const http_range range = http_parse_range(request.range, size);
    switch (range.kind) {
        case http_range_kind::whole: break;
        case http_range_kind::part:
            r.status = HTTP_PARTIAL_CONTENT;
            r.offset = range.first;
            r.length = range.last - range.first + 1;
            r.headers.emplace_back("content-range:", "bytes " + std::to_string(range.first) + "-" +
                                                         std::to_string(range.last) + "/" + std::to_string(size));
            break;
        case http_range_kind::unsatisfiable: {
            http_reply refused = http_text_reply(HTTP_RANGE_NOT_SATISFIABLE, "");
            refused.headers.emplace_back("content-range:", "bytes */" + std::to_string(size));
            return refused;
        }
    }
    return r;
}

void http_status_line_1_1(unsigned char* start, const unsigned char* end) {
    static const char old_version[] = "HTTP/1.0 ";
    constexpr size_t n = sizeof old_version - 1;
    if (end - start >= static_cast<ptrdiff_t>(n) && memcmp(start, old_version, n) == 0) start[7] = '1';
}

namespace {

// ---------------------------------------------------------------------------
// Reading the request.

http_method method_of(struct lws* wsi) {
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0) return http_method::get;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI) > 0) return http_method::head;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) > 0) return http_method::post;
    return http_method::other;
}

// The URL arguments as the library split and decoded them, up to the first
// one it cannot give.
std::vector<std::string> url_args_of(struct lws* wsi) {
    std::vector<std::string> args;
    char buf[4096];
    for (int i = 0; i < MAX_URL_ARGS; ++i) {
        const int n = lws_hdr_copy_fragment(wsi, buf, sizeof buf, WSI_TOKEN_HTTP_URI_ARGS, i);
        if (n < 0) break;
        args.emplace_back(buf, static_cast<size_t>(n));
    }
    return args;
}

std::string peer_of(struct lws* wsi) {
    char addr[50] = "";
    lws_get_peer_simple(wsi, addr, sizeof addr);
    return addr;
}

// What a request says of its body.
enum class body_kind {
    none,         // no body, or Content-Length: 0
    length,       // Content-Length bytes
    chunked,      // Transfer-Encoding, which the library does not decode
    conflicting,  // both: which one frames the body is a guess a smuggler exploits
    malformed,    // a Content-Length that is not one decimal number
};

struct request_body {
    body_kind kind = body_kind::none;
    uint64_t length = 0;
};

request_body body_of(struct lws* wsi) {
    const bool has_length = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0;
    const bool has_coding = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) > 0;
    if (has_length && has_coding) return {body_kind::conflicting, 0};
    if (has_coding) return {body_kind::chunked, 0};
    if (!has_length) return {};
    const std::string text = access_header(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH);
    uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return {body_kind::malformed, 0};
    return {n == 0 ? body_kind::none : body_kind::length, n};
}

// A refusal of the transport's own, in the JSON of the API's errors.
http_reply refusal(unsigned status, const char* message) {
    return http_text_reply(status, std::string("{\"error\":\"") + message + "\"}", "application/json");
}

// ---------------------------------------------------------------------------
// Sending.

int write_headers(struct lws* wsi, const http_reply& r) {
    unsigned char buf[LWS_PRE + 2048];
    unsigned char* start = buf + LWS_PRE;
    unsigned char* p = start;
    unsigned char* end = buf + sizeof buf - 1;
    if (lws_add_http_common_headers(wsi, r.status, r.type.c_str(), r.length, &p, end) != 0) return -1;
    http_status_line_1_1(start, p);
    const auto add = [&](const char* name, const std::string& value) {
        return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name),
                                           reinterpret_cast<const unsigned char*>(value.data()),
                                           static_cast<int>(value.size()), &p, end);
    };
    if (add("x-content-type-options:", "nosniff") != 0 || add("referrer-policy:", "no-referrer") != 0) return -1;
    for (const auto& [name, value] : r.headers) {
        if (add(name.c_str(), value) != 0) return -1;
    }
    if (r.status == HTTP_UNAUTHORIZED && add("www-authenticate:", "Bearer") != 0) return -1;
    return lws_finalize_write_http_header(wsi, start, &p, end);
}

// Sends the next piece of the body; true when the body is complete.
bool send_piece(struct lws* wsi, http_transfer* t, bool* failed) {
    http_reply& r = t->out;
    const uint64_t left = r.length - t->sent;
    if (left == 0 || t->request.method == http_method::head) return true;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, PIECE));
    unsigned char* data = nullptr;
    if (r.file) {
        if (!t->piece) t->piece = std::make_unique<unsigned char[]>(LWS_PRE + PIECE);
        data = t->piece.get() + LWS_PRE;
        const ssize_t got = pread(r.file.get(), data, n, static_cast<off_t>(r.offset + t->sent));
        // A file that shrank under us: the response cannot be completed.
        if (got <= 0) {
            *failed = true;
            return true;
        }
        if (lws_write(wsi, data, static_cast<size_t>(got), LWS_WRITE_HTTP) < 0) {
            *failed = true;
            return true;
        }
        t->handed = static_cast<size_t>(got);
        t->sent += static_cast<uint64_t>(got);
        metrics_bytes_served(static_cast<uint64_t>(got));
    } else {
        // lws_write needs LWS_PRE bytes of room in front of the data.
        std::vector<unsigned char> buf(LWS_PRE + n);
        memcpy(buf.data() + LWS_PRE, r.body.data() + t->sent, n);
        if (lws_write(wsi, buf.data() + LWS_PRE, n, LWS_WRITE_HTTP) < 0) {
            *failed = true;
            return true;
        }
        t->handed = n;
        t->sent += n;
        metrics_bytes_served(n);
    }
    return t->sent == r.length;
}

// The library keeps the connection's transfer in its own per-connection
// memory, which knows no destructors: it is owned here, by hand.
void end_transfer(http_transfer** transfer) {
    std::unique_ptr<http_transfer> owned(*transfer);
    *transfer = nullptr;
}

int on_writeable(struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    if (t == nullptr || !t->answered) return 0;
    // The library calls this only once it has written out all it held.
    t->handed = 0;
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, STALL_SECS);
    bool failed = false;
    if (!send_piece(wsi, t, &failed)) {
        t->recount();
        lws_callback_on_writable(wsi);
        return 0;
    }
    const bool close = t->close_after;
    end_transfer(transfer);
    if (failed) return -1;
    // Closes once the library has written what it still holds.
    if (close) return lws_raw_transaction_completed(wsi);
    // Keep-alive: the connection waits for its next request.
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

// Sends the status and headers of the reply in t->out; the body follows in
// writable callbacks.
int start_reply(struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    t->answered = true;
    t->awaiting_body = false;
    if (t->close_after) t->out.headers.emplace_back("connection:", "close");
    t->recount();
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, STALL_SECS);
    if (write_headers(wsi, t->out) < 0) {
        end_transfer(transfer);
        return -1;
    }
    // A long download must not hold one of the header tables.
    lws_http_headers_detach(wsi);
    lws_callback_on_writable(wsi);
    return 0;
}

int respond(instance_t* instance, struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    t->out = routes_answer(instance, t->request);
    return start_reply(wsi, transfer);
}

int refuse(struct lws* wsi, http_transfer** transfer, unsigned status, const char* message) {
    http_transfer* t = *transfer;
    t->close_after = true;
    t->out = refusal(status, message);
    return start_reply(wsi, transfer);
}

int on_request(instance_t* instance, struct lws* wsi, http_transfer** transfer, const char* uri) {
    end_transfer(transfer);
    // Held by the connection from the start, so that whatever fails below
    // can still be answered.
    *transfer = new http_transfer;
    http_transfer* t = *transfer;
    http_request& req = t->request;
    req.method = method_of(wsi);
    req.path = uri != nullptr ? uri : "";
    req.args = url_args_of(wsi);
    req.access = access_request_of(wsi);
    req.range = access_header(wsi, WSI_TOKEN_HTTP_RANGE);
    req.peer = peer_of(wsi);
    const request_body body = body_of(wsi);
    switch (body.kind) {
        case body_kind::none: return respond(instance, wsi, transfer);
        case body_kind::conflicting:
            return refuse(wsi, transfer, HTTP_BAD_REQUEST,
                          "a request may not carry both Content-Length and Transfer-Encoding");
        case body_kind::malformed: return refuse(wsi, transfer, HTTP_BAD_REQUEST, "Content-Length is not a number");
        case body_kind::chunked:
            // Nothing here reads a body of unknown length.
            t->close_after = true;
            if (req.method == http_method::post) {
                return refuse(wsi, transfer, HTTP_LENGTH_REQUIRED, "a body needs a Content-Length");
            }
            return respond(instance, wsi, transfer);
        case body_kind::length:
            t->close_after = true;
            // Only a login form is read; a larger one is not read at all.
            if (req.method == http_method::post && body.length <= MAX_POST_BODY) {
                t->awaiting_body = true;
                return 0;
            }
            req.body_too_large = req.method == http_method::post;
            return respond(instance, wsi, transfer);
    }
    return -1;
}

int on_body(http_transfer* t, const void* in, size_t len) {
    // A body nobody waits for is dropped as it comes.
    if (t == nullptr || !t->awaiting_body) return 0;
    http_request& req = t->request;
    if (req.body.size() + len > MAX_POST_BODY) {
        req.body_too_large = true;
        return 0;
    }
    req.body.append(static_cast<const char*>(in), len);
    return 0;
}

// The client sent more than its Content-Length. The library goes on calling
// for the body's end at every turn, and nothing else happens on the
// connection: what is left of a reply from memory goes out now (the library
// writes what it holds before it closes), and the connection closes. A file
// reply is cut short, which its Content-Length tells the client.
int end_at_once(struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    if (t->answered && !t->out.file && t->request.method != http_method::head && t->sent < t->out.length) {
        const size_t n = static_cast<size_t>(t->out.length - t->sent);
        std::vector<unsigned char> buf(LWS_PRE + n);
        memcpy(buf.data() + LWS_PRE, t->out.body.data() + t->sent, n);
        if (lws_write(wsi, buf.data() + LWS_PRE, n, LWS_WRITE_HTTP) >= 0) metrics_bytes_served(n);
    }
    end_transfer(transfer);
    return -1;
}

int on_body_complete(instance_t* instance, struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    if (t == nullptr) return -1;
    if (t->body_complete) return end_at_once(wsi, transfer);
    t->body_complete = true;
    return t->awaiting_body ? respond(instance, wsi, transfer) : 0;
}

int dispatch(instance_t* instance, struct lws* wsi, int reason, http_transfer** transfer, void* in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_HTTP: return on_request(instance, wsi, transfer, static_cast<const char*>(in));
        case LWS_CALLBACK_HTTP_BODY: return on_body(*transfer, in, len);
        case LWS_CALLBACK_HTTP_BODY_COMPLETION: return on_body_complete(instance, wsi, transfer);
        case LWS_CALLBACK_HTTP_WRITEABLE: return on_writeable(wsi, transfer);
        // The library frees the connection's memory, where the transfer is
        // kept, once it drops the protocol: a reply still in progress (the
        // connection closing under it) ends here at the latest.
        case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
        case LWS_CALLBACK_CLOSED_HTTP: end_transfer(transfer); return 0;
        default: return 0;
    }
}

// In a catch block: logs what escaped, and answers 500 when no reply has
// begun; otherwise the connection closes, since a reply cut short cannot be
// mended.
int after_exception(struct lws* wsi, int reason, http_transfer** transfer) {
    http_transfer* t = *transfer;
    const bool can_answer = t != nullptr && !t->answered && reason != LWS_CALLBACK_CLOSED_HTTP &&
                            reason != LWS_CALLBACK_HTTP_DROP_PROTOCOL;
    peer_log_escaped("http_callback", t != nullptr ? t->request.path : std::string(), reason,
                     can_answer ? "answered 500" : "closed the connection");
    if (!can_answer) {
        end_transfer(transfer);
        return -1;
    }
    try {
        return refuse(wsi, transfer, HTTP_SERVER_ERROR, "internal error");
    } catch (...) {
        end_transfer(transfer);
        return -1;
    }
}

}  // namespace

bool http_handles(int reason) {
    switch (reason) {
        case LWS_CALLBACK_HTTP:
        case LWS_CALLBACK_HTTP_BODY:
        case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        case LWS_CALLBACK_HTTP_WRITEABLE:
        case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
        case LWS_CALLBACK_CLOSED_HTTP: return true;
        default: return false;
    }
}

int http_callback(instance_t* instance, struct lws* wsi, int reason, http_transfer** transfer, void* in, size_t len) {
    try {
        return dispatch(instance, wsi, reason, transfer, in, len);
    } catch (...) {
        return after_exception(wsi, reason, transfer);
    }
}
