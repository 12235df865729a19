// A headless Chromium driven over the DevTools protocol, for tests of the
// web console: one page, JavaScript evaluated in it, screenshots.
//
// With --remote-debugging-pipe the browser reads NUL-terminated JSON commands
// on its fd 3 and writes NUL-terminated replies and events on its fd 4; here
// both are its end of one socket pair. Everything is synchronous: a command
// is written, then messages are read until its reply arrives, with a deadline.
#pragma once

#include "handles.h"
#include "json_handle.h"
#include "support.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testsupport {

// What a page's own JavaScript threw (as opposed to a browser that is gone).
class PageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Browser {
public:
    // Starts /usr/bin/chromium with a fresh profile and a window of the given
    // size, and opens one blank page. Throws std::runtime_error when the
    // browser cannot be started or does not answer.
    explicit Browser(int width = 1280, int height = 900);
    // Closes the browser, then kills what is left of its process group and
    // reaps it.
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Navigates the page and waits for its load event. Throws when the
    // navigation fails (refused connection, bad URL) or the deadline passes.
    void open(const std::string& url, std::chrono::milliseconds timeout = 15s);

    // Evaluates an expression in the page; a promise is awaited. Returns the
    // result by value (null for undefined or null). Throws PageError with the
    // message when the expression throws or the promise rejects.
    json_ptr evaluate(const std::string& expression, std::chrono::milliseconds timeout = 15s);
    // The same, as JSON text ("null" for undefined).
    std::string evaluate_json(const std::string& expression, std::chrono::milliseconds timeout = 15s);
    // The same for an expression that gives a string; throws when it does not.
    std::string evaluate_string(const std::string& expression, std::chrono::milliseconds timeout = 15s);

    // Evaluates the expression every 25 ms until it is truthy or the deadline
    // passes; an expression that throws counts as false. Returns its last
    // value. The expression must not be a promise: it is tested as it stands.
    bool wait_for(const std::string& expression, std::chrono::milliseconds timeout = 10s);

    // A cookie for the given URL's site, sent from the next request on.
    void set_cookie(const std::string& url, const std::string& name, const std::string& value,
                    bool http_only = true);
    // A header added to every request the page makes from now on.
    void set_header(const std::string& name, const std::string& value);
    // Emulates a viewport of that size (mobile: a phone's touch and meta
    // viewport handling).
    void set_viewport(int width, int height, bool mobile = false);

    // Runs the page in that IANA time zone ("Europe/Berlin") from now on.
    void set_timezone(const std::string& zone);

    // Any other DevTools command, sent to the page; returns its result.
    json_ptr call(std::string_view method, json_ptr params = nullptr) {
        return command(method, params.release(), true);
    }

    // Saves a PNG of the viewport, or of the whole page, to path.
    void screenshot(const std::string& path, bool full_page = false);

    // Uncaught exceptions and console errors of the page so far, one text each.
    const std::vector<std::string>& page_errors() const { return page_errors_; }
    // The URL and HTTP status of every response the page received so far
    // (seen as the browser reports them, while commands run).
    const std::vector<std::pair<std::string, int>>& responses() const { return responses_; }
    // What the browser wrote to its standard error (for failure messages).
    std::string browser_log() const;

private:
    json_ptr command(std::string_view method, json_object* params, bool to_page,
                     std::chrono::milliseconds timeout = 15s);
    void send(const std::string& text);
    json_ptr next_message(std::chrono::steady_clock::time_point deadline);
    void note_event(json_object* message);
    void shut_down();

    TempDir profile_;
    pid_t pid_ = -1;
    std::optional<unique_fd> pipe_;  // our end of the browser's fd 3 and fd 4
    std::string pending_;    // bytes read but not yet split into messages
    long next_id_ = 1;
    std::string session_;    // the page's session in flattened mode
    long loads_ = 0;         // load events seen for the page
    bool network_on_ = false;
    json_ptr headers_;       // the extra headers set so far
    std::vector<std::string> page_errors_;
    std::vector<std::pair<std::string, int>> responses_;
};

}  // namespace testsupport
