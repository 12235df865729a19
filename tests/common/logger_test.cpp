#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "logger.h"
#include "support/support.h"

using testsupport::read_file;
using testsupport::split_lines;
using testsupport::StderrCapture;
using testsupport::TempDir;

namespace {

// Whether a thread of this process other than the caller is blocked in
// open() or openat(), as the writer is while it waits for a FIFO's reader.
bool another_thread_waits_in_open() {
    const long self = syscall(SYS_gettid);
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        if (std::stol(e.path().filename().string()) == self) continue;
        // "running", or the number of the system call it waits in and its arguments.
        const std::string call = read_file(e.path().string() + "/syscall");
        if (call.empty() || call[0] < '0' || call[0] > '9') continue;
        const long nr = std::stol(call);
#ifdef SYS_open
        if (nr == SYS_open) return true;
#endif
        if (nr == SYS_openat) return true;
    }
    return false;
}

const std::regex line_shape(R"(^(.) \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] (.*)$)");

std::vector<std::string> rotated_files(const std::string& dir, const std::string& stem) {
    std::vector<std::string> names;
    const std::regex rotated(stem + R"(-\d{8}_\d{6})");
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (std::regex_match(name, rotated)) names.push_back(name);
    }
    return names;
}

}  // namespace

TEST(Logger, LineShapeAndMarkers) {
    TempDir tmp;
    const std::string log = tmp / "x.log";
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    logger_printf(1, "x=%d", 5);
    logger_printf(2, "question");
    logger_printf(0, "plain");
    logger_printf(7, "seven");
    logger_printf(0, "ends with a newline\n");
    EXPECT_EQ(logger_release(), 0);

    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 6u);
    const char* markers = "!?   ";
    const char* texts[] = {"x=5", "question", "plain", "seven", "ends with a newline"};
    for (int i = 0; i < 5; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line_shape)) << lines[i];
        EXPECT_EQ(m[1].str()[0], markers[i]);
        EXPECT_EQ(m[2].str(), texts[i]);
    }
    EXPECT_EQ(lines[5], "") << "a format ending in a newline gives an empty line";
}

TEST(Logger, TimeStampIsLocalTime) {
    TempDir tmp;
    const std::string log = tmp / "tz.log";
    setenv("TZ", "Asia/Kathmandu", 1);  // +05:45, so no hour or minute matches UTC by accident
    tzset();
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    const time_t before = time(nullptr);
    logger_printf(0, "when");
    logger_release();
    struct tm local;
    localtime_r(&before, &local);
    char expect[32];
    strftime(expect, sizeof expect, "[%Y-%m-%d %H:%M", &local);
    EXPECT_EQ(read_file(log).substr(2, strlen(expect)), expect);
}

TEST(Logger, ExistingFileIsMovedAsideAtTheFirstLine) {
    TempDir tmp;
    const std::string log = tmp / "d.log";
    testsupport::write_file(log, "from the last run\n");
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    logger_printf(0, "first");
    logger_printf(0, "second");
    logger_release();

    const auto moved = rotated_files(tmp.path(), "d\\.log");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(read_file(tmp / moved[0]), "from the last run\n");
    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("first"), std::string::npos);
}

TEST(Logger, RotationPeriodZeroRotatesEveryNewSecond) {
    TempDir tmp;
    const std::string log = tmp / "r.log";
    logger_dup(0);
    logger_init(log.c_str(), 0);
    // Just after the clock turns, so the writer has the whole second for both.
    const time_t start = time(nullptr);
    while (time(nullptr) == start) usleep(1000);
    logger_printf(0, "one");
    logger_printf(0, "one again");  // same second: no rotation
    // Three lines in three different seconds: each is logged once the writer
    // has written the one before and the clock has moved on since.
    const char* previous = "one again";
    for (const char* text : {"two", "three"}) {
        ASSERT_TRUE(testsupport::wait_until([&] { return read_file(log).find(previous) != std::string::npos; }));
        const time_t now = time(nullptr);
        while (time(nullptr) == now) usleep(20000);
        logger_printf(0, "%s", text);
        previous = text;
    }
    logger_release();
    // The first rotation found no file; the next two moved one aside each.
    EXPECT_EQ(rotated_files(tmp.path(), "r\\.log").size(), 2u);
    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("three"), std::string::npos);
}

TEST(Logger, EmptyNameWritesOnlyToStandardError) {
    TempDir tmp;
    StderrCapture err(tmp / "stderr");
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    logger_dup(1);
    logger_init("", 86400);
    logger_printf(0, "to stderr");
    logger_release();
    err.restore();
    EXPECT_NE(err.text().find("] to stderr\n"), std::string::npos);
    // Nothing but our capture file was created.
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.path())) (void)e, entries++;
    EXPECT_EQ(entries, 1);
}

TEST(Logger, MissingDirectoriesAreCreatedAgainAtTheNextLine) {
    TempDir tmp;
    const std::string log = tmp / "a/b/c/deep.log";
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    logger_printf(0, "deep");
    ASSERT_TRUE(testsupport::wait_until([&] { return testsupport::file_exists(log); }));
    // Removed from outside: the next line creates it again.
    std::filesystem::remove_all(tmp / "a");
    logger_printf(0, "again");
    logger_release();
    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("again"), std::string::npos);
}

TEST(Logger, OverLongTextIsCutTo127990Characters) {
    TempDir tmp;
    const std::string log = tmp / "long.log";
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    const std::string text(200000, 'y');
    logger_printf(0, "%s", text.c_str());
    logger_printf(0, "after");
    logger_release();
    const std::string all = read_file(log);
    const size_t first_end = all.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_EQ(first_end + 1, 127990u);
    EXPECT_NE(all.find("] after\n", first_end), std::string::npos);
}

TEST(Logger, LevelledLinesFilterAndCarryTheSourcePosition) {
    TempDir tmp;
    const std::string log = tmp / "lvl.log";
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    LOG_E("error %d", 1);
    LOG_T("dropped at the start threshold");
    logger_message_level(30);
    LOG_T("trace passes now");
    logger_release();
    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), 2u);
    const std::regex shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[.*logger_test\.cpp:\d+:.*\] (.*)$)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
    EXPECT_EQ(m[1].str(), "error 1");
    ASSERT_TRUE(std::regex_match(lines[1], m, shape)) << lines[1];
    EXPECT_EQ(m[1].str(), "trace passes now");
}

TEST(Logger, ReleaseWithoutStartFails) { EXPECT_EQ(logger_release(), -1); }

TEST(Logger, EveryLineQueuedBeforeReleaseReachesTheFile) {
    TempDir tmp;
    const std::string log = tmp / "all.log";
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    constexpr int threads = 4;
    constexpr int per_thread = 20000;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([t] {
            for (int i = 0; i < per_thread; ++i) logger_printf(0, "t%d line %d", t, i);
        });
    }
    for (auto& th : pool) th.join();
    logger_release();
    const auto lines = split_lines(read_file(log));
    ASSERT_EQ(lines.size(), static_cast<size_t>(threads * per_thread));
    // Each thread's lines stay in the order it wrote them.
    std::vector<int> next(threads, 0);
    for (const auto& line : lines) {
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str() + line.find("] ") + 2, "t%d line %d", &t, &i), 2) << line;
        ASSERT_EQ(i, next[t]) << line;
        next[t]++;
    }
}

// The writer is held up (its log file is a FIFO nobody reads yet, and the
// name is too long to be moved aside), so lines pile up: exactly 500000 are
// kept, the next is dropped with the overflow message, and once a reader
// comes every kept line is written.
TEST(Logger, FullQueueDropsTheNextLineWithTheOverflowMessage) {
    TempDir tmp;
    const std::string log = tmp / std::string(250, 'f');
    ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
    StderrCapture err(tmp / "stderr");
    logger_dup(0);
    logger_init(log.c_str(), 86400);
    logger_printf(0, "line 0");
    // Wait until the writer has taken line 0 and blocks opening the FIFO.
    ASSERT_TRUE(testsupport::wait_until(another_thread_waits_in_open, std::chrono::seconds(60)));
    for (int i = 1; i <= MAX_MSG_CNT; ++i) logger_printf(0, "line %d", i);
    logger_printf(0, "one too many");
    EXPECT_EQ(err.text(), "ERROR! message queue OVERFLOW!!!\n");

    size_t newlines = 0;
    std::string last;
    std::thread reader([&] {
        char buf[65536];
        while (newlines < static_cast<size_t>(MAX_MSG_CNT) + 1) {
            const int fd = open(log.c_str(), O_RDONLY);
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                newlines += static_cast<size_t>(std::count(buf, buf + n, '\n'));
                last.assign(buf, static_cast<size_t>(n));
            }
            close(fd);
        }
    });
    reader.join();
    logger_release();
    err.restore();
    EXPECT_EQ(newlines, static_cast<size_t>(MAX_MSG_CNT) + 1);
    EXPECT_NE(last.find("line 500000\n"), std::string::npos);
    EXPECT_EQ(last.find("one too many"), std::string::npos);
}
