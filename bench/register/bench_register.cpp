// Registration benchmark. 50 generated 6 s segments go three ways in one run:
// closed into the watch folder of a real register daemon in one burst, timed
// from the first close to the last index line; through the bare work (the
// daemon's ffprobe and ffmpeg commands and a copy, one after another, from
// this program); and through a plain shell loop doing the daemon's steps.
// Prints the time per segment of each and the daemon's overhead beyond the
// bare work. The three take turns over a few rounds (argument, default 3), as
// a shared machine's load moves more than the overhead sought. Then what
// putting a registration on stable storage costs: the daemon's writes of a
// segment (copy, thumbnail, index line, day marker) with and without their
// syncs, in this program, on the scratch folder's file system. Then the
// watcher's cost per accepted name (hard link plus queue insertion) with the
// queue filled to 8196 names and nothing draining it.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/library.h"
#include "archive/library_write.h"
#include "execute.h"
#include "logger.h"
#include "register/copy.h"
#include "register/instance.h"
#include "register/register.h"
#include "register/watcher.h"
#include "strl.h"
#include "utils.h"

#include "common/instance_owner.h"
#include "common/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int SEGMENTS = 50;
constexpr int64_t FIRST_START = 1619866800;
constexpr int SEGMENT_SECONDS = 6;
constexpr int WATCHER_NAMES = 8196;
constexpr auto INDEX_POLL = 1ms;
constexpr const char* FFPROBE = "ffprobe";
constexpr const char* FFMPEG = "ffmpeg";

double ms_of(clock_type::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double us_of(clock_type::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Writes bytes to path as a recorder does: open, write, close. When
// before_close is given it gets the time just before the close.
bool write_segment(const std::string& path, const std::string& bytes,
                   clock_type::time_point* before_close = nullptr) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    if (before_close) *before_close = clock_type::now();
    return close(fd.release()) == 0;
}

std::string segment_name(int i) { return std::to_string(FIRST_START + int64_t{SEGMENT_SECONDS} * i) + ".ts"; }

std::vector<std::string> segment_names(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(segment_name(i));
    return names;
}

// execute wants char*; its vectors are never written through.
char* arg(const char* s) { return const_cast<char*>(s); }

// Runs a command to completion with an empty environment, as the daemon
// runs its tools. execute's result.
int run(std::vector<std::string> args, const char* out = nullptr, const char* err = nullptr) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return execute(argv[0], nullptr, argv.data(), nullptr, out, err);
}

bool make_segment(const std::string& path) {
    const std::string t = std::to_string(SEGMENT_SECONDS);
    return run({FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                "testsrc=size=320x180:rate=25:duration=" + t, "-f", "lavfi", "-i",
                "sine=frequency=440:sample_rate=48000:duration=" + t, "-c:v", "libx264", "-preset", "ultrafast",
                "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts", path}) == 0;
}

// A child process with its output in a file; killed and reaped if it is
// still running when the owner goes.
class child_process {
public:
    child_process(const std::vector<std::string>& args, const std::string& output) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
        std::vector<std::string> copy = args;
        std::vector<char*> argv;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int r = posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (r != 0) throw std::system_error(r, std::generic_category(), "posix_spawn " + args[0]);
    }
    ~child_process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    // The raw wait status, once it has ended; nothing while it runs.
    std::optional<int> poll() {
        int status = 0;
        if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = status;
        }
        if (pid_ > 0) return std::nullopt;
        return status_;
    }
    std::optional<int> wait_for(clock_type::duration timeout) {
        const auto deadline = clock_type::now() + timeout;
        for (;;) {
            if (auto s = poll()) return s;
            if (clock_type::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
    }
    int wait() {
        int status = 0;
        while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        if (pid_ > 0) status_ = status;
        pid_ = -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

std::string status_text(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The hour folders (relative to a library) of the segments' start times.
std::vector<std::string> hour_folders(const std::vector<std::string>& names) {
    std::vector<std::string> hours;
    for (const auto& name : names) {
        int64_t t = 0;
        struct tm tm = {};
        if (!archive::segment_time(name.c_str(), &t, &tm)) continue;
        char hour[64];
        strftime(hour, sizeof hour, "%Y/%m/%d/%H", &tm);
        if (std::find(hours.begin(), hours.end(), hour) == hours.end()) hours.emplace_back(hour);
    }
    return hours;
}

// Index lines and thumbnails found in a library for the given hours.
struct library_count {
    int lines = 0;
    int thumbs = 0;
};

library_count count_library(const std::string& lib, const std::vector<std::string>& hours) {
    library_count c;
    for (const auto& hour : hours) {
        c.lines += static_cast<int>(lines_of(read_file(lib + "/" + hour + "/index.cvs")).size());
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(lib + "/" + hour, ec)) c.thumbs += e.path().extension() == ".jpg";
    }
    return c;
}

// Counts index lines of a library as they come, re-reading a file only when
// its size has changed.
class index_watch {
public:
    index_watch(const std::string& lib, const std::vector<std::string>& hours) {
        for (const auto& hour : hours) files_.push_back({lib + "/" + hour + "/index.cvs", -1, 0});
    }
    int lines() {
        int total = 0;
        for (auto& f : files_) {
            struct stat st;
            const off_t size = stat(f.path.c_str(), &st) == 0 ? st.st_size : -1;
            if (size != f.size) {
                f.size = size;
                f.lines = size > 0 ? static_cast<int>(lines_of(read_file(f.path)).size()) : 0;
            }
            total += f.lines;
        }
        return total;
    }

private:
    struct file {
        std::string path;
        off_t size;
        int lines;
    };
    std::vector<file> files_;
};

// The numbers after marker up to "us" in the lines holding it, summed.
struct log_sum {
    double us = 0;
    int count = 0;
};

log_sum sum_us(const std::vector<std::string>& lines, const std::string& holds, const std::string& marker) {
    log_sum s;
    for (const auto& line : lines) {
        if (line.find(holds) == std::string::npos) continue;
        const size_t at = line.rfind(marker);
        if (at == std::string::npos) continue;
        s.us += std::strtod(line.c_str() + at + marker.size(), nullptr);
        ++s.count;
    }
    return s;
}

// ---- the bare work ---------------------------------------------------------

struct bare_result {
    double ms = 0;
    double probe_ms = 0, copy_ms = 0, thumb_ms = 0;
    int failed = 0;
};

// The daemon's ffprobe command (its output read back and parsed), a copy and
// its thumbnail command, one segment after another, nothing else.
bare_result bare_work(const std::string& src, const std::string& work, const std::vector<std::string>& names) {
    const std::string out = work + "/probe.out";
    const std::string err = work + "/probe.err";
    char* envs[] = {nullptr};
    bare_result result;
    const auto t0 = clock_type::now();
    for (const auto& name : names) {
        const std::string seg = src + "/" + name;
        const std::string copy = work + "/" + name;
        const std::string thumb = work + "/" + name.substr(0, name.size() - 3) + ".jpg";
        char* probe[] = {arg(FFPROBE),         arg("-i"),    arg(seg.c_str()), arg("-select_streams"), arg("v:0"),
                         arg("-show_streams"), arg("-of"),   arg("ini"),       nullptr};
        const auto p0 = clock_type::now();
        unlink(out.c_str());
        int64_t duration_ts = 0;
        int64_t start_pts = 0;
        bool ok = execute(FFPROBE, nullptr, probe, envs, out.c_str(), err.c_str()) == 0;
        ok = ok && register_parse_probe(read_file(out), &duration_ts, &start_pts) > 0 && duration_ts > 0;
        const auto p1 = clock_type::now();
        ok = ok && copy_file(seg.c_str(), copy.c_str()) > 0;
        const auto p2 = clock_type::now();
        char* thumbnail[] = {arg(FFMPEG), arg("-i"),          arg(copy.c_str()), arg("-vframes"),   arg("1"),
                             arg("-vf"),  arg("scale=96:54"), arg("-y"),         arg(thumb.c_str()), nullptr};
        ok = ok && execute(FFMPEG, nullptr, thumbnail, envs, nullptr, nullptr) == 0;
        const auto p3 = clock_type::now();
        result.probe_ms += ms_of(p1 - p0);
        result.copy_ms += ms_of(p2 - p1);
        result.thumb_ms += ms_of(p3 - p2);
        result.failed += !ok;
    }
    result.ms = ms_of(clock_type::now() - t0);
    return result;
}

// ---- the shell loop --------------------------------------------------------

struct shell_result {
    double ms = 0;
    int status = 0;
    library_count found;
};

shell_result shell_loop(const bench::scratch_dir& scratch, const std::string& segment, const std::vector<std::string>& names) {
    const std::string watch = scratch / "shell-watch";
    const std::string hold = scratch / "shell-hold";
    const std::string lib = scratch / "shell-lib";
    for (const auto& d : {watch, hold, lib}) fs::create_directories(d);
    for (const auto& name : names) write_segment(watch + "/" + name, segment);
    std::vector<std::string> args{"/bin/bash", SHELL_LOOP, watch, hold, lib, FFPROBE, FFMPEG};
    args.insert(args.end(), names.begin(), names.end());
    shell_result result;
    const auto t0 = clock_type::now();
    child_process sh(args, scratch / "shell.out");
    result.status = sh.wait();
    result.ms = ms_of(clock_type::now() - t0);
    result.found = count_library(lib, hour_folders(names));
    return result;
}

// ---- the daemon ------------------------------------------------------------

struct daemon_result {
    bool ran = false;
    std::string problem;
    double ms = 0;
    double burst_ms = 0;
    library_count found;
    log_sum probe, copy, thumb;
    std::string exit;
};

bool log_has(const std::string& log, const std::string& text) { return read_file(log).find(text) != std::string::npos; }

daemon_result run_daemon(const bench::scratch_dir& scratch, const std::string& segment,
                         const std::vector<std::string>& names) {
    const std::string watch = scratch / "daemon-watch";
    const std::string hold = scratch / "daemon-hold";
    const std::string lib = scratch / "daemon-lib";
    const std::string log = scratch / "daemon.log";
    for (const auto& d : {watch, hold, lib}) fs::create_directories(d);
    daemon_result result;
    child_process daemon({BRINDLEWOOD_BIN, std::string("--ffprobe-path=") + FFPROBE,
                          std::string("--ffmpeg-path=") + FFMPEG, "--lib-path=" + lib, "--watch-path=" + watch,
                          "--tmp-path=" + hold, "--log-file-name=" + log, "--nodemonize"},
                         scratch / "daemon.out");
    // The file the daemon's ffprobe writes its output into.
    const std::string probe_out = "/tmp/Brindlewood.ffprobe." + std::to_string(daemon.pid());

    const auto up_by = clock_type::now() + 30s;
    while (!log_has(log, " watcher_thread_proc: waiting...")) {
        if (daemon.poll() || clock_type::now() > up_by) {
            result.problem = "the daemon did not come up; its output:\n" + read_file(scratch / "daemon.out");
            return result;
        }
        std::this_thread::sleep_for(5ms);
    }

    const auto hours = hour_folders(names);
    index_watch index(lib, hours);
    clock_type::time_point first_close{};
    clock_type::time_point close_at{};
    for (size_t i = 0; i < names.size(); ++i) {
        if (!write_segment(watch + "/" + names[i], segment, &close_at)) {
            result.problem = "could not write " + names[i] + " into the watch folder";
            return result;
        }
        if (i == 0) first_close = close_at;
    }
    result.burst_ms = ms_of(clock_type::now() - first_close);

    // Without a consumer's help a lost segment never shows up: give up after
    // a generous while and report what came.
    const auto give_up = clock_type::now() + 30s * static_cast<int>(names.size());
    clock_type::time_point last_line{};
    for (;;) {
        const int n = index.lines();
        last_line = clock_type::now();
        if (n >= static_cast<int>(names.size())) break;
        if (daemon.poll() || last_line > give_up) {
            result.problem = "only " + std::to_string(n) + " index lines came";
            break;
        }
        std::this_thread::sleep_for(INDEX_POLL);
    }
    result.ms = ms_of(last_line - first_close);

    daemon.signal(SIGTERM);
    const auto status = daemon.wait_for(20s);
    result.exit = status ? status_text(*status) : "still running 20 s after SIGTERM";
    unlink(probe_out.c_str());
    result.found = count_library(lib, hours);
    const auto lines = lines_of(read_file(log));
    result.probe = sum_us(lines, "duration_ts=", ", idle=");
    result.copy = sum_us(lines, "copy_file([", "]) takes ");
    result.thumb = sum_us(lines, "register_thumb(", ") success, idle=");
    result.ran = result.problem.empty();
    return result;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// ---- the cost of the syncs ----------------------------------------------

struct sync_result {
    double ms = 0;
    int failed = 0;
};

// The library writes of every segment as the daemon makes them, into hour
// folders under lib: with synced, each file, the index and the folders go to
// stable storage as the daemon syncs them; without, the same writes only.
sync_result library_writes(const std::string& src, const std::string& lib, const std::vector<std::string>& names,
                           const std::string& thumb_bytes, bool synced) {
    sync_result result;
    const auto t0 = clock_type::now();
    for (const auto& name : names) {
        int64_t t = 0;
        struct tm utc = {};
        archive::segment_files files;
        if (!archive::segment_time(name.c_str(), &t, &utc) ||
            !archive::segment_files_of(lib.c_str(), name.c_str(), utc, &files)) {
            ++result.failed;
            continue;
        }
        const bool hour_made = !fs::exists(files.hour);
        utils_mkdir_p(files.hour, 0777);
        const std::string seg = src + "/" + name;
        bool ok;
        if (synced) {
            ok = copy_file(seg.c_str(), files.copy) > 0;
        } else {
            unique_fd in(open(seg.c_str(), O_RDONLY | O_CLOEXEC));
            unique_fd out(open(files.copy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
            struct stat st;
            ok = in && out && fstat(in.get(), &st) == 0 && copy_fd(in.get(), out.get(), st.st_size, 1 << 30) > 0;
        }
        ok = ok && write_segment(files.thumb, thumb_bytes);
        if (synced) ok = ok && archive::sync_path(files.thumb) == 0;
        const std::string line = archive::index_line(name, t, 540000, 0);
        if (synced) {
            archive::index_append appended;
            bool opened = false;
            ok = ok && archive::append_index_line(files.index, line, false, &appended, &opened) == 0;
        } else {
            unique_fd index(open(files.index, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
            ok = ok && index && write(index.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
        }
        bool marker_made = false;
        ok = ok && archive::mark_day(files.here, &marker_made) == 0;
        if (synced) {
            std::string dir = files.hour;
            const int levels = hour_made ? 5 : marker_made ? 2 : 1;
            for (int i = 0; ok && i < levels && dir.size() >= lib.size(); ++i) {
                ok = archive::sync_path(dir.c_str()) == 0;
                dir.resize(dir.rfind('/'));
            }
        }
        result.failed += !ok;
    }
    result.ms = ms_of(clock_type::now() - t0);
    return result;
}

const char* fs_type_name(const std::string& path) {
    struct statfs fs;
    if (statfs(path.c_str(), &fs) != 0) return "unknown";
    switch (fs.f_type) {
        case 0xEF53: return "ext2/3/4";
        case 0x01021994: return "tmpfs (its syncs cost nothing)";
        case 0x58465342: return "xfs";
        case 0x9123683E: return "btrfs";
        case 0x794c7630: return "overlayfs";
        default: return "other";
    }
}

void sync_cost(const std::string& src, const std::vector<std::string>& names, int rounds) {
    bench::scratch_dir scratch("bench_register");
    const std::string thumb = scratch / "thumb.jpg";
    char* envs[] = {nullptr};
    const std::string first = src + "/" + names[0];
    char* thumbnail[] = {arg(FFMPEG), arg("-i"),          arg(first.c_str()), arg("-vframes"),    arg("1"),
                         arg("-vf"),  arg("scale=96:54"), arg("-y"),          arg(thumb.c_str()), nullptr};
    if (execute(FFMPEG, nullptr, thumbnail, envs, nullptr, nullptr) != 0) {
        printf("sync cost: ffmpeg could not make a thumbnail\n");
        return;
    }
    const std::string thumb_bytes = read_file(thumb);
    printf("sync cost: the library writes of %zu segments (copy, %zu-byte thumbnail, index line, day marker) on %s, "
           "%d rounds, alternating\n",
           names.size(), thumb_bytes.size(), fs_type_name(scratch.path()), rounds);
    std::vector<double> plain_ms, synced_ms;
    for (int round = 1; round <= rounds; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool synced = (round + k) % 2 == 0;
            const std::string lib = scratch / ("lib-" + std::to_string(round) + (synced ? "-synced" : "-plain"));
            fs::create_directories(lib);
            const sync_result r = library_writes(src, lib, names, thumb_bytes, synced);
            printf("round %d, %s: %.2f ms/segment%s\n", round, synced ? "with syncs   " : "without syncs",
                   r.ms / static_cast<double>(names.size()),
                   r.failed ? (" (" + std::to_string(r.failed) + " failed)").c_str() : "");
            (synced ? synced_ms : plain_ms).push_back(r.ms);
        }
    }
    const double n = static_cast<double>(names.size());
    const double plain = median_of(plain_ms) / n;
    const double synced = median_of(synced_ms) / n;
    printf("sync cost per segment (medians): %.2f ms with syncs, %.2f ms without, the syncs %.2f ms\n", synced, plain,
           synced - plain);
}

// ---- the watcher's cost per name --------------------------------------------

struct stats {
    double median = 0, mean = 0, p99 = 0, max = 0;
};

stats stats_of(std::vector<double> v) {
    stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.max = v.back();
    return s;
}

void print_stats(const char* what, const stats& s) {
    printf("  %s: median %.2f us, mean %.2f us, p99 %.2f us, max %.2f us\n", what, s.median, s.mean, s.p99, s.max);
}

// The register daemon's record as its threads see it, without the daemon.
class queue_instance : public bench::instance_owner<instance_t> {
public:
    queue_instance() {
        keelson::strlcpy(instance->path.ffprobe, FFPROBE, PATH_MAX);
        keelson::strlcpy(instance->path.ffmpeg, FFMPEG, PATH_MAX);
    }

    void use(const std::string& watch, const std::string& tmp) {
        keelson::strlcpy(instance->path.watch, watch.c_str(), PATH_MAX);
        keelson::strlcpy(instance->path.tmp, tmp.c_str(), PATH_MAX);
    }
    int length() {
        pthread_mutex_lock(&instance->lock);
        const int n = instance->reg_queue.len;
        pthread_mutex_unlock(&instance->lock);
        return n;
    }
    void empty() {
        pthread_mutex_lock(&instance->lock);
        for (int i = 0; i < instance->reg_queue.len; ++i) instance->reg_queue.items[i].reset();
        instance->reg_queue.len = 0;
        pthread_mutex_unlock(&instance->lock);
    }
};

// The in-process logger for as long as the owner lives.
class logger_session {
public:
    explicit logger_session(const std::string& path) {
        logger_dup(0);
        logger_init(path.c_str(), 86400);
    }
    ~logger_session() { logger_release(); }
    logger_session(const logger_session&) = delete;
    logger_session& operator=(const logger_session&) = delete;
};

// The watcher thread, stopped through the exit flag and joined when the
// owner goes.
class watcher_run {
public:
    explicit watcher_run(queue_instance* q) : q_(q) {
        started_ = pthread_create(&thread_, nullptr, watcher_thread_proc, q->instance) == 0;
    }
    ~watcher_run() {
        q_->exit_flag.store(1);
        if (started_) pthread_join(thread_, nullptr);
    }
    watcher_run(const watcher_run&) = delete;
    watcher_run& operator=(const watcher_run&) = delete;
    bool started() const { return started_; }

private:
    queue_instance* q_;
    pthread_t thread_{};
    bool started_ = false;
};

void watcher_cost() {
    bench::scratch_dir scratch("bench_register");
    const std::string log = scratch / "watcher.log";
    logger_session logger(log);
    queue_instance q;
    const int capacity = MAX_REG_QUEUE_LEN;
    const int count = std::min(WATCHER_NAMES, capacity);
    printf("watcher: queue capacity %d names; %d names queued, no consumer draining\n", capacity, count);
    if (capacity < WATCHER_NAMES) printf("  (the capacity is below %d: measured up to it)\n", WATCHER_NAMES);
    const auto names = segment_names(count);

    const std::string watch = scratch / "watch";
    const std::string hold = scratch / "hold";
    const std::string link_only = scratch / "link-only";
    for (const auto& d : {watch, hold, link_only}) fs::create_directories(d);
    for (const auto& name : names) write_segment(watch + "/" + name, "");
    q.use(watch, hold);

    std::vector<double> enqueue_us;
    int refused = 0;
    for (const auto& name : names) {
        const auto t0 = clock_type::now();
        const int r = register_enqueue(q.instance, name.c_str());
        const auto t1 = clock_type::now();
        if (r > 0) {
            enqueue_us.push_back(us_of(t1 - t0));
        } else {
            ++refused;
        }
    }
    printf("  %zu names accepted, %d refused; queue length %d\n", enqueue_us.size(), refused, q.length());
    print_stats("hard link + queue insertion per accepted name", stats_of(enqueue_us));
    const size_t tenth = enqueue_us.size() / 10;
    if (tenth > 0) {
        const auto mean = [](auto b, auto e) { return std::accumulate(b, e, 0.0) / static_cast<double>(e - b); };
        printf("  mean of the first %zu names %.2f us, of the last %zu names %.2f us\n", tenth,
               mean(enqueue_us.begin(), enqueue_us.begin() + static_cast<long>(tenth)), tenth,
               mean(enqueue_us.end() - static_cast<long>(tenth), enqueue_us.end()));
    }

    std::vector<double> link_us;
    for (const auto& name : names) {
        const std::string src = watch + "/" + name;
        const std::string dst = link_only + "/" + name;
        const auto t0 = clock_type::now();
        const int r = link(src.c_str(), dst.c_str());
        const auto t1 = clock_type::now();
        if (r == 0) link_us.push_back(us_of(t1 - t0));
    }
    print_stats("hard link alone, same names into a fresh folder", stats_of(link_us));

    // The same through the watcher thread: every name comes as a close
    // notice, is logged and queued. This program's creates run alongside.
    q.empty();
    const std::string watch2 = scratch / "watch2";
    const std::string hold2 = scratch / "hold2";
    for (const auto& d : {watch2, hold2}) fs::create_directories(d);
    q.use(watch2, hold2);
    watcher_run watcher(&q);
    const auto up_by = clock_type::now() + 10s;
    while (watcher.started() && !log_has(log, " watcher_thread_proc: waiting...") && clock_type::now() < up_by) {
        std::this_thread::sleep_for(5ms);
    }
    const auto t0 = clock_type::now();
    for (const auto& name : names) write_segment(watch2 + "/" + name, "");
    const auto created = clock_type::now();
    const auto give_up = created + 60s;
    int queued = 0;
    while ((queued = q.length()) < count && clock_type::now() < give_up) std::this_thread::sleep_for(1ms);
    const auto t1 = clock_type::now();
    printf("  through the watcher thread (close notice, its log line, hard link, insertion): %d files created and "
           "closed in %.1f ms; %d names queued %.1f ms after the first close, %.1f ms after the last "
           "(%.2f us/name overall)\n",
           count, ms_of(created - t0), queued, ms_of(t1 - t0), ms_of(t1 - created),
           us_of(t1 - t0) / std::max(queued, 1));
}

void print_bare(int round, const bare_result& b) {
    printf("round %d, bare work (ffprobe, copy, ffmpeg thumbnail, one after another): %d segments in %.1f ms, "
           "%.2f ms/segment (ffprobe %.2f, copy %.2f, thumbnail %.2f)%s\n",
           round, SEGMENTS, b.ms, b.ms / SEGMENTS, b.probe_ms / SEGMENTS, b.copy_ms / SEGMENTS, b.thumb_ms / SEGMENTS,
           b.failed ? (" (" + std::to_string(b.failed) + " failed)").c_str() : "");
}

void print_shell(int round, const shell_result& sh) {
    printf("round %d, shell loop (ln, ffprobe, mkdir, cp, ffmpeg, index line, day mark, rm): %d segments in %.1f ms, "
           "%.2f ms/segment (%s, %d index lines, %d thumbnails)\n",
           round, SEGMENTS, sh.ms, sh.ms / SEGMENTS, status_text(sh.status).c_str(), sh.found.lines, sh.found.thumbs);
}

// The daemon's time outside its tool runs and copies, as its log gives them.
double daemon_rest_ms(const daemon_result& d) { return d.ms - (d.probe.us + d.copy.us + d.thumb.us) / 1000.0; }

void print_daemon(int round, const daemon_result& d) {
    if (!d.problem.empty()) printf("round %d, daemon: %s\n", round, d.problem.c_str());
    printf("round %d, daemon: %d segments in %.1f ms, %.2f ms/segment, first close to last index line (burst of %d "
           "closes %.1f ms, index polled every %lld ms; %d index lines, %d thumbnails; %s after SIGTERM)\n",
           round, SEGMENTS, d.ms, d.ms / SEGMENTS, SEGMENTS, d.burst_ms, static_cast<long long>(INDEX_POLL.count()),
           d.found.lines, d.found.thumbs, d.exit.c_str());
    printf("round %d, daemon, from its own log: ffprobe %.2f, copy %.2f, thumbnail %.2f ms/segment (%d, %d, %d "
           "lines); the rest %.2f ms/segment\n",
           round, d.probe.us / 1000.0 / SEGMENTS, d.copy.us / 1000.0 / SEGMENTS, d.thumb.us / 1000.0 / SEGMENTS,
           d.probe.count, d.copy.count, d.thumb.count, daemon_rest_ms(d) / SEGMENTS);
}

int run_rounds(int rounds) {
    bench::scratch_dir scratch("bench_register");
    const auto names = segment_names(SEGMENTS);
    const std::string generated = scratch / "generated.ts";
    if (!make_segment(generated)) {
        fprintf(stderr, "bench_register: ffmpeg could not generate a segment\n");
        return 1;
    }
    const std::string segment = read_file(generated);
    // The bare work reads its own copies, named as the daemon's would be.
    const std::string src = scratch / "segments";
    fs::create_directories(src);
    for (const auto& name : names) write_segment(src + "/" + name, segment);
    printf("register: %d segments of %d s (H.264 320x180 + AAC, mpegts), %zu bytes each, named %s, %s, ... %s; "
           "%d rounds, the order of the three turning each round\n",
           SEGMENTS, SEGMENT_SECONDS, segment.size(), names[0].c_str(), names[1].c_str(), names.back().c_str(),
           rounds);

    // Brings ffprobe, ffmpeg and their libraries into memory before timing.
    {
        bench::scratch_dir warm("bench_register");
        bare_work(src, warm.path(), {names[0]});
    }

    std::vector<double> bare_ms, shell_ms, daemon_ms, rest_ms;
    for (int round = 1; round <= rounds; ++round) {
        bench::scratch_dir work("bench_register");
        for (int k = 0; k < 3; ++k) {
            switch ((round - 1 + k) % 3) {
                case 0: {
                    fs::create_directories(work / "bare");
                    const bare_result b = bare_work(src, work / "bare", names);
                    print_bare(round, b);
                    bare_ms.push_back(b.ms);
                    break;
                }
                case 1: {
                    const shell_result sh = shell_loop(work, segment, names);
                    print_shell(round, sh);
                    shell_ms.push_back(sh.ms);
                    break;
                }
                default: {
                    const daemon_result d = run_daemon(work, segment, names);
                    print_daemon(round, d);
                    if (d.ran) {
                        daemon_ms.push_back(d.ms);
                        rest_ms.push_back(daemon_rest_ms(d));
                    }
                    break;
                }
            }
            fflush(stdout);
        }
    }

    if (daemon_ms.empty()) {
        printf("summary: no daemon round completed\n");
    } else {
        const auto per = [](double ms) { return ms / SEGMENTS; };
        const double bare_best = *std::min_element(bare_ms.begin(), bare_ms.end());
        const double shell_best = *std::min_element(shell_ms.begin(), shell_ms.end());
        const double daemon_best = *std::min_element(daemon_ms.begin(), daemon_ms.end());
        printf("best of %d rounds, ms/segment: bare work %.2f, shell loop %.2f, daemon %.2f\n", rounds,
               per(bare_best), per(shell_best), per(daemon_best));
        printf("median of %d rounds, ms/segment: bare work %.2f, shell loop %.2f, daemon %.2f\n", rounds,
               per(median_of(bare_ms)), per(median_of(shell_ms)), per(median_of(daemon_ms)));
        const auto [lo, hi] = std::minmax_element(bare_ms.begin(), bare_ms.end());
        printf("daemon overhead beyond the bare work: %+.2f ms/segment from the best rounds, %+.2f from the medians "
               "(the bare rounds themselves spread over %.2f ms/segment)\n",
               per(daemon_best - bare_best), per(median_of(daemon_ms) - median_of(bare_ms)), per(*hi - *lo));
        printf("daemon overhead from its own log (time outside ffprobe, ffmpeg and the copy, whose sync counts in "
               "the copy): %.2f ms/segment median, %.2f best (target under 10 ms)\n",
               per(median_of(rest_ms)), per(*std::min_element(rest_ms.begin(), rest_ms.end())));
        const auto against = [&](double daemon, double shell) {
            char text[64];
            snprintf(text, sizeof text, "%.2f ms/segment %s", per(std::abs(shell - daemon)),
                     daemon < shell ? "faster" : "slower");
            return std::string(text);
        };
        printf("daemon against the shell loop: %s from the best rounds, %s from the medians\n",
               against(daemon_best, shell_best).c_str(), against(median_of(daemon_ms), median_of(shell_ms)).c_str());
    }
    fflush(stdout);

    sync_cost(src, names, rounds);
    fflush(stdout);

    watcher_cost();
    return 0;
}

}  // namespace

// usage: bench_register [ROUNDS]   (default 3)
int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    try {
        return run_rounds(rounds);
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_register: %s\n", e.what());
        return 1;
    }
}
