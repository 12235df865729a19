// Logger throughput and call latency: 4 threads each log 250,000 lines of
// daemon-like text to a log file (no standard-error copy). Prints lines per
// second until every line is on disk, the per-call latency (median, p99) and
// the lines lost; then the same figures for spdlog's asynchronous file logger.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logger.h"

#ifdef HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int THREADS = 4;
constexpr int LINES_PER_THREAD = 250000;

struct figures {
    double lines_per_second = 0;
    double median_us = 0;
    double p99_us = 0;
    long lost = 0;
};

long count_lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    long n = 0;
    char buf[1 << 16];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) n += std::count(buf, buf + in.gcount(), '\n');
    return n;
}

// Runs log_one(thread, i) on THREADS threads, timing every call, then
// finish() (which must return once every line is on disk).
figures measure(const std::function<void(int, int)>& log_one, const std::function<void()>& finish,
                const std::string& path) {
    std::vector<std::vector<float>> latencies(THREADS, std::vector<float>(LINES_PER_THREAD));
    const auto start = clock_type::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < THREADS; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < LINES_PER_THREAD; ++i) {
                const auto a = clock_type::now();
                log_one(t, i);
                const auto b = clock_type::now();
                latencies[t][i] = std::chrono::duration<float, std::micro>(b - a).count();
            }
        });
    }
    for (auto& th : pool) th.join();
    finish();
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();

    std::vector<float> all;
    all.reserve(THREADS * LINES_PER_THREAD);
    for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
    std::sort(all.begin(), all.end());
    figures f;
    f.lines_per_second = THREADS * LINES_PER_THREAD / seconds;
    f.median_us = all[all.size() / 2];
    f.p99_us = all[all.size() * 99 / 100];
    f.lost = THREADS * LINES_PER_THREAD - count_lines(path);
    return f;
}

void print(const char* name, const figures& f) {
    printf("%-28s %12.0f lines/s   call median %6.2f us   p99 %6.2f us   lost %ld\n", name, f.lines_per_second,
           f.median_us, f.p99_us, f.lost);
}

}  // namespace

int main() {
    char dir_template[] = "/tmp/bench_logger.XXXXXX";
    const std::string dir = mkdtemp(dir_template);
    printf("%d threads x %d lines, log files under %s\n", THREADS, LINES_PER_THREAD, dir.c_str());

    const std::string ours = dir + "/keelson.log";
    logger_dup(0);
    logger_init(ours.c_str(), 86400);
    const figures k = measure(
        [](int t, int i) {
            logger_printf(0, "%s: copy_file([/srv/hold/%d.ts], [/srv/lib/2020/09/13/12/%d.ts]) takes %dus",
                          "register_thread_proc", 1600000000 + i, 1600000000 + i, t * 1000 + i % 977);
        },
        [] { logger_release(); }, ours);
    print("logger_printf", k);

#ifdef HAVE_SPDLOG
    for (size_t queue : {size_t{8192}, size_t{MAX_MSG_CNT}}) {
        const std::string theirs = dir + "/spdlog-" + std::to_string(queue) + ".log";
        spdlog::init_thread_pool(queue, 1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(theirs, true);
        auto log = std::make_shared<spdlog::async_logger>("bench", sink, spdlog::thread_pool(),
                                                          spdlog::async_overflow_policy::block);
        log->set_pattern("%L [%Y-%m-%d %H:%M:%S.%e] %v");
        const figures s = measure(
            [&log](int t, int i) {
                log->info("{}: copy_file([/srv/hold/{}.ts], [/srv/lib/2020/09/13/12/{}.ts]) takes {}us",
                          "register_thread_proc", 1600000000 + i, 1600000000 + i, t * 1000 + i % 977);
            },
            [&log] {
                log->flush();
                log.reset();
                spdlog::shutdown();
            },
            theirs);
        char name[64];
        snprintf(name, sizeof name, "spdlog async (queue %zu)", queue);
        print(name, s);
    }
#else
    printf("spdlog not found: no comparison\n");
#endif
    std::filesystem::remove_all(dir);
    return 0;
}
