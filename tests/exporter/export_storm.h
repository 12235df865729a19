// A kill storm on a real BrindlewoodExporter: tasks submitted over the
// WebSocket while the daemon is killed with SIGKILL at random moments, some
// of them aimed at a running cut, and restarted at once; then one last clean
// start that lets every task end, and a stop. What the storm leaves is then
// checked: every task ended in state 2 or 3, every done task's clip and
// thumbnail are whole (byte for byte those of a task cut in calm before the
// storm, as every request is the same), and no number was announced twice.
// The test runs a short storm; bench_export_storm a long one.
//
// Include <gtest/gtest.h> first: the fixture's helpers use its macros.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exporter_fixture.h"

namespace exporter_test {

struct storm_options {
    int kills = 10;
    unsigned seed = 1;
    // Time from a start to its kill, drawn evenly from this range.
    std::chrono::milliseconds min_gap{200};
    std::chrono::milliseconds max_gap{3000};
    // Time between two submissions, drawn evenly from this range.
    std::chrono::milliseconds min_submit{150};
    std::chrono::milliseconds max_submit{900};
    // Every this many kills, one waits for a cut run and lands inside it.
    int aim_every = 3;
    // How long the last start may take to end every task.
    std::chrono::milliseconds settle{240000};
    // Told of each kill, for a long run's progress; may be empty.
    std::function<void(const std::string&)> progress;
};

struct storm_result {
    int submitted = 0;   // requests sent while a daemon ran
    int announced = 0;   // distinct numbers announced by "new_task"
    int kills = 0;
    int kills_in_cut = 0;  // kills that found a cut run going
    int tasks = 0;         // task folders at the end
    std::map<std::string, int> states;  // the state files' texts, counted
    int unended = 0;        // tasks whose state is not 2 or 3
    int bad_cuts = 0;       // done tasks whose cut.mp4 is not the whole clip
    int bad_thumbs = 0;     // done tasks whose thumb.jpg is not the whole image
    int twice = 0;          // numbers announced more than once
    int unstored = 0;       // announced numbers without a task folder
    int stored_twice = 0;   // requests stored under two numbers
    int leftovers = 0;      // files in task folders that are not task files
    int last_exit = -1;     // the exit status of the last, clean stop
    double seconds = 0;
    std::vector<std::string> problems;  // one line per fault, with the seed
};

namespace storm_detail {

using clock = std::chrono::steady_clock;

inline bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

inline std::string read_proc(const std::string& path) {
    std::string text = read_file(path);
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// The processes whose command line holds `piece`, and whose parent is
// `parent` when that is given.
inline std::vector<pid_t> processes_with(const std::string& piece, pid_t parent = 0) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename();
        if (!all_digits(name)) continue;
        if (parent != 0) {
            const std::string stat = read_proc(e.path() / "stat");
            const size_t close = stat.rfind(')');
            int ppid = 0;
            if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) != 1) continue;
            if (ppid != parent) continue;
        }
        if (read_proc(e.path() / "cmdline").find(piece) != std::string::npos) found.push_back(std::stoi(name));
    }
    return found;
}

inline int announced_number(const std::string& msg) {
    int n = 0;
    return sscanf(msg.c_str(), "{ \"new_task\" : %d }", &n) == 1 ? n : -1;
}

// One daemon of the storm, started on a fresh port; its client connects
// once it serves.
class storm_daemon {
public:
    storm_daemon(const Exporter& ex) : port_(free_port()) {
        const std::vector<std::string> args{"--ws-port=" + std::to_string(port_), "--tasks-path=" + ex.tasks(),
                                            "--lib0-path=" + ex.lib(), "--ffmpeg-path=/usr/bin/ffmpeg",
                                            "--log-file-name=" + ex.log_path()};
        proc_ = std::make_unique<Process>(BRINDLEWOOD_EXPORTER_BIN, args, ex.dir().path());
    }
    Process& process() { return *proc_; }
    // Tries to connect for up to `timeout`; the client stays null until a
    // try succeeds.
    ws_link* client(std::chrono::milliseconds timeout) {
        if (!link_) {
            std::string error;
            link_ = ws_link::open("127.0.0.1", port_, timeout, &error);
        }
        return link_.get();
    }
    ws_link* connected() const { return link_.get(); }

private:
    int port_;
    std::unique_ptr<Process> proc_;
    std::unique_ptr<ws_link> link_;
};

}  // namespace storm_detail

inline storm_result run_export_storm(const storm_options& opt) {
    using namespace storm_detail;
    storm_result res;
    const auto began = clock::now();
    const auto problem = [&](const std::string& what) {
        res.problems.push_back(what + " (seed " + std::to_string(opt.seed) + ")");
    };
    std::mt19937 rng(opt.seed);
    const auto between = [&](std::chrono::milliseconds lo, std::chrono::milliseconds hi) {
        return std::chrono::milliseconds(std::uniform_int_distribution<long long>(lo.count(), hi.count())(rng));
    };
    Exporter ex;
    std::map<int, int> announcements;
    const auto record = [&](const std::string& msg) {
        const int n = announced_number(msg);
        if (n >= 0) ++announcements[n];
    };
    int title = 0;
    const auto submit = [&](ws_link& link) {
        if (link.send(task_request("storm-" + std::to_string(title++), 1), 2s)) ++res.submitted;
    };

    // The reference: one task cut in calm, whose clip and thumbnail every
    // other task must match.
    {
        storm_daemon calm(ex);
        ws_link* link = nullptr;
        wait_until([&] { return (link = calm.client(500ms)) != nullptr; }, 30s);
        if (link == nullptr) {
            problem("the daemon did not start");
            return res;
        }
        submit(*link);
        bool done = false;
        for (auto deadline = clock::now() + 120s; !done && clock::now() < deadline;) {
            if (auto msg = link->receive(200ms)) {
                record(*msg);
                done = *msg == state_message(1, 2);
            }
        }
        calm.process().signal(SIGTERM);
        calm.process().wait_exit(60s);
        if (!done) {
            problem("the calm task did not end done");
            return res;
        }
    }
    const std::string reference_cut = read_file(task_folder(ex.tasks(), 1) + "/cut.mp4");
    const std::string reference_thumb = read_file(task_folder(ex.tasks(), 1) + "/thumb.jpg");
    if (reference_cut.empty() || probe_size(task_folder(ex.tasks(), 1) + "/thumb.jpg") != "96x54") {
        problem("the calm task made no clip or no 96x54 thumbnail");
        return res;
    }

    // The storm.
    for (int k = 0; k < opt.kills; ++k) {
        storm_daemon d(ex);
        const pid_t pid = d.process().pid();
        const bool aimed = opt.aim_every > 0 && k % opt.aim_every == opt.aim_every - 1;
        const auto started = clock::now();
        auto kill_at = started + between(opt.min_gap, opt.max_gap);
        // An aimed kill waits, for as long as it takes, for a cut run, and
        // lands a little way into it.
        if (aimed) kill_at = started + 60s;
        auto next_submit = started + between(opt.min_submit, opt.max_submit);
        bool in_cut = false;
        while (clock::now() < kill_at) {
            ws_link* link = d.connected() ? d.connected() : d.client(100ms);
            if (link != nullptr) {
                if (clock::now() >= next_submit) {
                    submit(*link);
                    next_submit = clock::now() + between(opt.min_submit, opt.max_submit);
                }
                if (auto msg = link->receive(10ms)) record(*msg);
            }
            if (aimed && !processes_with("cut.mp4", pid).empty()) {
                std::this_thread::sleep_for(between(0ms, 20ms));
                break;
            }
        }
        in_cut = !processes_with("cut.mp4", pid).empty();
        d.process().signal(SIGKILL);
        if (!d.process().wait_exit(30s)) problem("a killed daemon did not go");
        ++res.kills;
        if (in_cut) ++res.kills_in_cut;
        if (ws_link* link = d.connected()) {
            while (auto msg = link->receive(0ms)) record(*msg);
        }
        if (opt.progress) {
            opt.progress("kill " + std::to_string(k + 1) + "/" + std::to_string(opt.kills) +
                         (in_cut ? " in a cut run" : "") + ", " + std::to_string(res.submitted) + " submitted, " +
                         std::to_string(announcements.size()) + " announced");
        }
    }

    // The last start: it takes up what the kills interrupted and is let
    // finish every task; then a clean stop.
    std::vector<int> numbers;
    const auto list_tasks = [&] {
        numbers.clear();
        for (const auto& e : std::filesystem::directory_iterator(ex.tasks())) {
            const std::string name = e.path().filename();
            if (!e.is_directory() || !all_digits(name)) continue;
            const int n = std::stoi(name);
            if (task_folder(ex.tasks(), n) == e.path().string()) numbers.push_back(n);
        }
        std::sort(numbers.begin(), numbers.end());
    };
    const auto ended = [&](int n) {
        const std::string s = read_file(task_folder(ex.tasks(), n) + "/state");
        return s == "2" || s == "3";
    };
    {
        storm_daemon last(ex);
        if (!wait_until([&] { return last.client(500ms) != nullptr; }, 60s)) problem("the last start did not serve");
        const bool settled = wait_until(
            [&] {
                if (ws_link* link = last.connected()) {
                    while (auto msg = link->receive(0ms)) record(*msg);
                }
                list_tasks();
                return std::all_of(numbers.begin(), numbers.end(), ended);
            },
            opt.settle);
        if (!settled) problem("the last start did not end every task in time");

        last.process().signal(SIGTERM);
        res.last_exit = last.process().wait_exit(60s).value_or(-1);
    }
    // Tool runs that outlived a killed daemon still write into the tasks
    // folder: let them end before it is read and removed.
    if (!wait_until([&] { return processes_with(ex.tasks()).empty(); }, 60s)) {
        for (pid_t p : processes_with(ex.tasks())) kill(p, SIGKILL);
        problem("tool runs of killed daemons were still going a minute after the storm");
    }

    // What the storm left.
    list_tasks();
    res.tasks = static_cast<int>(numbers.size());
    res.announced = static_cast<int>(announcements.size());
    std::set<std::string> titles;
    const std::regex title_of("\"title\": \"(storm-[0-9]+)\"");
    const std::set<std::string> task_files = {"index.json", "state",   "playlist.m3u8", "thumb.jpg",
                                              "thumb.log",  "cut.mp4", "cut.log"};
    for (int n : numbers) {
        const std::string folder = task_folder(ex.tasks(), n);
        const std::string state = read_file(folder + "/state");
        ++res.states[state];
        if (state != "2" && state != "3") {
            ++res.unended;
            problem("task " + std::to_string(n) + " ended in state [" + state + "]");
        }
        if (state == "2" && read_file(folder + "/cut.mp4") != reference_cut) {
            ++res.bad_cuts;
            problem("task " + std::to_string(n) + " is done with a cut.mp4 that is not the whole clip");
        }
        if (state == "2" && read_file(folder + "/thumb.jpg") != reference_thumb) {
            ++res.bad_thumbs;
            problem("task " + std::to_string(n) + " is done with a thumb.jpg that is not the whole image");
        }
        std::smatch m;
        const std::string meta = read_file(folder + "/index.json");
        if (!std::regex_search(meta, m, title_of)) {
            problem("task " + std::to_string(n) + " has no whole index.json: [" + meta + "]");
        } else if (!titles.insert(m[1].str()).second) {
            ++res.stored_twice;
            problem("the request " + m[1].str() + " was stored twice, the second time as task " + std::to_string(n));
        }
        for (const auto& e : std::filesystem::directory_iterator(folder)) {
            if (task_files.count(e.path().filename())) continue;
            ++res.leftovers;
            if (opt.progress) opt.progress("left in task " + std::to_string(n) + ": " + e.path().filename().string());
        }
    }
    for (const auto& [n, count] : announcements) {
        if (count > 1) {
            ++res.twice;
            problem("task number " + std::to_string(n) + " was announced " + std::to_string(count) + " times");
        }
        if (!std::binary_search(numbers.begin(), numbers.end(), n)) {
            ++res.unstored;
            problem("task " + std::to_string(n) + " was announced but has no folder");
        }
    }
    if (res.last_exit != 0) problem("the last stop exited with " + std::to_string(res.last_exit));
    res.seconds = std::chrono::duration<double>(clock::now() - began).count();
    return res;
}

}  // namespace exporter_test
