// The watcher of the real daemon: which closes it sees, what it queues, and
// that only a stop ends it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <filesystem>

#include "helpers.h"

using namespace regtest;

namespace {

std::vector<pid_t> threads_of(pid_t pid) {
    std::vector<pid_t> tids;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        tids.push_back(static_cast<pid_t>(std::stoi(e.path().filename())));
    }
    return tids;
}

int position(const std::vector<std::string>& texts, const std::string& text) {
    const auto it = std::find(texts.begin(), texts.end(), text);
    return it == texts.end() ? -1 : static_cast<int>(it - texts.begin());
}

}  // namespace

TEST(RegisterWatcher, OnlyTsNamesClosedDirectlyInTheWatchDirectory) {
    Daemon d;
    d.start();
    const std::vector<std::string> refused{"x.TS", "1600000000.ts.tmp", "list.m3u8", "1600000000.ts.ts", "part.tmp"};
    for (const auto& name : refused) write_file(d.watch + "/" + name, "data");
    // Written under another name or elsewhere and moved in, linked in, or
    // written in a subdirectory: no close in the watch directory itself.
    std::filesystem::rename(d.watch + "/part.tmp", d.watch + "/1600000100.ts");
    write_file(d.dir / "outside.ts", "data");
    std::filesystem::rename(d.dir / "outside.ts", d.watch + "/1600000200.ts");
    write_file(d.dir / "other.ts", "data");
    std::filesystem::create_hard_link(d.dir / "other.ts", d.watch + "/1600000300.ts");
    std::filesystem::create_directory(d.watch + "/sub");
    write_file(d.watch + "/sub/1600000400.ts", "data");
    d.close_segment("1600000500.ts");
    d.wait_done("1600000500.ts");
    d.stop();

    const auto log = log_texts(d.log);
    for (const auto& name : refused) EXPECT_TRUE(has_line(log, " watcher_thread_proc: IN_CLOSE_WRITE [" + name + "]")) << name;
    int closes = 0, taken = 0;
    for (const auto& t : log) {
        closes += t.starts_with(" watcher_thread_proc: IN_CLOSE_WRITE [");
        taken += t.starts_with(" register_thread_proc: [") && t.ends_with("]");
        EXPECT_FALSE(t.starts_with("!register_enqueue")) << t;
    }
    EXPECT_EQ(closes, static_cast<int>(refused.size()) + 1);
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(d.index("2020/09/13/12").size(), 1u);
    EXPECT_EQ(count_files(d.tmp), 0);
}

TEST(RegisterWatcher, ChildAndPipeSignalsOnAnyThreadDoNotEndIt) {
    Daemon d;
    d.start();
    for (int round = 0; round < 3; ++round) {
        for (pid_t tid : threads_of(d.pid())) {
            syscall(SYS_tgkill, d.pid(), tid, SIGCHLD);
            syscall(SYS_tgkill, d.pid(), tid, SIGPIPE);
        }
    }
    d.close_segment("1600000000.ts");
    d.wait_done("1600000000.ts");
    EXPECT_EQ(d.index("2020/09/13/12").size(), 1u);
    d.stop();
    const auto log = log_texts(d.log);
    for (const auto& t : log) EXPECT_FALSE(t.starts_with("!watcher_thread_proc")) << t;
    const int waiting = position(log, " main: waiting watcher...");
    const int exiting = position(log, " watcher_thread_proc: exiting...");
    EXPECT_TRUE(waiting >= 0 && waiting < exiting && exiting < position(log, " main: finished watcher"));
}

TEST(RegisterWatcher, AnUnwatchableDirectoryEndsOnlyTheWatcher) {
    Daemon d;
    std::filesystem::remove(d.watch);
    make_segment(d.tmp + "/1600000000.ts");
    d.start({}, {}, false);
    ASSERT_TRUE(d.wait_for("!watcher_thread_proc: inotify_add_watch(" + d.watch +
                           ") failed, errno=-2 [No such file or directory]"));
    // Links from an earlier run are still registered.
    d.wait_done("1600000000.ts");
    EXPECT_EQ(d.index("2020/09/13/12").size(), 1u);
    d.stop();
    EXPECT_FALSE(has_line(log_texts(d.log), " watcher_thread_proc: exiting..."));
}
