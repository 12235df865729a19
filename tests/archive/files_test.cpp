// The rules of the files the programs share, on text: index lines, segment
// and thumbnail names and times, task folder names, state files and
// playlists, each written and read back by the same code.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <tuple>
#include <vector>

#include "archive/library.h"
#include "archive/playlist.h"
#include "archive/task_store.h"
#include "support/support.h"

using namespace archive;

namespace {

std::string thumb_of(const std::string& copy, size_t size = PATH_MAX) {
    char out[PATH_MAX];
    return thumb_name(copy, out, size) ? out : "<does not fit>";
}

}  // namespace

TEST(IndexLine, WrittenLinesReadBackAndMalformedOnesAreRefused) {
    const std::string line = index_line("1600000000.ts", 1600000000, 540000, 126000);
    EXPECT_EQ(line, "1600000000.ts\t1600000000\t540000\t126000\n");
    for (const auto& [name, t, d, pts] : {std::tuple{"1600000000.ts", int64_t{1600000000}, int64_t{540000}, int64_t{126000}},
                                          std::tuple{"-1.ts", int64_t{-1}, int64_t{1}, int64_t{-3600}},
                                          std::tuple{"9_7.ts", INT64_MAX, INT64_MAX, INT64_MIN}}) {
        const std::string written = index_line(name, t, d, pts);
        auto e = parse_index_line(std::string_view(written).substr(0, written.size() - 1));
        ASSERT_TRUE(e.has_value()) << written;
        EXPECT_EQ(index_line(e->name, e->t, e->duration_ts, e->start_pts), written);
    }
    auto e = parse_index_line("1600000000.ts\t1600000000\t540000\t126000\r");
    ASSERT_TRUE(e.has_value());
    EXPECT_DOUBLE_EQ(e->seconds(), 6.0);
    EXPECT_FALSE(parse_index_line("1600000000.ts\t1600000000\t540000").has_value());
    EXPECT_FALSE(parse_index_line("x.ts\tnot-a-number\t540000\t0").has_value());
    EXPECT_FALSE(parse_index_line("x.ts\t5\t0\t0").has_value()) << "a zero duration is never indexed";
    EXPECT_FALSE(parse_index_line("\t5\t90000\t0").has_value());
    EXPECT_FALSE(parse_index_line("x.ts\t5\t90000\t0\t1").has_value());
}

TEST(LibraryLayout, HourFoldersAreUtcAndReadBack) {
    setenv("TZ", "Asia/Kathmandu", 1);
    tzset();
    EXPECT_EQ(hour_dir(0), "1970/01/01/00");
    EXPECT_EQ(hour_dir(-1), "1969/12/31/23");
    EXPECT_EQ(hour_dir(1619866799), "2021/05/01/10");
    EXPECT_EQ(hour_dir(1619866800), "2021/05/01/11");
    EXPECT_EQ(hour_dir_start("2021/05/01/11"), 1619866800);
    for (const char* bad : {"2021/13/01/11", "2021/05/00/11", "2021/05/01/24", "2021/05/01", "21/05/01/11x"}) {
        EXPECT_FALSE(hour_dir_start(bad).has_value()) << bad;
    }
    EXPECT_EQ(index_path("/lib", 1600000000), "/lib/2020/09/13/12/index.cvs");
    struct tm utc = {};
    int64_t t = 0;
    ASSERT_TRUE(segment_time("1600000000.ts", &t, &utc));
    segment_files f;
    ASSERT_TRUE(segment_files_of("/lib", "1600000000.ts", utc, &f));
    EXPECT_STREQ(f.copy, "/lib/2020/09/13/12/1600000000.ts");
    EXPECT_STREQ(f.thumb, "/lib/2020/09/13/12/1600000000.jpg");
    EXPECT_STREQ(f.here, "/lib/2020/09/13/here");
    EXPECT_FALSE(segment_files_of(std::string(4090, 'l').c_str(), "1600000000.ts", utc, &f));
}

TEST(SegmentNames, OnlyAFirstTsAtTheEndCounts) {
    for (const char* yes : {"1600000000.ts", "a.ts", ".ts", "1600000000_7.ts"}) EXPECT_TRUE(first_ts_ends(yes)) << yes;
    for (const char* no : {"1.TS", "1.ts.tmp", "1.ts.ts", "list.m3u8", "ts", "", "1.t"}) {
        EXPECT_FALSE(first_ts_ends(no)) << no;
    }
    EXPECT_TRUE(is_canonical_segment_name(segment_name(-1), -1));
    EXPECT_FALSE(is_canonical_segment_name("01.ts", 1));
    EXPECT_FALSE(segment_name_is_clean("1\t2.ts"));
}

TEST(SegmentNames, ThumbnailReplacesTheOnlyTsOrAppends) {
    EXPECT_EQ(thumb_of("/lib/2020/09/13/12/1600000000.ts"), "/lib/2020/09/13/12/1600000000.jpg");
    EXPECT_EQ(thumb_of("/my.ts.lib/2020/09/13/12/1600000000.ts"), "/my.ts.lib/2020/09/13/12/1600000000.ts.jpg");
    EXPECT_EQ(thumb_of("/lib/1.ts.ts"), "/lib/1.ts.ts.jpg");
    // "/l/1.jpg" needs 9 bytes with its terminator.
    EXPECT_EQ(thumb_of("/l/1.ts", 9), "/l/1.jpg");
    EXPECT_EQ(thumb_of("/l/1.ts", 8), "<does not fit>");
}

TEST(SegmentNames, TimeIsTheLeadingNumberBrokenDownInUtc) {
    setenv("TZ", "Asia/Kathmandu", 1);
    tzset();
    struct Case {
        const char* name;
        int64_t t;
        int year, mon, mday, hour;
    };
    for (const Case& c : {Case{"1600000000.ts", 1600000000, 120, 8, 13, 12}, Case{"-1.ts", -1, 69, 11, 31, 23},
                          Case{"0.ts", 0, 70, 0, 1, 0}, Case{" +1600001998_3.ts", 1600001998, 120, 8, 13, 12}}) {
        int64_t t = 0;
        struct tm tm = {};
        ASSERT_TRUE(segment_time(c.name, &t, &tm)) << c.name;
        EXPECT_EQ(t, c.t);
        EXPECT_EQ(std::vector<int>({tm.tm_year, tm.tm_mon, tm.tm_mday, tm.tm_hour}),
                  std::vector<int>({c.year, c.mon, c.mday, c.hour}))
            << c.name;
    }
    // No number, out of range, and a year beyond the calendar's reach.
    for (const char* bad : {"abc.ts", "-.ts", ".ts", "99999999999999999999.ts", "99999999999999999.ts"}) {
        int64_t t = 5;
        struct tm tm = {};
        EXPECT_FALSE(segment_time(bad, &t, &tm)) << bad;
        EXPECT_EQ(t, 5);
    }
}

TEST(TaskFolder, FolderNamesAndStatesRoundTrip) {
    for (int n : {0, 7, 42, 99999, 123456, INT_MAX, -1}) {
        int back = 12345;
        EXPECT_TRUE(task_folder_number(task_folder(n), &back)) << n;
        EXPECT_EQ(back, n);
    }
    EXPECT_EQ(task_folder(7), "00007");
    for (const char* no : {"42", "000042", "00042.old", ".00005", "~00004", "", "+0042", " 00042", "2147483648"}) {
        int back = 0;
        EXPECT_FALSE(task_folder_number(no, &back)) << no;
    }
    for (int v : {0, 1, 2, 3, -2, -22, INT_MIN, 4}) {
        task_state s = task_state::done;
        ASSERT_TRUE(parse_task_state(task_state_text(task_state_of(v)), &s)) << v;
        EXPECT_EQ(task_state_value(s), v);
    }
    task_state s = task_state::queued;
    EXPECT_TRUE(parse_task_state(" 2\n", &s));
    EXPECT_EQ(s, task_state::done);
    for (const char* no : {"", "-", "+2", "2x", "1 2", "99999999999"}) EXPECT_FALSE(parse_task_state(no, &s)) << no;
    EXPECT_STREQ(task_state_name(task_state::failed), "failed");
    EXPECT_EQ(task_state_name(task_state_of(-2)), nullptr);
    EXPECT_TRUE(task_state_ended(task_state_of(-2)));
    EXPECT_FALSE(task_state_ended(task_state::running));
}

TEST(TaskFolder, StateFileIsWrittenAndReadBackThroughPathAndFolder) {
    testsupport::TempDir tmp;
    const std::string tasks = tmp / "tasks";
    ASSERT_EQ(write_task_state(tasks.c_str(), 12, task_state_of(-2)), 0);
    EXPECT_EQ(testsupport::read_file(tasks + "/00012/state"), "-2");
    task_state s = task_state::queued;
    EXPECT_EQ(read_task_state(tasks.c_str(), 12, &s), 0);
    EXPECT_EQ(task_state_value(s), -2);
    testsupport::write_file(tasks + "/00012/state", "x");
    EXPECT_EQ(read_task_state(tasks.c_str(), 12, &s), -22);
    EXPECT_EQ(read_task_state(tasks.c_str(), 13, &s), -ENOENT);
    const unique_fd folder(open((tasks + "/00012").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_EQ(write_task_state(tasks.c_str(), 12, task_state::running), 0);
    struct stat st = {};
    EXPECT_EQ(read_task_state_at(folder.get(), &s, &st), 0);
    EXPECT_EQ(s, task_state::running);
    EXPECT_EQ(st.st_size, 1);
}

// A new task as the daemon stores it: drafted, moved into place whole and
// never over a folder that exists; files written whole leave no part behind;
// the kept number reads back and nothing else counts as one.
TEST(TaskFolder, DraftsPartsAndTheKeptNumber) {
    testsupport::TempDir tmp;
    const std::string tasks = tmp / "tasks";
    char drafts[PATH_MAX];
    ASSERT_TRUE(task_drafts_path(drafts, sizeof drafts, tasks.c_str()));
    EXPECT_EQ(std::string(drafts), tasks + "/.drafts");
    ASSERT_EQ(write_task_file(drafts, 7, TASK_META, "{ }"), 0);
    ASSERT_EQ(write_task_state(drafts, 7, task_state::queued), 0);
    EXPECT_FALSE(testsupport::file_exists(tasks + "/00007"));
    ASSERT_EQ(publish_task_draft(tasks.c_str(), 7), 0);
    EXPECT_EQ(testsupport::read_file(tasks + "/00007/index.json"), "{ }");
    EXPECT_EQ(testsupport::read_file(tasks + "/00007/state"), "0");
    const auto names = [&](const std::string& dir) {
        std::set<std::string> got;
        for (const auto& e : std::filesystem::directory_iterator(dir)) got.insert(e.path().filename());
        return got;
    };
    EXPECT_EQ(names(tasks + "/00007"), (std::set<std::string>{"index.json", "state"})) << "no part is left";
    EXPECT_TRUE(names(drafts).empty());

    // A draft of a number whose folder exists stays a draft, the folder as
    // it was; a start removes it and says how many there were.
    ASSERT_EQ(write_task_file(drafts, 7, TASK_META, "{ \"other\": 1 }"), 0);
    ASSERT_EQ(write_task_file(drafts, 8, TASK_META, "{ }"), 0);
    EXPECT_EQ(publish_task_draft(tasks.c_str(), 7), -EEXIST);
    EXPECT_EQ(testsupport::read_file(tasks + "/00007/index.json"), "{ }");
    EXPECT_EQ(remove_task_drafts(tasks.c_str()), 2);
    EXPECT_FALSE(testsupport::file_exists(drafts));
    EXPECT_EQ(remove_task_drafts(tasks.c_str()), 0);

    // A tool's output is synced where it is; what a killed run left goes
    // before the task runs again: parts and outputs, nothing else.
    EXPECT_EQ(task_part_name(TASK_STATE), ".part-state");
    EXPECT_TRUE(is_task_part_file(".part-state"));
    EXPECT_FALSE(is_task_part_file(TASK_CUT));
    EXPECT_TRUE(is_task_output(TASK_CUT) && is_task_output(TASK_THUMB));
    EXPECT_FALSE(is_task_output(TASK_CUT_LOG) || is_task_output(TASK_META));
    EXPECT_EQ(sync_task_output(tasks.c_str(), 7, TASK_CUT), -ENOENT);
    testsupport::write_file(tasks + "/00007/cut.mp4", "half");
    EXPECT_EQ(sync_task_output(tasks.c_str(), 7, TASK_CUT), 0);
    testsupport::write_file(tasks + "/00007/thumb.jpg", "half");
    testsupport::write_file(tasks + "/00007/.part-state", "1");
    EXPECT_EQ(remove_task_outputs(tasks.c_str(), 7), 3);
    EXPECT_EQ(names(tasks + "/00007"), (std::set<std::string>{"index.json", "state"}));

    int next = 0;
    EXPECT_EQ(read_task_sequence(tasks.c_str(), &next), -ENOENT);
    ASSERT_EQ(write_task_sequence(tasks.c_str(), 9), 0);
    ASSERT_EQ(read_task_sequence(tasks.c_str(), &next), 0);
    EXPECT_EQ(next, 9);
    EXPECT_EQ(testsupport::read_file(tasks + "/.task-sequence"), "9");
    EXPECT_FALSE(testsupport::file_exists(tasks + "/.task-sequence.new"));
    for (const char* no : {"", "x", "0", "-3", "12a", "2147483647", "99999999999"}) {
        testsupport::write_file(tasks + "/.task-sequence", no);
        next = 5;
        EXPECT_EQ(read_task_sequence(tasks.c_str(), &next), -22) << no;
        EXPECT_EQ(next, 5);
    }
}

TEST(Playlist, EntriesNameTheirHoursForTheReader) {
    std::string text;
    playlist_begin(&text);
    playlist_add(&text, "/mnt/lib0", 1619863200, 540000);
    playlist_add(&text, "/mnt/lib0", 1619866800, 90000);
    playlist_end(&text);
    EXPECT_EQ(text,
              "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n"
              "#EXT-X-DISCONTINUITY\n#EXTINF: 6.000000\n/mnt/lib0/2021/05/01/10/1619863200.ts\n"
              "#EXT-X-DISCONTINUITY\n#EXTINF: 1.000000\n/mnt/lib0/2021/05/01/11/1619866800.ts\n"
              "#EXT-X-ENDLIST\n");
    std::set<std::string> hours;
    playlist_hours(text, &hours);
    EXPECT_EQ(hours, (std::set<std::string>{"2021/05/01/10", "2021/05/01/11"}));
    EXPECT_EQ(playlist_entry_hour("/srv/2021/05/01/10/x.ts\r"), "2021/05/01/10");
    EXPECT_FALSE(playlist_entry_hour("/srv/2021/05/01/24/x.ts").has_value());
    EXPECT_FALSE(playlist_entry_hour("#EXTINF: 6.000000").has_value());
}
