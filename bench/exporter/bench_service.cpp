// The export daemon's WebSocket service under load, with real clients over
// 127.0.0.1:
//  1. announcement latency: the service in this process, 32 connected
//     clients, a producer announcing at a steady rate; the time from the
//     announcing call to the arrival at every client;
//  2. connect to the "tasks" message with 10,000 task folders stored (the
//     real daemon);
//  3. tasks submitted, stored and announced per second, ffmpeg replaced by a
//     program that exits 0 at once (the real daemon);
//  4. resident memory of the daemon per idle connection;
//  5. the export of a one-hour span (600 six-second segments, stream copy)
//     by the daemon against the same two ffmpeg commands run by hand.
// Prints figures; asserts nothing.
#include <arpa/inet.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "client/ws_link.h"
#include "exporter/export_task.h"
#include "exporter/instance.h"
#include "exporter/ws.h"
#include "logger.h"

namespace {

using namespace std::chrono_literals;
using bench::clock_type;
using bench::summarize;
using bench::us_between;

constexpr int CLIENTS = 32;
constexpr int ANNOUNCEMENTS = 2000;
constexpr auto ANNOUNCE_PERIOD = 2ms;
constexpr int LIST_FOLDERS = 10000;
constexpr int CONNECT_REPS = 20;
constexpr int IDLE_CONNECTIONS = 100;
constexpr int HOUR_SEGMENTS = 600;
constexpr int EXPORT_ROUNDS = 6;

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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

std::unique_ptr<ws_link> connect_to(int port, std::chrono::milliseconds timeout = 5s) {
    std::string error;
    auto link = ws_link::open("127.0.0.1", port, timeout, &error);
    if (!link) throw std::runtime_error("cannot connect: " + error);
    return link;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

std::vector<std::string> current_env() {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    return env;
}

std::string state_message(int task, int state) {
    return "{ \"task_state_updated\" : { \"task\" : " + std::to_string(task) + ", \"state\" : " +
           std::to_string(state) + " } }";
}

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// ---------------------------------------------------------------------------
// 1. Announcement latency, the service in this process.

// The daemon's instance record with the WebSocket service running on a
// thread of its own, as the daemon's main thread runs it.
class in_process_service {
public:
    explicit in_process_service(const std::string& tasks) {
        if (instance_init(&raw_) != 0) throw std::runtime_error("instance_init failed");
        raw_->p_exit = &exit_;
        keelson::st_str(raw_->path.tasks, sizeof raw_->path.tasks, tasks.c_str());
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

void bench_announcements() {
    bench::scratch_dir dir("bench_service_announce");
    std::filesystem::create_directories(dir / "tasks");
    in_process_service service(dir / "tasks");

    // Connected one after another from this thread (each link has a library
    // context of its own), then each served by a thread of its own.
    std::vector<std::unique_ptr<ws_link>> links;
    for (int c = 0; c < CLIENTS; ++c) links.push_back(connect_to(service.port()));
    const auto pooled_by = clock_type::now() + 5s;
    while (service.pooled() < CLIENTS && clock_type::now() < pooled_by) std::this_thread::sleep_for(1ms);
    const int pooled = service.pooled();

    std::vector<clock_type::time_point> called(ANNOUNCEMENTS);
    std::vector<std::vector<clock_type::time_point>> arrived(CLIENTS,
                                                             std::vector<clock_type::time_point>(ANNOUNCEMENTS));
    std::vector<std::vector<char>> seen(CLIENTS, std::vector<char>(ANNOUNCEMENTS, 0));
    std::vector<int> foreign(CLIENTS, 0);
    const auto give_up = clock_type::now() + ANNOUNCE_PERIOD * ANNOUNCEMENTS + 20s;

    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&, c] {
            int got = 0;
            while (got < ANNOUNCEMENTS && clock_type::now() < give_up) {
                auto msg = links[c]->receive(100ms);
                const auto at = clock_type::now();
                if (!msg) {
                    if (links[c]->closed()) break;
                    continue;
                }
                int seq = -1;
                if (sscanf(msg->c_str(), "{ \"task_state_updated\" : { \"task\" : %d", &seq) != 1 || seq < 0 ||
                    seq >= ANNOUNCEMENTS || seen[c][seq]) {
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
        for (int seq = 0; seq < ANNOUNCEMENTS; ++seq) {
            std::this_thread::sleep_until(start + ANNOUNCE_PERIOD * seq);
            char text[128];
            snprintf(text, sizeof text, "{ \"task_state_updated\" : { \"task\" : %d, \"state\" : 1 } }", seq);
            called[seq] = clock_type::now();
            ws_notify_all(service.get(), text);
        }
    });
    producer.join();
    for (auto& t : clients) t.join();

    std::vector<double> latency;
    latency.reserve(static_cast<size_t>(CLIENTS) * ANNOUNCEMENTS);
    int missing = 0;
    int others = 0;
    for (int c = 0; c < CLIENTS; ++c) {
        others += foreign[c];
        for (int seq = 0; seq < ANNOUNCEMENTS; ++seq) {
            if (seen[c][seq]) {
                latency.push_back(us_between(called[seq], arrived[c][seq]));
            } else {
                ++missing;
            }
        }
    }
    links.clear();
    const auto s = summarize(latency);
    printf("1. announcement latency: service in this process, %d clients (%d in the pool), %d announcements "
           "every %lld ms\n",
           CLIENTS, pooled, ANNOUNCEMENTS, static_cast<long long>(ANNOUNCE_PERIOD.count()));
    printf("   call to arrival over %zu (client, message) pairs: median %.0f us, p99 %.0f us, max %.0f us; "
           "missing %d, unexpected %d\n",
           s.n, s.median, s.p99, s.max, missing, others);
    printf("   target: p99 under 2000 us\n");
}

// ---------------------------------------------------------------------------
// The real daemon.

class daemon_run {
public:
    daemon_run(const bench::scratch_dir& dir, const std::string& name, const std::string& tasks,
               const std::string& lib, const std::string& ffmpeg)
        : port_(free_port()),
          log_(dir / (name + ".log")),
          proc_(BRINDLEWOOD_EXPORTER_BIN,
                {"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks, "--lib0-path=" + lib,
                 "--ffmpeg-path=" + ffmpeg, "--log-file-name=" + log_},
                dir / (name + ".out"), dir / (name + ".err"), current_env()) {
        const auto deadline = clock_type::now() + 15s;
        while (clock_type::now() < deadline) {
            std::string error;
            if (ws_link::open("127.0.0.1", port_, 500ms, &error) != nullptr) return;
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
    int port_;
    std::string log_;
    bench::child proc_;
};

// Resident memory of the daemon before and after IDLE_CONNECTIONS idle
// connections. A client that has read what the daemon sends at connect, and
// one that never reads (the daemon then keeps what the socket did not take).
void idle_memory(daemon_run& d, const char* what, bool read_list) {
    std::this_thread::sleep_for(300ms);
    const long before = d.rss_kib();
    std::vector<std::unique_ptr<ws_link>> idle;
    int lists = 0;
    for (int i = 0; i < IDLE_CONNECTIONS; ++i) {
        idle.push_back(connect_to(d.port()));
        if (read_list && idle.back()->receive(5s)) ++lists;
    }
    std::this_thread::sleep_for(1s);
    const long after = d.rss_kib();
    idle.clear();
    std::this_thread::sleep_for(500ms);
    const long closed = d.rss_kib();
    printf("   %s, %s: VmRSS %ld KiB, with %d idle connections %ld KiB, after closing them %ld KiB: %.1f KiB "
           "per idle connection\n",
           what, read_list ? "clients read the list" : "clients never read", before, IDLE_CONNECTIONS, after,
           closed, static_cast<double>(after - before) / IDLE_CONNECTIONS);
    if (read_list && lists != IDLE_CONNECTIONS) printf("      (only %d of them received a list)\n", lists);
}

// Finished one-segment tasks numbered 1..count, written by the store itself.
void make_finished_tasks(const std::string& tasks, int count, const std::string& lib) {
    std::filesystem::create_directories(tasks);
    const std::string text = bench::task_object(1);
    std::unique_ptr<json_object, decltype(&json_object_put)> obj(json_tokener_parse(text.c_str()), json_object_put);
    for (int n = 1; n <= count; ++n) {
        export_task_t* raw = nullptr;
        if (export_task_from_json(obj.get(), &raw) != 0) throw std::runtime_error("export_task_from_json failed");
        export_task_ptr task(raw);
        task->sys_id = n;
        task->state = 2;  // done: the daemon must not run them again
        if (export_task_save_meta(tasks.c_str(), task.get()) != 0 ||
            export_task_save_state(tasks.c_str(), task.get()) != 0 ||
            export_task_save_m3u8(tasks.c_str(), task.get(), lib.c_str()) != 0) {
            throw std::runtime_error("cannot store task " + std::to_string(n));
        }
    }
}

void bench_task_list() {
    bench::scratch_dir dir("bench_service_list");
    const std::string tasks = dir / "tasks";
    make_finished_tasks(tasks, LIST_FOLDERS, dir / "lib");
    daemon_run d(dir, "list", tasks, dir / "lib", "/bin/true");

    std::vector<double> established;
    std::vector<double> listed;
    size_t bytes = 0;
    size_t numbers = 0;
    int without = 0;
    for (int i = 0; i < CONNECT_REPS; ++i) {
        const auto t0 = clock_type::now();
        auto link = connect_to(d.port());
        const auto t1 = clock_type::now();
        std::optional<std::string> msg = link->receive(10s);
        const auto t2 = clock_type::now();
        if (!msg || !starts_with(*msg, "{ \"tasks\"")) {
            ++without;
            continue;
        }
        established.push_back(us_between(t0, t1));
        listed.push_back(us_between(t0, t2));
        bytes = msg->size();
        numbers = static_cast<size_t>(std::count(msg->begin(), msg->end(), ',')) + 1;
    }
    const auto e = summarize(established);
    const auto l = summarize(listed);
    printf("2. connect to \"tasks\" with %d task folders stored (real daemon), %d connections\n", LIST_FOLDERS,
           CONNECT_REPS);
    printf("   message of %zu bytes with %zu numbers; no list on %d connections\n", bytes, numbers, without);
    printf("   connection established: median %.0f us, max %.0f us\n", e.median, e.max);
    printf("   \"tasks\" message received: median %.0f us, max %.0f us\n", l.median, l.max);
    idle_memory(d, "resident memory, 10,000 tasks stored", true);
    idle_memory(d, "resident memory, 10,000 tasks stored", false);
}

// ---------------------------------------------------------------------------
// 3. and 4. Accepted tasks per second, and memory per idle connection.

void accept_rate(daemon_run& d, const std::string& tasks, int segments, int count, int first_number) {
    const std::string text = bench::task_message(segments);
    auto link = connect_to(d.port());
    int announced = 0;
    int done = 0;
    int failed = 0;
    clock_type::time_point last_announced{};
    clock_type::time_point last_done{};
    auto take = [&](const std::string& msg) {
        const auto at = clock_type::now();
        int n = 0;
        int state = 0;
        if (sscanf(msg.c_str(), "{ \"new_task\" : %d", &n) == 1) {
            ++announced;
            last_announced = at;
        } else if (sscanf(msg.c_str(), "{ \"task_state_updated\" : { \"task\" : %d, \"state\" : %d", &n, &state) ==
                   2) {
            if (state == 2 || state == 3) {
                (state == 2 ? done : failed)++;
                last_done = at;
            }
        }
    };
    const auto t0 = clock_type::now();
    int sent = 0;
    for (; sent < count; ++sent) {
        if (!link->send(text)) break;
    }
    const auto t_sent = clock_type::now();
    const auto deadline = clock_type::now() + 120s;
    while ((announced < sent || done + failed < sent) && clock_type::now() < deadline) {
        auto msg = link->receive(500ms);
        if (msg) {
            take(*msg);
        } else if (link->closed()) {
            break;
        }
    }
    int* raw = nullptr;
    const int stored = export_task_lists(tasks.c_str(), &raw);
    task_list_ptr ids(raw);
    const double accept_s = us_between(t0, last_announced) / 1e6;
    const double done_s = us_between(t0, last_done) / 1e6;
    printf("   %3d-segment tasks (%zu bytes each), %d sent in %.3f s: %d announced, %d folders now stored "
           "(from number %d)\n",
           segments, text.size(), sent, us_between(t0, t_sent) / 1e6, announced, stored, first_number);
    printf("      accepted: %.0f tasks/s (first send to last \"new_task\", %.3f s); worker finished %d "
           "(%d failed): %.0f tasks/s\n",
           announced > 0 ? announced / accept_s : 0.0, accept_s, done + failed, failed,
           done + failed > 0 ? (done + failed) / done_s : 0.0);
}

void bench_accept_and_memory() {
    bench::scratch_dir dir("bench_service_accept");
    const std::string tasks = dir / "tasks";
    std::filesystem::create_directories(tasks);
    daemon_run d(dir, "accept", tasks, dir / "lib", "/bin/true");
    printf("4. resident memory of the real daemon\n");
    idle_memory(d, "no task stored (a connection is sent nothing)", false);
    printf("3. tasks submitted over one connection as fast as it sends, ffmpeg replaced by /bin/true (real "
           "daemon)\n");
    const struct {
        int segments;
        int count;
    } runs[] = {{1, 2000}, {10, 2000}, {600, 500}};
    int first = 1;
    for (const auto& r : runs) {
        accept_rate(d, tasks, r.segments, r.count, first);
        first += r.count;
    }
    printf("   target: at least 1000 tasks accepted per second\n");
}

// ---------------------------------------------------------------------------
// 5. One-hour export against the same commands by hand.

std::string hour_folder(time_t t) {
    struct tm utc = {};
    gmtime_r(&t, &utc);
    char buf[32];
    strftime(buf, sizeof buf, "%Y/%m/%d/%H", &utc);
    return buf;
}

double probe_duration(const std::string& ffprobe, const std::string& file, const bench::scratch_dir& dir) {
    const std::string out = dir / "probe.out";
    bench::child p(ffprobe, {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file}, out, "",
                   current_env());
    if (p.wait() != 0) return -1;
    return atof(trimmed(read_file(out)).c_str());
}

// The worker's two commands, exactly as it builds them, on one playlist.
std::vector<std::vector<std::string>> worker_commands(const std::string& playlist, double head, double length,
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
double run_by_hand(const std::string& ffmpeg, const std::vector<std::vector<std::string>>& cmds,
                   const std::string& log) {
    const auto t0 = clock_type::now();
    for (const auto& args : cmds) {
        bench::child c(ffmpeg, args, "", log);
        if (c.wait() != 0) return -1;
    }
    return us_between(t0, clock_type::now()) / 1e6;
}

void bench_hour_export() {
    bench::scratch_dir dir("bench_service_export");
    const std::string ffmpeg = bench::which("ffmpeg");
    const std::string ffprobe = bench::which("ffprobe");
    const std::string seg = dir / "segment.ts";
    {
        bench::child gen(ffmpeg,
                         {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          "testsrc=size=320x180:rate=25:duration=6", "-f", "lavfi", "-i",
                          "sine=frequency=440:sample_rate=48000:duration=6", "-c:v", "libx264", "-preset",
                          "ultrafast", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f",
                          "mpegts", seg},
                         "", dir / "segment.log", current_env());
        if (gen.wait() != 0) {
            printf("5. one-hour export: not measured, ffmpeg could not generate a segment (%s)\n", ffmpeg.c_str());
            return;
        }
    }
    const std::string lib = dir / "lib";
    for (int i = 0; i < HOUR_SEGMENTS; ++i) {
        const time_t t = static_cast<time_t>(bench::SPAN_T0 + 6LL * i);
        const std::string folder = lib + "/" + hour_folder(t);
        std::filesystem::create_directories(folder);
        std::filesystem::create_hard_link(seg, folder + "/" + std::to_string(static_cast<long long>(t)) + ".ts");
    }
    const std::string tasks = dir / "tasks";
    std::filesystem::create_directories(tasks);
    daemon_run d(dir, "export", tasks, lib, ffmpeg);
    auto link = connect_to(d.port());
    const std::string request = bench::task_message(HOUR_SEGMENTS);
    const double length = 6.0 * HOUR_SEGMENTS;

    auto export_once = [&](int* number) -> double {
        const auto t0 = clock_type::now();
        if (!link->send(request)) return -1;
        *number = 0;
        const auto deadline = clock_type::now() + 600s;
        while (clock_type::now() < deadline) {
            auto msg = link->receive(500ms);
            if (!msg) {
                if (link->closed()) return -1;
                continue;
            }
            if (*number == 0) {
                sscanf(msg->c_str(), "{ \"new_task\" : %d", number);
                continue;
            }
            if (*msg == state_message(*number, 2)) return us_between(t0, clock_type::now()) / 1e6;
            if (*msg == state_message(*number, 3)) return -1;
        }
        return -1;
    };

    // The same playlist the daemon writes, written by the store into a
    // folder of its own, for the commands run by hand.
    const std::string hand_tasks = dir / "hand";
    {
        std::unique_ptr<json_object, decltype(&json_object_put)> obj(json_tokener_parse(
                                                                         bench::task_object(HOUR_SEGMENTS).c_str()),
                                                                     json_object_put);
        export_task_t* raw = nullptr;
        if (export_task_from_json(obj.get(), &raw) != 0) throw std::runtime_error("export_task_from_json failed");
        export_task_ptr task(raw);
        task->sys_id = 1;
        if (export_task_save_m3u8(hand_tasks.c_str(), task.get(), lib.c_str()) != 0) {
            throw std::runtime_error("cannot write the playlist");
        }
    }
    const std::string playlist = hand_tasks + "/00001/playlist.m3u8";
    // Like the daemon, which makes a new task folder for every clip, the
    // commands by hand write new files each round. Overwriting one file
    // instead would drop its dirty pages before they are written out, while
    // the daemon's clips of the rounds before are still being written back.
    const auto hand_commands = [&](int round) {
        const std::string out = hand_tasks + "/round" + std::to_string(round);
        std::filesystem::create_directories(out);
        return worker_commands(playlist, 2, length, 1, out + "/thumb.jpg", out + "/cut.mp4");
    };
    // Every timed run starts with nothing left to write back, so that neither
    // side pays for the clips of the runs before it.
    const auto timed = [](const std::function<double()>& run) {
        sync();
        return run();
    };

    std::vector<double> by_daemon;
    std::vector<double> by_hand;
    int last = 0;
    bool failed = run_by_hand(ffmpeg, hand_commands(0), dir / "hand_warmup.log") < 0;  // page cache, both ways
    // Alternating which goes first, so that neither always runs second.
    for (int round = 0; round < EXPORT_ROUNDS && !failed; ++round) {
        const auto daemon_run = [&] { return export_once(&last); };
        const auto hand_run = [&, cmds = hand_commands(round + 1)] {
            return run_by_hand(ffmpeg, cmds, dir / "hand.log");
        };
        double a = -1;
        double b = -1;
        if (round % 2 == 0) {
            a = timed(daemon_run);
            if (a >= 0) b = timed(hand_run);
        } else {
            b = timed(hand_run);
            if (b >= 0) a = timed(daemon_run);
        }
        if (a < 0 || b < 0) {
            failed = true;
            break;
        }
        by_daemon.push_back(a);
        by_hand.push_back(b);
    }
    printf("5. one-hour export: %d hard links of one 6 s segment (%ju bytes, H.264 320x180 + AAC), stream copy\n",
           HOUR_SEGMENTS, static_cast<uintmax_t>(std::filesystem::file_size(seg)));
    if (failed) {
        printf("   not measured: an export failed (task %d, or a command run by hand)\n", last);
        return;
    }
    char last_name[16];
    snprintf(last_name, sizeof last_name, "%.05d", last);
    const std::string cut = tasks + "/" + last_name + "/cut.mp4";
    for (size_t i = 0; i < by_daemon.size(); ++i) {
        printf("   round %zu (%s first): daemon (submit to state 2) %.3f s, the two commands by hand %.3f s\n",
               i + 1, i % 2 == 0 ? "daemon" : "by hand", by_daemon[i], by_hand[i]);
    }
    const auto a = summarize(by_daemon);
    const auto b = summarize(by_hand);
    printf("   median: daemon %.3f s, by hand %.3f s, ratio %.3f (%+.1f%%)\n", a.median, b.median,
           a.median / b.median, (a.median / b.median - 1) * 100);
    printf("   best:   daemon %.3f s, by hand %.3f s, ratio %.3f (%+.1f%%)\n", a.min, b.min, a.min / b.min,
           (a.min / b.min - 1) * 100);
    printf("   cut.mp4: daemon %.2f s of %ju bytes, by hand %.2f s of %ju bytes (asked for %.0f s)\n",
           probe_duration(ffprobe, cut, dir), static_cast<uintmax_t>(std::filesystem::file_size(cut)),
           probe_duration(ffprobe, hand_tasks + "/round1/cut.mp4", dir),
           static_cast<uintmax_t>(std::filesystem::file_size(hand_tasks + "/round1/cut.mp4")), length - 3);
    printf("   target: the daemon's export within 5%% of the hand-run commands\n");
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    bench::scratch_dir dir("bench_service");
    // The in-process service logs as the daemon does; into a scratch file.
    logger_dup(0);
    logger_init((dir / "service.log").c_str(), 86400);
    int status = 0;
    printf("service benchmark on %u CPUs, scratch folders on %s\n", std::thread::hardware_concurrency(),
           bench::fs_kind(dir.path()).c_str());
    const std::pair<const char*, void (*)()> parts[] = {
        {"announcements", bench_announcements},
        {"task list", bench_task_list},
        {"accepted tasks and memory", bench_accept_and_memory},
        {"one-hour export", bench_hour_export},
    };
    for (const auto& [name, run] : parts) {
        printf("[load average %s]\n", bench::load_average().c_str());
        try {
            run();
        } catch (const std::exception& e) {
            printf("   %s: not measured: %s\n", name, e.what());
            status = 1;
        }
        fflush(stdout);
    }
    logger_release();
    return status;
}
