#include "client/commands.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "client/protocol.h"
#include "archive/clip.h"
#include "archive/task_store.h"
#include "archive/timearg.h"
#include "client/ws_link.h"
#include "text.h"
#include "utils.h"

namespace client {
namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// How long a submission waits for its "new_task" announcement when it does
// not follow the task.
constexpr auto ANNOUNCE_WAIT = 5s;

std::atomic<bool> interrupted{false};

void on_interrupt(int) { interrupted = true; }

void catch_interrupts() {
    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int fail(const std::string& reason) {
    fprintf(stderr, "BrindlewoodClient: %s\n", reason.c_str());
    return 1;
}

// The token is the file's first line without its line end and trailing
// blanks, as the daemon reads its own copy.
bool read_token(const std::string& file, std::string* token, std::string* error) {
    std::string text;
    if (const int r = utils_read_text(file.c_str(), &text); r != 0) {
        *error = "cannot read the token file " + file + ": " + strerror(-r);
        return false;
    }
    text.erase(std::min(text.find('\n'), text.size()));
    text.erase(text.find_last_not_of(" \t\r") + 1);
    if (text.empty()) {
        *error = "the token file " + file + " holds no token";
        return false;
    }
    *token = std::move(text);
    return true;
}

bool read_text(const std::string& file, std::string* text) {
    if (file == "-") {
        text->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
    return true;
}

// How many lines of a failed run's log the client shows.
constexpr size_t FAILED_LOG_LINES = 10;

std::optional<struct timespec> modified(const std::string& file) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return std::nullopt;
    return st.st_mtim;
}

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The log of the run that failed. The thumbnail is made first and the cut
// only once it was, so the log written last tells; a cut's log left from an
// earlier run of the task is older than the thumbnail's log of the last.
std::string failed_log(const std::string& tasks_path, int task) {
    const std::string thumb = archive::task_path(tasks_path, task, archive::TASK_THUMB_LOG);
    const std::string cut = archive::task_path(tasks_path, task, archive::TASK_CUT_LOG);
    const auto thumb_time = modified(thumb);
    const auto cut_time = modified(cut);
    if (!cut_time) return thumb_time ? thumb : std::string();
    return thumb_time && later(*thumb_time, *cut_time) ? thumb : cut;
}

// Prints the last lines of the failed run's log to standard error, escaped:
// they are ffmpeg's words about a recording, not ours.
void print_failed_log(const std::string& tasks_path, int task) {
    const std::string log = failed_log(tasks_path, task);
    std::string text;
    if (log.empty() || utils_read_text(log.c_str(), &text) != 0) {
        fprintf(stderr, "BrindlewoodClient: task %d left no ffmpeg log in %s\n", task,
                archive::task_path(tasks_path, task, "").c_str());
        return;
    }
    std::vector<std::string_view> lines;
    for (std::string_view rest(text); !rest.empty();) {
        const size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
    }
    if (lines.empty()) {
        fprintf(stderr, "BrindlewoodClient: %s is empty\n", log.c_str());
        return;
    }
    const size_t first = lines.size() > FAILED_LOG_LINES ? lines.size() - FAILED_LOG_LINES : 0;
    fprintf(stderr, "BrindlewoodClient: the last %zu lines of %s:\n", lines.size() - first, log.c_str());
    for (size_t i = first; i < lines.size(); ++i) fprintf(stderr, "  %s\n", text_escape(lines[i]).c_str());
}

// Follows the announcements after a request went out: first the number of
// our task, then its states until it ends.
class follower {
public:
    follower(ws_link& link, const task_request* req, const follow_opts& opts) : link_(link), req_(req), opts_(opts) {}

    int run() {
        const auto deadline = steady::now() + (opts_.wait ? std::chrono::duration_cast<steady::duration>(opts_.timeout)
                                                         : std::chrono::duration_cast<steady::duration>(ANNOUNCE_WAIT));
        while (steady::now() < deadline) {
            if (interrupted) return fail("interrupted");
            auto msg = link_.receive(250ms);
            if (msg) {
                if (int r = handle(parse_announcement(*msg)); r >= 0) return r;
                continue;
            }
            if (link_.closed()) return fail("the server closed the connection");
            if (int r = poll_state_file(); r >= 0) return r;
        }
        if (task_ < 0) {
            return fail("no new task was announced: the server may have refused the request (see its log), or "
                        "all 32 announcement slots are taken");
        }
        return fail("timed out waiting for task " + std::to_string(task_) + " (last state: " + state_name(state_) +
                    ")");
    }

private:
    // An exit status once the follow is over, else -1.
    int handle(const announcement& a) {
        if (a.what == announcement::kind::new_task && task_ < 0 && is_ours(a.task)) {
            task_ = a.task;
            printf("task %d queued\n", task_);
            fflush(stdout);
            return opts_.wait ? -1 : 0;
        }
        if (a.what == announcement::kind::state && a.task == task_ && task_ >= 0) return report(a.state);
        return -1;
    }

    int report(int state) {
        if (state == state_) return -1;
        state_ = state;
        printf("task %d %s\n", task_, state_name(state).c_str());
        fflush(stdout);
        const archive::task_state s = archive::task_state_of(state);
        if (s == archive::task_state::done) return 0;
        if (s == archive::task_state::failed && !opts_.tasks_path.empty()) print_failed_log(opts_.tasks_path, task_);
        if (archive::task_state_ended(s)) return 1;
        return -1;
    }

    // Without a request identifier the first "new_task" after our request is
    // taken as ours, unless the tasks folder is at hand to confirm it.
    bool is_ours(int task) const {
        if (opts_.tasks_path.empty() || req_ == nullptr) return true;
        std::string meta;
        return read_text(archive::task_path(opts_.tasks_path, task, archive::TASK_META), &meta) &&
               meta_matches(meta, *req_);
    }

    // With the tasks folder at hand a missed announcement cannot strand us.
    int poll_state_file() {
        if (task_ < 0 || opts_.tasks_path.empty() || !opts_.wait) return -1;
        archive::task_state state;
        if (archive::read_task_state(opts_.tasks_path.c_str(), task_, &state) != 0) return -1;
        return report(archive::task_state_value(state));
    }

    ws_link& link_;
    const task_request* req_;
    const follow_opts& opts_;
    int task_ = -1;
    int state_ = 0;
};

int submit_message(const server_opts& server, const std::string& message, const task_request* req,
                   const follow_opts& follow) {
    auto link = connect_to(server);
    if (!link) return 1;
    if (!link->send(message)) return fail("the server closed the connection before the request went out");
    return follower(*link, req, follow).run();
}

// Refuses a span the library does not cover unless the operator accepts it.
bool check_gaps(const archive::clip_plan& plan, bool allow, std::string* error) {
    for (const auto& name : plan.skipped) {
        fprintf(stderr, "BrindlewoodClient: skipping %s: only segments named by their time can be exported\n",
                name.c_str());
    }
    if (plan.gaps.empty()) return true;
    if (!allow) {
        *error = archive::gap_text(plan) + " (--allow-gaps accepts it)";
        return false;
    }
    fprintf(stderr, "BrindlewoodClient: cutting what there is (--allow-gaps): %s\n", archive::gap_text(plan).c_str());
    return true;
}

}  // namespace

std::unique_ptr<ws_link> connect_to(const server_opts& server) {
    ws_link_options options;
    std::string error;
    if (!server.token_file.empty() && !read_token(server.token_file, &options.token, &error)) {
        fail(error);
        return nullptr;
    }
    auto link = ws_link::open(server.host, server.port, 5s, &error, options);
    if (!link) fail(error);
    return link;
}

int cmd_list(const server_opts& server, std::chrono::milliseconds wait) {
    auto link = connect_to(server);
    if (!link) return 1;
    // The list comes only when the server stores at least one task.
    const auto deadline = steady::now() + wait;
    while (steady::now() < deadline) {
        auto msg = link->receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()));
        if (!msg) break;
        announcement a = parse_announcement(*msg);
        if (a.what != announcement::kind::tasks) continue;
        std::sort(a.tasks.begin(), a.tasks.end());
        for (int t : a.tasks) printf("%d\n", t);
        return 0;
    }
    if (link->closed()) return fail("the server closed the connection");
    return 0;
}

int cmd_watch(const server_opts& server) {
    catch_interrupts();
    auto link = connect_to(server);
    if (!link) return 1;
    while (!interrupted) {
        auto msg = link->receive(200ms);
        if (msg) {
            printf("%s\n", msg->c_str());
            fflush(stdout);
        } else if (link->closed()) {
            return fail("the server closed the connection");
        }
    }
    return 0;
}

int cmd_submit(const server_opts& server, const std::string& file, const follow_opts& follow) {
    catch_interrupts();
    std::string text;
    if (!read_text(file, &text)) return fail("cannot read " + file);
    std::string message;
    std::string error;
    if (!wrap_task_object(text, &message, &error)) return fail(error);
    task_request req;
    const bool comparable = task_request_from_json(text, &req);
    return submit_message(server, message, comparable ? &req : nullptr, follow);
}

int cmd_clip(const server_opts& server, const clip_opts& clip, const follow_opts& follow) {
    catch_interrupts();
    archive::clip_request ask{clip.lib_path, clip.lib_idx, 0, 0, clip.title, clip.exact};
    std::string error;
    if (!archive::parse_time(clip.from, &ask.from, &error) || !archive::parse_time(clip.to, &ask.to, &error)) {
        return fail(error);
    }
    archive::clip_plan plan;
    if (!archive::plan_span(ask, &plan, &error)) return fail(error);
    if (!check_gaps(plan, clip.allow_gaps, &error)) return fail(error);
    printf("segments %zu from %lld, head_offs %.0f, length %f, tail_rem %.0f\n", plan.segments.size(),
           static_cast<long long>(plan.segments.front().t), plan.head_offs, plan.length, plan.tail_rem);
    fflush(stdout);
    const task_request req = archive::request_for(ask, plan);
    return submit_message(server, archive::new_task_message(req), &req, follow);
}

}  // namespace client
