// What the tests share: temporary folders, real daemon processes, files,
// waiting with a deadline, and generated MPEG-TS segments.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

using namespace std::chrono_literals;

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
std::vector<std::string> split_lines(const std::string& text);

// Polls pred until it holds or the deadline passes; returns its last value.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s);

// Initialises spawn attributes for a child that starts with default signal
// dispositions and an empty mask, whatever the test process has installed,
// with more POSIX_SPAWN_ flags when given; the caller destroys them.
void default_signals(posix_spawnattr_t* attr, short more_flags = 0);

// A real process started from a program path, its standard output and error
// going to files. The destructor kills and reaps it if it still runs.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& args, const std::string& work_dir,
            const std::vector<std::string>& env = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // The exit status (as the shell shows it: 128 + n for signal n), or
    // nothing when the process is still running at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = 10s);
    bool running();
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string out_path_;
    std::string err_path_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to completion (killed after the time-out).
RunResult run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::milliseconds timeout = 30s, const std::string& work_dir = "");

// Kinds of generated segment.
enum class Media { video_and_audio, audio_only, video_only };

// Writes an MPEG-TS segment of the given length (H.264 testsrc and AAC sine)
// to path. Segments are generated once per kind and length and then copied.
void make_segment(const std::string& path, double seconds = 6.0, Media media = Media::video_and_audio);

// The duration ffprobe measures for a media file, in seconds (-1 on failure).
double probe_duration(const std::string& path);
// Width and height of the first video stream ("WxH"), empty on failure.
std::string probe_size(const std::string& path);
// The codec name of the first stream ffprobe reports ("mjpeg" for a JPEG).
std::string probe_codec(const std::string& path);

// Sends standard error to a file for as long as the object lives (or until
// restore()).
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path);
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    void restore();
    std::string text() const { return read_file(path_); }

private:
    std::string path_;
    int saved_ = -1;
};

// Checks a daemon's usage text: the banner with the build's version, then
// the fixed lines, which are the same for both daemons but the name.
void expect_usage(const std::string& text, const std::string& program);

// Writes an executable stand-in for a media tool: a run whose arguments hold
// marker hangs for ever (the sleeping program is the run itself, so it
// makes no progress at all); every other run is the real program.
void write_hanging_tool(const std::string& path, const std::string& marker, const std::string& real);

// A small tmpfs of `size` ("800k", "8m") mounted on a folder (made if
// missing) for as long as the object lives. Mounting needs root: error()
// says why it did not happen, for a GTEST_SKIP.
class SmallFileSystem {
public:
    SmallFileSystem(const std::string& at, const std::string& size);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    const std::string& error() const { return error_; }
    bool resize(const std::string& size);

private:
    std::string at_;
    std::string error_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

// The descriptors a process holds, and how many of them are sockets of
// connections (every TCP socket but the listening ones); all is -1 when the
// process is gone.
struct descriptor_count {
    int all = -1;
    int connections = 0;
};
descriptor_count process_descriptors(pid_t pid);

}  // namespace testsupport
