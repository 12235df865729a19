// What the export daemon's benchmarks share: a scratch folder, summary
// figures of a sample, task requests as a client sends them, and child
// processes started without a shell.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch_dir.h"

extern char** environ;

namespace bench {

using clock_type = std::chrono::steady_clock;

inline double us_between(clock_type::time_point a, clock_type::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}


// The file system kind of a path, for the heading of the figures: writes to
// a RAM file system and to a disk behave differently.
inline std::string fs_kind(const std::string& path) {
    struct statfs st = {};
    if (statfs(path.c_str(), &st) != 0) return "unknown";
    switch (static_cast<unsigned long>(st.f_type)) {
        case 0xEF53: return "ext4";
        case 0x01021994: return "tmpfs";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x794C7630: return "overlayfs";
        default: {
            char hex[32];
            snprintf(hex, sizeof hex, "fs type 0x%lx", static_cast<unsigned long>(st.f_type));
            return hex;
        }
    }
}

// The first three figures of /proc/loadavg: the machine may be shared.
inline std::string load_average() {
    FILE* f = fopen("/proc/loadavg", "r");
    if (f == nullptr) return "unknown";
    char buf[64] = "";
    const bool ok = fscanf(f, "%63[0-9. ]", buf) == 1;
    fclose(f);
    std::string s = ok ? buf : "unknown";
    const size_t third = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return third == std::string::npos ? s : s.substr(0, third);
}

struct summary {
    size_t n = 0;
    double median = 0;
    double mean = 0;
    double p99 = 0;
    double min = 0;
    double max = 0;
};

inline summary summarize(std::vector<double> v) {
    summary s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.n = v.size();
    const size_t mid = v.size() / 2;
    s.median = v.size() % 2 != 0 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.min = v.front();
    s.max = v.back();
    return s;
}

// 2021-05-01 10:00:00 UTC: the first segment of every generated span.
constexpr long long SPAN_T0 = 1619863200;

// The value of "new_task" for `segments` six-second segments from t0, with
// a 2 s head trim and a 1 s tail trim, as the command-line client sends it.
inline std::string task_object(int segments, long long t0 = SPAN_T0, long long d = 540000) {
    std::string ts;
    ts.reserve(static_cast<size_t>(segments) * 36);
    for (int i = 0; i < segments; ++i) {
        if (i) ts += ", ";
        ts += "{ \"t\": " + std::to_string(t0 + 6LL * i) + ", \"d\": " + std::to_string(d) + " }";
    }
    return "{ \"date\": \"2021-05-01\", \"from\": \"10:00:02\", \"to\": \"11:00:00\", \"title\": \"bench\", "
           "\"lib_idx\": 0, \"head_offs\": 2, \"tail_rem\": 1, \"length\": " +
           std::to_string(6 * segments) + ", \"timestamps\": [ " + ts + " ] }";
}

inline std::string task_message(int segments, long long t0 = SPAN_T0, long long d = 540000) {
    return "{ \"new_task\": " + task_object(segments, t0, d) + " }";
}

// A program searched in PATH, as the launcher does for a name without '/'.
inline std::string which(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', at), dirs.size());
        const std::string candidate = dirs.substr(at, end - at) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return name;
}

// Closes a posix_spawn file-actions object on every path.
class spawn_actions {
public:
    spawn_actions() { posix_spawn_file_actions_init(&fa_); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&fa_); }
    spawn_actions(const spawn_actions&) = delete;
    spawn_actions& operator=(const spawn_actions&) = delete;
    posix_spawn_file_actions_t* get() { return &fa_; }

private:
    posix_spawn_file_actions_t fa_;
};

// A child process: program and arguments, standard output and error to
// files (or /dev/null), and the given environment (empty by default, as the
// export daemon starts ffmpeg). Killed and reaped when the object goes.
class child {
public:
    child(const std::string& program, const std::vector<std::string>& args, const std::string& out_file,
          const std::string& err_file, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv_s;
        argv_s.push_back(program);
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argv_s) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env_s = env;
        std::vector<char*> envp;
        for (auto& e : env_s) envp.push_back(e.data());
        envp.push_back(nullptr);
        spawn_actions fa;
        posix_spawn_file_actions_addopen(fa.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(fa.get(), STDOUT_FILENO, out_file.empty() ? "/dev/null" : out_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(fa.get(), STDERR_FILENO, err_file.empty() ? "/dev/null" : err_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int r = posix_spawn(&pid_, program.c_str(), fa.get(), nullptr, argv.data(), envp.data());
        if (r != 0) throw std::runtime_error("cannot start " + program + ": " + strerror(r));
    }
    ~child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
    }
    child(const child&) = delete;
    child& operator=(const child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (!reaped_) kill(pid_, sig);
    }
    // The exit status, or nothing when it still runs at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout) {
        const auto deadline = clock_type::now() + timeout;
        while (!reaped_) {
            int st = 0;
            const pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            if (clock_type::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return status_;
    }
    // Blocks until the child ends; its status.
    int wait() {
        if (!reaped_) {
            int st = 0;
            waitpid(pid_, &st, 0);
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

}  // namespace bench
