// The real BrindlewoodClient prune on libraries laid out as the register
// daemon fills them, hours placed around the current UTC hour, and on a
// tasks folder as the export daemon leaves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client_fixture.h"

using namespace clienttest;
namespace fs = std::filesystem;

namespace {

constexpr long long HOUR_S = 3600;

// The start of the current UTC hour. Close to its end it waits for the next
// one, so that the hours a test places do not shift while it runs.
long long settled_hour() {
    long long now = time(nullptr);
    if (HOUR_S - now % HOUR_S < 20) {
        std::this_thread::sleep_for(std::chrono::seconds(HOUR_S - now % HOUR_S + 1));
        now = time(nullptr);
    }
    return now - now % HOUR_S;
}

// An hour as the register daemon leaves it: `segments` six-second segments
// of `bytes` bytes each, their thumbnails, one index line each, and the day
// marker. Its path below the library.
std::string add_hour(const std::string& lib, long long start, int segments = 2, size_t bytes = 0) {
    const std::string rel = utc_hour_dir(start);
    fs::create_directories(lib + "/" + rel);
    std::string index;
    for (int i = 0; i < segments; ++i) {
        const std::string t = std::to_string(start + 6 * i);
        write_file(lib + "/" + rel + "/" + t + ".ts", std::string(bytes, 'x'));
        write_file(lib + "/" + rel + "/" + t + ".jpg", "jpeg");
        index += t + ".ts\t" + t + "\t540000\t" + std::to_string(126000 + 540000 * i) + "\n";
    }
    write_file(lib + "/" + rel + "/index.cvs", index);
    write_file(lib + "/" + utc_text(start, "%Y/%m/%d") + "/here", "");
    return rel;
}

// Every path below root, folders and links included (links not followed),
// a link marked with " ->".
std::set<std::string> tree(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        paths.insert(e.path().lexically_relative(root).string() + (e.is_symlink() ? " ->" : ""));
    }
    return paths;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// What removing an hour folder gives back, counted as prune counts it.
unsigned long long blocks_of(const std::string& folder) {
    unsigned long long bytes = 0;
    struct stat st;
    if (lstat(folder.c_str(), &st) == 0) bytes += st.st_blocks * 512ULL;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (lstat(e.path().c_str(), &st) == 0) bytes += st.st_blocks * 512ULL;
    }
    return bytes;
}

unsigned long long free_bytes(const std::string& path) {
    struct statvfs v;
    return statvfs(path.c_str(), &v) == 0 ? static_cast<unsigned long long>(v.f_bavail) * v.f_frsize : 0;
}

// One run's output: the folders it lists and its one summary line.
struct Pruned {
    int status = -1;
    std::string err;
    std::vector<std::string> listed;  // "hour YYYY/MM/DD/HH", "task NNNNN", in order
    int summaries = 0;
    bool dry = false;
    long hours = -1;
    unsigned long long hour_bytes = 0;
    long tasks = -1;
    unsigned long long free = 0;
};

Pruned prune(std::vector<std::string> args) {
    args.insert(args.begin(), "prune");
    const RunResult r = client(args, 60s);
    static const std::regex summary_re(
        R"(prune: (removed|would remove) (\d+) hours? \((\d+) bytes, [0-9.]+ [KMGTP]?i?B\), (\d+) task folders? )"
        R"(\((\d+) bytes, [0-9.]+ [KMGTP]?i?B\); (free|free would be) (\d+) bytes \([0-9.]+ [KMGTP]?i?B, \d+%\) )"
        R"(on the library's file system)");
    Pruned p;
    p.status = r.status;
    p.err = r.err;
    for (const auto& line : split_lines(r.out)) {
        std::smatch m;
        if (line.starts_with("hour ") || line.starts_with("task ")) {
            p.listed.push_back(line);
        } else if (std::regex_match(line, m, summary_re)) {
            ++p.summaries;
            p.dry = m[1] == "would remove";
            p.hours = std::stol(m[2]);
            p.hour_bytes = std::stoull(m[3]);
            p.tasks = std::stol(m[4]);
            p.free = std::stoull(m[7]);
        } else {
            ADD_FAILURE() << "unexpected output line: " << line;
        }
    }
    EXPECT_EQ(p.summaries, 1) << r.out << r.err;
    return p;
}

std::vector<std::string> hour_lines(const std::vector<std::string>& rels) {
    std::vector<std::string> lines;
    for (const auto& rel : rels) lines.push_back("hour " + rel);
    return lines;
}

void set_mtime(const std::string& path, long long t) {
    const struct timespec times[2] = {{static_cast<time_t>(t), 0}, {static_cast<time_t>(t), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// A task folder as the export daemon leaves it: every file it writes, the
// playlist naming the segments of `hours` under `root`, the state changed
// at `changed`.
void add_task(const std::string& tasks, int n, int state, long long changed, const std::string& root = "",
              const std::vector<long long>& hours = {}) {
    const std::string dir = task_folder(tasks, n);
    fs::create_directories(dir);
    write_file(dir + "/index.json", R"({ "lib_idx": 0, "title": "t", "head_offs": 0, "tail_rem": 0, "length": 6, )"
                                    R"("date": "d", "from": "f", "to": "t" })");
    std::string playlist =
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n"
        "#EXT-X-PLAYLIST-TYPE:VOD\n";
    for (long long t : hours) {
        playlist += "#EXT-X-DISCONTINUITY\n#EXTINF: 6.000000\n" + root + "/" + utc_hour_dir(t) + "/" +
                    std::to_string(t) + ".ts\n";
    }
    write_file(dir + "/playlist.m3u8", playlist + "#EXT-X-ENDLIST\n");
    for (const char* f : {"thumb.jpg", "thumb.log", "cut.mp4", "cut.log"}) write_file(dir + "/" + f, "x");
    write_file(dir + "/state", std::to_string(state));
    set_mtime(dir + "/state", changed);
}

}  // namespace

// Hours past --keep-days go with the day, month and year folders they
// empty; a dry run lists exactly what the real run then removes; the
// current and the previous hour stay even with --keep-days 0.
TEST(Prune, AgeRemovesOldHoursAndTheFoldersTheyEmpty) {
    TempDir dir;
    const std::string lib = dir / "lib";
    const long long now_hour = settled_hour();
    // Two hours of a day long ago (the year and month hold nothing else),
    // one of another year, and hours from 100 hours ago to the current one.
    const std::string y2020a = add_hour(lib, 1580504400);  // 2020-01-31 21:00
    const std::string y2020b = add_hour(lib, 1580508000);  // 2020-01-31 22:00
    const std::string y2021 = add_hour(lib, 1619863200);   // 2021-05-01 10:00
    std::map<int, std::string> ago;                        // hours before the current one
    for (int h : {100, 75, 50, 30, 5, 2, 1, 0}) ago[h] = add_hour(lib, now_hour - h * HOUR_S);

    // 48 hours: the hour that started 49 hours ago ended more than 48 ago.
    const auto before = tree(lib);
    const Pruned dry = prune({"--lib-path", lib, "--keep-days", "2", "--dry-run"});
    EXPECT_EQ(dry.status, 0) << dry.err;
    const std::vector<std::string> due = {y2020a, y2020b, y2021, ago[100], ago[75], ago[50]};
    EXPECT_EQ(dry.listed, hour_lines(due));
    EXPECT_TRUE(dry.dry);
    EXPECT_EQ(dry.hours, 6);
    unsigned long long due_bytes = 0;
    for (const auto& rel : due) due_bytes += blocks_of(lib + "/" + rel);
    EXPECT_EQ(dry.hour_bytes, due_bytes);
    EXPECT_EQ(tree(lib), before) << "a dry run removes nothing";

    const Pruned real = prune({"--lib-path", lib, "--keep-days", "2"});
    EXPECT_EQ(real.status, 0) << real.err;
    EXPECT_EQ(real.listed, dry.listed);
    EXPECT_FALSE(real.dry);
    EXPECT_EQ(real.hour_bytes, dry.hour_bytes);
    EXPECT_TRUE(real.err.empty()) << real.err;
    for (const auto& rel : due) EXPECT_FALSE(exists(lib + "/" + rel)) << rel;
    EXPECT_FALSE(exists(lib + "/2020")) << "the emptied day, month and year go, the day marker with them";
    EXPECT_FALSE(exists(lib + "/2021"));
    for (int h : {100, 75, 50}) {
        const std::string day = utc_text(now_hour - h * HOUR_S, "%Y/%m/%d");
        const bool shared = day == ago[30].substr(0, 10);  // the day of a kept hour stays
        EXPECT_EQ(exists(lib + "/" + day), shared) << day;
    }
    for (int h : {30, 5, 2, 1, 0}) {
        EXPECT_TRUE(exists(lib + "/" + ago[h] + "/index.cvs")) << ago[h];
        EXPECT_TRUE(exists(lib + "/" + ago[h].substr(0, 10) + "/here")) << ago[h];
    }

    const auto previous_before = tree(lib + "/" + ago[1]);
    const auto current_before = tree(lib + "/" + ago[0]);
    const Pruned all = prune({"--lib-path", lib, "--keep-days", "0"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.listed, hour_lines({ago[30], ago[5], ago[2]}));
    EXPECT_EQ(tree(lib + "/" + ago[1]), previous_before) << "the previous hour is untouched";
    EXPECT_EQ(tree(lib + "/" + ago[0]), current_before) << "the current hour is untouched";
    for (int h : {1, 0}) EXPECT_TRUE(exists(lib + "/" + ago[h].substr(0, 10) + "/here"));
    EXPECT_FALSE(exists(lib + "/" + ago[30].substr(0, 10))) << "its day held nothing else";
}

// On a small file system filled with real bytes: --min-free removes the
// oldest hours until the free space holds and stops there; one it cannot
// reach takes every hour but the protected ones and says so.
TEST(Prune, MinFreeRemovesOldestFirstUntilItHolds) {
    TempDir dir;
    const std::string lib = dir / "lib";
    SmallFileSystem small(lib, "8m");
    if (!small.error().empty()) GTEST_SKIP() << small.error();
    const long long now_hour = settled_hour();
    std::vector<std::string> old;
    for (int h = 17; h >= 10; --h) old.push_back(add_hour(lib, now_hour - h * HOUR_S, 1, 512 * 1024));
    const std::string previous = add_hour(lib, now_hour - HOUR_S, 1, 512 * 1024);
    const std::string current = add_hour(lib, now_hour, 1, 512 * 1024);

    // Three and a half hours short: four go.
    const unsigned long long free_before = free_bytes(lib);
    std::vector<unsigned long long> sizes;
    for (const auto& rel : old) sizes.push_back(blocks_of(lib + "/" + rel));
    const unsigned long long wanted = free_before + sizes[0] + sizes[1] + sizes[2] + sizes[3] / 2;
    const Pruned p = prune({"--lib-path", lib, "--min-free", std::to_string(wanted)});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.listed, hour_lines({old[0], old[1], old[2], old[3]}));
    EXPECT_EQ(p.hour_bytes, sizes[0] + sizes[1] + sizes[2] + sizes[3]);
    EXPECT_GE(free_bytes(lib), wanted);
    EXPECT_EQ(p.free, free_bytes(lib));
    for (size_t i = 4; i < old.size(); ++i) EXPECT_TRUE(exists(lib + "/" + old[i] + "/index.cvs")) << old[i];

    const Pruned again = prune({"--lib-path", lib, "--min-free", std::to_string(wanted)});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.listed.empty()) << "the limit holds: nothing goes";

    const Pruned unreachable = prune({"--lib-path", lib, "--min-free", "99%"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_EQ(unreachable.listed, hour_lines({old[4], old[5], old[6], old[7]}));
    EXPECT_NE(unreachable.err.find("--min-free is not reached"), std::string::npos) << unreachable.err;
    EXPECT_NE(unreachable.err.find("only protected hours are left"), std::string::npos) << unreachable.err;
    EXPECT_TRUE(exists(lib + "/" + previous + "/index.cvs"));
    EXPECT_TRUE(exists(lib + "/" + current + "/index.cvs"));
}

// The tasks folder: the hours a queued or running task plays stay, whatever
// the root its playlist names them under; finished tasks past
// --keep-tasks-days go, but never the highest-numbered one, nor anything
// else a task folder holds.
TEST(Prune, TasksInUseKeepTheirHoursAndFinishedOnesGo) {
    TempDir dir;
    const std::string lib = dir / "lib";
    const std::string tasks = dir / "tasks";
    const long long now_hour = settled_hour();
    const long long now = time(nullptr);
    const long long days20 = now - 20 * 86400;
    const std::string h80 = add_hour(lib, now_hour - 80 * HOUR_S);
    const std::string h60 = add_hour(lib, now_hour - 60 * HOUR_S);
    const std::string h50 = add_hour(lib, now_hour - 50 * HOUR_S);
    add_task(tasks, 1, 2, days20);
    // A part a killed run left is the task's own and goes with it.
    write_file(task_folder(tasks, 1) + "/.part-999-cut.mp4", "half");
    add_task(tasks, 2, 3, days20);
    write_file(task_folder(tasks, 2) + "/notes.txt", "mine");
    add_task(tasks, 3, 0, days20, "/mnt/elsewhere//library", {now_hour - 80 * HOUR_S + 6});
    add_task(tasks, 4, 1, days20, "relative/lib", {now_hour - 60 * HOUR_S, now_hour - 60 * HOUR_S + 6});
    add_task(tasks, 5, -2, days20);
    add_task(tasks, 6, 2, now - 86400);
    add_task(tasks, 7, 2, days20);
    fs::create_directories(tasks + "/00008.old");

    // Without --keep-tasks-days the tasks folder only protects.
    const auto tasks_before = tree(tasks);
    const Pruned protect = prune({"--lib-path", lib, "--keep-days", "1", "--tasks-path", tasks});
    EXPECT_EQ(protect.status, 0) << protect.err;
    EXPECT_EQ(protect.listed, hour_lines({h50}));
    EXPECT_TRUE(exists(lib + "/" + h80 + "/index.cvs"));
    EXPECT_TRUE(exists(lib + "/" + h60 + "/index.cvs"));
    EXPECT_EQ(tree(tasks), tasks_before);

    const Pruned both =
        prune({"--lib-path", lib, "--keep-days", "1", "--tasks-path", tasks, "--keep-tasks-days", "14"});
    EXPECT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(both.listed, (std::vector<std::string>{"task 00001", "task 00005"}));
    EXPECT_EQ(both.tasks, 2);
    EXPECT_FALSE(exists(task_folder(tasks, 1)));
    EXPECT_FALSE(exists(task_folder(tasks, 5)));
    // A task folder holding something else stays whole, still a task the
    // daemon can load.
    EXPECT_TRUE(exists(task_folder(tasks, 2) + "/notes.txt"));
    EXPECT_TRUE(exists(task_folder(tasks, 2) + "/index.json"));
    EXPECT_TRUE(exists(task_folder(tasks, 2) + "/state"));
    EXPECT_NE(both.err.find("task folder 00002 holds notes.txt"), std::string::npos) << both.err;
    for (int n : {3, 4, 6, 7}) EXPECT_TRUE(exists(task_folder(tasks, n) + "/state")) << n;
    EXPECT_TRUE(exists(tasks + "/00008.old"));
    EXPECT_TRUE(exists(lib + "/" + h80 + "/index.cvs"));
    EXPECT_TRUE(exists(lib + "/" + h60 + "/index.cvs"));

    // Once the queued task is done its hour may go; the running one's stays.
    write_file(task_folder(tasks, 3) + "/state", "2");
    const Pruned done = prune({"--lib-path", lib, "--keep-days", "1", "--tasks-path", tasks});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.listed, hour_lines({h80}));
    EXPECT_TRUE(exists(lib + "/" + h60 + "/index.cvs"));
}

// Whatever prune does not know it leaves alone: stray files, and symbolic
// links, which it never follows, nor what they point to. Folders that are
// missing or not a library are refused with a reason, and so are bad values.
TEST(Prune, LeavesStraysAndLinksAloneAndRefusesWhatIsNoLibrary) {
    TempDir dir;
    const std::string lib = dir / "lib";
    const std::string outside = dir / "outside";
    const long long now_hour = settled_hour();
    // A folder outside the library that looks like an hour of it.
    fs::create_directories(outside);
    write_file(outside + "/1580511600.ts", "not the library's");
    write_file(outside + "/index.cvs", "1580511600.ts\t1580511600\t540000\t0\n");
    const std::string with_note = add_hour(lib, now_hour - 100 * HOUR_S);
    write_file(lib + "/" + with_note + "/notes.txt", "mine");
    const std::string with_link = add_hour(lib, now_hour - 90 * HOUR_S);
    fs::create_symlink(outside + "/1580511600.ts", lib + "/" + with_link + "/1580511600.ts");
    add_hour(lib, 1580504400);                                      // 2020/01/31/21
    fs::create_directory_symlink(outside, lib + "/2020/01/31/22");  // an hour's name
    fs::create_directory_symlink(outside, lib + "/2019");           // a year's name
    write_file(lib + "/README", "the library");
    const auto outside_before = tree(outside);

    const Pruned p = prune({"--lib-path", lib, "--keep-days", "1"});
    EXPECT_EQ(p.status, 0) << p.err;
    EXPECT_EQ(p.listed, hour_lines({"2020/01/31/21", with_note, with_link}));
    EXPECT_EQ(tree(outside), outside_before);
    EXPECT_EQ(read_file(outside + "/1580511600.ts"), "not the library's");
    EXPECT_EQ(tree(lib + "/" + with_note), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(tree(lib + "/" + with_link), std::set<std::string>{"1580511600.ts ->"});
    EXPECT_NE(p.err.find(with_note + " holds notes.txt, which prune leaves alone"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find(with_link + " holds 1580511600.ts, which prune leaves alone"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("2020/01/31 holds 22, which prune leaves alone"), std::string::npos) << p.err;
    EXPECT_TRUE(exists(lib + "/2020/01/31/22"));
    EXPECT_TRUE(exists(lib + "/2019"));
    EXPECT_TRUE(exists(lib + "/README"));
    // The hours kept for what they hold count once: the next run finds
    // nothing of them to remove.
    const Pruned again = prune({"--lib-path", lib, "--keep-days", "1"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(again.listed.empty());
    EXPECT_EQ(again.hours, 0);

    // Refusals: one line each, exit status 1, nothing removed.
    const std::string not_lib = dir / "photos";
    fs::create_directories(not_lib + "/2023-holiday");
    write_file(not_lib + "/2023-holiday/a.jpg", "a");
    write_file(not_lib + "/notes.txt", "n");
    const std::string empty = dir / "empty";
    fs::create_directories(empty);
    const std::string due = add_hour(lib, now_hour - 200 * HOUR_S);
    struct Refusal {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Refusal> refusals = {
        {{"--lib-path", not_lib, "--keep-days", "0"}, not_lib + " does not look like a media library"},
        {{"--lib-path", dir / "missing", "--keep-days", "0"},
         "the library folder " + (dir / "missing") + " does not exist"},
        {{"--lib-path", lib, "--keep-days", "1", "--tasks-path", dir / "no-tasks"},
         "the tasks folder " + (dir / "no-tasks") + " does not exist"},
        {{"--lib-path", lib, "--keep-days", "-1"}, "--keep-days takes a number of days"},
        {{"--lib-path", lib, "--min-free", "10X"}, "--min-free takes bytes"},
        {{"--lib-path", lib, "--min-free", "100%"}, "--min-free takes bytes"},
        {{"--lib-path", lib}, "prune needs a limit"},
        {{"--lib-path", lib, "--keep-days", "1", "--keep-tasks-days", "3"}, "--keep-tasks-days needs --tasks-path"},
    };
    for (const auto& r : refusals) {
        std::vector<std::string> args = r.args;
        args.insert(args.begin(), "prune");
        const RunResult run_result = client(args, 60s);
        EXPECT_EQ(run_result.status, 1) << r.says;
        EXPECT_EQ(split_lines(run_result.err).size(), 1u) << run_result.err;
        EXPECT_NE(run_result.err.find("BrindlewoodClient: " + r.says), std::string::npos) << run_result.err;
    }
    EXPECT_TRUE(exists(not_lib + "/notes.txt"));
    EXPECT_TRUE(exists(not_lib + "/2023-holiday/a.jpg"));
    EXPECT_TRUE(exists(lib + "/" + due + "/index.cvs")) << "a refused run removes nothing";

    const Pruned fresh = prune({"--lib-path", empty, "--keep-days", "1"});
    EXPECT_EQ(fresh.status, 0) << "an empty folder is a new library: " << fresh.err;
    EXPECT_EQ(fresh.hours, 0);
}
