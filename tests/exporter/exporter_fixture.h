// A real BrindlewoodExporter on 127.0.0.1 with a generated media library, and
// real WebSocket clients for it.
#pragma once

#include <signal.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "client/ws_link.h"
#include "support/support.h"

namespace exporter_test {

using namespace testsupport;

// Three six-second segments from 2021-05-01 10:00:00 UTC.
constexpr long long T0 = 1619863200;
constexpr int SEGMENTS = 3;

inline std::string task_folder(const std::string& tasks, int n) {
    char name[16];
    snprintf(name, sizeof name, "%.05d", n);
    return tasks + "/" + name;
}

// A request for `segments` segments from T0 with the given trims.
inline std::string task_request(const std::string& title = "clip", int segments = SEGMENTS, int head = 2,
                                int tail = 1) {
    std::string ts;
    for (int i = 0; i < segments; ++i) {
        if (i) ts += ", ";
        ts += "{ \"t\": " + std::to_string(T0 + 6 * i) + ", \"d\": 540000 }";
    }
    return "{ \"new_task\": { \"date\": \"2021-05-01\", \"from\": \"10:00:02\", \"to\": \"10:00:17\", \"title\": \"" +
           title + "\", \"head_offs\": " + std::to_string(head) + ", \"tail_rem\": " + std::to_string(tail) +
           ", \"length\": " + std::to_string(6 * segments) + ", \"timestamps\": [ " + ts + " ] } }";
}

inline std::string state_message(int task, int state) {
    return "{ \"task_state_updated\" : { \"task\" : " + std::to_string(task) + ", \"state\" : " +
           std::to_string(state) + " } }";
}

inline std::string new_task_message(int task) { return "{ \"new_task\" : " + std::to_string(task) + " }"; }

// Writes a stand-in for ffmpeg: a shell script that sleeps and exits.
inline std::string fake_ffmpeg(const TempDir& dir, const std::string& name, double sleep_s, int status) {
    const std::string path = dir / name;
    write_file(path, "#!/bin/sh\nsleep " + std::to_string(sleep_s) + "\nexit " + std::to_string(status) + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

class Exporter {
public:
    Exporter() {
        std::filesystem::create_directories(dir_ / "tasks");
        const std::string hour = dir_ / "lib/2021/05/01/10";
        std::filesystem::create_directories(hour);
        for (int i = 0; i < SEGMENTS; ++i) make_segment(hour + "/" + std::to_string(T0 + 6 * i) + ".ts", 6.0);
    }

    const TempDir& dir() const { return dir_; }
    std::string tasks() const { return dir_ / "tasks"; }
    std::string lib() const { return dir_ / "lib"; }
    std::string log_path() const { return dir_ / "exporter.log"; }
    std::string log() const { return read_file(log_path()); }
    int port() const { return port_; }
    Process& process() { return *proc_; }

    // Starts the daemon, with `extra` options after the usual ones, and
    // waits until it accepts connections made as `as` says.
    void start(const std::string& ffmpeg = "ffmpeg", const std::vector<std::string>& extra = {},
               const ws_link_options& as = {}) {
        port_ = free_port();
        as_ = as;
        std::vector<std::string> args{"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks(),
                                      "--lib0-path=" + lib(), "--ffmpeg-path=" + ffmpeg,
                                      "--log-file-name=" + log_path()};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<Process>(BRINDLEWOOD_EXPORTER_BIN, args, dir_.path());
        ASSERT_TRUE(wait_until([this] { return log().find("ws_info.user=") != std::string::npos; }));
        ASSERT_TRUE(wait_until([this] {
            std::string error;
            return ws_link::open("127.0.0.1", port_, 500ms, &error, as_) != nullptr;
        }));
    }

    // Stops it with SIGTERM; returns the exit status.
    int stop() {
        proc_->signal(SIGTERM);
        auto st = proc_->wait_exit(60s);
        return st.value_or(-1);
    }

    std::unique_ptr<ws_link> connect() {
        std::string error;
        auto link = ws_link::open("127.0.0.1", port_, 5s, &error, as_);
        EXPECT_NE(link, nullptr) << error;
        return link;
    }

    // Waits until the log holds `piece` n times (the writer is asynchronous).
    bool wait_log_count(const std::string& piece, int n) const {
        return wait_until([&] { return log_count(piece) == n; });
    }

    int log_count(const std::string& piece) const {
        const std::string text = log();
        int n = 0;
        for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
        return n;
    }

private:
    TempDir dir_;
    int port_ = 0;
    ws_link_options as_;
    std::unique_ptr<Process> proc_;
};

// The MD5 of the decoded video frame `index` (counted from 0, in display
// order) of a media file; empty on failure.
inline std::string frame_md5(const std::string& path, int index) {
    const auto r = run("/usr/bin/ffmpeg", {"-nostdin", "-loglevel", "error", "-i", path, "-an", "-frames:v",
                                           std::to_string(index + 1), "-f", "framemd5", "-"});
    if (r.status != 0) return "";
    const auto lines = split_lines(r.out);
    std::vector<std::string> frames;
    for (const auto& l : lines)
        if (!l.empty() && l[0] != '#') frames.push_back(l.substr(l.rfind(',') + 1));
    return static_cast<int>(frames.size()) == index + 1 ? frames.back() : "";
}

inline std::string first_frame_md5(const std::string& path) { return frame_md5(path, 0); }

// Receives until the message `want` arrives; false at the deadline.
inline bool receive_until(ws_link& link, const std::string& want, std::chrono::milliseconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto msg = link.receive(200ms);
        if (msg && *msg == want) return true;
        if (!msg && link.closed()) return false;
    }
    return false;
}

// Every message that arrives within the window.
inline std::vector<std::string> drain(ws_link& link, std::chrono::milliseconds window) {
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < deadline) {
        auto msg = link.receive(50ms);
        if (msg) got.push_back(*msg);
    }
    return got;
}

}  // namespace exporter_test
