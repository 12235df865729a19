#include "client/ws_link.h"

#include <libwebsockets.h>

#include <cstring>
#include <functional>

namespace {

int client_callback(struct lws* wsi, enum lws_callback_reasons reason, void* user, void* in, size_t len) {
    return ws_link::callback(wsi, static_cast<int>(reason), user, in, len);
}

// The protocol table of a client context: messages are assembled by us, so
// the library's receive buffer only bounds one read.
const struct lws_protocols client_protocols[] = {
    {"brindlewood-client", client_callback, 0, 65536, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// Wakes lws_service so that the pump can look at its deadline.
void tick(lws_sorted_usec_list_t*) {}

// The Host header names the port too, as a browser's does, so that a
// server can hold it against an Origin.
std::string host_header(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string refusal_text(unsigned status) {
    std::string text = "the server refused the connection: HTTP " + std::to_string(status);
    if (status == 401) return text + ", a token is needed or it is wrong (--token-file)";
    if (status == 403) return text + ", the request's Origin is not allowed";
    return text;
}

}  // namespace

std::unique_ptr<ws_link> ws_link::open(const std::string& host, int port, std::chrono::milliseconds timeout,
                                       std::string* error, const ws_link_options& options) {
    lws_set_log_level(LLL_ERR, nullptr);
    auto link = std::make_unique<ws_link>(private_tag{});
    link->options_ = options;
    struct lws_context_creation_info info = {};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = client_protocols;
    info.gid = -1;
    info.uid = -1;
    link->ctx_ = lws_create_context(&info);
    if (link->ctx_ == nullptr) {
        *error = "cannot create a WebSocket context";
        return nullptr;
    }
    struct lws_client_connect_info ci = {};
    ci.context = link->ctx_;
    ci.address = host.c_str();
    ci.port = port;
    ci.path = "/";
    const std::string host_field = host_header(host, port);
    ci.host = host_field.c_str();
    // No Origin unless asked for: the library would make one of the host.
    ci.protocol = options.protocol.empty() ? nullptr : options.protocol.c_str();
    ci.local_protocol_name = client_protocols[0].name;
    ci.userdata = link.get();
    ci.pwsi = &link->wsi_;
    if (lws_client_connect_via_info(&ci) == nullptr) {
        *error = "cannot connect to " + host + ":" + std::to_string(port);
        return nullptr;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ws_link* l = link.get();
    l->pump_until([l] { return l->established_ || l->closed_; }, deadline);
    if (l->refused_status_ != 0) {
        *error = refusal_text(l->refused_status_);
        return nullptr;
    }
    if (!l->established_) {
        *error = "cannot connect to " + host + ":" + std::to_string(port) +
                 (l->close_reason_.empty() ? std::string(" (no answer)") : ": " + l->close_reason_);
        return nullptr;
    }
    return link;
}

ws_link::~ws_link() {
    if (ctx_ != nullptr) lws_context_destroy(ctx_);
}

int ws_link::callback(struct lws* wsi, int reason, void* user, void* in, size_t len) {
    auto* self = static_cast<ws_link*>(user);
    switch (reason) {
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            self->established_ = true;
            break;
        case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER: {
            char** p = static_cast<char**>(in);
            return self->append_headers(wsi, p, *p + len) ? 0 : -1;
        }
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
            if (self == nullptr) break;
            // The status of an answer that was not the upgrade, if one came.
            if (wsi != nullptr) self->refused_status_ = lws_http_client_http_response(wsi);
            self->closed_ = true;
            self->close_reason_ = in ? std::string(static_cast<const char*>(in), len ? len : strlen(static_cast<const char*>(in)))
                                     : "connection error";
            self->wsi_ = nullptr;
            break;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            self->on_receive(static_cast<const char*>(in), len);
            if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
                self->inbox_.push_back(std::move(self->partial_));
                self->partial_.clear();
            }
            break;
        case LWS_CALLBACK_CLIENT_WRITEABLE:
            self->on_writeable();
            break;
        case LWS_CALLBACK_CLIENT_CLOSED:
            self->closed_ = true;
            if (self->close_reason_.empty()) self->close_reason_ = "closed by the server";
            self->wsi_ = nullptr;
            break;
        default:
            break;
    }
    return 0;
}

void ws_link::on_receive(const char* in, size_t len) { partial_.append(in, len); }

bool ws_link::append_headers(struct lws* wsi, char** p, char* end) const {
    auto** at = reinterpret_cast<unsigned char**>(p);
    auto* stop = reinterpret_cast<unsigned char*>(end);
    auto add = [&](enum lws_token_indexes h, const std::string& value) {
        return lws_add_http_header_by_token(wsi, h, reinterpret_cast<const unsigned char*>(value.data()),
                                            static_cast<int>(value.size()), at, stop) == 0;
    };
    if (!options_.token.empty() && !add(WSI_TOKEN_HTTP_AUTHORIZATION, "Bearer " + options_.token)) return false;
    return options_.origin.empty() || add(WSI_TOKEN_ORIGIN, options_.origin);
}

void ws_link::on_writeable() {
    if (outbox_.empty() || wsi_ == nullptr) return;
    frame f = std::move(outbox_.front());
    outbox_.pop_front();
    std::vector<unsigned char> buf(LWS_PRE + f.data.size());
    memcpy(buf.data() + LWS_PRE, f.data.data(), f.data.size());
    lws_write(wsi_, buf.data() + LWS_PRE, f.data.size(), static_cast<enum lws_write_protocol>(f.flags));
    if (!outbox_.empty()) lws_callback_on_writable(wsi_);
}

bool ws_link::pump_until(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline) {
    lws_sorted_usec_list_t sul = {};
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            lws_sul_cancel(&sul);
            return false;
        }
        lws_sul_schedule(ctx_, 0, &sul, tick, 10 * LWS_US_PER_MS);
        lws_service(ctx_, 0);
    }
    lws_sul_cancel(&sul);
    return true;
}

bool ws_link::queue_and_flush(std::vector<frame> frames, std::chrono::milliseconds timeout) {
    if (closed_ || wsi_ == nullptr) return false;
    for (auto& f : frames) outbox_.push_back(std::move(f));
    lws_callback_on_writable(wsi_);
    // A large frame may leave part of itself buffered in the library; it is
    // only sent while we keep servicing, so wait for that too.
    pump_until([this] { return closed_ || (outbox_.empty() && (wsi_ == nullptr || !lws_partial_buffered(wsi_))); },
               std::chrono::steady_clock::now() + timeout);
    return outbox_.empty() && !closed_;
}

bool ws_link::send(std::string_view text, std::chrono::milliseconds timeout) {
    return queue_and_flush({frame{std::string(text), LWS_WRITE_TEXT}}, timeout);
}

bool ws_link::send_fragments(const std::vector<std::string>& pieces, bool binary, std::chrono::milliseconds timeout) {
    std::vector<frame> frames;
    const int initial = binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT;
    for (size_t i = 0; i < pieces.size(); ++i) {
        frames.push_back(frame{pieces[i], lws_write_ws_flags(initial, i == 0, i + 1 == pieces.size())});
    }
    return queue_and_flush(std::move(frames), timeout);
}

std::optional<std::string> ws_link::receive(std::chrono::milliseconds timeout) {
    pump_until([this] { return !inbox_.empty() || closed_; }, std::chrono::steady_clock::now() + timeout);
    if (inbox_.empty()) return std::nullopt;
    std::string msg = std::move(inbox_.front());
    inbox_.pop_front();
    return msg;
}

void ws_link::set_reading(bool on) {
    if (wsi_ != nullptr) lws_rx_flow_control(wsi_, on ? 1 : 0);
}

bool ws_link::wait_closed(std::chrono::milliseconds timeout) {
    return pump_until([this] { return closed_; }, std::chrono::steady_clock::now() + timeout);
}
