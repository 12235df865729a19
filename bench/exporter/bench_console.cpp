// The HTTP side of the export port, which the console page uses, with real
// clients over 127.0.0.1:
//  1. download: a one-hour cut.mp4 of a done task fetched from the real
//     daemon, against cat of the same file to /dev/null, and against a plain
//     blocking loop that sends the same bytes over 127.0.0.1, to tell the
//     connection's share of the time from the daemon's; then both from the
//     disk, the file's pages dropped before each round;
//  2. announcement latency while downloads run: the service in this
//     process, 32 WebSocket clients, 4 downloads of that clip without pause;
//  3. listing: /api/recordings over 30 days of hour indexes from the real
//     daemon, and the same reading and reckoning in this process;
//  4. page: the console in headless Chromium with 10,000 tasks stored, to
//     its first 50 tasks drawn and read, and "Show more";
//  5. a stalled download: the daemon's resident memory and the bytes it says
//     it holds for replies while one client asks for the clip and reads
//     nothing and others download it whole.
// Prints figures; asserts nothing.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/span.h"
#include "bench_support.h"
#include "handles.h"
#include "logger.h"
#include "service_support.h"
#include "support/browser.h"

namespace {

using namespace std::chrono_literals;
using bench::clock_type;
using bench::summarize;
using bench::us_between;

constexpr int DOWNLOAD_ROUNDS = 10;
constexpr int CLIENTS = 32;
constexpr int DOWNLOADERS = 4;
constexpr int ANNOUNCEMENTS = 2000;
constexpr auto ANNOUNCE_PERIOD = 2ms;
constexpr int LISTING_DAYS = 30;
constexpr int LISTING_REQUESTS = 20;
constexpr int PAGE_TASKS = 10000;
constexpr int PAGE_ROUNDS = 5;
// What a client reads per call, like cat's buffer.
constexpr size_t RECV_BUF = 256 * 1024;
// The daemon's piece of a file body.
constexpr size_t PLAIN_PIECE = 256 * 1024;

double mb_per_s(uint64_t bytes, double us) { return us > 0 ? static_cast<double>(bytes) / us : 0; }

// ---------------------------------------------------------------------------
// A plain HTTP/1.1 client.

struct http_result {
    int status = 0;
    uint64_t length = 0;    // the body's Content-Length
    uint64_t received = 0;  // body bytes that came
    bool complete() const { return status != 0 && received == length; }
};

// Connects to 127.0.0.1:port; an invalid descriptor when it cannot.
unique_fd tcp_connect(int port) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in addr = bench::loopback(port);
    if (!fd || connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return unique_fd();
    timeval tv{10, 0};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

// GET path over a connection of its own. The body goes into *body when one
// is given, else it is read and dropped, as a download to /dev/null is.
// Stops early, incomplete, once *stop is set.
http_result http_get(int port, const std::string& path, std::string* body = nullptr,
                     const std::atomic<bool>* stop = nullptr) {
    http_result r;
    unique_fd fd = tcp_connect(port);
    if (!fd) return r;
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return r;
    std::vector<char> buf(RECV_BUF);
    std::string head;
    bool in_body = false;
    while (!in_body || r.received < r.length) {
        if (stop != nullptr && *stop) break;
        const ssize_t n = recv(fd.get(), buf.data(), buf.size(), 0);
        if (n <= 0) break;
        size_t from = 0;
        if (!in_body) {
            head.append(buf.data(), static_cast<size_t>(n));
            const size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) continue;
            in_body = true;
            r.status = atoi(head.c_str() + head.find(' ') + 1);
            std::string lower = head.substr(0, end);
            for (char& ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
            const size_t cl = lower.find("content-length:");
            r.length = cl < end ? strtoull(head.c_str() + cl + 15, nullptr, 10) : 0;
            from = static_cast<size_t>(n) - (head.size() - end - 4);
        }
        const size_t got = static_cast<size_t>(n) - from;
        if (body != nullptr) body->append(buf.data() + from, got);
        r.received += got;
    }
    return r;
}

// ---------------------------------------------------------------------------
// The clip of parts 1 and 2: a done task whose cut.mp4 is a one-hour span.

class hour_clip {
public:
    explicit hour_clip(const bench::scratch_dir& dir) : lib_(dir / "lib"), tasks_(dir / "tasks") {
        const std::string ffmpeg = bench::which("ffmpeg");
        if (!bench::make_hour_library(ffmpeg, dir / "segment.ts", dir / "segment.log", lib_)) {
            throw std::runtime_error("ffmpeg could not generate a segment (" + ffmpeg + ")");
        }
        bench::make_finished_tasks(tasks_, 1, lib_, bench::HOUR_SEGMENTS);
        const std::string folder = bench::task_folder(tasks_, 1);
        const auto cmds = bench::worker_commands(folder + "/playlist.m3u8", 2, 6.0 * bench::HOUR_SEGMENTS, 1,
                                                 folder + "/thumb.jpg", folder + "/cut.mp4");
        if (bench::run_by_hand(ffmpeg, cmds, dir / "cut.log") < 0) {
            throw std::runtime_error("the worker's commands failed; see " + dir / "cut.log");
        }
        file_ = folder + "/cut.mp4";
        size_ = std::filesystem::file_size(file_);
    }

    const std::string& lib() const { return lib_; }
    const std::string& tasks() const { return tasks_; }
    const std::string& file() const { return file_; }
    uint64_t size() const { return size_; }
    static const char* url() { return "/tasks/00001/cut.mp4"; }

private:
    std::string lib_;
    std::string tasks_;
    std::string file_;
    uint64_t size_ = 0;
};

// ---------------------------------------------------------------------------
// 1. Download against cat.

// Microseconds of `cat file >/dev/null`, or -1 when cat fails.
double time_cat(const std::string& file) {
    const auto t0 = clock_type::now();
    bench::child cat("/bin/cat", {file}, "", "");
    if (cat.wait() != 0) return -1;
    return us_between(t0, clock_type::now());
}

// Microseconds of the whole GET, connect to last byte, or -1 when it is not
// the whole file.
double time_download(int port, uint64_t size) {
    const auto t0 = clock_type::now();
    const http_result r = http_get(port, hour_clip::url());
    const auto t1 = clock_type::now();
    return r.status == 200 && r.complete() && r.length == size ? us_between(t0, t1) : -1;
}

// The connection's share of a download: the clip's bytes sent over one
// 127.0.0.1 connection by a plain blocking loop on a thread of this program,
// in the daemon's 256 KiB pieces, without an event loop. From the file with
// pread, as the daemon reads it, or the same piece of memory again and again,
// which leaves only the connection. Not a strict bound: where the scheduler
// puts the threads moves these figures as much as the daemon's.
class plain_sender {
public:
    plain_sender(const std::string& file, uint64_t size, bool from_file)
        : listener_(socket(AF_INET, SOCK_STREAM, 0)), file_(open(file.c_str(), O_RDONLY | O_CLOEXEC)), size_(size) {
        sockaddr_in addr = bench::loopback(0);
        socklen_t len = sizeof addr;
        if (!listener_ || !file_ || bind(listener_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(listener_.get(), 1) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            throw std::runtime_error("cannot listen for the plain loop");
        }
        port_ = ntohs(addr.sin_port);
        loop_ = std::thread([this, from_file] { serve_one(from_file); });
    }
    ~plain_sender() {
        // Wakes an accept that no client came to.
        shutdown(listener_.get(), SHUT_RDWR);
        loop_.join();
    }
    plain_sender(const plain_sender&) = delete;
    plain_sender& operator=(const plain_sender&) = delete;

    int port() const { return port_; }

private:
    void serve_one(bool from_file) {
        unique_fd peer(accept(listener_.get(), nullptr, nullptr));
        char request[4096];
        if (!peer || recv(peer.get(), request, sizeof request, 0) <= 0) return;
        const std::string head = "HTTP/1.1 200 OK\r\ncontent-length: " + std::to_string(size_) + "\r\n\r\n";
        if (send(peer.get(), head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) return;
        std::vector<char> piece(PLAIN_PIECE);
        for (uint64_t sent = 0; sent < size_;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(size_ - sent, piece.size()));
            const ssize_t got = from_file ? pread(file_.get(), piece.data(), n, static_cast<off_t>(sent))
                                          : static_cast<ssize_t>(n);
            if (got <= 0 || send(peer.get(), piece.data(), static_cast<size_t>(got), MSG_NOSIGNAL) != got) return;
            sent += static_cast<uint64_t>(got);
        }
    }

    unique_fd listener_;
    unique_fd file_;
    uint64_t size_;
    int port_ = 0;
    std::thread loop_;
};

double time_plain_loop(const hour_clip& clip, bool from_file) {
    plain_sender sender(clip.file(), clip.size(), from_file);
    return time_download(sender.port(), clip.size());
}

// Throughput of a way, and against cat's median when given.
void print_rate(const char* what, uint64_t size, const bench::summary& s, const bench::summary* cat = nullptr) {
    printf("   %-34s median %5.0f MB/s (%5.1f ms), best %5.0f MB/s (%5.1f ms)", what, mb_per_s(size, s.median),
           s.median / 1000, mb_per_s(size, s.min), s.min / 1000);
    if (cat != nullptr) printf("; %.0f%% of cat's median", 100 * cat->median / s.median);
    printf("\n");
}

// Drops the file's pages from the page cache, so the next read is from disk.
void drop_cached(const std::string& path) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd) {
        fdatasync(fd.get());
        posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
}

void bench_download(const hour_clip& clip, const bench::scratch_dir& dir) {
    bench::daemon_run d(dir, "download", clip.tasks(), clip.lib(), "/bin/true");
    const std::pair<const char*, std::function<double()>> ways[] = {
        {"cat to /dev/null:", [&] { return time_cat(clip.file()); }},
        {"GET from the real daemon:", [&] { return time_download(d.port(), clip.size()); }},
        {"  plain loop, pread and send:", [&] { return time_plain_loop(clip, true); }},
        {"  plain loop, send from memory:", [&] { return time_plain_loop(clip, false); }},
        {"cat to /dev/null, file not cached:", [&] { return drop_cached(clip.file()), time_cat(clip.file()); }},
        {"GET, file not cached:", [&] { return drop_cached(clip.file()), time_download(d.port(), clip.size()); }},
    };
    constexpr size_t WAYS = std::size(ways);
    // The warm ways read from a warm page cache.
    for (const auto& w : ways) w.second();
    std::vector<double> times[WAYS];
    int failed = 0;
    // Each round starts with another way, so that none always follows the same.
    for (int round = 0; round < DOWNLOAD_ROUNDS; ++round) {
        for (size_t k = 0; k < WAYS; ++k) {
            const size_t way = (k + static_cast<size_t>(round)) % WAYS;
            const double us = ways[way].second();
            if (us < 0) {
                ++failed;
            } else {
                times[way].push_back(us);
            }
        }
    }
    printf("1. download of a one-hour cut.mp4 (%ju bytes, %d rounds; MB = 10^6 bytes), first from the page cache\n",
           static_cast<uintmax_t>(clip.size()), DOWNLOAD_ROUNDS);
    for (const auto& t : times) {
        if (t.empty()) {
            printf("   not measured: every round of one way failed\n");
            return;
        }
    }
    const auto c = summarize(times[0]);
    const auto g = summarize(times[1]);
    print_rate(ways[0].first, clip.size(), c);
    print_rate(ways[1].first, clip.size(), g);
    printf("   GET against cat: %.0f%% of cat's throughput by the medians, %.0f%% by the best; %d downloads failed\n",
           100 * c.median / g.median, 100 * c.min / g.min, failed);
    printf("   for comparison, no daemon: the same bytes over 127.0.0.1 by a blocking loop in this program, %zu KiB "
           "pieces\n",
           PLAIN_PIECE / 1024);
    for (size_t way = 2; way < 4; ++way) print_rate(ways[way].first, clip.size(), summarize(times[way]), &c);
    printf("   the same from the disk, the file's pages dropped from the cache before each round:\n");
    const auto cold_cat = summarize(times[4]);
    const auto cold_get = summarize(times[5]);
    print_rate(ways[4].first, clip.size(), cold_cat);
    print_rate(ways[5].first, clip.size(), cold_get);
    printf("   GET against cat, not cached: %.0f%% by the medians, %.0f%% by the best\n",
           100 * cold_cat.median / cold_get.median, 100 * cold_cat.min / cold_get.min);
    printf("   target: at least 70%% of cat's throughput\n");
}

// ---------------------------------------------------------------------------
// 2. Announcements while downloads run.

// Threads that download the clip again and again until stopped.
class download_load {
public:
    download_load(int port, int threads) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this, port] { keep_downloading(port); });
    }
    ~download_load() { stop(); }
    download_load(const download_load&) = delete;
    download_load& operator=(const download_load&) = delete;

    void stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    int completed() const { return completed_; }
    int failed() const { return failed_; }
    uint64_t bytes() const { return bytes_; }

private:
    void keep_downloading(int port) {
        while (!stop_) {
            const http_result r = http_get(port, hour_clip::url(), nullptr, &stop_);
            bytes_ += r.received;
            if (r.complete() && r.status == 200) {
                ++completed_;
            } else if (!stop_) {
                ++failed_;
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<int> completed_{0};
    std::atomic<int> failed_{0};
    std::atomic<uint64_t> bytes_{0};
    std::vector<std::thread> threads_;
};

void bench_announcements_under_downloads(const hour_clip& clip) {
    bench::in_process_service service(clip.tasks());
    download_load load(service.port(), DOWNLOADERS);
    const auto t0 = clock_type::now();
    const auto f = bench::measure_announcements(service, CLIENTS, ANNOUNCEMENTS, ANNOUNCE_PERIOD);
    const double us = us_between(t0, clock_type::now());
    load.stop();
    printf("2. announcement latency while %d downloads of the clip run without pause: service in this process, "
           "%d clients (%d in the pool), %d announcements every %lld ms\n",
           DOWNLOADERS, CLIENTS, f.pooled, ANNOUNCEMENTS, static_cast<long long>(ANNOUNCE_PERIOD.count()));
    bench::print_arrivals(f);
    printf("   downloads meanwhile: %d complete, %d failed, %.0f MB/s together over %.1f s\n", load.completed(),
           load.failed(), mb_per_s(load.bytes(), us), us / 1e6);
    printf("   target: p99 under 5000 us, none missing\n");
}

// ---------------------------------------------------------------------------
// 3. Listing of a month.

void print_ms(const char* what, const bench::summary& s) {
    printf("   %-44s median %6.1f ms, p99 %6.1f ms, max %6.1f ms\n", what, s.median / 1000, s.p99 / 1000,
           s.max / 1000);
}

void bench_listing() {
    bench::scratch_dir dir("bench_console_listing");
    const std::string lib = dir / "lib";
    bench::write_hour_indexes(lib, LISTING_DAYS);
    std::filesystem::create_directories(dir / "tasks");
    bench::daemon_run d(dir, "listing", dir / "tasks", lib, "/bin/true");
    const int64_t from = bench::SPAN_T0;
    const int64_t to = from + 86400LL * LISTING_DAYS;
    const std::string url = "/api/recordings?lib=0&from=" + std::to_string(from) + "&to=" + std::to_string(to);

    std::vector<double> by_daemon;
    std::string reply;
    int status = 0;
    int failed = 0;
    http_get(d.port(), url);  // the indexes into the page cache
    for (int i = 0; i < LISTING_REQUESTS; ++i) {
        reply.clear();
        const auto t0 = clock_type::now();
        const http_result r = http_get(d.port(), url, &reply);
        by_daemon.push_back(us_between(t0, clock_type::now()));
        status = r.status;
        failed += !r.complete() || r.status != 200;
    }

    // The same two steps in this process, timed apart.
    // What the route does, and for comparison every line held in memory.
    std::vector<double> streaming;
    std::vector<double> reading;
    std::vector<double> reckoning;
    size_t entries_read = 0;
    size_t runs = 0;
    for (int i = 0; i < LISTING_REQUESTS; ++i) {
        std::string error;
        archive::coverage streamed;
        const auto t0 = clock_type::now();
        if (!archive::read_coverage(lib, from, to, &streamed, &error)) throw std::runtime_error(error);
        const auto t1 = clock_type::now();
        std::vector<archive::index_entry> entries;
        if (!archive::read_indexes(lib, from, to, &entries, &error)) throw std::runtime_error(error);
        const auto t2 = clock_type::now();
        entries_read = entries.size();
        const archive::coverage c = archive::find_coverage(std::move(entries), from, to);
        const auto t3 = clock_type::now();
        runs = streamed.runs.size();
        if (c.runs.size() != runs || c.gaps.size() != streamed.gaps.size()) {
            throw std::runtime_error("the two readings of the month disagree");
        }
        streaming.push_back(us_between(t0, t1));
        reading.push_back(us_between(t1, t2));
        reckoning.push_back(us_between(t2, t3));
    }
    printf("3. listing: GET /api/recordings over %d days (%d hour indexes of %d lines, no segment files), "
           "%d requests\n",
           LISTING_DAYS, LISTING_DAYS * 24, bench::HOUR_SEGMENTS, LISTING_REQUESTS);
    printf("   reply: status %d, %zu bytes (%d requests without a whole 200): %.160s\n", status, reply.size(), failed,
           reply.c_str());
    print_ms("real daemon, connect to last byte:", summarize(by_daemon));
    printf("   in this process, %zu index lines read into %zu runs:\n", entries_read, runs);
    print_ms("  archive::read_coverage (the route):", summarize(streaming));
    print_ms("  every line held, archive::read_indexes:", summarize(reading));
    print_ms("    then archive::find_coverage:", summarize(reckoning));
    printf("   target: under 50 ms\n");
}

// ---------------------------------------------------------------------------
// 4. Page.

// The console in headless Chromium with 10,000 tasks stored: from the start
// of the navigation to the page's "console-ready" mark (the first 50 tasks
// drawn, each with its index.json and state), and then to 50 more drawn on
// "Show more".
void bench_page() {
    bench::scratch_dir dir("bench_console_page");
    bench::make_finished_tasks(dir / "tasks", PAGE_TASKS, dir / "lib");
    bench::daemon_run d(dir, "page", dir / "tasks", dir / "lib", "/bin/true");
    testsupport::Browser browser;
    const std::string url = "http://127.0.0.1:" + std::to_string(d.port()) + "/";
    std::vector<double> ready;
    std::vector<double> interactive;
    std::vector<double> more;
    for (int round = 0; round < PAGE_ROUNDS; ++round) {
        browser.open(url);
        if (!browser.wait_for("performance.getEntriesByName('console-ready').length > 0", 20s)) {
            printf("4. page: not measured, the console did not get ready (%s)\n", browser.browser_log().c_str());
            return;
        }
        ready.push_back(std::stod(browser.evaluate_json("performance.getEntriesByName('console-ready')[0].startTime")));
        interactive.push_back(
            std::stod(browser.evaluate_json("performance.getEntriesByType('navigation')[0].domInteractive")));
        more.push_back(std::stod(browser.evaluate_json(
            "new Promise(done => { const t0 = performance.now(); document.getElementById('show-more').click(); "
            "const f = () => document.querySelectorAll('#task-list li[data-loaded=\"1\"]').length >= 100 ? "
            "done(performance.now() - t0) : requestAnimationFrame(f); f(); })")));
    }
    const auto r = summarize(ready);
    const auto i = summarize(interactive);
    const auto m = summarize(more);
    printf("4. page: the console in headless Chromium with %d tasks stored, %d loads (%s)\n", PAGE_TASKS, PAGE_ROUNDS,
           browser.evaluate_string("navigator.userAgent").c_str());
    printf("   document interactive:                       median %6.1f ms, best %6.1f ms, max %6.1f ms\n", i.median,
           i.min, i.max);
    printf("   50 newest tasks drawn and read (ready):     median %6.1f ms, best %6.1f ms, max %6.1f ms\n", r.median,
           r.min, r.max);
    printf("   \"Show more\" to 50 more drawn and read:     median %6.1f ms, best %6.1f ms, max %6.1f ms\n", m.median,
           m.min, m.max);
    printf("   target: an interactive console in under 1 s\n");
}

// ---------------------------------------------------------------------------
// 5. A stalled download.

// The daemon's brindlewood_http_buffered_bytes, or -1.
long long buffered_bytes(int port) {
    std::string body;
    http_get(port, "/metrics", &body);
    const std::string name = "\nbrindlewood_http_buffered_bytes ";
    const size_t at = body.find(name);
    return at == std::string::npos ? -1 : atoll(body.c_str() + at + name.size());
}

void bench_stalled_download(const hour_clip& clip, const bench::scratch_dir& dir) {
    bench::daemon_run d(dir, "stalled", clip.tasks(), clip.lib(), "/bin/true");
    time_download(d.port(), clip.size());  // what the first download allocates for good
    const long before = d.rss_kib();
    unique_fd stalled = tcp_connect(d.port());
    if (!stalled) throw std::runtime_error("cannot connect");
    const int small = 16 * 1024;
    setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = std::string("GET ") + hour_clip::url() + " HTTP/1.1\r\nHost: x\r\n\r\n";
    if (send(stalled.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) throw std::runtime_error("send failed");
    const auto held_by = clock_type::now() + 10s;
    while (buffered_bytes(d.port()) <= 0 && clock_type::now() < held_by) std::this_thread::sleep_for(10ms);
    int complete = 0;
    long most = before;
    for (int i = 0; i < 2; ++i) {
        complete += time_download(d.port(), clip.size()) >= 0;
        most = std::max(most, d.rss_kib());
    }
    const long long held = buffered_bytes(d.port());
    const long during = d.rss_kib();
    stalled = unique_fd();
    printf("5. a stalled download of the clip (%ju bytes) while 2 others run: %d of them complete\n",
           static_cast<uintmax_t>(clip.size()), complete);
    printf("   daemon resident: %ld KiB before, %ld KiB at the most, %ld KiB after (%+ld KiB)\n", before, most, during,
           during - before);
    printf("   bytes it holds for replies with the stalled one alone: %lld (its piece is %zu)\n", held, PLAIN_PIECE);
    printf("   target: the stalled reply holds a piece or two, never the file\n");
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    bench::scratch_dir dir("bench_console");
    // The in-process service logs as the daemon does; into a scratch file.
    logger_dup(0);
    logger_init((dir / "service.log").c_str(), 86400);
    printf("console benchmark on %u CPUs, scratch folders on %s\n", std::thread::hardware_concurrency(),
           bench::fs_kind(dir.path()).c_str());
    std::optional<hour_clip> clip;
    const auto with_clip = [&](const std::function<void(const hour_clip&)>& part) {
        if (!clip) clip.emplace(dir);
        part(*clip);
    };
    const int status = bench::run_parts({
        {"download", [&] { with_clip([&](const hour_clip& c) { bench_download(c, dir); }); }},
        {"announcements during downloads", [&] { with_clip(bench_announcements_under_downloads); }},
        {"listing", bench_listing},
        {"page", bench_page},
        {"stalled download", [&] { with_clip([&](const hour_clip& c) { bench_stalled_download(c, dir); }); }},
    });
    clip.reset();
    logger_release();
    return status;
}
