// BrindlewoodClient prune when nothing is due, as its timer runs it every
// ten minutes: a library of 90 days (2,160 hour folders of 600 empty
// segments each, with their index and the day markers) and a tasks folder
// of recent finished tasks, pruned with --keep-days 100 and a --min-free
// that holds. Times the pass in-process (run_prune) and as the real
// program, and prints median, min and max and the folders a pass visits.
// Asserts nothing.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/prune.h"
#include "common/scratch_dir.h"
#include "exporter/bench_support.h"

namespace {

using bench::clock_type;

constexpr int DAYS = 90;
constexpr int SEGMENTS_PER_HOUR = 600;
constexpr int TASKS = 200;
constexpr int IN_PROCESS_PASSES = 21;
constexpr int PROGRAM_PASSES = 11;
constexpr long long HOUR = 3600;

std::string utc(long long t, const char* fmt) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm = {};
    gmtime_r(&tt, &tm);
    char buf[32];
    strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

void write_text(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) throw std::runtime_error("cannot write " + path);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
}

// One hour as the register daemon leaves it, the segments empty.
void make_hour(const std::string& lib, long long start) {
    const std::string dir = lib + "/" + utc(start, "%Y/%m/%d/%H");
    std::filesystem::create_directories(dir);
    std::string index;
    index.reserve(SEGMENTS_PER_HOUR * 40);
    for (int i = 0; i < SEGMENTS_PER_HOUR; ++i) {
        const std::string t = std::to_string(start + 6LL * i);
        const int fd = open((dir + "/" + t + ".ts").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) throw std::runtime_error("cannot create a segment in " + dir);
        close(fd);
        index += t + ".ts\t" + t + "\t540000\t126000\n";
    }
    write_text(dir + "/index.cvs", index);
    write_text(lib + "/" + utc(start, "%Y/%m/%d") + "/here", "");
}

// Finished tasks of the last days, as the export daemon leaves them.
void make_tasks(const std::string& tasks, long long first_t) {
    for (int n = 1; n <= TASKS; ++n) {
        char name[16];
        snprintf(name, sizeof name, "%.05d", n);
        const std::string dir = tasks + "/" + name;
        std::filesystem::create_directories(dir);
        write_text(dir + "/index.json", "{ \"title\": \"bench\" }");
        write_text(dir + "/playlist.m3u8", "#EXTM3U\n/srv/library/" + utc(first_t, "%Y/%m/%d/%H") + "/" +
                                               std::to_string(first_t) + ".ts\n#EXT-X-ENDLIST\n");
        write_text(dir + "/state", "2");
    }
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void print_figures(const char* what, const std::vector<double>& us) {
    const bench::summary s = bench::summarize(us);
    printf("%-28s %3zu passes: median %7.2f ms, min %7.2f ms, max %7.2f ms\n", what, s.n, s.median / 1000, s.min / 1000,
           s.max / 1000);
}

}  // namespace

int main() {
    bench::scratch_dir scratch("bench_prune");
    const std::string lib = scratch / "library";
    const std::string tasks = scratch / "tasks";
    const long long now = time(nullptr);
    const long long now_hour = now - now % HOUR;
    const int hours = DAYS * 24;

    auto t0 = clock_type::now();
    for (int h = hours - 1; h >= 0; --h) make_hour(lib, now_hour - h * HOUR);
    make_tasks(tasks, now_hour - (hours - 1) * HOUR);
    auto t1 = clock_type::now();
    printf(
        "bench_prune: %d hour folders of %d empty segments (%lld files) and %d task folders on %s, built in %.1f s\n",
        hours, SEGMENTS_PER_HOUR, static_cast<long long>(hours) * (SEGMENTS_PER_HOUR + 1), TASKS,
        bench::fs_kind(scratch.path()).c_str(), bench::us_between(t0, t1) / 1e6);
    printf("load average %s\n", bench::load_average().c_str());

    // Half of what is free now: a limit that holds.
    struct statvfs v;
    statvfs(lib.c_str(), &v);
    const unsigned long long min_free = static_cast<unsigned long long>(v.f_bavail) * v.f_frsize / 2;
    client::prune_opts opts;
    opts.lib_path = lib;
    opts.tasks_path = tasks;
    opts.keep_days = 100;
    opts.min_free = client::free_target{min_free, std::nullopt};
    opts.keep_tasks_days = 14;
    printf("options: --lib-path LIB --keep-days 100 --min-free %llu --tasks-path TASKS --keep-tasks-days 14\n",
           min_free);

    FILE* devnull = fopen("/dev/null", "w");
    std::vector<double> in_process;
    client::prune_report report;
    int status = 0;
    for (int i = 0; i < IN_PROCESS_PASSES; ++i) {
        report = {};
        t0 = clock_type::now();
        status |= client::run_prune(opts, static_cast<int64_t>(time(nullptr)), devnull, &report);
        in_process.push_back(bench::us_between(t0, clock_type::now()));
    }
    fclose(devnull);
    print_figures("in-process (run_prune)", in_process);
    printf(
        "%-28s a pass opens and lists %d folders (root, years, months, days, the tasks folder and each task\n"
        "%-28s folder) and finds %d hour folders; %d hours and %d task folders removed, exit status %d\n",
        "", report.folders_visited, "", report.hour_folders, report.hours, report.tasks, status);

    const std::vector<std::string> args = {
        "prune", "--lib-path",        lib, "--keep-days", "100", "--min-free", std::to_string(min_free), "--tasks-path",
        tasks,   "--keep-tasks-days", "14"};
    std::vector<double> program;
    const std::string out = scratch / "prune.out";
    for (int i = 0; i < PROGRAM_PASSES; ++i) {
        t0 = clock_type::now();
        bench::child c(BRINDLEWOOD_CLIENT_BIN, args, out, "");
        status |= c.wait();
        program.push_back(bench::us_between(t0, clock_type::now()));
    }
    print_figures("BrindlewoodClient prune", program);
    printf("%-28s its summary: %s", "", read_text(out).c_str());
    printf("target: under 200 ms a pass\n");

    t0 = clock_type::now();
    std::filesystem::remove_all(lib);
    printf("scratch tree removed in %.1f s\n", bench::us_between(t0, clock_type::now()) / 1e6);
    return status;
}
