// The real register daemon with real ffprobe and ffmpeg on generated
// segments: what reaches the library, what fails, and what survives a stop.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <regex>

#include "helpers.h"

using namespace regtest;

namespace {

// A value of the first video stream as ffprobe itself reports it.
long long probe_value(const std::string& path, const std::string& key) {
    const std::string cmd = "ffprobe -v error -select_streams v:0 -show_entries stream=" + key +
                            " -of default=nw=1:nk=1 '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    long long v = -1;
    if (p && fscanf(p, "%lld", &v) != 1) v = -1;
    if (p) pclose(p);
    return v;
}

// Position of the first line at or after from that starts with prefix and
// whose rest matches rest; -1 when there is none.
int find_line(const std::vector<std::string>& texts, const std::string& prefix, const std::string& rest = "",
              int from = 0) {
    for (int i = from; i < static_cast<int>(texts.size()); ++i) {
        if (texts[i].starts_with(prefix) && std::regex_match(texts[i].substr(prefix.size()), std::regex(rest))) return i;
    }
    return -1;
}

mode_t current_umask() {
    const mode_t m = umask(0);
    umask(m);
    return m;
}

}  // namespace

TEST(RegisterDaemon, WorkedExampleEndToEnd) {
    Daemon d;
    d.start();
    d.close_segment("1600000000.ts");
    d.wait_done("1600000000.ts");
    const std::string hour = d.lib + "/2020/09/13/12";
    const std::string copy = hour + "/1600000000.ts";
    const std::string thumb = hour + "/1600000000.jpg";
    EXPECT_EQ(read_file(copy), read_file(d.watch + "/1600000000.ts"));
    EXPECT_EQ(probe_codec(thumb), "mjpeg");
    EXPECT_EQ(probe_size(thumb), "96x54");
    const long long duration = probe_value(copy, "duration_ts");
    const long long start = probe_value(copy, "start_pts");
    EXPECT_EQ(duration, 540000);
    EXPECT_EQ(d.index("2020/09/13/12"),
              std::vector<std::string>{"1600000000.ts\t1600000000\t" + std::to_string(duration) + "\t" +
                                       std::to_string(start)});
    EXPECT_EQ(read_file(d.lib + "/2020/09/13/here"), "");
    EXPECT_FALSE(file_exists(d.tmp + "/1600000000.ts"));
    EXPECT_TRUE(file_exists(d.probe_out())) << "the last probe's output stays";
    struct stat st;
    ASSERT_EQ(stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~current_umask());
    ASSERT_EQ(stat(hour.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777 & ~current_umask());

    d.stop();
    const auto log = log_texts(d.log);
    int at = find_line(log, " watcher_thread_proc: IN_CLOSE_WRITE [1600000000.ts]");
    for (const auto& [prefix, rest] : std::vector<std::pair<std::string, std::string>>{
             {" register_thread_proc: [1600000000.ts]", ""},
             {" register_thread_proc: [1600000000.ts] duration_ts=540000, start_pts=" + std::to_string(start) +
                  ", idle=", "\\d+us"},
             {" register_thread_proc: copy_file([" + d.tmp + "/1600000000.ts], [" + copy + "]) takes ", "\\d+us"},
             {" register_thumb: building thumb (" + thumb + ")...", ""},
             {"!register_thread_proc: register_thumb(" + copy + ", " + thumb + ") success, idle=", "\\d+us"}}) {
        ASSERT_GE(at, 0) << read_file(d.log);
        at = find_line(log, prefix, rest, at + 1);
        EXPECT_GE(at, 0) << prefix;
    }
}

TEST(RegisterDaemon, TheHourIsTheNamesTimeInUtc) {
    Daemon d;
    d.start({}, {"TZ=Asia/Kathmandu"});
    for (const char* name : {"0.ts", "-1.ts", "1600001998.ts", "1600002000.ts", "1600000000_7.ts"}) {
        d.close_segment(name);
        d.wait_done(name);
    }
    const std::string line = "\\t[1-9][0-9]*\\t-?[0-9]+";
    auto expect_index = [&](const std::string& hour, const std::vector<std::string>& lines) {
        const auto got = d.index(hour);
        ASSERT_EQ(got.size(), lines.size()) << hour;
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(got[i], std::regex(lines[i] + line))) << got[i];
    };
    expect_index("1970/01/01/00", {"0\\.ts\\t0"});
    expect_index("1969/12/31/23", {"-1\\.ts\\t-1"});
    expect_index("2020/09/13/12", {"1600001998\\.ts\\t1600001998", "1600000000_7\\.ts\\t1600000000"});
    expect_index("2020/09/13/13", {"1600002000\\.ts\\t1600002000"});
    EXPECT_TRUE(file_exists(d.lib + "/2020/09/13/12/1600000000_7.jpg"));
    EXPECT_TRUE(file_exists(d.lib + "/1969/12/31/here"));
    d.stop();
}

TEST(RegisterDaemon, UnprobeableAndUnparsableSegmentsLeaveNothing) {
    Daemon d;
    d.start();
    d.close_segment("1600000000.ts", Media::audio_only);
    const std::vector<std::string> unparsable{"abc.ts", "99999999999999999.ts", "99999999999999999999.ts"};
    for (const auto& name : unparsable) d.close_segment(name);
    d.wait_done("1600000000.ts");
    for (const auto& name : unparsable) d.wait_done(name);
    EXPECT_FALSE(file_exists(d.lib)) << "not even an hour directory";
    EXPECT_EQ(count_files(d.watch), 4) << "the recorder's files are untouched";
    EXPECT_EQ(count_files(d.tmp), 0);
    d.stop();
    const auto log = log_texts(d.log);
    EXPECT_TRUE(has_line(log, "!register_thread_proc: register_ffprobe(1600000000.ts), r=0, duration_ts=0 failed"));
    for (const auto& name : unparsable) EXPECT_TRUE(has_line(log, "!register_thread_proc: failed to parse [" + name + "]"));
}

// A name that would break the index (a tab or a line end in it) is refused
// and quoted escaped, so it can neither corrupt the index nor forge a line;
// nor is it taken up again at the next start.
TEST(RegisterDaemon, NamesWithControlCharactersAreRefusedAndQuotedEscaped) {
    Daemon d;
    d.start();
    const std::string forged = "1600000000\n! [2026-12-08 03:00:00.000] sighandler: [1] catched 15\t.ts";
    d.close_segment(forged);
    d.close_segment("1600000006.ts");
    d.wait_done("1600000006.ts");
    const std::string escaped = "1600000000\\n! [2026-12-08 03:00:00.000] sighandler: [1] catched 15\\t.ts";
    EXPECT_TRUE(d.wait_for("!watcher_thread_proc: [" + escaped +
                           "] holds a control character, which the index cannot hold; not registered"));
    const auto index = d.index("2020/09/13/12");
    ASSERT_EQ(index.size(), 1u);
    EXPECT_TRUE(index[0].starts_with("1600000006.ts\t1600000006\t540000\t")) << index[0];
    EXPECT_EQ(count_files(d.tmp), 0);
    d.stop();
    const std::string first_log = d.log;
    d.log = d.dir / "second.log";
    d.start();
    d.stop();
    for (const auto& log : {first_log, d.log}) {
        for (const auto& line : split_lines(read_file(log))) {
            EXPECT_FALSE(line.starts_with("! [2026-12-08 03:00:00.000] sighandler: [1]")) << line;
        }
    }
    EXPECT_EQ(read_file(d.log).find("holds a control character"), std::string::npos) << "not taken up again";
    EXPECT_EQ(count_files(d.lib), 4) << "the good segment, its thumbnail, the index and the day's marker";
}

TEST(RegisterDaemon, MissingToolsLeaveWhatTheFailureTableStates) {
    {
        Daemon d;
        d.start({"--ffprobe-path=" + d.dir / "no-ffprobe"});
        d.close_segment("1600000000.ts");
        d.wait_done("1600000000.ts");
        EXPECT_FALSE(file_exists(d.lib));
        d.stop();
        const auto log = log_texts(d.log);
        EXPECT_TRUE(has_line(log, " register_ffprobe: ffprobe(" + d.tmp + "/1600000000.ts)=-2"));
        EXPECT_TRUE(has_line(log, "!register_thread_proc: register_ffprobe(1600000000.ts), r=-2, duration_ts=0 failed"));
    }
    Daemon d;
    d.start({"--ffmpeg-path=" + d.dir / "no-ffmpeg"});
    d.close_segment("1600000000.ts");
    d.wait_done("1600000000.ts");
    const std::string hour = d.lib + "/2020/09/13/12";
    EXPECT_EQ(read_file(hour + "/1600000000.ts"), read_file(d.watch + "/1600000000.ts"));
    EXPECT_EQ(count_files(d.lib), 1) << "only the copy: no thumbnail, index or day marker";
    EXPECT_FALSE(file_exists(d.tmp + "/1600000000.ts"));
    d.stop();
    EXPECT_TRUE(has_line(log_texts(d.log), "!register_thread_proc: register_thumb(" + hour + "/1600000000.ts, " + hour +
                                               "/1600000000.jpg) failed, r=-2"));
}

TEST(RegisterDaemon, RecorderRemovalAndRepeatedCloses) {
    Daemon d;
    d.start();
    // Removed by the recorder while its registration is pending.
    d.close_segment("1600000000.ts");
    ASSERT_TRUE(wait_until([&] { return file_exists(d.tmp + "/1600000000.ts"); }));
    unlink((d.watch + "/1600000000.ts").c_str());
    // Closed again while pending: the second link fails; closed again once
    // done: registered a second time.
    // The kernel merges a close into an identical one not yet read.
    d.close_segment("1600000006.ts");
    ASSERT_TRUE(wait_until([&] { return file_exists(d.tmp + "/1600000006.ts"); }));
    close(open((d.watch + "/1600000006.ts").c_str(), O_WRONLY));
    d.wait_done("1600000000.ts");
    d.wait_done("1600000006.ts");
    close(open((d.watch + "/1600000006.ts").c_str(), O_WRONLY));
    ASSERT_TRUE(wait_until([&] { return d.index("2020/09/13/12").size() == 3; }));
    const auto lines = d.index("2020/09/13/12");
    EXPECT_TRUE(lines[0].starts_with("1600000000.ts\t"));
    EXPECT_TRUE(lines[1].starts_with("1600000006.ts\t"));
    EXPECT_EQ(lines[2], lines[1]);
    EXPECT_EQ(count_files(d.lib), 6) << "two copies, two thumbnails, the index, the day marker";
    d.stop();
    EXPECT_TRUE(has_line(log_texts(d.log), "!register_enqueue: link([" + d.watch + "/1600000006.ts], [" + d.tmp +
                                                "/1600000006.ts]) failed -17 (File exists)"));
}

TEST(RegisterDaemon, LibraryPathsHoldingTsOrTooLongToFit) {
    {
        Daemon d("my.ts.lib");
        d.start();
        d.close_segment("1600000000.ts");
        d.wait_done("1600000000.ts");
        const std::string thumb = d.lib + "/2020/09/13/12/1600000000.ts.jpg";
        EXPECT_EQ(probe_size(thumb), "96x54");
        EXPECT_EQ(d.index("2020/09/13/12").size(), 1u);
        d.stop();
    }
    // The copy's path takes 4095 bytes, so its thumbnail's would be cut.
    TempDir probe_dir;
    std::string rel = "L";
    const size_t want = 4095 - 28 - probe_dir.path().size() - 1;
    while (rel.size() < want) rel += "/" + std::string(std::min<size_t>(200, want - rel.size() - 1), 'x');
    Daemon d(rel);
    ASSERT_EQ(d.lib.size() + 28, 4095u) << "the fixture's directory has the probe's length";
    d.start();
    d.close_segment("1600000000.ts");
    d.wait_done("1600000000.ts");
    EXPECT_FALSE(file_exists(d.dir / "L"));
    d.stop();
    EXPECT_TRUE(has_line(log_texts(d.log), "!register_thread_proc: path too long for [1600000000.ts] in [" + d.lib + "]"));
}

TEST(RegisterDaemon, LeftoverLinksAreRegisteredOldestFirst) {
    Daemon d;
    for (const char* t : {"1600000300", "1600000100", "1600000200"}) make_segment(d.tmp + "/" + t + ".ts");
    write_file(d.tmp + "/notes.txt", "kept");
    d.start();
    for (const char* name : {"1600000100.ts", "1600000200.ts", "1600000300.ts"}) d.wait_done(name);
    const auto lines = d.index("2020/09/13/12");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("1600000100.ts\t") && lines[1].starts_with("1600000200.ts\t") &&
                lines[2].starts_with("1600000300.ts\t"));
    EXPECT_EQ(read_file(d.tmp + "/notes.txt"), "kept");
    d.stop();
    const auto log = log_texts(d.log);
    int at = -1;
    for (const char* name : {"1600000100.ts", "1600000200.ts", "1600000300.ts"}) {
        at = find_line(log, " register_recover: [" + std::string(name) + "] left in [" + d.tmp + "] by an earlier run, queued", "", at + 1);
        EXPECT_GE(at, 0) << name;
    }
}

TEST(RegisterDaemon, AStopDuringABurstLeavesTheRestForTheNextStart) {
    Daemon d;
    std::vector<std::string> names;
    for (int i = 0; i < 16; ++i) names.push_back(std::to_string(1600000000 + 6 * i) + ".ts");
    make_segment(d.dir / "seg.ts");
    d.start();
    for (const auto& name : names) std::filesystem::copy_file(d.dir / "seg.ts", d.watch + "/" + name);
    ASSERT_TRUE(wait_until([&] { return !d.index("2020/09/13/12").empty(); }, 30s));
    d.stop();

    // Every segment is either indexed with its link gone, or untouched with
    // its link kept.
    const auto indexed = d.index("2020/09/13/12");
    int kept = 0;
    for (const auto& name : names) {
        const bool in_index = std::any_of(indexed.begin(), indexed.end(), [&](auto& l) { return l.starts_with(name + "\t"); });
        const bool linked = file_exists(d.tmp + "/" + name);
        EXPECT_NE(in_index, linked) << name;
        EXPECT_EQ(file_exists(d.lib + "/2020/09/13/12/" + name), in_index) << name;
        kept += linked;
    }
    EXPECT_GT(kept, 0);

    d.start();
    ASSERT_TRUE(wait_until([&] { return d.index("2020/09/13/12").size() == names.size(); }, 120s));
    ASSERT_TRUE(wait_until([&] { return count_files(d.tmp) == 0; }));
    d.stop();
    auto lines = d.index("2020/09/13/12");
    for (auto& l : lines) l = l.substr(0, l.find('\t'));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, names) << "each segment once";
}
