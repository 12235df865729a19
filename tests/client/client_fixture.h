// A media library laid out the way the register daemon fills it, a real
// BrindlewoodExporter serving it, and the real client run as an operator
// would run it.
#pragma once

#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "client/ws_link.h"
#include "json_handle.h"
#include "support/support.h"

namespace clienttest {

using namespace testsupport;

// 2021-05-01 11:00:00 UTC, the hour boundary the test library crosses.
constexpr long long HOUR = 1619866800;

// t formatted in UTC with strftime's fmt, whatever the machine's time zone.
inline std::string utc_text(long long t, const char* fmt) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm_utc{};
    gmtime_r(&tt, &tm_utc);
    char buf[64] = {0};
    strftime(buf, sizeof buf, fmt, &tm_utc);
    return buf;
}

// The library's hour folder of t.
inline std::string utc_hour_dir(long long t) { return utc_text(t, "%Y/%m/%d/%H"); }

inline std::string task_folder(const std::string& tasks, int n) {
    char name[16];
    snprintf(name, sizeof name, "%.05d", n);
    return tasks + "/" + name;
}

// A recorder's output: one continuous 39-second encode cut into six-second
// MPEG-TS segments and a last one of three, with a keyframe at the start of
// each segment and nowhere else, and time stamps running on from one segment
// to the next. Made once per test process; the segment files in order.
inline const std::vector<std::string>& recording() {
    static TempDir dir;
    static const std::vector<std::string> files = [] {
        const std::vector<std::string> args = {
            "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
            "-f", "lavfi", "-i", "testsrc=size=320x180:rate=25:duration=39",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=39",
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
            "-g", "150", "-force_key_frames", "expr:gte(t,n_forced*6)",
            "-c:a", "aac", "-b:a", "64k",
            "-f", "segment", "-segment_time", "6", "-segment_format", "mpegts", "-reset_timestamps", "0",
            dir / "%d.ts"};
        const RunResult r = run("/usr/bin/env", args, 120s);
        std::vector<std::string> out;
        for (int i = 0; r.status == 0 && file_exists(dir / (std::to_string(i) + ".ts")); ++i) {
            out.push_back(dir / (std::to_string(i) + ".ts"));
        }
        return out;
    }();
    return files;
}

// A library the test writes itself: segments in their hour folders and one
// index line each, with the first video stream's duration and start time
// stamp as ffprobe reports them, as the register daemon does.
class Library {
public:
    explicit Library(std::string root) : root_(std::move(root)) { std::filesystem::create_directories(root_); }

    const std::string& root() const { return root_; }

    void add(long long t, const std::string& segment) {
        const std::string hour = root_ + "/" + utc_hour_dir(t);
        std::filesystem::create_directories(hour);
        const std::string name = std::to_string(t) + ".ts";
        std::filesystem::copy_file(segment, hour + "/" + name, std::filesystem::copy_options::overwrite_existing);
        const RunResult probe = run(
            "/usr/bin/env", {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=duration_ts,start_pts", "-of", "default=noprint_wrappers=1", hour + "/" + name});
        std::string duration_ts;
        std::string start_pts;
        for (const auto& line : split_lines(probe.out)) {
            if (line.rfind("duration_ts=", 0) == 0) duration_ts = line.substr(12);
            if (line.rfind("start_pts=", 0) == 0) start_pts = line.substr(10);
        }
        ASSERT_FALSE(duration_ts.empty() || start_pts.empty()) << "ffprobe said: " << probe.out << probe.err;
        append_index(t, name + "\t" + std::to_string(t) + "\t" + duration_ts + "\t" + start_pts);
    }

    void append_index(long long t, const std::string& line) {
        const std::string index = root_ + "/" + utc_hour_dir(t) + "/index.cvs";
        std::filesystem::create_directories(root_ + "/" + utc_hour_dir(t));
        write_file(index, read_file(index) + line + "\n");
    }

private:
    std::string root_;
};

// A real export daemon on a free port of 127.0.0.1.
class ExportDaemon {
public:
    ExportDaemon(const TempDir& dir, const std::string& lib, const std::string& ffmpeg = "ffmpeg")
        : tasks_(dir / "tasks"), log_(dir / "exporter.log") {
        std::filesystem::create_directories(tasks_);
        port_ = free_port();
        proc_ = std::make_unique<Process>(
            BRINDLEWOOD_EXPORTER_BIN,
            std::vector<std::string>{"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks_,
                                     "--lib0-path=" + lib, "--ffmpeg-path=" + ffmpeg, "--log-file-name=" + log_},
            dir.path());
    }

    // Whether it came up and accepts WebSocket connections.
    bool ready() {
        const bool logged = wait_until([this] { return log().find("ws_info.user=") != std::string::npos; }, 30s);
        return logged && wait_until(
                             [this] {
                                 std::string error;
                                 return ws_link::open("127.0.0.1", port_, 500ms, &error) != nullptr;
                             },
                             30s);
    }

    // Stops it with SIGTERM; the exit status (-1 when it does not stop).
    int stop() {
        proc_->signal(SIGTERM);
        return proc_->wait_exit(60s).value_or(-1);
    }

    int port() const { return port_; }
    std::string port_arg() const { return std::to_string(port_); }
    const std::string& tasks() const { return tasks_; }
    std::string log() const { return read_file(log_); }
    std::string task(int n, const std::string& file) const { return task_folder(tasks_, n) + "/" + file; }
    int task_count() const {
        int n = 0;
        // Dot names (the drafts folder) hold no task.
        for (const auto& e : std::filesystem::directory_iterator(tasks_)) {
            n += e.is_directory() && !e.path().filename().string().starts_with(".");
        }
        return n;
    }

private:
    std::string tasks_;
    std::string log_;
    int port_ = 0;
    std::unique_ptr<Process> proc_;
};

inline RunResult client(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 180s) {
    return run(BRINDLEWOOD_CLIENT_BIN, args, timeout);
}

// The "task N state" lines a following client prints.
struct Followed {
    std::set<int> tasks;              // every task number the lines name
    std::vector<std::string> states;  // in order
};

inline Followed followed(const std::string& out) {
    static const std::regex line_re("task (\\d+) (queued|running|done|failed.*)");
    Followed f;
    for (const auto& line : split_lines(out)) {
        std::smatch m;
        if (!std::regex_match(line, m, line_re)) continue;
        f.tasks.insert(std::stoi(m[1]));
        f.states.push_back(m[2]);
    }
    return f;
}

// A parsed JSON text, released with its object.
inline json_ptr parse_json_file(const std::string& path) {
    return json_ptr(json_tokener_parse(read_file(path).c_str()));
}

inline std::optional<std::string> json_string(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (o == nullptr || !json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string)) {
        return std::nullopt;
    }
    return std::string(json_object_get_string(v));
}

inline std::optional<long long> json_int(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (o == nullptr || !json_object_object_get_ex(o, key, &v)) return std::nullopt;
    if (!json_object_is_type(v, json_type_int) && !json_object_is_type(v, json_type_double)) return std::nullopt;
    return static_cast<long long>(json_object_get_int64(v));
}

}  // namespace clienttest
