#include "exporter/http_transport.h"

#include <libwebsockets.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "exporter/http_parse.h"
#include "exporter/metrics.h"
#include "exporter/routes.h"

namespace {

// What one writable callback sends of a body.
constexpr size_t PIECE = 256 * 1024;
// The most a POST body may hold (a login form).
constexpr size_t MAX_POST_BODY = 4096;
// URL arguments looked at, at most.
constexpr int MAX_URL_ARGS = 32;

}  // namespace

struct http_transfer {
    http_request request;
    http_reply out;
    uint64_t sent = 0;
    std::unique_ptr<unsigned char[]> piece;  // LWS_PRE + PIECE bytes, for file bodies
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

// ---------------------------------------------------------------------------
// Sending.

int write_headers(struct lws* wsi, const http_reply& r) {
    unsigned char buf[LWS_PRE + 2048];
    unsigned char* start = buf + LWS_PRE;
    unsigned char* p = start;
    unsigned char* end = buf + sizeof buf - 1;
    if (lws_add_http_common_headers(wsi, r.status, r.type.c_str(), r.length, &p, end) != 0) return -1;
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
    if (t == nullptr) return 0;
    bool failed = false;
    if (!send_piece(wsi, t, &failed)) {
        lws_callback_on_writable(wsi);
        return 0;
    }
    end_transfer(transfer);
    if (failed) return -1;
    // Keep-alive: the connection waits for its next request.
    return lws_http_transaction_completed(wsi) ? -1 : 0;
}

int respond(instance_t* instance, struct lws* wsi, http_transfer** transfer) {
    http_transfer* t = *transfer;
    t->out = routes_answer(instance, t->request);
    if (write_headers(wsi, t->out) < 0) {
        end_transfer(transfer);
        return -1;
    }
    // A long download must not hold one of the few header tables.
    lws_http_headers_detach(wsi);
    lws_callback_on_writable(wsi);
    return 0;
}

int on_request(instance_t* instance, struct lws* wsi, http_transfer** transfer, const char* uri) {
    end_transfer(transfer);
    auto t = std::make_unique<http_transfer>();
    http_request& req = t->request;
    req.method = method_of(wsi);
    req.path = uri != nullptr ? uri : "";
    req.args = url_args_of(wsi);
    req.access = access_request_of(wsi);
    req.range = access_header(wsi, WSI_TOKEN_HTTP_RANGE);
    req.peer = peer_of(wsi);
    *transfer = t.release();
    // A POST answers once its body is in; without a length it has none.
    if (req.method == http_method::post && lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0) return 0;
    return respond(instance, wsi, transfer);
}

int on_body(http_transfer* t, const void* in, size_t len) {
    if (t == nullptr) return 0;
    http_request& req = t->request;
    if (req.body.size() + len > MAX_POST_BODY) {
        req.body_too_large = true;
        return 0;
    }
    req.body.append(static_cast<const char*>(in), len);
    return 0;
}

}  // namespace

bool http_handles(int reason) {
    switch (reason) {
        case LWS_CALLBACK_HTTP:
        case LWS_CALLBACK_HTTP_BODY:
        case LWS_CALLBACK_HTTP_BODY_COMPLETION:
        case LWS_CALLBACK_HTTP_WRITEABLE:
        case LWS_CALLBACK_CLOSED_HTTP: return true;
        default: return false;
    }
}

int http_callback(instance_t* instance, struct lws* wsi, int reason, http_transfer** transfer, void* in, size_t len) {
    switch (reason) {
        case LWS_CALLBACK_HTTP: return on_request(instance, wsi, transfer, static_cast<const char*>(in));
        case LWS_CALLBACK_HTTP_BODY: return on_body(*transfer, in, len);
        case LWS_CALLBACK_HTTP_BODY_COMPLETION: return *transfer ? respond(instance, wsi, transfer) : -1;
        case LWS_CALLBACK_HTTP_WRITEABLE: return on_writeable(wsi, transfer);
        case LWS_CALLBACK_CLOSED_HTTP: end_transfer(transfer); return 0;
        default: return 0;
    }
}
