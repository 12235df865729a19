// A real register daemon on fresh watch, holding and library directories,
// and what the tests read back from its log and library.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/support.h"

namespace regtest {

using namespace testsupport;

// Marker and text of every line of a log, without the time stamp.
inline std::vector<std::string> log_texts(const std::string& log) {
    std::vector<std::string> texts;
    for (const auto& line : split_lines(read_file(log))) {
        const size_t at = line.find("] ");
        if (line.size() > 2 && at != std::string::npos) texts.push_back(line.substr(0, 1) + line.substr(at + 2));
    }
    return texts;
}

inline bool has_line(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

class Daemon {
public:
    explicit Daemon(const std::string& lib_name = "lib") : lib(dir / lib_name) {
        std::filesystem::create_directories(watch);
        std::filesystem::create_directories(tmp);
    }
    // The probe output files the daemon's runs leave in /tmp.
    ~Daemon() {
        for (pid_t pid : pids_) {
            unlink(("/tmp/Brindlewood.ffprobe." + std::to_string(pid)).c_str());
            unlink(("/tmp/Brindlewood.ffprobe.err." + std::to_string(pid)).c_str());
        }
    }

    // Starts the daemon and, when watching is expected, waits until it is.
    void start(const std::vector<std::string>& extra = {}, const std::vector<std::string>& env = {},
               bool watching = true) {
        std::vector<std::string> args{"--ffprobe-path=ffprobe", "--ffmpeg-path=ffmpeg", "--lib-path=" + lib,
                                      "--watch-path=" + watch, "--tmp-path=" + tmp, "--log-file-name=" + log};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!wrapper.empty()) {
            args.insert(args.begin(), BRINDLEWOOD_BIN);
            args.insert(args.begin(), wrapper.begin() + 1, wrapper.end());
        }
        proc_ = std::make_unique<Process>(wrapper.empty() ? BRINDLEWOOD_BIN : wrapper[0], args, dir.path(), env);
        pids_.push_back(proc_->pid());
        if (watching) {
            ASSERT_TRUE(wait_for(" watcher_thread_proc: waiting..."));
        }
    }

    // Stops with SIGTERM and checks the shutdown lines come in their order.
    void stop() {
        proc_->signal(SIGTERM);
        const auto status = proc_->wait_exit(20s);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, 0) << proc_->err();
        const auto texts = log_texts(log);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), " Bye!");
        // The segment in hand may still log while main waits for it.
        auto at = texts.begin();
        for (const char* line : {" main: waiting watcher...", " main: finished watcher", " main: waiting register...",
                                 " main: finished register", " Bye!"}) {
            at = std::find(at, texts.end(), line);
            EXPECT_NE(at, texts.end()) << line << " in order in\n" << read_file(log);
        }
    }

    // Writes a generated segment into the watch directory and closes it.
    void close_segment(const std::string& name, Media media = Media::video_and_audio) {
        make_segment(watch + "/" + name, 6.0, media);
    }

    // A line (marker first, then the text) shows up in the log.
    bool wait_for(const std::string& text) {
        return wait_until([&] { return has_line(log_texts(log), text); }, 30s);
    }

    // The register thread has finished with name.
    void wait_done(const std::string& name) {
        ASSERT_TRUE(wait_for(" register_thread_proc: [" + name + "]"));
        ASSERT_TRUE(wait_until([&] { return !file_exists(tmp + "/" + name); }, 30s));
    }

    std::vector<std::string> index(const std::string& hour) {
        return split_lines(read_file(lib + "/" + hour + "/index.cvs"));
    }
    std::string probe_out() const { return "/tmp/Brindlewood.ffprobe." + std::to_string(proc_->pid()); }
    pid_t pid() const { return proc_->pid(); }

    TempDir dir;
    std::string watch = dir / "watch";
    std::string tmp = dir / "hold";
    std::string lib;
    std::string log = dir / "reg.log";
    // A program that runs the daemon (setpriv and its options), when set.
    std::vector<std::string> wrapper;

private:
    std::unique_ptr<Process> proc_;
    std::vector<pid_t> pids_;
};

// Files below a directory (none when it does not exist).
inline int count_files(const std::string& root) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); ++it) {
        n += it->is_regular_file();
    }
    return n;
}

}  // namespace regtest
