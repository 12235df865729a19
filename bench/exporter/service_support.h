// What the benchmarks of the export port share: WebSocket clients over
// 127.0.0.1, the service running in this process, the real daemon, the
// announcement-latency measurement, stored tasks, a one-hour library with the
// worker's two ffmpeg commands, and the loop over a program's parts. The
// program that includes this defines BRINDLEWOOD_EXPORTER_BIN, the daemon's
// path.
#pragma once

#include <arpa/inet.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/library.h"
#include "bench_support.h"
#include "client/ws_link.h"
#include "exporter/export_task.h"
#include "exporter/instance.h"
#include "exporter/ws.h"

#ifndef BRINDLEWOOD_EXPORTER_BIN
#error "BRINDLEWOOD_EXPORTER_BIN must name the export daemon"
#endif

namespace bench {

using namespace std::chrono_literals;

// Segments of the one-hour span.
constexpr int HOUR_SEGMENTS = 600;

// 127.0.0.1:port as the socket calls take it.
inline sockaddr_in loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A TCP port on 127.0.0.1 that was free a moment ago.
inline int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    if (port == 0) throw std::runtime_error("no free port");
    return port;
}

inline std::unique_ptr<ws_link> connect_to(int port, std::chrono::milliseconds timeout = 5s) {
    std::string error;
    auto link = ws_link::open("127.0.0.1", port, timeout, &error);
    if (!link) throw std::runtime_error("cannot connect: " + error);
    return link;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

inline std::vector<std::string> current_env() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    return env;
}

inline std::string state_message(int task, int state) {
    return "{ \"task_state_updated\" : { \"task\" : " + std::to_string(task) + ", \"state\" : " +
           std::to_string(state) + " } }";
}

inline bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// ---------------------------------------------------------------------------
// The service in this process.

// The daemon's instance record with the WebSocket service running on a
// thread of its own, as the daemon's main thread runs it.
class in_process_service {
public:
    // lib, when given, is served as library 0.
    explicit in_process_service(const std::string& tasks, const std::string& lib = "") {
        if (instance_init(&raw_) != 0) throw std::runtime_error("instance_init failed");
        raw_->p_exit = &exit_;
        keelson::st_str(raw_->path.tasks, sizeof raw_->path.tasks, tasks.c_str());
        if (!lib.empty()) keelson::st_str(raw_->path.libs[0], sizeof raw_->path.libs[0], lib.c_str());
        pthread_mutex_init(&raw_->lock, nullptr);
        pthread_cond_init(&raw_->reg_queue.cond, nullptr);
        port_ = free_port();
        raw_->ws.port = port_;
        if (ws_init(raw_) != 0) {
            destroy();
            throw std::runtime_error("ws_init failed");
        }
        service_ = std::thread([this] { ws_service(raw_); });
    }
    ~in_process_service() {
        exit_ = 1;
        if (service_.joinable()) service_.join();
        ws_release(raw_);
        destroy();
    }
    in_process_service(const in_process_service&) = delete;
    in_process_service& operator=(const in_process_service&) = delete;

    instance_t* get() const { return raw_; }
    int port() const { return port_; }
    int pooled() const {
        pthread_mutex_lock(&raw_->lock);
        int n = 0;
        for (void* s : raw_->ws.pool) n += s != nullptr;
        pthread_mutex_unlock(&raw_->lock);
        return n;
    }

private:
    void destroy() {
        pthread_cond_destroy(&raw_->reg_queue.cond);
        pthread_mutex_destroy(&raw_->lock);
        instance_release(&raw_);
    }
    instance_t* raw_ = nullptr;
    std::atomic<int> exit_{0};
    int port_ = 0;
    std::thread service_;
};

// Announcements from the calling thread to connected clients.
struct announcement_figures {
    int pooled = 0;     // clients in the pool when the first was made
    summary latency;    // call to arrival, microseconds, over (client, message) pairs
    int missing = 0;    // pairs that never arrived
    int unexpected = 0; // messages that were none of the announcements
};

// Connects `clients` clients to the service, each read by a thread of its
// own, then announces `count` task states, one every `period`, and times
// each from the announcing call to its arrival at every client. The task
// list a client may get at connect is not counted as unexpected.
inline announcement_figures measure_announcements(const in_process_service& service, int clients, int count,
                                                  std::chrono::milliseconds period) {
    // Connected one after another from this thread (each link has a library
    // context of its own), then each served by a thread of its own.
    std::vector<std::unique_ptr<ws_link>> links;
    for (int c = 0; c < clients; ++c) links.push_back(connect_to(service.port()));
    const auto pooled_by = clock_type::now() + 5s;
    while (service.pooled() < clients && clock_type::now() < pooled_by) std::this_thread::sleep_for(1ms);
    announcement_figures f;
    f.pooled = service.pooled();

    std::vector<clock_type::time_point> called(count);
    std::vector<std::vector<clock_type::time_point>> arrived(clients, std::vector<clock_type::time_point>(count));
    std::vector<std::vector<char>> seen(clients, std::vector<char>(count, 0));
    std::vector<int> foreign(clients, 0);
    const auto give_up = clock_type::now() + period * count + 20s;

    std::vector<std::thread> readers;
    for (int c = 0; c < clients; ++c) {
        readers.emplace_back([&, c] {
            int got = 0;
            while (got < count && clock_type::now() < give_up) {
                auto msg = links[c]->receive(100ms);
                const auto at = clock_type::now();
                if (!msg) {
                    if (links[c]->closed()) break;
                    continue;
                }
                if (starts_with(*msg, "{ \"tasks\"")) continue;
                int seq = -1;
                if (sscanf(msg->c_str(), "{ \"task_state_updated\" : { \"task\" : %d", &seq) != 1 || seq < 0 ||
                    seq >= count || seen[c][seq]) {
                    ++foreign[c];
                    continue;
                }
                seen[c][seq] = 1;
                arrived[c][seq] = at;
                ++got;
            }
        });
    }

    std::thread producer([&] {
        const auto start = clock_type::now() + 100ms;
        for (int seq = 0; seq < count; ++seq) {
            std::this_thread::sleep_until(start + period * seq);
            char text[128];
            snprintf(text, sizeof text, "{ \"task_state_updated\" : { \"task\" : %d, \"state\" : 1 } }", seq);
            called[seq] = clock_type::now();
            ws_notify_all(service.get(), text);
        }
    });
    producer.join();
    for (auto& t : readers) t.join();

    std::vector<double> latency;
    latency.reserve(static_cast<size_t>(clients) * count);
    for (int c = 0; c < clients; ++c) {
        f.unexpected += foreign[c];
        for (int seq = 0; seq < count; ++seq) {
            if (seen[c][seq]) {
                latency.push_back(us_between(called[seq], arrived[c][seq]));
            } else {
                ++f.missing;
            }
        }
    }
    links.clear();
    f.latency = summarize(latency);
    return f;
}

inline void print_arrivals(const announcement_figures& f) {
    printf("   call to arrival over %zu (client, message) pairs: median %.0f us, p99 %.0f us, max %.0f us; "
           "missing %d, unexpected %d\n",
           f.latency.n, f.latency.median, f.latency.p99, f.latency.max, f.missing, f.unexpected);
}

// ---------------------------------------------------------------------------
// The real daemon.

// What a daemon_run starts besides the usual: another build of the daemon,
// more options, and what its clients must show (its access token).
struct daemon_options {
    std::string program = BRINDLEWOOD_EXPORTER_BIN;
    std::vector<std::string> extra;
    ws_link_options as;
};

class daemon_run {
public:
    daemon_run(const scratch_dir& dir, const std::string& name, const std::string& tasks, const std::string& lib,
               const std::string& ffmpeg, const daemon_options& options = {})
        : port_(free_port()),
          log_(dir / (name + ".log")),
          proc_(options.program, arguments(tasks, lib, ffmpeg, options.extra), dir / (name + ".out"),
                dir / (name + ".err"), current_env()) {
        const auto deadline = clock_type::now() + 30s;
        while (clock_type::now() < deadline) {
            std::string error;
            if (ws_link::open("127.0.0.1", port_, 500ms, &error, options.as) != nullptr) return;
            if (proc_.wait_exit(0ms)) break;
            std::this_thread::sleep_for(20ms);
        }
        throw std::runtime_error("the daemon did not start; its log: " + log_);
    }
    ~daemon_run() {
        proc_.signal(SIGTERM);
        if (!proc_.wait_exit(60s)) proc_.signal(SIGKILL);
    }
    daemon_run(const daemon_run&) = delete;
    daemon_run& operator=(const daemon_run&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return proc_.pid(); }
    const std::string& log() const { return log_; }
    // The exit status once the daemon has ended; nothing while it runs.
    std::optional<int> ended() { return proc_.wait_exit(0ms); }
    // VmRSS of the daemon in KiB, -1 when unreadable.
    long rss_kib() const {
        std::ifstream in("/proc/" + std::to_string(proc_.pid()) + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (starts_with(line, "VmRSS:")) return atol(line.c_str() + 6);
        }
        return -1;
    }

private:
    std::vector<std::string> arguments(const std::string& tasks, const std::string& lib, const std::string& ffmpeg,
                                       const std::vector<std::string>& extra) const {
        std::vector<std::string> args{"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks,
                                      "--lib0-path=" + lib, "--ffmpeg-path=" + ffmpeg, "--log-file-name=" + log_};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    int port_;
    std::string log_;
    child proc_;
};

// ---------------------------------------------------------------------------
// Stored tasks.

// Task `number` of `segments` segments from SPAN_T0, as the store keeps it.
inline export_task_ptr task_record(int number, int segments) {
    const std::string text = task_object(segments);
    std::unique_ptr<json_object, decltype(&json_object_put)> obj(json_tokener_parse(text.c_str()), json_object_put);
    export_task_t* raw = nullptr;
    if (export_task_from_json(obj.get(), &raw) != 0) throw std::runtime_error("export_task_from_json failed");
    export_task_ptr task(raw);
    task->sys_id = number;
    return task;
}

// Finished tasks numbered 1..count of `segments` segments each, written by
// the store itself.
inline void make_finished_tasks(const std::string& tasks, int count, const std::string& lib, int segments = 1) {
    std::filesystem::create_directories(tasks);
    for (int n = 1; n <= count; ++n) {
        export_task_ptr task = task_record(n, segments);
        task->state = 2;  // done: the daemon must not run them again
        if (export_task_save_meta(tasks.c_str(), task.get()) != 0 ||
            export_task_save_state(tasks.c_str(), task.get()) != 0 ||
            export_task_save_m3u8(tasks.c_str(), task.get(), lib.c_str()) != 0) {
            throw std::runtime_error("cannot store task " + std::to_string(n));
        }
    }
}

// The folder of task `number` under tasks, as the store names it.
inline std::string task_folder(const std::string& tasks, int number) {
    char name[16];
    snprintf(name, sizeof name, "%.05d", number);
    return tasks + "/" + name;
}

// ---------------------------------------------------------------------------
// A one-hour library and the worker's commands.

// `days` days of hour folders from SPAN_T0 holding only their index.cvs, 600
// contiguous six-second segments each.
inline void write_hour_indexes(const std::string& lib, int days) {
    int64_t pts = 126000;
    for (int h = 0; h < days * 24; ++h) {
        const int64_t hour = SPAN_T0 + 3600LL * h;
        const std::string folder = lib + "/" + archive::hour_dir(hour);
        std::filesystem::create_directories(folder);
        std::ofstream out(folder + "/index.cvs", std::ios::binary);
        char line[96];
        for (int i = 0; i < HOUR_SEGMENTS; ++i, pts += 540000) {
            const long long t = hour + 6LL * i;
            snprintf(line, sizeof line, "%lld.ts\t%lld\t540000\t%lld\n", t, t, static_cast<long long>(pts));
            out << line;
        }
        if (!out) throw std::runtime_error("cannot write " + folder + "/index.cvs");
    }
}


inline std::string hour_folder(time_t t) {
    struct tm utc = {};
    gmtime_r(&t, &utc);
    char buf[32];
    strftime(buf, sizeof buf, "%Y/%m/%d/%H", &utc);
    return buf;
}

// One 6 s segment (H.264 320x180 + AAC, MPEG-TS) generated at `segment`,
// then hard-linked HOUR_SEGMENTS times into lib as the hour from SPAN_T0.
// False when ffmpeg cannot make the segment (its errors in log).
inline bool make_hour_library(const std::string& ffmpeg, const std::string& segment, const std::string& log,
                              const std::string& lib) {
    child gen(ffmpeg,
              {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
               "testsrc=size=320x180:rate=25:duration=6", "-f", "lavfi", "-i",
               "sine=frequency=440:sample_rate=48000:duration=6", "-c:v", "libx264", "-preset", "ultrafast", "-g",
               "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts", segment},
              "", log, current_env());
    if (gen.wait() != 0) return false;
    for (int i = 0; i < HOUR_SEGMENTS; ++i) {
        const time_t t = static_cast<time_t>(SPAN_T0 + 6LL * i);
        const std::string folder = lib + "/" + hour_folder(t);
        std::filesystem::create_directories(folder);
        std::filesystem::create_hard_link(segment, folder + "/" + std::to_string(static_cast<long long>(t)) + ".ts");
    }
    return true;
}

// The worker's two commands, exactly as it builds them, on one playlist.
inline std::vector<std::vector<std::string>> worker_commands(const std::string& playlist, double head, double length,
                                                             double tail, const std::string& thumb,
                                                             const std::string& cut) {
    char mark_in[32];
    char dur[32];
    snprintf(mark_in, sizeof mark_in, "%f", head);
    snprintf(dur, sizeof dur, "%f", length - (tail + head));
    return {
        {"-ss", mark_in, "-i", playlist, "-vframes", "1", "-vf", "scale=96:54", "-y", thumb},
        {"-ss", mark_in, "-i", playlist, "-t", dur, "-acodec", "copy", "-vcodec", "copy", "-f", "mp4", "-movflags",
         "+faststart", "-avoid_negative_ts", "make_zero", "-y", cut},
    };
}

// Both commands one after the other, as the worker runs them (empty
// environment, standard output discarded, standard error into a log).
// Seconds, or -1 when one fails.
inline double run_by_hand(const std::string& ffmpeg, const std::vector<std::vector<std::string>>& cmds,
                          const std::string& log) {
    const auto t0 = clock_type::now();
    for (const auto& args : cmds) {
        child c(ffmpeg, args, "", log);
        if (c.wait() != 0) return -1;
    }
    return us_between(t0, clock_type::now()) / 1e6;
}

// ---------------------------------------------------------------------------
// The program's parts.

// Runs each part after a line with the load average (the machine may be
// shared); a part that throws is said to be not measured. 0 when every part
// ran to its end.
inline int run_parts(std::initializer_list<std::pair<const char*, std::function<void()>>> parts) {
    int status = 0;
    for (const auto& [name, run] : parts) {
        printf("[load average %s]\n", load_average().c_str());
        try {
            run();
        } catch (const std::exception& e) {
            printf("   %s: not measured: %s\n", name, e.what());
            status = 1;
        }
        fflush(stdout);
    }
    return status;
}

}  // namespace bench
