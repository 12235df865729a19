// A blocking WebSocket client connection, for the command-line client and the
// tests: connect, send text messages (whole or in fragments), receive whole
// messages with a deadline. One connection per object, each with its own
// library context, serviced only inside the calls.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct lws;
struct lws_context;

// What a handshake carries besides the address.
struct ws_link_options {
    std::string protocol = "http-only";  // the sub-protocol offered; empty: none
    std::string token;                   // sent as "Authorization: Bearer TOKEN"; empty: none
    std::string origin;                  // an Origin header, as a web page would send; empty: none
};

class ws_link {
public:
    // Connects to ws://host:port/. Null, with the reason in *error, when no
    // connection is made before the deadline or the server refuses it.
    static std::unique_ptr<ws_link> open(const std::string& host, int port, std::chrono::milliseconds timeout,
                                         std::string* error, const ws_link_options& options = {});
    ~ws_link();
    ws_link(const ws_link&) = delete;
    ws_link& operator=(const ws_link&) = delete;

    // Sends one message as one text frame; false when the connection closed
    // before it went out.
    bool send(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends one message split into the given pieces, one frame each.
    bool send_fragments(const std::vector<std::string>& pieces, bool binary = false,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The next whole message, or nothing at the deadline or when closed.
    std::optional<std::string> receive(std::chrono::milliseconds timeout);
    bool closed() const { return closed_; }
    // Stops or resumes reading from the socket, so that a server sees a
    // client that does not keep up.
    void set_reading(bool on);
    // Waits until the server closes the connection.
    bool wait_closed(std::chrono::milliseconds timeout);
    const std::string& close_reason() const { return close_reason_; }

    // Library callback, reached through the protocol table.
    static int callback(struct lws* wsi, int reason, void* user, void* in, size_t len);

    // Only open() makes connections.
    struct private_tag {};
    explicit ws_link(private_tag) {}

private:
    struct frame {
        std::string data;
        int flags;
    };
    bool pump_until(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);
    bool queue_and_flush(std::vector<frame> frames, std::chrono::milliseconds timeout);
    void on_receive(const char* in, size_t len);
    void on_writeable();
    bool append_headers(struct lws* wsi, char** p, char* end) const;

    struct lws_context* ctx_ = nullptr;
    struct lws* wsi_ = nullptr;
    bool established_ = false;
    bool closed_ = false;
    std::string close_reason_;
    unsigned refused_status_ = 0;  // the HTTP status of a refused handshake
    ws_link_options options_;
    std::string partial_;
    std::deque<std::string> inbox_;
    std::deque<frame> outbox_;
};
