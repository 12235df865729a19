#include "exporter/ws.h"

#include <arpa/inet.h>
#include <chrono>
#include <json-c/json.h>
#include <libwebsockets.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "exporter/access.h"
#include "exporter/exporter.h"
#include "exporter/http_transport.h"
#include "exporter/metrics.h"
#include "exporter/peer_log.h"
#include "handles.h"
#include "json_handle.h"
#include "logger.h"
#include "text.h"

namespace {

// What the library allocates per connection: only a pointer. It zero-fills
// its per-connection data by writing to it, which would make every idle
// connection cost its three megabytes; the session itself comes from fresh
// anonymous pages instead, which cost nothing until touched.
struct ws_slot {
    ws_cb_session_t* session;  // once the connection is a WebSocket
    http_transfer* http;       // while it answers an HTTP request
};

struct session_unmap {
    void operator()(ws_cb_session_t* s) const { munmap(s, sizeof *s); }
};
using session_ptr = std::unique_ptr<ws_cb_session_t, session_unmap>;

session_ptr session_alloc() {
    void* p = mmap(nullptr, sizeof(ws_cb_session_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return session_ptr(p == MAP_FAILED ? nullptr : static_cast<ws_cb_session_t*>(p));
}

// Buffers of a session that held more than this give their pages back once
// the message is done, so one large message does not stay resident for the
// life of the connection.
constexpr size_t KEEP_RESIDENT = 16 * 1024;

// Hands the whole pages of [p, p + len) back to the kernel, which supplies
// them zero-filled at the next touch; the partial pages at the edges are
// cleared by hand.
void release_pages(void* p, size_t len) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto from = reinterpret_cast<uintptr_t>(p);
    const uintptr_t to = from + len;
    const uintptr_t lo = (from + page - 1) & ~(page - 1);
    const uintptr_t hi = to & ~(page - 1);
    if (hi <= lo) {
        memset(p, 0, len);
        return;
    }
    memset(p, 0, lo - from);
    memset(reinterpret_cast<void*>(hi), 0, to - hi);
    madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
}

// Clears the first len bytes of a session buffer.
void clear_used(void* p, size_t len) {
    if (len > KEEP_RESIDENT)
        release_pages(p, len);
    else
        memset(p, 0, len);
}

// Holds `lock` for a scope.
class instance_lock : public mutex_guard {
public:
    explicit instance_lock(instance_t* instance) : mutex_guard(&instance->lock) {}
};

// Touched only on the service thread.
int open_sessions = 0;
struct lws_context* tick_ctx = nullptr;
lws_sorted_usec_list_t tick_sul;

// The service wait has no time-out of its own; this timer ends it every
// 50 ms so that the loop looks at the exit flag.
constexpr lws_usec_t TICK_US = 50 * LWS_US_PER_MS;

// Also the moment to say how many lines about peers were left out.
void tick(lws_sorted_usec_list_t* sul) {
    peer_log_flush();
    lws_sul_schedule(tick_ctx, 0, sul, tick, TICK_US);
}

bool answers_handshake(int reason) {
    return reason == LWS_CALLBACK_HTTP_CONFIRM_UPGRADE || reason == LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION;
}

bool send_status(struct lws* wsi, unsigned status);

// Nothing may be thrown into the library, which is C: what escapes is
// logged, a handshake still waiting for its answer gets 500, and the
// connection closes. (The HTTP side catches its own, where it knows whether
// its reply has begun.)
int protocol_callback(struct lws* wsi, enum lws_callback_reasons reason, void* user, void* in, size_t len) {
    try {
        return ws_cb_main(wsi, static_cast<int>(reason), user, in, len);
    } catch (...) {
        const bool answer = answers_handshake(reason);
        peer_log_escaped("ws_cb_main", std::string(), static_cast<int>(reason),
                         answer ? "answered 500" : "closed the connection");
        try {
            if (answer && send_status(wsi, HTTP_SERVER_ERROR)) return 1;
        } catch (...) {
        }
        return -1;
    }
}

const struct lws_protocols ws_protocols[] = {
    {"http-only", protocol_callback, sizeof(ws_slot), WS_RECV_BUF, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

instance_t* instance_of(struct lws* wsi) {
    return static_cast<instance_t*>(lws_context_user(lws_get_context(wsi)));
}

// The library's own warnings and errors go into our log; a peer can make
// it complain at every read, so they are limited as lines about peers are.
void lws_log_line(int level, const char* line) {
    (void)level;
    const size_t n = strcspn(line, "\r\n");
    peer_log("lws", 1, "lws: %.*s", static_cast<int>(n), line);
}

// Appends msg to a session's queue under `lock`; a message that does not fit
// marks the session for closing instead, so nothing is lost unnoticed: the
// client reconnects and receives the task list afresh.
bool append_locked(ws_cb_session_t* s, const char* msg, size_t l, const char* who) {
    if (s->f_overflow) return false;
    if (static_cast<size_t>(s->send_len) + l + 1 > WS_RECV_BUF || l + 1 + LWS_PRE > WS_RECV_BUF) {
        s->f_overflow = 1;
        logger_printf(1, "%s: outgoing queue of ctx=%p (slot %d) is full at %d bytes, closing that connection", who,
                      static_cast<void*>(s), s->idx, s->send_len);
        return false;
    }
    memcpy(s->send_buf + s->send_len, msg, l + 1);
    s->send_len += static_cast<int>(l + 1);
    s->send_high = std::max(s->send_high, s->send_len);
    return true;
}

void queue_task_list(instance_t* instance, ws_cb_session_t* s) {
    int* raw = nullptr;
    const int n = export_task_lists(instance->path.tasks, &raw);
    task_list_ptr list(raw);
    if (n <= 0) return;
    json_ptr root(json_object_new_object());
    json_object* tasks = json_object_new_array();
    for (int i = 0; i < n; ++i) json_object_array_add(tasks, json_object_new_int64(list.get()[i]));
    json_object_object_add(root.get(), "tasks", tasks);
    const char* text = json_object_to_json_string(root.get());
    const size_t l = strlen(text);
    if (l + 1 + LWS_PRE > WS_RECV_BUF) {
        // Closing would only repeat at every reconnection; say so instead.
        logger_printf(1, "%s: the list of %d tasks takes %zu bytes, more than one message may; not sent",
                      "queue_task_list", n, l);
        return;
    }
    instance_lock guard(instance);
    append_locked(s, text, l, "queue_task_list");
}

void enter_pool_locked(instance_t* instance, ws_cb_session_t* s) {
    for (int i = 0; i < WS_POOL_SIZE; ++i) {
        if (instance->ws.pool[i] != nullptr) continue;
        instance->ws.pool[i] = s;
        s->idx = i;
        peer_log_at(PEER_LOG_CONNECTION_RATE, "ws_cb_main: slot taken", 0, "%s: ctx at slot %d", "ws_cb_main", i);
        return;
    }
}

int on_established(instance_t* instance, ws_slot* slot, struct lws* wsi) {
    // The numeric address only: a reverse lookup could stall every client.
    char addr[50] = "";
    lws_get_peer_simple(wsi, addr, sizeof addr);
    if (open_sessions >= WS_MAX_SESSIONS) {
        peer_log("on_established: too many connections", 1, "%s: %d connections open already, refusing [%s]",
                 "on_established", open_sessions, addr);
        return -1;
    }
    session_ptr s = session_alloc();
    if (!s) {
        peer_log("on_established: no memory", 1, "%s: no memory for the connection of [%s]", "on_established", addr);
        return -1;
    }
    peer_log_at(PEER_LOG_CONNECTION_RATE, "ws_cb_main: established", 0,
                "%s: LWS_CALLBACK_ESTABLISHED[%s(%s)], ctx=%p", "ws_cb_main", addr, addr, static_cast<void*>(s.get()));
    s->wsi = wsi;
    s->f_counted = 1;
    ++open_sessions;
    {
        // The record comes zero-filled: recv_buf needs no clearing here.
        instance_lock guard(instance);
        s->instance = instance;
        s->recv_len = 0;
        enter_pool_locked(instance, s.get());
    }
    slot->session = s.release();
    queue_task_list(instance, slot->session);
    lws_callback_on_writable(wsi);
    return 0;
}

void on_closed(instance_t* instance, ws_slot* slot) {
    session_ptr s(slot->session);
    slot->session = nullptr;
    if (!s) return;
    peer_log_at(PEER_LOG_CONNECTION_RATE, "ws_cb_main: closed", 0, "%s: LWS_CALLBACK_CLOSED, ctx=%p", "ws_cb_main",
                static_cast<void*>(s.get()));
    {
        instance_lock guard(instance);
        for (int i = 0; i < WS_POOL_SIZE; ++i) {
            if (instance->ws.pool[i] != s.get()) continue;
            instance->ws.pool[i] = nullptr;
            peer_log_at(PEER_LOG_CONNECTION_RATE, "ws_cb_main: slot freed", 0, "%s: ctx at slot %d", "ws_cb_main",
                        i);
            break;
        }
        s->instance = nullptr;
    }
    if (s->f_counted) --open_sessions;
}

void on_receive(instance_t* instance, ws_cb_session_t* s, struct lws* wsi, const void* in, size_t len) {
    if (static_cast<size_t>(s->recv_len) + len <= WS_RECV_BUF - 1) {
        memcpy(s->recv_buf + s->recv_len, in, len);
        s->recv_len += static_cast<int>(len);
    }
    if (!lws_is_final_fragment(wsi)) return;
    ws_cb_recv(instance, s, wsi);
    // Clear only what the message used, so idle pages stay untouched.
    clear_used(s->recv_buf, static_cast<size_t>(s->recv_len));
    s->recv_len = 0;
}

// On the service thread after lws_cancel_service: close the connections
// whose queue overflowed, and ask for the writable callbacks that send what
// other threads queued.
void on_wake(instance_t* instance) {
    struct lws* doomed[WS_POOL_SIZE];
    int n = 0;
    struct lws_context* ctx = nullptr;
    {
        instance_lock guard(instance);
        ctx = static_cast<struct lws_context*>(instance->ws.ctx);
        for (int i = 0; i < WS_POOL_SIZE; ++i) {
            auto* s = static_cast<ws_cb_session_t*>(instance->ws.pool[i]);
            if (s != nullptr && s->f_overflow) doomed[n++] = s->wsi;
        }
    }
    for (int i = 0; i < n; ++i) lws_set_timeout(doomed[i], PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
    if (ctx != nullptr) lws_callback_on_writable_all_protocol(ctx, &ws_protocols[0]);
}

bool overflowed(instance_t* instance, const ws_cb_session_t* s) {
    instance_lock guard(instance);
    return s->f_overflow != 0;
}

// The received text, up to its first NUL as the parser reads it, in the form
// a log line may quote.
std::string quoted(const ws_cb_session_t* ctx) {
    return peer_log_quote(std::string_view(ctx->recv_buf, strnlen(ctx->recv_buf, WS_RECV_BUF)));
}

// The answer to a handshake that goes no further: its status alone, and for
// 401 the scheme the client should use.
bool send_status(struct lws* wsi, unsigned status) {
    unsigned char buf[LWS_PRE + 256];
    unsigned char* const start = buf + LWS_PRE;
    unsigned char* p = start;
    unsigned char* const end = buf + sizeof buf;
    static const char scheme[] = "Bearer";
    if (lws_add_http_header_status(wsi, status, &p, end) != 0) return false;
    http_status_line_1_1(start, p);
    if (status == HTTP_UNAUTHORIZED &&
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_WWW_AUTHENTICATE,
                                     reinterpret_cast<const unsigned char*>(scheme), sizeof scheme - 1, &p, end) != 0)
        return false;
    if (lws_add_http_header_content_length(wsi, 0, &p, end) != 0 || lws_finalize_http_header(wsi, &p, end) != 0)
        return false;
    const int n = static_cast<int>(p - start);
    return lws_write(wsi, start, static_cast<size_t>(n), LWS_WRITE_HTTP_HEADERS) == n;
}

// Lets a WebSocket handshake through, or answers it with 401 or 403 and one
// log line; then nothing else happens to it. The callback's result: 0 to go
// on. (Plain HTTP requests are weighed by the HTTP side, which answers them.)
int admit(instance_t* instance, struct lws* wsi) {
    const access_request req = access_request_of(wsi);
    const access_verdict verdict = access_check(instance->ws.token, req, true);
    if (verdict == access_verdict::allowed) return 0;
    char addr[50] = "";
    lws_get_peer_simple(wsi, addr, sizeof addr);
    peer_log("admit: refused handshake", 1,
             "%s: refused the WebSocket handshake of [%s] (Origin [%s], Host [%s]) with HTTP %u: %s", "admit",
             addr, peer_log_quote(req.origin).c_str(), peer_log_quote(req.host).c_str(), access_status(verdict),
             access_reason(verdict));
    metrics_refused(verdict == access_verdict::foreign_origin ? "origin" : "token");
    // Non-zero ends the connection once the answer is out; -1 at once.
    return send_status(wsi, access_status(verdict)) ? 1 : -1;
}

bool has_member(json_object* obj, const char* key, json_object** value) {
    return json_object_is_type(obj, json_type_object) && json_object_object_get_ex(obj, key, value);
}

}  // namespace

int ws_cb_main(struct lws* wsi, int reason, void* user, void* in, size_t len) {
    auto* slot = static_cast<ws_slot*>(user);
    if (http_handles(reason)) {
        // Without its per-connection record a request cannot be followed
        // (and one that is being dropped holds nothing).
        if (slot == nullptr) return reason == LWS_CALLBACK_HTTP_DROP_PROTOCOL ? 0 : -1;
        return http_callback(instance_of(wsi), wsi, reason, &slot->http, in, len);
    }
    switch (reason) {
        // Every upgrade is checked before its handshake is answered, and
        // again before the protocol takes it, so no connection is ever
        // established unchecked.
        case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return admit(instance_of(wsi), wsi);
        case LWS_CALLBACK_ESTABLISHED:
            return on_established(instance_of(wsi), slot, wsi);
        case LWS_CALLBACK_CLOSED:
            on_closed(instance_of(wsi), slot);
            return 0;
        case LWS_CALLBACK_RECEIVE:
            if (slot != nullptr && slot->session != nullptr) on_receive(instance_of(wsi), slot->session, wsi, in, len);
            return 0;
        case LWS_CALLBACK_SERVER_WRITEABLE:
            if (slot == nullptr || slot->session == nullptr) return 0;
            if (overflowed(instance_of(wsi), slot->session)) return -1;  // closes the connection
            ws_cb_write(instance_of(wsi), slot->session, wsi, nullptr);
            return 0;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            on_wake(instance_of(wsi));
            return 0;
        case LWS_CALLBACK_GET_THREAD_ID:
            return static_cast<int>(reinterpret_cast<intptr_t>(reinterpret_cast<void*>(pthread_self())));
        case LWS_CALLBACK_LOCK_POLL:
            pthread_mutex_lock(&instance_of(wsi)->lock);
            return 0;
        case LWS_CALLBACK_UNLOCK_POLL:
            pthread_mutex_unlock(&instance_of(wsi)->lock);
            return 0;
        default:
            return 0;
    }
}

int ws_cb_recv(instance_t* instance, ws_cb_session_t* ctx, struct lws* wsi) {
    (void)wsi;
    peer_log("ws_cb_recv: message", 0, "%s: recieved %d bytes", "ws_cb_recv", ctx->recv_len);
    json_ptr root(json_tokener_parse(ctx->recv_buf));
    if (!root) {
        peer_log("ws_cb_recv: failed to parse", 1, "%s: failed to parse %s", "ws_cb_recv", quoted(ctx).c_str());
        return -22;
    }
    json_object* member = nullptr;
    if (!has_member(root.get(), "new_task", &member)) {
        peer_log("ws_cb_recv: not processed", 1, "%s: not processed: %s", "ws_cb_recv", quoted(ctx).c_str());
        return 0;
    }
    export_task_t* task = nullptr;
    if (export_task_from_json(member, &task) != 0) {
        peer_log("ws_cb_recv: failed to decompose", 1, "%s: failed to decompose %s", "ws_cb_recv",
                 quoted(ctx).c_str());
    } else {
        exporter_enqueue(instance, task);
    }
    free(task);
    return 0;
}

int ws_cb_write(instance_t* instance, ws_cb_session_t* ctx, struct lws* wsi, void* queue) {
    (void)queue;
    int r = 0;
    {
        instance_lock guard(instance);
        if (ctx->send_len != 0) {
            r = static_cast<int>(strlen(ctx->send_buf)) + 1;
            memcpy(ctx->buf + LWS_PRE, ctx->send_buf, static_cast<size_t>(r));
            memmove(ctx->send_buf, ctx->send_buf + r, static_cast<size_t>(ctx->send_len - r));
            ctx->send_len -= r;
            if (ctx->send_len == 0 && static_cast<size_t>(ctx->send_high) > KEEP_RESIDENT) {
                release_pages(ctx->send_buf, static_cast<size_t>(ctx->send_high));
                ctx->send_high = 0;
            }
        }
    }
    if (r == 0) return 0;
    peer_log_at(PEER_LOG_CONNECTION_RATE, "ws_cb_write", 1, "%s: r=%d, ctx=%p, idx=%d", "ws_cb_write", r,
                static_cast<void*>(ctx), ctx->idx);
    // The library keeps its own copy of whatever the socket did not take.
    const int n = lws_write(wsi, ctx->buf + LWS_PRE, static_cast<size_t>(r - 1), LWS_WRITE_TEXT);
    if (static_cast<size_t>(r) + LWS_PRE > KEEP_RESIDENT) release_pages(ctx->buf, LWS_PRE + static_cast<size_t>(r));
    lws_callback_on_writable(wsi);
    return n;
}

int ws_notify_all(instance_t* instance, const char* msg) {
    const size_t l = strlen(msg);
    struct lws_context* ctx = nullptr;
    {
        instance_lock guard(instance);
        for (int i = 0; i < WS_POOL_SIZE; ++i) {
            auto* s = static_cast<ws_cb_session_t*>(instance->ws.pool[i]);
            if (s != nullptr) append_locked(s, msg, l, "ws_notify_all");
        }
        ctx = static_cast<struct lws_context*>(instance->ws.ctx);
    }
    // The only call another thread may make into the library: it wakes the
    // service thread, which asks for the writable callbacks itself.
    if (ctx != nullptr) lws_cancel_service(ctx);
    return 0;
}

void ws_connection_counts(instance_t* instance, int* pooled, int* total) {
    instance_lock guard(instance);
    *pooled = static_cast<int>(std::count_if(std::begin(instance->ws.pool), std::end(instance->ws.pool),
                                             [](void* s) { return s != nullptr; }));
    *total = open_sessions;
}

int ws_notify_task_state(instance_t* instance, export_task_t* task) {
    logger_printf(0, "%s: task %d has new state %d", "ws_notify_task_state", task->sys_id, task->state);
    char text[128];
    snprintf(text, sizeof text, "{ \"task_state_updated\" : { \"task\" : %d, \"state\" : %d } }", task->sys_id,
             task->state);
    return ws_notify_all(instance, text);
}

namespace {

// Where to listen, as the library takes it.
struct listen_plan {
    const char* iface = nullptr;  // an address literal, or null for all interfaces
    uint64_t options = 0;
};

// Checks the port and the address to listen on; false, with the line
// that says why, when the service must not start.
bool plan_listening(const instance_t* instance, listen_plan* plan) {
    const int port = instance->ws.port;
    if (port < 0 || port > 65535) {
        logger_printf(1, "%s: --ws-port=%d is out of range (0 to 65535; 0 lets the system pick a free port)", "ws_init",
                      port);
        return false;
    }
    const char* addr = instance->ws.listen;
    if (addr[0] == '\0') return true;
    unsigned char bytes[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, addr, bytes) == 1) {
        // With IPv6 on, the library listens on all interfaces whatever IPv4
        // address it was given; an IPv4 socket binds to it.
        plan->options = LWS_SERVER_OPTION_DISABLE_IPV6;
    } else if (inet_pton(AF_INET6, addr, bytes) != 1) {
        logger_printf(1, "%s: the address to listen on [%s] is not an IPv4 or IPv6 address", "ws_init",
                      text_escape(addr).c_str());
        return false;
    }
    plan->iface = addr;
    return true;
}

// Reads the access token when one is asked for; false, with the line that
// says why, when it cannot be had: the service must then not start open.
bool load_token(instance_t* instance) {
    instance->ws.token[0] = '\0';
    if (instance->ws.token_file[0] == '\0') return true;
    std::string token;
    std::string why;
    if (access_token_load(instance->ws.token_file, &token, &why) != 0) {
        logger_printf(1, "%s: no access token from [%s]: %s", "ws_init", instance->ws.token_file, why.c_str());
        return false;
    }
    keelson::strlcpy(instance->ws.token, token.c_str(), sizeof instance->ws.token);
    return true;
}

bool is_listening(int fd) {
    int listening = 0;
    socklen_t len = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0;
}

// The numeric address and the port an Internet socket is bound to.
bool bound_address(int fd, std::string* addr, int* port) {
    struct sockaddr_storage sa = {};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) != 0) return false;
    const void* where = nullptr;
    if (sa.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const struct sockaddr_in6*>(&sa);
        where = &in6->sin6_addr;
        *port = ntohs(in6->sin6_port);
    } else if (sa.ss_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const struct sockaddr_in*>(&sa);
        where = &in4->sin_addr;
        *port = ntohs(in4->sin_port);
    } else {
        return false;
    }
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(sa.ss_family, where, text, sizeof text);
    *addr = text;
    return true;
}

// The address and port of the context's listening socket, as the socket
// itself is bound; false when it listens nowhere, which the library lets
// pass for an address this machine does not have.
bool listening_address(struct lws_context* ctx, std::string* addr, int* port) {
    struct lws_vhost* vhost = lws_get_vhost_by_name(ctx, "default");
    const int want = vhost != nullptr ? lws_get_vhost_listen_port(vhost) : -1;
    if (want <= 0) return false;
    dir_ptr fds(opendir("/proc/self/fd"));
    if (!fds) return false;
    while (const struct dirent* e = readdir(fds.get())) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || wsi_from_fd(ctx, fd) == nullptr || !is_listening(fd)) continue;
        if (bound_address(fd, addr, port) && *port == want) return true;
    }
    return false;
}

// Every connection the process may hold can have a header table while its
// request arrives: with fewer, sockets that send nothing or half a header
// take them all and complete requests wait unread. A table is allocated only
// while it is in use (about 5 KiB); beyond HEADER_POOL_MAX connections at
// once, the next waits for one.
constexpr rlim_t HEADER_POOL_MAX = 4096;

unsigned short header_pool() {
    struct rlimit fds = {};
    const rlim_t n = getrlimit(RLIMIT_NOFILE, &fds) == 0 ? fds.rlim_cur : WS_POOL_SIZE;
    return static_cast<unsigned short>(std::clamp<rlim_t>(n, WS_POOL_SIZE, HEADER_POOL_MAX));
}

// Seconds a connection may hold a header table without completing its
// request (the library's default is 10).
constexpr unsigned HEADER_IDLE_SECS = 5;

}  // namespace

int ws_init(instance_t* instance) {
    // The library mallocs a receive buffer of WS_RECV_BUF for every
    // connection. Once such a block has been freed, glibc would serve the
    // next ones from the heap, whose reused pages are resident; a fixed
    // threshold keeps each of them a fresh mapping that costs only what is
    // touched and goes back whole at close.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    listen_plan plan;
    if (!plan_listening(instance, &plan) || !load_token(instance)) return -14;
    struct lws_context_creation_info info = {};
    info.port = instance->ws.port;
    info.iface = plan.iface;
    info.options = plan.options;
    info.protocols = ws_protocols;
    info.timeout_secs = 5;
    info.max_http_header_pool = header_pool();
    info.timeout_secs_ah_idle = HEADER_IDLE_SECS;
    info.user = instance;
    info.gid = -1;
    info.uid = -1;
    lws_set_log_level(LLL_ERR | LLL_WARN, lws_log_line);
    logger_printf(0, "%s:%d ws_info.user=%p", "ws_init", __LINE__, static_cast<void*>(instance));
    struct lws_context* ctx = lws_create_context(&info);
    if (ctx == nullptr) {
        logger_printf(1, "%s: lws_create_context failed", "ws_init");
        return -14;
    }
    std::string addr;
    int port = 0;
    if (!listening_address(ctx, &addr, &port)) {
        logger_printf(1, "%s: not listening on [%s] port %d: is the address one of this machine's?", "ws_init",
                      plan.iface != nullptr ? text_escape(plan.iface).c_str() : "all interfaces", instance->ws.port);
        lws_context_destroy(ctx);
        return -14;
    }
    logger_printf(0, "%s: listening on %s port %d%s", "ws_init", addr.c_str(), port,
                  instance->ws.token[0] != '\0' ? ", every request must carry the access token" : "");
    instance_lock guard(instance);
    instance->ws.ctx = ctx;
    return 0;
}

void ws_service_until(instance_t* instance, bool (*done)(instance_t*)) {
    auto* ctx = static_cast<struct lws_context*>(instance->ws.ctx);
    if (ctx == nullptr) return;
    tick_ctx = ctx;
    lws_sul_schedule(ctx, 0, &tick_sul, tick, TICK_US);
    while (!done(instance)) lws_service(ctx, 50);
}

namespace {

bool queues_empty(instance_t* instance) {
    instance_lock guard(instance);
    for (int i = 0; i < WS_POOL_SIZE; ++i) {
        const auto* s = static_cast<const ws_cb_session_t*>(instance->ws.pool[i]);
        if (s != nullptr && s->send_len != 0 && !s->f_overflow) return false;
    }
    return true;
}

}  // namespace

void ws_flush(instance_t* instance, std::chrono::milliseconds limit) {
    auto* ctx = static_cast<struct lws_context*>(instance->ws.ctx);
    if (ctx == nullptr) return;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    lws_callback_on_writable_all_protocol(ctx, &ws_protocols[0]);
    while (!queues_empty(instance) && std::chrono::steady_clock::now() < deadline) lws_service(ctx, 50);
    // One more round so the last frame queued leaves the library's buffers.
    lws_service(ctx, 0);
}

void ws_service(instance_t* instance) {
    ws_service_until(instance, [](instance_t* in) { return in->p_exit->load() != 0; });
}

void ws_release(instance_t* instance) {
    struct lws_context* ctx = nullptr;
    {
        instance_lock guard(instance);
        ctx = static_cast<struct lws_context*>(instance->ws.ctx);
        instance->ws.ctx = nullptr;
    }
    if (ctx == nullptr) return;
    lws_sul_cancel(&tick_sul);
    lws_context_destroy(ctx);
    tick_ctx = nullptr;
}
