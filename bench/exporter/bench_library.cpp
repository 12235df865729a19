// The media library's playlists from the real daemon over 127.0.0.1, on a
// library of 24 hours of 6 s segments (14,400 index lines in 24 hour
// folders, no segment files: the playlists read only the indexes):
//  1. play: GET /api/play.m3u8 for the whole day, the first request (every
//     index read and parsed) and repeated ones (indexes unchanged), connect
//     to first and last byte; then the route's steps in this process;
//  2. live: GET /api/live.m3u8 reloaded, with a new index line before every
//     other reload, as a recorder adds one every 6 s.
// Prints figures; asserts nothing. Target for 1: under 20 ms in the daemon.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive/library_playlist.h"
#include "bench_support.h"
// The tests' plain HTTP client (tests/exporter/http_client.h).
#include "exporter/http_client.h"
#include "handles.h"
#include "exporter/instance.h"
#include "exporter/library_cache.h"
#include "service_support.h"
#include "timed_get.h"

namespace {

using bench::clock_type;
using bench::us_between;

constexpr int HOURS = 24;
constexpr int PER_HOUR = 600;
constexpr int PLAY_REQUESTS = 50;
constexpr int LIVE_RELOADS = 200;
constexpr int64_t SIX = 540000;

struct figures {
    double median = 0;
    double p95 = 0;
    double max = 0;
};

figures figures_of(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const size_t n = us.size();
    return {n % 2 != 0 ? us[n / 2] : (us[n / 2 - 1] + us[n / 2]) / 2, us[std::min(n - 1, n * 95 / 100)], us.back()};
}

void print_ms(const char* what, const figures& f) {
    printf("   %-46s median %7.2f ms, p95 %7.2f ms, max %7.2f ms\n", what, f.median / 1000, f.p95 / 1000,
           f.max / 1000);
}

// Appends segment i of the library (6 s each from SPAN_T0, time stamps
// following on) to its hour's index.
void append_segment(const std::string& lib, int64_t i) {
    const int64_t t = bench::SPAN_T0 + 6 * i;
    const std::string folder = lib + "/" + archive::hour_dir(t);
    std::ofstream(folder + "/index.cvs", std::ios::binary | std::ios::app)
        << archive::index_line(std::to_string(t) + ".ts", t, SIX, 126000 + SIX * i);
}

void write_day(const std::string& lib) {
    for (int h = 0; h < HOURS; ++h) {
        const int64_t hour = bench::SPAN_T0 + 3600LL * h;
        const std::string folder = lib + "/" + archive::hour_dir(hour);
        std::filesystem::create_directories(folder);
        std::string text;
        for (int i = 0; i < PER_HOUR; ++i) {
            const int64_t k = static_cast<int64_t>(h) * PER_HOUR + i;
            const int64_t t = bench::SPAN_T0 + 6 * k;
            text += archive::index_line(std::to_string(t) + ".ts", t, SIX, 126000 + SIX * k);
        }
        std::ofstream(folder + "/index.cvs", std::ios::binary) << text;
        // Written when its hour ended, as a recorded day's indexes were: the
        // daemon reads a file changed in the last seconds again each time.
        const timespec written[2] = {{hour + 3600, 0}, {hour + 3600, 0}};
        utimensat(AT_FDCWD, (folder + "/index.cvs").c_str(), written, 0);
    }
}

int count_of(const std::string& text, const std::string& piece) {
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// The route's own steps in this process, on an instance record that names
// the library: the hours from the daemon's index cache (read and parsed the
// first time, then only looked at), the segments gathered, the text written.
class in_process_route {
public:
    explicit in_process_route(const std::string& lib) {
        if (instance_init(&instance_) != 0) throw std::runtime_error("instance_init failed");
        keelson::st_str(instance_->path.libs[0], sizeof instance_->path.libs[0], lib.c_str());
    }
    ~in_process_route() { instance_release(&instance_); }
    in_process_route(const in_process_route&) = delete;
    in_process_route& operator=(const in_process_route&) = delete;

    std::string build(int64_t from, int64_t to, double* gather_us, double* write_us) const {
        const auto t0 = clock_type::now();
        const library_span span = library_cache_span(instance_, 0, from, to);
        const auto t1 = clock_type::now();
        std::string text = archive::library_vod_playlist(0, span.segments);
        *gather_us = us_between(t0, t1);
        *write_us = us_between(t1, clock_type::now());
        return text;
    }

private:
    instance_t* instance_ = nullptr;
};

void bench_play(const bench::scratch_dir& dir) {
    const std::string lib = dir / "lib";
    write_day(lib);
    std::filesystem::create_directories(dir / "tasks");
    bench::daemon_run d(dir, "play", dir / "tasks", lib, "/bin/true");
    const int64_t from = bench::SPAN_T0;
    const int64_t to = from + 3600LL * HOURS;
    const std::string request = "GET /api/play.m3u8?lib=0&from=" + std::to_string(from) + "&to=" +
                                std::to_string(to) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

    std::string cold_body;
    const bench::timed_get cold = bench::time_get(d.port(), request, &cold_body);
    std::vector<double> first_byte;
    std::vector<double> last_byte;
    int failed = 0;
    std::string body;
    for (int i = 0; i < PLAY_REQUESTS; ++i) {
        const bench::timed_get g = bench::time_get(d.port(), request, &body);
        first_byte.push_back(g.first_us);
        last_byte.push_back(g.last_us);
        failed += g.status != 200 || body != cold_body;
    }

    const in_process_route route(lib);
    double cold_gather = 0;
    double cold_write = 0;
    route.build(from, to, &cold_gather, &cold_write);
    std::vector<double> gathering;
    std::vector<double> writing;
    std::vector<double> both;
    std::string built;
    for (int i = 0; i < PLAY_REQUESTS; ++i) {
        double g = 0;
        double w = 0;
        built = route.build(from, to, &g, &w);
        gathering.push_back(g);
        writing.push_back(w);
        both.push_back(g + w);
    }

    printf("1. play: GET /api/play.m3u8 over %d hours (%d index lines in %d hour folders), %d requests\n", HOURS,
           HOURS * PER_HOUR, HOURS, PLAY_REQUESTS);
    printf("   reply: status %d, %zu bytes, %d segments, %d requests not the same 200; the same text in this "
           "process: %s\n",
           cold.status, cold_body.size(), count_of(cold_body, "#EXTINF:"), failed, built == body ? "yes" : "NO");
    printf("   real daemon, first request (every index read): first byte %.2f ms, last byte %.2f ms\n",
           cold.first_us / 1000, cold.last_us / 1000);
    printf("   real daemon, repeated (indexes unchanged), from the connect:\n");
    print_ms("  to the first byte (the playlist built):", figures_of(first_byte));
    print_ms("  to the last byte:", figures_of(last_byte));
    printf("   in this process, the route's steps: first (every index read and parsed) %.2f ms, then:\n",
           (cold_gather + cold_write) / 1000);
    print_ms("  segments gathered from the cached hours:", figures_of(gathering));
    print_ms("  the text written:", figures_of(writing));
    print_ms("  both:", figures_of(both));
    printf("   target: under 20 ms in the daemon\n");
}

void bench_live(const bench::scratch_dir& dir) {
    const std::string lib = dir / "live_lib";
    write_day(lib);
    std::filesystem::create_directories(dir / "live_tasks");
    bench::daemon_run d(dir, "live", dir / "live_tasks", lib, "/bin/true");
    const std::string request = "GET /api/live.m3u8?lib=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    std::vector<double> after_new;
    std::vector<double> unchanged;
    int failed = 0;
    int64_t next = static_cast<int64_t>(HOURS) * PER_HOUR;
    exporter_test::http_answer a;
    for (int i = 0; i < LIVE_RELOADS; ++i) {
        const bool add = i % 2 == 0;
        if (add) append_segment(lib, next++);
        const auto t0 = clock_type::now();
        a = exporter_test::http_exchange(d.port(), request);
        (add ? after_new : unchanged).push_back(us_between(t0, clock_type::now()));
        failed += a.status != 200;
    }
    printf("2. live: GET /api/live.m3u8 reloaded %d times, a new index line before every other one\n",
           LIVE_RELOADS);
    printf("   reply: %d not 200; the last holds %d segments, %zu bytes\n", failed, count_of(a.body, "#EXTINF:"),
           a.body.size());
    print_ms("after a new line (index read again, saved):", figures_of(after_new));
    print_ms("index unchanged:", figures_of(unchanged));
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    bench::scratch_dir dir("bench_library");
    printf("library playlist benchmark on %u CPUs, scratch folders on %s\n", std::thread::hardware_concurrency(),
           bench::fs_kind(dir.path()).c_str());
    return bench::run_parts({
        {"play", [&] { bench_play(dir); }},
        {"live", [&] { bench_live(dir); }},
    });
}
