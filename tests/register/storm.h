// A kill storm on a real register daemon: a recorder closes real MPEG-TS
// segments into the watch folder while the daemon is killed with SIGKILL at
// random moments and started again at once. After the recorder stops, one
// clean start drains what is left and a SIGTERM stops it; then the library is
// checked segment by segment. Shared by the suite's short storm and the long
// run under bench/, so it needs nothing but the program, POSIX and the
// archive module's index reader.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "archive/library.h"
#include "support/proc_signals.h"

extern char** environ;

namespace storm {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

struct options {
    std::string daemon;   // the register daemon's program
    std::string root;     // an empty folder for watch/, hold/, lib/ and the log
    std::string segment;  // a real MPEG-TS segment, the recorder's material
    int segments = 40;
    int min_kills = 8;
    // The recorder closes a segment this often.
    std::chrono::milliseconds record_every{250};
    // A kill follows the previous start after a random time in this range.
    std::chrono::milliseconds min_gap{200};
    std::chrono::milliseconds max_gap{3000};
    // How long the last clean run may take to register what is left.
    std::chrono::seconds drain{240};
    uint32_t seed = 1;
    // The first segment's time: 40 s before a UTC midnight, so that the
    // segments span two days and two hours.
    int64_t first = 1600041600 - 40;
    // Called with a line about each kill, for a program that shows progress.
    std::function<void(const std::string&)> progress;
};

struct result {
    int segments = 0;
    int kills = 0;
    int lost = 0;            // segments with no index line
    int twice = 0;           // segments with more than one
    int left_over = 0;       // entries in the holding folder, hidden ones included
    int bad_copies = 0;      // a copy missing or unlike the recorder's file
    int bad_thumbs = 0;      // a thumbnail missing or not 96x54
    int bad_indexes = 0;     // an index.cvs without a final newline or with a line that does not parse
    int stray_lines = 0;     // index lines of no segment of ours, or in the wrong hour
    int missing_markers = 0; // day folders with an index and no day marker
    int died_alone = 0;      // daemon runs that ended before their kill
    int clean_exit = -1;     // the final stop's exit status
    bool drained = false;    // the last run registered everything before its deadline
    std::map<std::string, int> kill_steps;  // what the daemon last logged before each kill
    std::vector<std::string> faults;        // the first few faults, in words
};

inline std::string segment_name(const options& o, int i) { return std::to_string(o.first + 2 * i) + ".ts"; }

inline std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Width and height from a JPEG's start-of-frame marker; {0, 0} when there is
// none.
inline std::pair<int, int> jpeg_size(const std::string& data) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
    if (data.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8) return {0, 0};
    size_t at = 2;
    while (at + 4 <= data.size()) {
        if (byte(at) != 0xFF) return {0, 0};
        const unsigned marker = byte(at + 1);
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const size_t len = (static_cast<size_t>(byte(at + 2)) << 8) | byte(at + 3);
        const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof) {
            if (at + 9 > data.size()) return {0, 0};
            return {static_cast<int>((byte(at + 7) << 8) | byte(at + 8)), static_cast<int>((byte(at + 5) << 8) | byte(at + 6))};
        }
        if (marker == 0xDA || len < 2) return {0, 0};  // image data before any frame header
        at += 2 + len;
    }
    return {0, 0};
}

// The recorder's file for segment i: the material and one null packet that
// carries i, so that every copy can be told from every other.
inline std::string segment_bytes(const std::string& material, int i) {
    std::string packet(188, '\xff');
    packet[0] = 0x47;
    packet[1] = 0x1f;
    packet[2] = '\xff';
    packet[3] = 0x10;
    const std::string tag = "storm segment " + std::to_string(i);
    packet.replace(4, tag.size(), tag);
    return material + packet;
}

// One run of the daemon, its output appended to the storm's files.
class daemon_run {
public:
    daemon_run(const options& o, const std::string& out) {
        const std::string root = o.root;
        std::vector<std::string> args{o.daemon,
                                      "--ffprobe-path=ffprobe",
                                      "--ffmpeg-path=ffmpeg",
                                      "--lib-path=" + root + "/lib",
                                      "--watch-path=" + root + "/watch",
                                      "--tmp-path=" + root + "/hold",
                                      "--log-file-name=" + root + "/reg.log"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        posix_spawn_file_actions_addchdir_np(&fa, root.c_str());
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        const int r = posix_spawn(&pid_, o.daemon.c_str(), &fa, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&fa);
        if (r != 0) throw std::runtime_error("cannot start " + o.daemon + ": " + strerror(r));
    }
    ~daemon_run() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            wait();
        }
        // The probe output its tool runs leave under /tmp, named by our pid.
        unlink(("/tmp/Brindlewood.ffprobe." + std::to_string(pid_)).c_str());
        unlink(("/tmp/Brindlewood.ffprobe.err." + std::to_string(pid_)).c_str());
    }
    daemon_run(const daemon_run&) = delete;
    daemon_run& operator=(const daemon_run&) = delete;

    // True when the run has ended (reaped).
    bool ended() {
        if (reaped_) return true;
        if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
        return reaped_;
    }
    int wait() {
        while (!reaped_) {
            if (waitpid(pid_, &status_, 0) == pid_ || errno != EINTR) reaped_ = true;
        }
        return status_;
    }
    // The exit status, or nothing at the deadline.
    bool wait_for(std::chrono::milliseconds timeout) {
        const auto until = steady::now() + timeout;
        while (!ended()) {
            if (steady::now() > until) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
    pid_t pid() const { return pid_; }
    int status() const { return status_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// What the daemon was doing, by the last line of its register thread in the
// run's log (each start begins the log anew), as far as the log was written
// when the kill came.
inline std::string last_step(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    bool waiting = false;
    for (const auto& line : lines) waiting |= line.find("watcher_thread_proc: waiting") != std::string::npos;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const auto has = [&](const char* text) { return it->find(text) != std::string::npos; };
        if (has("register_thumb: building thumb")) return "thumbnail";
        if (has("register_thumb(")) return "index append or link removal";
        if (has("copy_file(")) return "thumbnail";
        if (has("duration_ts=")) return "copy";
        if (has("register_thread_proc: [")) return "probe";
    }
    return waiting ? "idle" : "start-up recovery";
}

// Entries of a folder, hidden ones included ("." and ".." not).
inline std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename());
    return names;
}

inline void fault(result* r, const std::string& text) {
    if (r->faults.size() < 20) r->faults.push_back(text);
}

// Every segment registered exactly once, and nothing else in the library.
inline void check(const options& o, result* r) {
    namespace fs = std::filesystem;
    const std::string lib = o.root + "/lib";
    std::map<std::string, int> lines;  // per name, in the right hour's index
    std::error_code ec;
    std::vector<std::string> day_folders;
    for (auto it = fs::recursive_directory_iterator(lib, ec); !ec && it != fs::recursive_directory_iterator();
         ++it) {
        if (it->path().filename() != archive::INDEX_FILE) continue;
        const std::string path = it->path();
        day_folders.push_back(it->path().parent_path().parent_path());
        const std::string text = read_all(path);
        if (text.empty() || text.back() != '\n') {
            ++r->bad_indexes;
            fault(r, path.substr(lib.size()) + " does not end in a newline");
        }
        const int bad = archive::for_each_index_line(text, [&](std::string_view line) {
            archive::index_fields f;
            if (!archive::split_index_line(line, &f)) return false;
            if (archive::index_path(lib, f.t) != path || std::string(f.name) != archive::segment_name(f.t)) {
                ++r->stray_lines;
                fault(r, "stray line in " + path.substr(lib.size()) + ": " + std::string(line));
            } else {
                ++lines[std::string(f.name)];
            }
            return true;
        });
        if (bad != 0) {
            ++r->bad_indexes;
            fault(r, path.substr(lib.size()) + " line " + std::to_string(bad) + " does not parse");
        }
    }
    std::sort(day_folders.begin(), day_folders.end());
    day_folders.erase(std::unique(day_folders.begin(), day_folders.end()), day_folders.end());
    for (const auto& day : day_folders) {
        if (!fs::exists(day + "/" + archive::DAY_MARKER)) {
            ++r->missing_markers;
            fault(r, day.substr(lib.size()) + " has an index and no day marker");
        }
    }
    for (int i = 0; i < o.segments; ++i) {
        const std::string name = segment_name(o, i);
        const int n = lines.count(name) ? lines[name] : 0;
        if (n == 0) ++r->lost, fault(r, name + " has no index line");
        if (n > 1) ++r->twice, fault(r, name + " has " + std::to_string(n) + " index lines");
        lines.erase(name);
        const int64_t t = o.first + 2 * i;
        const std::string hour = lib + "/" + archive::hour_dir(t) + "/";
        if (read_all(hour + name) != segment_bytes(read_all(o.segment), i) ||
            read_all(hour + name) != read_all(o.root + "/watch/" + name)) {
            ++r->bad_copies;
            fault(r, name + ": the copy differs from the recorder's file");
        }
        const auto size = jpeg_size(read_all(hour + std::to_string(t) + ".jpg"));
        if (size != std::make_pair(96, 54)) {
            ++r->bad_thumbs;
            fault(r, name + ": thumbnail " + std::to_string(size.first) + "x" + std::to_string(size.second));
        }
    }
    for (const auto& [name, n] : lines) {
        r->stray_lines += n;
        fault(r, "index lines of an unknown segment " + name);
    }
    for (const auto& name : entries(o.root + "/hold")) {
        ++r->left_over;
        fault(r, "left in the holding folder: " + name);
    }
}

// Writes a file in three parts with short pauses and closes it, as a
// recorder does.
inline void record(const std::string& path, const std::string& bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot write " + path);
    size_t done = 0;
    for (int part = 1; part <= 3; ++part) {
        const size_t until = bytes.size() * part / 3;
        while (done < until) {
            const ssize_t n = write(fd, bytes.data() + done, until - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                close(fd);
                throw std::runtime_error("cannot write " + path);
            }
            done += static_cast<size_t>(n);
        }
        if (part < 3) std::this_thread::sleep_for(10ms);
    }
    close(fd);
}

inline bool all_registered(const options& o) {
    const std::string lib = o.root + "/lib";
    std::map<std::string, std::string> indexes;
    int found = 0;
    for (int i = 0; i < o.segments; ++i) {
        const std::string index = archive::index_path(lib, o.first + 2 * i);
        auto it = indexes.find(index);
        if (it == indexes.end()) it = indexes.emplace(index, read_all(index)).first;
        found += it->second.find(segment_name(o, i) + "\t") != std::string::npos;
    }
    // Hidden names are passed over here: the check counts them, and a start
    // that keeps one would otherwise hold the storm to its deadline.
    const auto hold = entries(o.root + "/hold");
    return found == o.segments &&
           std::all_of(hold.begin(), hold.end(), [](const std::string& n) { return n.starts_with('.'); });
}

// Runs the storm and checks the library. Throws only when the storm cannot
// be set up (a folder, the program).
inline result run(const options& o) {
    for (const char* sub : {"watch", "hold", "lib"}) std::filesystem::create_directories(o.root + "/" + sub);
    const std::string material = read_all(o.segment);
    if (material.empty()) throw std::runtime_error("no material in " + o.segment);
    const std::string out = o.root + "/daemon.out";
    result r;
    r.segments = o.segments;

    std::atomic<bool> recording{true};
    std::atomic<bool> failed{false};
    std::thread recorder([&] {
        try {
            for (int i = 0; i < o.segments; ++i) {
                record(o.root + "/watch/" + segment_name(o, i), segment_bytes(material, i));
                std::this_thread::sleep_for(o.record_every);
            }
        } catch (const std::exception&) {
            failed = true;
        }
        recording = false;
    });

    std::mt19937 random(o.seed);
    std::uniform_int_distribution<int> gap_ms(static_cast<int>(o.min_gap.count()), static_cast<int>(o.max_gap.count()));
    while (recording || r.kills < o.min_kills) {
        daemon_run run(o, out);
        const auto gap = std::chrono::milliseconds(gap_ms(random));
        const auto until = steady::now() + gap;
        bool alone = false;
        while (steady::now() < until && !(alone = run.ended())) std::this_thread::sleep_for(5ms);
        if (alone) {
            ++r.died_alone;
            fault(&r, "a run ended before its kill, status " + std::to_string(run.status()));
            // A daemon that cannot run at all would make this loop endless.
            if (r.died_alone > 3) break;
            continue;
        }
        kill(run.pid(), SIGKILL);
        run.wait();
        ++r.kills;
        const std::string step = last_step(read_all(o.root + "/reg.log"));
        ++r.kill_steps[step];
        if (o.progress) {
            o.progress("kill " + std::to_string(r.kills) + " after " + std::to_string(gap.count()) + " ms, during " +
                       step);
        }
    }
    recorder.join();
    if (failed) throw std::runtime_error("the recorder could not write into " + o.root + "/watch");

    if (o.progress) o.progress("recorder done after " + std::to_string(r.kills) + " kills; the last start drains");
    {
        daemon_run last(o, out);
        const auto until = steady::now() + o.drain;
        while (!(r.drained = all_registered(o)) && steady::now() < until && !last.ended()) {
            std::this_thread::sleep_for(50ms);
        }
        // Everything may be registered before this start has its handlers.
        const auto ready_by = steady::now() + 60s;
        while (!last.ended() && !process_catches(last.pid(), SIGTERM) && steady::now() < ready_by) {
            std::this_thread::sleep_for(5ms);
        }
        if (!last.ended()) kill(last.pid(), SIGTERM);
        if (last.wait_for(60s)) {
            const int status = last.status();
            r.clean_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    check(o, &r);
    return r;
}

}  // namespace storm
