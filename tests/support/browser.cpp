#include "browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

constexpr const char* chromium = "/usr/bin/chromium";

json_object* object_member(json_object* o, const char* key) {
    json_object* v = nullptr;
    return o != nullptr && json_object_object_get_ex(o, key, &v) ? v : nullptr;
}

std::string string_member(json_object* o, const char* key) {
    json_object* v = object_member(o, key);
    return v != nullptr && json_object_is_type(v, json_type_string) ? json_object_get_string(v) : "";
}

json_ptr params_of(std::initializer_list<std::pair<const char*, json_object*>> members) {
    json_ptr p(json_object_new_object());
    for (const auto& [key, value] : members) json_object_object_add(p.get(), key, value);
    return p;
}

json_object* jstr(const std::string& s) { return json_object_new_string_len(s.data(), static_cast<int>(s.size())); }

std::string base64_decode(std::string_view in) {
    std::array<int, 256> value{};
    value.fill(-1);
    const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < alphabet.size(); ++i) value[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
    std::string out;
    out.reserve(in.size() / 4 * 3);
    unsigned bits = 0;
    int count = 0;
    for (char c : in) {
        const int v = value[static_cast<unsigned char>(c)];
        if (v < 0) continue;  // padding and line breaks
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

// The browser's end of the socket becomes its fd 3 and fd 4; it runs in a
// process group of its own so that its helper processes can be killed with it.
pid_t spawn_browser(const std::vector<std::string>& args, int browser_end, const std::string& log_path) {
    std::vector<std::string> argv_s{chromium};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_adddup2(&fa, browser_end, 3);
    posix_spawn_file_actions_adddup2(&fa, browser_end, 4);
    posix_spawnattr_t attr;
    default_signals(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    const int r = posix_spawn(&pid, chromium, &fa, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) throw std::runtime_error(std::string("cannot start ") + chromium + ": " + strerror(r));
    return pid;
}

// True once the process has ended; it stays unreaped (WNOWAIT) so that its
// process group id cannot be taken by another process meanwhile.
bool has_ended(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

Browser::Browser(int width, int height) : headers_(json_object_new_object()) {
    // One socket pair serves both directions: the browser reads commands on
    // fd 3 and writes on fd 4, both its end; ours is written with MSG_NOSIGNAL
    // so that a browser gone does not kill the test with SIGPIPE.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    pipe_.emplace(pair[0]);
    const unique_fd given(pair[1]);
    // Above fd 4, so that the dup2 onto 3 and 4 never meets itself.
    unique_fd browser_end(fcntl(given.get(), F_DUPFD_CLOEXEC, 10));
    if (!browser_end) throw std::runtime_error(std::string("fcntl: ") + strerror(errno));
    const std::vector<std::string> args = {
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + (profile_ / "profile"), "--remote-debugging-pipe",
        "--window-size=" + std::to_string(width) + "," + std::to_string(height), "about:blank"};
    try {
        pid_ = spawn_browser(args, browser_end.get(), profile_ / "browser.log");
        close(browser_end.release());  // the browser holds its own copies now
        json_ptr target = command("Target.createTarget", params_of({{"url", jstr("about:blank")}}).release(), false);
        const std::string target_id = string_member(target.get(), "targetId");
        json_ptr attached = command("Target.attachToTarget",
                                    params_of({{"targetId", jstr(target_id)}, {"flatten", json_object_new_boolean(1)}})
                                        .release(),
                                    false);
        session_ = string_member(attached.get(), "sessionId");
        if (session_.empty()) throw std::runtime_error("the browser gave no page session");
        command("Page.enable", nullptr, true);
        command("Runtime.enable", nullptr, true);
        command("Network.enable", nullptr, true);
        network_on_ = true;
        // The headless window's viewport is smaller than the window by a
        // toolbar that is not drawn; pin it to the size asked for.
        set_viewport(width, height);
    } catch (...) {
        shut_down();
        throw;
    }
}

Browser::~Browser() { shut_down(); }

void Browser::shut_down() {
    if (pid_ > 0) {
        try {
            command("Browser.close", nullptr, false, 3s);
        } catch (const std::exception&) {
            // Gone already or not answering: the kill below ends it.
        }
        wait_until([this] { return has_ended(pid_); }, 5s);
        kill(-pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    pipe_.reset();
}

std::string Browser::browser_log() const { return read_file(profile_ / "browser.log"); }

void Browser::send(const std::string& text) {
    std::string framed = text;
    framed.push_back('\0');
    size_t done = 0;
    while (done < framed.size()) {
        const ssize_t n = ::send(pipe_->get(), framed.data() + done, framed.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("writing to the browser: ") + strerror(errno));
        done += static_cast<size_t>(n);
    }
}

json_ptr Browser::next_message(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            json_ptr message(json_tokener_parse(pending_.substr(0, end).c_str()));
            pending_.erase(0, end + 1);
            if (message) return message;
            continue;  // not JSON: nothing the protocol sends, skip it
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("the browser did not answer in time");
        pollfd p{pipe_->get(), POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;  // the deadline check above decides
        char buf[65536];
        const ssize_t n = read(pipe_->get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string log = browser_log();
            const size_t tail = log.size() > 2000 ? log.size() - 2000 : 0;
            throw std::runtime_error("the browser closed its pipe; the end of its log:\n" + log.substr(tail));
        }
        pending_.append(buf, static_cast<size_t>(n));
    }
}

json_ptr Browser::command(std::string_view method, json_object* params, bool to_page,
                          std::chrono::milliseconds timeout) {
    const long id = next_id_++;
    json_ptr message(json_object_new_object());
    json_object_object_add(message.get(), "id", json_object_new_int64(id));
    json_object_object_add(message.get(), "method", jstr(std::string(method)));
    if (params != nullptr) json_object_object_add(message.get(), "params", params);
    if (to_page) json_object_object_add(message.get(), "sessionId", jstr(session_));
    send(json_object_to_json_string_ext(message.get(), JSON_C_TO_STRING_PLAIN));

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        json_ptr reply = next_message(deadline);
        json_object* rid = object_member(reply.get(), "id");
        if (rid == nullptr) {
            note_event(reply.get());
            continue;
        }
        if (json_object_get_int64(rid) != id) continue;  // a reply to a command given up on
        if (json_object* error = object_member(reply.get(), "error"))
            throw std::runtime_error(std::string(method) + ": " + string_member(error, "message"));
        json_object* result = object_member(reply.get(), "result");
        return json_ptr(result != nullptr ? json_object_get(result) : json_object_new_object());
    }
}

void Browser::note_event(json_object* message) {
    if (string_member(message, "sessionId") != session_) return;
    const std::string method = string_member(message, "method");
    json_object* params = object_member(message, "params");
    if (method == "Page.loadEventFired") {
        ++loads_;
    } else if (method == "Runtime.exceptionThrown") {
        json_object* details = object_member(params, "exceptionDetails");
        const std::string description = string_member(object_member(details, "exception"), "description");
        page_errors_.push_back(description.empty() ? string_member(details, "text") : description);
    } else if (method == "Runtime.consoleAPICalled" && string_member(params, "type") == "error") {
        std::string text = "console.error:";
        json_object* args = object_member(params, "args");
        for (size_t i = 0; args != nullptr && i < json_object_array_length(args); ++i) {
            json_object* arg = json_object_array_get_idx(args, i);
            json_object* value = object_member(arg, "value");
            text += " ";
            text += value != nullptr ? json_object_to_json_string_ext(value, JSON_C_TO_STRING_PLAIN)
                                     : string_member(arg, "description");
        }
        page_errors_.push_back(text);
    } else if (method == "Network.responseReceived") {
        json_object* response = object_member(params, "response");
        responses_.push_back({string_member(response, "url"),
                              static_cast<int>(json_object_get_int(object_member(response, "status")))});
    } else if (method == "Inspector.targetCrashed") {
        page_errors_.push_back("the page crashed");
    }
}

void Browser::open(const std::string& url, std::chrono::milliseconds timeout) {
    const long before = loads_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    json_ptr nav = command("Page.navigate", params_of({{"url", jstr(url)}}).release(), true, timeout);
    const std::string error = string_member(nav.get(), "errorText");
    if (!error.empty()) throw std::runtime_error("cannot open " + url + ": " + error);
    while (loads_ == before) {
        json_ptr message = next_message(deadline);
        if (object_member(message.get(), "id") == nullptr) note_event(message.get());
    }
}

json_ptr Browser::evaluate(const std::string& expression, std::chrono::milliseconds timeout) {
    json_ptr result = command("Runtime.evaluate",
                              params_of({{"expression", jstr(expression)},
                                         {"awaitPromise", json_object_new_boolean(1)},
                                         {"returnByValue", json_object_new_boolean(1)}})
                                  .release(),
                              true, timeout);
    if (json_object* details = object_member(result.get(), "exceptionDetails")) {
        const std::string description = string_member(object_member(details, "exception"), "description");
        throw PageError(description.empty() ? string_member(details, "text") : description);
    }
    json_object* value = object_member(object_member(result.get(), "result"), "value");
    return json_ptr(value != nullptr ? json_object_get(value) : nullptr);
}

std::string Browser::evaluate_json(const std::string& expression, std::chrono::milliseconds timeout) {
    json_ptr value = evaluate(expression, timeout);
    return value ? json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN) : "null";
}

std::string Browser::evaluate_string(const std::string& expression, std::chrono::milliseconds timeout) {
    json_ptr value = evaluate(expression, timeout);
    if (!value || !json_object_is_type(value.get(), json_type_string))
        throw PageError("not a string: " + expression);
    return json_object_get_string(value.get());
}

bool Browser::wait_for(const std::string& expression, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string test = "!!(" + expression + ")";
    for (;;) {
        bool holds = false;
        try {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            json_ptr value = evaluate(test, std::max(left, std::chrono::milliseconds(1000)));
            holds = value && json_object_get_boolean(value.get());
        } catch (const PageError&) {
            // Not there yet (an element missing, a page in between loads).
        }
        if (holds) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(25ms);
    }
}

void Browser::set_cookie(const std::string& url, const std::string& name, const std::string& value, bool http_only) {
    command("Network.setCookie",
            params_of({{"url", jstr(url)},
                       {"name", jstr(name)},
                       {"value", jstr(value)},
                       {"httpOnly", json_object_new_boolean(http_only)},
                       {"sameSite", jstr("Strict")}})
                .release(),
            true);
}

void Browser::set_header(const std::string& name, const std::string& value) {
    if (!network_on_) {
        command("Network.enable", nullptr, true);
        network_on_ = true;
    }
    json_object_object_add(headers_.get(), name.c_str(), jstr(value));
    command("Network.setExtraHTTPHeaders", params_of({{"headers", json_object_get(headers_.get())}}).release(), true);
}

void Browser::set_viewport(int width, int height, bool mobile) {
    command("Emulation.setDeviceMetricsOverride",
            params_of({{"width", json_object_new_int(width)},
                       {"height", json_object_new_int(height)},
                       {"deviceScaleFactor", json_object_new_int(1)},
                       {"mobile", json_object_new_boolean(mobile)}})
                .release(),
            true);
}

void Browser::set_timezone(const std::string& zone) {
    command("Emulation.setTimezoneOverride", params_of({{"timezoneId", jstr(zone)}}).release(), true);
}

void Browser::screenshot(const std::string& path, bool full_page) {
    json_ptr params = params_of({{"format", jstr("png")}});
    if (full_page) {
        json_ptr metrics = command("Page.getLayoutMetrics", nullptr, true);
        json_object* size = object_member(metrics.get(), "cssContentSize");
        json_object* clip = json_object_new_object();
        json_object_object_add(clip, "x", json_object_new_int(0));
        json_object_object_add(clip, "y", json_object_new_int(0));
        json_object_object_add(clip, "width", json_object_get(object_member(size, "width")));
        json_object_object_add(clip, "height", json_object_get(object_member(size, "height")));
        json_object_object_add(clip, "scale", json_object_new_int(1));
        json_object_object_add(params.get(), "clip", clip);
        json_object_object_add(params.get(), "captureBeyondViewport", json_object_new_boolean(1));
    }
    json_ptr shot = command("Page.captureScreenshot", params.release(), true, 30s);
    const std::string png = base64_decode(string_member(shot.get(), "data"));
    if (png.empty()) throw std::runtime_error("the browser sent an empty screenshot");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(png.data(), static_cast<std::streamsize>(png.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace testsupport
