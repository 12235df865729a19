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
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "logger.h"
#include "service_support.h"

namespace {

using namespace std::chrono_literals;
using bench::clock_type;
using bench::connect_to;
using bench::current_env;
using bench::daemon_run;
using bench::HOUR_SEGMENTS;
using bench::starts_with;
using bench::state_message;
using bench::summarize;
using bench::us_between;

constexpr int CLIENTS = 32;
constexpr int ANNOUNCEMENTS = 2000;
constexpr auto ANNOUNCE_PERIOD = 2ms;
constexpr int LIST_FOLDERS = 10000;
constexpr int CONNECT_REPS = 20;
constexpr int IDLE_CONNECTIONS = 100;
constexpr int EXPORT_ROUNDS = 6;

// ---------------------------------------------------------------------------
// 1. Announcement latency, the service in this process.

void bench_announcements() {
    bench::scratch_dir dir("bench_service_announce");
    std::filesystem::create_directories(dir / "tasks");
    bench::in_process_service service(dir / "tasks");
    const auto f = bench::measure_announcements(service, CLIENTS, ANNOUNCEMENTS, ANNOUNCE_PERIOD);
    printf("1. announcement latency: service in this process, %d clients (%d in the pool), %d announcements "
           "every %lld ms\n",
           CLIENTS, f.pooled, ANNOUNCEMENTS, static_cast<long long>(ANNOUNCE_PERIOD.count()));
    bench::print_arrivals(f);
    printf("   target: p99 under 2000 us\n");
}

// ---------------------------------------------------------------------------
// The real daemon.

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

void bench_task_list() {
    bench::scratch_dir dir("bench_service_list");
    const std::string tasks = dir / "tasks";
    bench::make_finished_tasks(tasks, LIST_FOLDERS, dir / "lib");
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

double probe_duration(const std::string& ffprobe, const std::string& file, const bench::scratch_dir& dir) {
    const std::string out = dir / "probe.out";
    bench::child p(ffprobe, {"-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file}, out, "",
                   current_env());
    if (p.wait() != 0) return -1;
    return atof(bench::trimmed(bench::read_file(out)).c_str());
}

void bench_hour_export() {
    bench::scratch_dir dir("bench_service_export");
    const std::string ffmpeg = bench::which("ffmpeg");
    const std::string ffprobe = bench::which("ffprobe");
    const std::string seg = dir / "segment.ts";
    const std::string lib = dir / "lib";
    if (!bench::make_hour_library(ffmpeg, seg, dir / "segment.log", lib)) {
        printf("5. one-hour export: not measured, ffmpeg could not generate a segment (%s)\n", ffmpeg.c_str());
        return;
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
    if (export_task_save_m3u8(hand_tasks.c_str(), bench::task_record(1, HOUR_SEGMENTS).get(), lib.c_str()) != 0) {
        throw std::runtime_error("cannot write the playlist");
    }
    const std::string playlist = hand_tasks + "/00001/playlist.m3u8";
    // Like the daemon, which makes a new task folder for every clip, the
    // commands by hand write new files each round. Overwriting one file
    // instead would drop its dirty pages before they are written out, while
    // the daemon's clips of the rounds before are still being written back.
    const auto hand_commands = [&](int round) {
        const std::string out = hand_tasks + "/round" + std::to_string(round);
        std::filesystem::create_directories(out);
        return bench::worker_commands(playlist, 2, length, 1, out + "/thumb.jpg", out + "/cut.mp4");
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
    bool failed = bench::run_by_hand(ffmpeg, hand_commands(0), dir / "hand_warmup.log") < 0;  // page cache, both ways
    // Alternating which goes first, so that neither always runs second.
    for (int round = 0; round < EXPORT_ROUNDS && !failed; ++round) {
        const auto daemon_run = [&] { return export_once(&last); };
        const auto hand_run = [&, cmds = hand_commands(round + 1)] {
            return bench::run_by_hand(ffmpeg, cmds, dir / "hand.log");
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
    const std::string cut = bench::task_folder(tasks, last) + "/cut.mp4";
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
    printf("service benchmark on %u CPUs, scratch folders on %s\n", std::thread::hardware_concurrency(),
           bench::fs_kind(dir.path()).c_str());
    const int status = bench::run_parts({
        {"announcements", bench_announcements},
        {"task list", bench_task_list},
        {"accepted tasks and memory", bench_accept_and_memory},
        {"one-hour export", bench_hour_export},
    });
    logger_release();
    return status;
}
