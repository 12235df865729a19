// The real register daemon across a kill and a restart: what closed while it
// was down is registered at the next start, and nothing is registered twice.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <map>
#include <thread>

#include "helpers.h"

using namespace regtest;

namespace {

const std::string HOUR = "2020/09/13/12";

std::string name_at(int i) { return std::to_string(1600000000 + 6 * i) + ".ts"; }

// How often each name stands in the hour's index.
std::map<std::string, int> index_counts(Daemon& d) {
    std::map<std::string, int> counts;
    for (const auto& line : d.index(HOUR)) ++counts[line.substr(0, line.find('\t'))];
    return counts;
}

// Writes text into the watch folder in two parts and closes it, as a
// recorder does.
void record(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    const size_t half = text.size() / 2;
    ASSERT_EQ(write(fd, text.data(), half), static_cast<ssize_t>(half));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(fd, text.data() + half, text.size() - half), static_cast<ssize_t>(text.size() - half));
    close(fd);
}

}  // namespace

// A recorder writes 50 segments; the daemon is killed with SIGKILL while it
// works and started again once the recorder has closed another segment.
// Every segment ends up in the library exactly once: one index line, its
// copy and its thumbnail.
TEST(RegisterRestart, KillMidWayLosesNoneAndRegistersNoneTwice) {
    constexpr int total = 50;
    Daemon d;
    make_segment(d.dir / "seg.ts");
    const std::string segment = read_file(d.dir / "seg.ts");
    d.start();
    // The last segments wait for the kill, however fast the daemon works, so
    // that some close while it is down.
    constexpr int after_kill = 5;
    std::atomic<bool> killed{false};
    std::atomic<int> written{0};
    std::thread recorder([&] {
        for (int i = 0; i < total; ++i) {
            if (i == total - after_kill) wait_until([&] { return killed.load(); }, 300s);
            record(d.watch + "/" + name_at(i), segment);
            ++written;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
    ASSERT_TRUE(wait_until([&] { return d.index(HOUR).size() >= 10; }, 60s));
    kill(d.pid(), SIGKILL);
    killed = true;
    const size_t before = d.index(HOUR).size();
    const int written_at_kill = written;
    ASSERT_TRUE(wait_until([&] { return written > written_at_kill; }, 60s));
    d.start();
    recorder.join();
    ASSERT_TRUE(wait_until([&] { return index_counts(d).size() == total && count_files(d.tmp) == 0; }, 180s))
        << index_counts(d).size() << " of " << total << " indexed";
    d.stop();
    // The restart's log: what it found closed while no daemon ran, and the
    // links the killed one left.
    int closed_while_down = 0, leftover = 0;
    for (const auto& t : log_texts(d.log)) {
        if (!t.starts_with(" register_recover: [")) continue;
        closed_while_down += t.ends_with("closed while the daemon was down, queued");
        leftover += t.ends_with("by an earlier run, queued");
    }
    std::cout << "indexed before the kill: " << before << " of " << total << "; at the restart " << closed_while_down
              << " closed while down, " << leftover << " leftover links\n";
    EXPECT_GT(closed_while_down, 0) << "the recorder went on while the daemon was down";

    int once = 0;
    const auto counts = index_counts(d);
    for (int i = 0; i < total; ++i) {
        const std::string name = name_at(i);
        const auto it = counts.find(name);
        EXPECT_TRUE(it != counts.end() && it->second == 1) << name;
        once += it != counts.end() && it->second == 1;
        EXPECT_TRUE(read_file(d.lib + "/" + HOUR + "/" + name) == segment) << name;
        EXPECT_GT(read_file(d.lib + "/" + HOUR + "/" + name.substr(0, name.size() - 3) + ".jpg").size(), 0u) << name;
    }
    std::cout << "registered exactly once: " << once << " of " << total << "\n";
    EXPECT_EQ(d.index(HOUR).size(), static_cast<size_t>(total));
}

// What a start finds, case by case: the library's state decides whether a
// segment is registered, passed over, or only has its leftover link removed;
// a file still being written waits for its close.
TEST(RegisterRestart, AStartRegistersWhatTheLibraryLacks) {
    Daemon d;
    make_segment(d.dir / "seg.ts");
    const std::string segment = read_file(d.dir / "seg.ts");
    const std::string hour = d.lib + "/" + HOUR;
    std::filesystem::create_directories(hour);
    auto line = [](int i) { return name_at(i) + "\t" + std::to_string(1600000000 + 6 * i) + "\t540000\t126000"; };
    for (int i = 0; i <= 5; ++i) write_file(d.watch + "/" + name_at(i), segment);
    // 0: in the library. 1: too, and a kill came before its link went.
    // 2: copied, not indexed. 3: a copy cut short. 4: not there at all.
    write_file(d.lib + "/" + HOUR + "/index.cvs", line(0) + "\n" + line(1) + "\n");
    for (int i : {0, 1, 2}) write_file(hour + "/" + name_at(i), segment);
    write_file(hour + "/" + name_at(3), segment.substr(0, segment.size() / 2));
    std::filesystem::create_hard_link(d.watch + "/" + name_at(1), d.tmp + "/" + name_at(1));
    // 5: still open for writing (not by the daemon: close-on-exec). 6: only
    // its link is left.
    const int writer = open((d.watch + "/" + name_at(5)).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    write_file(d.tmp + "/" + name_at(6), segment);
    for (const char* other : {"notes.txt", "1600000100.TS"}) write_file(d.watch + "/" + other, "x");
    // The next hour's one segment: copied and its line whole but for the
    // newline, which a crash cut off.
    const std::string next = "1600003600.ts";
    std::filesystem::create_directories(d.lib + "/2020/09/13/13");
    write_file(d.watch + "/" + next, segment);
    write_file(d.lib + "/2020/09/13/13/" + next, segment);
    write_file(d.lib + "/2020/09/13/13/index.cvs", next + "\t1600003600\t540000\t126000");
    // A hidden copy that a crash cut short.
    const std::string part = "." + name_at(7) + ".part";
    write_file(d.tmp + "/" + part, segment.substr(0, 1000));

    d.start();
    for (int i : {2, 3, 4, 6}) d.wait_done(name_at(i));
    d.wait_done(next);
    EXPECT_FALSE(file_exists(d.tmp + "/" + name_at(1)));
    EXPECT_EQ(index_counts(d).count(name_at(5)), 0u) << "not while it is written";
    close(writer);
    d.wait_done(name_at(5));
    d.stop();

    std::vector<std::string> names;
    for (const auto& l : d.index(HOUR)) names.push_back(l.substr(0, l.find('\t')));
    EXPECT_EQ(names, (std::vector<std::string>{name_at(0), name_at(1), name_at(2), name_at(3), name_at(4), name_at(6),
                                               name_at(5)}));
    for (int i = 0; i <= 6; ++i) EXPECT_TRUE(read_file(hour + "/" + name_at(i)) == segment) << i;
    EXPECT_EQ(count_files(d.tmp), 0);
    const auto log = log_texts(d.log);
    EXPECT_TRUE(has_line(log, " register_recover: [" + name_at(1) + "] is in the library already, its link removed"));
    EXPECT_TRUE(has_line(log, " register_recover: [" + name_at(5) + "] is still open for writing, left to its close"));
    EXPECT_TRUE(has_line(log, " register_recover: [" + name_at(6) + "] left in [" + d.tmp + "] by an earlier run, queued"));
    EXPECT_TRUE(has_line(log, " register_recover: [" + next + "] closed while the daemon was down, queued"));
    for (int i : {2, 3, 4}) {
        EXPECT_TRUE(has_line(log, " register_recover: [" + name_at(i) + "] closed while the daemon was down, queued")) << i;
    }
    for (int i : {0, 1}) EXPECT_FALSE(has_line(log, " register_thread_proc: [" + name_at(i) + "]")) << i;
    EXPECT_TRUE(has_line(log, " register_recover: [" + part + "] left in [" + d.tmp + "] by a crash, removed"));
    // 1's kill came before its day was marked: the start marks it.
    EXPECT_TRUE(has_line(log, " register_recover: [" + d.lib + "/2020/09/13/here] was missing, made"));
    EXPECT_TRUE(file_exists(d.lib + "/2020/09/13/here"));
}
