#include "exporter/http.h"

#include <fcntl.h>
#include <json-c/json.h>
#include <libwebsockets.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/clip.h"
#include "archive/timearg.h"
#include "exporter/access.h"
#include "exporter/metrics.h"
#include "exporter/web_assets.h"
#include "exporter/ws.h"
#include "handles.h"
#include "json_handle.h"
#include "logger.h"
#include "text.h"

namespace {

// What one writable callback sends of a body.
constexpr size_t PIECE = 256 * 1024;
// The longest span /api/recordings reads: a month of hour indexes.
constexpr int64_t MAX_LISTING_SPAN = 31LL * 24 * 3600;
// The most a POST body may hold (a login form).
constexpr size_t MAX_POST_BODY = 4096;
// URL arguments looked at, at most.
constexpr int MAX_URL_ARGS = 32;

}  // namespace

// Named, not anonymous: the transfer, declared in the header, holds them.
namespace http_side {

enum class method { get, head, post, other };

// A response: status and headers, then a body from memory or from a file.
struct reply {
    unsigned status = HTTP_STATUS_OK;
    std::string type = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    unique_fd file;
    uint64_t offset = 0;  // of the file's part to send
    uint64_t length = 0;  // of the body, from memory or file
};

}  // namespace http_side

using http_side::method;
using http_side::reply;

struct http_transfer {
    method how = method::get;
    std::string path;
    std::string post_body;  // a POST's body while it arrives
    bool post_too_large = false;
    reply out;
    uint64_t sent = 0;
    std::unique_ptr<unsigned char[]> piece;  // LWS_PRE + PIECE bytes, for file bodies
};

namespace {

// ---------------------------------------------------------------------------
// The request.

method method_of(struct lws* wsi) {
    if (lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0) return method::get;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_HEAD_URI) > 0) return method::head;
    if (lws_hdr_total_length(wsi, WSI_TOKEN_POST_URI) > 0) return method::post;
    return method::other;
}

// The value of a URL argument (the library has decoded it), or nothing.
std::optional<std::string> url_arg(struct lws* wsi, std::string_view name) {
    char buf[4096];
    for (int i = 0; i < MAX_URL_ARGS; ++i) {
        const int n = lws_hdr_copy_fragment(wsi, buf, sizeof buf, WSI_TOKEN_HTTP_URI_ARGS, i);
        if (n < 0) return std::nullopt;
        const std::string_view arg(buf, static_cast<size_t>(n));
        if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
            return std::string(arg.substr(name.size() + 1));
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Replies.

reply text_reply(unsigned status, std::string body, std::string type = "text/plain; charset=utf-8") {
    reply r;
    r.status = status;
    r.type = std::move(type);
    r.body = std::move(body);
    r.length = r.body.size();
    return r;
}

std::string json_text(json_object* o) {
    return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

reply json_reply(unsigned status, json_object* o) {
    reply r = text_reply(status, json_text(o), "application/json");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

reply json_error(unsigned status, const std::string& message, json_object* extra_gaps = nullptr) {
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "error", json_object_new_string(message.c_str()));
    if (extra_gaps != nullptr) json_object_object_add(o.get(), "gaps", extra_gaps);
    return json_reply(status, o.get());
}

reply not_found() { return text_reply(HTTP_STATUS_NOT_FOUND, "not found\n"); }

reply asset_reply(const web_asset& asset, unsigned status = HTTP_STATUS_OK) {
    reply r = text_reply(status, std::string(asset.body), std::string(asset.type));
    r.headers.emplace_back("cache-control:", "no-cache");
    r.headers.emplace_back("content-security-policy:",
                           "default-src 'self'; img-src 'self'; media-src 'self'; connect-src 'self'; "
                           "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    return r;
}

// The login form, with status 401 where it answers a request without the
// token. After a wrong token the page is told so through its body tag.
reply login_page(unsigned status, bool failed = false) {
    const web_asset* page = web_asset_find("/login");
    if (page == nullptr) return text_reply(status, "a token is needed\n");
    reply r = asset_reply(*page, status);
    if (failed) {
        const size_t at = r.body.find("<body");
        if (at != std::string::npos) r.body.insert(at + 5, " data-login-failed=\"1\"");
        r.length = r.body.size();
    }
    return r;
}

reply redirect(const char* location) {
    reply r = text_reply(HTTP_STATUS_SEE_OTHER, "");
    r.headers.emplace_back("location:", location);
    return r;
}

// ---------------------------------------------------------------------------
// Files of the task folders.

bool is_task_folder(std::string_view name) {
    if (name.size() < 5 || name.size() > 10 || !std::all_of(name.begin(), name.end(), ::isdigit)) return false;
    // Wider than five digits only without a leading zero, as "%.05d" prints.
    return name.size() == 5 || name[0] != '0';
}

struct task_file_kind {
    const char* name;
    const char* type;
};

const task_file_kind TASK_FILES[] = {
    {"thumb.jpg", "image/jpeg"},
    {"cut.mp4", "video/mp4"},
    {"index.json", "application/json"},
    {"state", "text/plain; charset=utf-8"},
    {"cut.log", "text/plain; charset=utf-8"},
    {"thumb.log", "text/plain; charset=utf-8"},
};

const task_file_kind* task_file_of(std::string_view name) {
    for (const auto& k : TASK_FILES) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

// The task folder, opened without following a link anywhere below the tasks
// folder, so nothing outside it is ever served.
unique_fd open_task_folder(const char* tasks, std::string_view folder) {
    unique_fd dir(open(tasks, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return unique_fd();
    const std::string f(folder);
    return unique_fd(openat(dir.get(), f.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

unique_fd open_in_task(const unique_fd& task, const char* name) {
    return unique_fd(openat(task.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

// The task's stored state, or nothing when it cannot be read.
std::optional<int> stored_state(const unique_fd& task) {
    unique_fd fd = open_in_task(task, "state");
    if (!fd) return std::nullopt;
    char buf[32];
    const ssize_t n = read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    int state = 0;
    const auto [end, ec] = std::from_chars(buf, buf + n, state);
    (void)end;
    if (ec != std::errc()) return std::nullopt;
    return state;
}

enum class range_kind { whole, part, unsatisfiable };

// One byte range of a Range header ("bytes=a-b", "bytes=a-", "bytes=-n").
// Several ranges, other units and malformed values are ignored (the whole
// file is sent), as a server may.
range_kind parse_range(std::string_view h, uint64_t size, uint64_t* first, uint64_t* last) {
    if (!h.starts_with("bytes=")) return range_kind::whole;
    h.remove_prefix(6);
    if (h.find(',') != std::string_view::npos) return range_kind::whole;
    const size_t dash = h.find('-');
    if (dash == std::string_view::npos) return range_kind::whole;
    const std::string_view a = h.substr(0, dash);
    const std::string_view b = h.substr(dash + 1);
    const auto number = [](std::string_view s, uint64_t* v) {
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
        return !s.empty() && ec == std::errc() && end == s.data() + s.size();
    };
    uint64_t x = 0;
    uint64_t y = 0;
    if (a.empty()) {  // the last y bytes
        if (!number(b, &y)) return range_kind::whole;
        if (y == 0 || size == 0) return range_kind::unsatisfiable;
        *first = y >= size ? 0 : size - y;
        *last = size - 1;
        return range_kind::part;
    }
    if (!number(a, &x) || (!b.empty() && !number(b, &y))) return range_kind::whole;
    if (!b.empty() && y < x) return range_kind::whole;
    if (x >= size) return range_kind::unsatisfiable;
    *first = x;
    *last = b.empty() ? size - 1 : std::min(y, size - 1);
    return range_kind::part;
}

reply file_reply(struct lws* wsi, unique_fd fd, const task_file_kind& kind) {
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return not_found();
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    reply r;
    r.type = kind.type;
    r.file = std::move(fd);
    r.length = size;
    r.headers.emplace_back("accept-ranges:", "bytes");
    r.headers.emplace_back("cache-control:", "no-cache");
    uint64_t first = 0;
    uint64_t last = 0;
    switch (parse_range(access_header(wsi, WSI_TOKEN_HTTP_RANGE), size, &first, &last)) {
        case range_kind::whole: break;
        case range_kind::part:
            r.status = HTTP_STATUS_PARTIAL_CONTENT;
            r.offset = first;
            r.length = last - first + 1;
            r.headers.emplace_back("content-range:", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                         "/" + std::to_string(size));
            break;
        case range_kind::unsatisfiable: {
            reply refused = text_reply(HTTP_STATUS_REQ_RANGE_NOT_SATISFIABLE, "");
            refused.headers.emplace_back("content-range:", "bytes */" + std::to_string(size));
            return refused;
        }
    }
    return r;
}

// "/tasks/NNNNN/<file>": only task folder names and the task files; a clip
// or thumbnail only once its task has ended, never half made.
reply task_file(const instance_t* instance, struct lws* wsi, std::string_view rest) {
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return not_found();
    const std::string_view folder = rest.substr(0, slash);
    const task_file_kind* kind = task_file_of(rest.substr(slash + 1));
    if (!is_task_folder(folder) || kind == nullptr) return not_found();
    const unique_fd task = open_task_folder(instance->path.tasks, folder);
    if (!task) return not_found();
    const bool media = kind == &TASK_FILES[0] || kind == &TASK_FILES[1];
    if (media) {
        const std::optional<int> state = stored_state(task);
        if (!state) return not_found();
        const bool ready = *state == 2 || (kind == &TASK_FILES[0] && *state == 3);
        if (!ready) return text_reply(HTTP_STATUS_CONFLICT, "the task has not ended yet\n");
    }
    unique_fd fd = open_in_task(task, kind->name);
    if (!fd) return not_found();
    return file_reply(wsi, std::move(fd), *kind);
}

// ---------------------------------------------------------------------------
// The API.

// lib, from and to of a span request; a reply when one of them is wrong.
struct span_args {
    int lib = 0;
    int64_t from = 0;
    int64_t to = 0;
    std::string root;
};

std::optional<reply> read_span_args(const instance_t* instance, struct lws* wsi, span_args* a) {
    const auto lib = url_arg(wsi, "lib");
    const auto from = url_arg(wsi, "from");
    const auto to = url_arg(wsi, "to");
    if (!from || !to) return json_error(HTTP_STATUS_BAD_REQUEST, "from and to are needed");
    if (lib) {
        const auto [end, ec] = std::from_chars(lib->data(), lib->data() + lib->size(), a->lib);
        if (ec != std::errc() || end != lib->data() + lib->size() || a->lib < 0 || a->lib > 3) {
            return json_error(HTTP_STATUS_BAD_REQUEST, "lib is 0 to 3");
        }
    }
    std::string error;
    if (!archive::parse_time(*from, &a->from, &error) || !archive::parse_time(*to, &a->to, &error)) {
        return json_error(HTTP_STATUS_BAD_REQUEST, error);
    }
    if (a->to <= a->from) return json_error(HTTP_STATUS_BAD_REQUEST, "to must be after from");
    a->root = instance->path.libs[a->lib];
    if (a->root.empty()) {
        return json_error(HTTP_STATUS_NOT_FOUND, "library " + std::to_string(a->lib) + " is not configured");
    }
    return std::nullopt;
}

json_object* interval(double from, double to) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "from", json_object_new_double(from));
    json_object_object_add(o, "to", json_object_new_double(to));
    return o;
}

json_object* gap_list(const std::vector<archive::gap>& gaps) {
    json_object* list = json_object_new_array();
    for (const auto& g : gaps) json_object_array_add(list, interval(g.from, g.to));
    return list;
}

reply recordings(const instance_t* instance, struct lws* wsi) {
    span_args a;
    if (auto bad = read_span_args(instance, wsi, &a)) return std::move(*bad);
    if (a.to - a.from > MAX_LISTING_SPAN) return json_error(HTTP_STATUS_BAD_REQUEST, "the span is longer than 31 days");
    archive::coverage c;
    std::string error;
    if (!archive::read_coverage(a.root, a.from, a.to, &c, &error)) {
        return json_error(HTTP_STATUS_INTERNAL_SERVER_ERROR, error);
    }
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "lib", json_object_new_int(a.lib));
    json_object_object_add(o.get(), "from", json_object_new_int64(a.from));
    json_object_object_add(o.get(), "to", json_object_new_int64(a.to));
    json_object* runs = json_object_new_array();
    for (const auto& r : c.runs) {
        json_object* run = interval(r.from, r.to);
        json_object_object_add(run, "segments", json_object_new_int(r.segments));
        json_object_array_add(runs, run);
    }
    json_object_object_add(o.get(), "runs", runs);
    json_object_object_add(o.get(), "gaps", gap_list(c.gaps));
    return json_reply(HTTP_STATUS_OK, o.get());
}

bool flag_arg(struct lws* wsi, std::string_view name) {
    const auto v = url_arg(wsi, name);
    return v && (*v == "1" || *v == "true");
}

reply clip(const instance_t* instance, struct lws* wsi) {
    span_args a;
    if (auto bad = read_span_args(instance, wsi, &a)) return std::move(*bad);
    archive::clip_request ask{a.root, a.lib, a.from, a.to, url_arg(wsi, "title").value_or(""), flag_arg(wsi, "exact")};
    archive::clip_plan plan;
    std::string error;
    if (!archive::plan_span(ask, &plan, &error)) return json_error(422, error);
    if (!plan.gaps.empty() && !flag_arg(wsi, "allow_gaps")) {
        return json_error(422, archive::gap_text(plan), gap_list(plan.gaps));
    }
    reply r = text_reply(HTTP_STATUS_OK, archive::new_task_message(archive::request_for(ask, plan)),
                         "application/json");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

int queue_length(instance_t* instance) {
    mutex_guard guard(&instance->lock);
    return instance->reg_queue.len;
}

reply healthz(instance_t* instance) {
    int pooled = 0;
    int total = 0;
    ws_connection_counts(instance, &pooled, &total);
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "status", json_object_new_string("ok"));
    json_object_object_add(o.get(), "uptime_s", json_object_new_int64(static_cast<int64_t>(metrics_uptime())));
    json_object_object_add(o.get(), "queue", json_object_new_int(queue_length(instance)));
    const int in_hand = metrics_task_in_hand();
    json_object_object_add(o.get(), "task_in_hand", in_hand >= 0 ? json_object_new_int(in_hand) : nullptr);
    json_object_object_add(o.get(), "connections", json_object_new_int(total));
    json_object_object_add(o.get(), "pooled", json_object_new_int(pooled));
    return json_reply(HTTP_STATUS_OK, o.get());
}

reply metrics(instance_t* instance) {
    metrics_gauges g{queue_length(instance), 0, 0};
    ws_connection_counts(instance, &g.pooled_connections, &g.total_connections);
    reply r = text_reply(HTTP_STATUS_OK, metrics_prometheus_text(g), "text/plain; version=0.0.4; charset=utf-8");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

// The token of a login form body ("token=..."), decoded.
std::string form_token(std::string_view body) {
    std::string out;
    for (std::string_view rest = body; !rest.empty();) {
        const size_t amp = rest.find('&');
        const std::string_view field = rest.substr(0, amp);
        rest.remove_prefix(amp == std::string_view::npos ? rest.size() : amp + 1);
        if (!field.starts_with("token=")) continue;
        const std::string_view v = field.substr(6);
        for (size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '+') {
                out.push_back(' ');
            } else if (v[i] == '%' && i + 2 < v.size()) {
                unsigned value = 0;
                const auto [end, ec] = std::from_chars(v.data() + i + 1, v.data() + i + 3, value, 16);
                if (ec != std::errc() || end != v.data() + i + 3) return {};
                out.push_back(static_cast<char>(value));
                i += 2;
            } else {
                out.push_back(v[i]);
            }
        }
        return out;
    }
    return out;
}

// Says who was refused and why, once, and answers 401 with the login form.
reply refuse(struct lws* wsi, const std::string& path, access_verdict verdict) {
    char addr[50] = "";
    lws_get_peer_simple(wsi, addr, sizeof addr);
    logger_printf(1, "%s: refused the HTTP request [%s] of [%s] with HTTP %u: %s", "http_callback",
                  text_escape(path).c_str(), addr, access_status(verdict), access_reason(verdict));
    metrics_refused("token");
    return login_page(HTTP_STATUS_UNAUTHORIZED, verdict == access_verdict::token_wrong);
}

reply login(const instance_t* instance, struct lws* wsi, const http_transfer& t) {
    const std::string token = t.post_too_large ? std::string() : form_token(t.post_body);
    if (instance->ws.token[0] == '\0') return redirect("/");  // nothing to log in to
    if (!access_token_equal(instance->ws.token, token)) {
        return refuse(wsi, t.path, token.empty() ? access_verdict::token_missing : access_verdict::token_wrong);
    }
    reply r = redirect("/");
    r.headers.emplace_back("set-cookie:", access_cookie_set(instance->ws.token));
    return r;
}

reply logout() {
    reply r = redirect("/login");
    r.headers.emplace_back("set-cookie:", access_cookie_clear());
    return r;
}

// The reply to a whole request.
reply route(instance_t* instance, struct lws* wsi, const http_transfer& t) {
    const std::string_view path = t.path;
    const bool reading = t.how == method::get || t.how == method::head;
    if (path == "/healthz") return reading ? healthz(instance) : text_reply(HTTP_STATUS_METHOD_NOT_ALLOWED, "");
    if (path == "/login") {
        if (t.how == method::post) return login(instance, wsi, t);
        return login_page(HTTP_STATUS_OK);
    }
    // The login form's own style, which it needs before it has the token.
    if (path == "/login.css" && reading) {
        if (const web_asset* style = web_asset_find(path)) return asset_reply(*style);
    }
    // Every other route asks for the token, as the WebSocket side does.
    const access_verdict verdict = access_check(instance->ws.token, access_request_of(wsi), false);
    if (verdict != access_verdict::allowed) return refuse(wsi, t.path, verdict);
    if (path == "/logout") return t.how == method::post ? logout() : text_reply(HTTP_STATUS_METHOD_NOT_ALLOWED, "");
    if (!reading) return text_reply(HTTP_STATUS_METHOD_NOT_ALLOWED, "");
    if (path.starts_with("/tasks/")) return task_file(instance, wsi, path.substr(7));
    if (path == "/api/recordings") return recordings(instance, wsi);
    if (path == "/api/clip") return clip(instance, wsi);
    if (path == "/metrics") return metrics(instance);
    if (const web_asset* asset = web_asset_find(path)) return asset_reply(*asset);
    return not_found();
}

// ---------------------------------------------------------------------------
// Sending.

int write_headers(struct lws* wsi, const reply& r) {
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
    if (r.status == HTTP_STATUS_UNAUTHORIZED && add("www-authenticate:", "Bearer") != 0) return -1;
    return lws_finalize_write_http_header(wsi, start, &p, end);
}

// Sends the next piece of the body; true when the body is complete.
bool send_piece(struct lws* wsi, http_transfer* t, bool* failed) {
    reply& r = t->out;
    const uint64_t left = r.length - t->sent;
    if (left == 0 || t->how == method::head) return true;
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
    t->out = route(instance, wsi, *t);
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
    t->how = method_of(wsi);
    t->path = uri != nullptr ? uri : "";
    *transfer = t.release();
    // A POST answers once its body is in; without a length it has none.
    if ((*transfer)->how == method::post && lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0) return 0;
    return respond(instance, wsi, transfer);
}

int on_body(http_transfer* t, const void* in, size_t len) {
    if (t == nullptr) return 0;
    if (t->post_body.size() + len > MAX_POST_BODY) {
        t->post_too_large = true;
        return 0;
    }
    t->post_body.append(static_cast<const char*>(in), len);
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
