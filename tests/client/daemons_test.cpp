// The real client against a real export daemon, real ffmpeg and a library of
// generated segments across an hour boundary.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "exporter/http_client.h"

using namespace clienttest;

namespace {

// The test library, one recording: six-second segments from 10:59:42 to
// 11:00:18 and a last one of three seconds at 11:00:18, ending at 11:00:21.
const std::vector<long long> SEGMENT_TIMES = {HOUR - 18, HOUR - 12, HOUR - 6, HOUR, HOUR + 6, HOUR + 12, HOUR + 18};

// How long the clip of a span comes out. The playlist is entered at the
// start of `from`'s segment (the keyframe the recorder puts there, and
// nowhere else). By default the clip starts there; with --exact the MP4 edit
// list hides what comes before `from`.
double clip_seconds(long long first_segment, long long from, long long to, bool exact) {
    return static_cast<double>(to - (exact ? from : first_segment));
}

std::string iso(long long t) { return utc_text(t, "%Y-%m-%dT%H:%M:%SZ"); }

class ClientAgainstDaemon : public ::testing::Test {
protected:
    // Fills the library, leaving out the segments in `missing`.
    void fill(const std::set<long long>& missing = {}) {
        const auto& segments = recording();
        ASSERT_EQ(segments.size(), SEGMENT_TIMES.size()) << "ffmpeg could not make the recording";
        for (size_t i = 0; i < SEGMENT_TIMES.size(); ++i) {
            if (!missing.contains(SEGMENT_TIMES[i])) lib.add(SEGMENT_TIMES[i], segments[i]);
        }
    }

    void start(const std::string& ffmpeg = "ffmpeg") {
        daemon = std::make_unique<ExportDaemon>(dir, lib.root(), ffmpeg);
        ASSERT_TRUE(daemon->ready()) << daemon->log();
    }

    void TearDown() override {
        if (daemon) {
            EXPECT_EQ(daemon->stop(), 0) << daemon->log();
        }
    }

    std::vector<std::string> clip_args(long long from, long long to, const std::string& title = "clip") const {
        return {"clip",      "--port", daemon->port_arg(), "--lib-path", lib.root(), "--from",       iso(from),
                "--to",      iso(to),  "--title",          title,        "--wait",   "--tasks-path", daemon->tasks(),
                "--timeout", "120"};
    }

    // Runs clip --wait and checks that it followed one task to done; the
    // task's number, or -1.
    int clip_done(long long from, long long to, const std::string& title, const std::vector<std::string>& extra) {
        auto args = clip_args(from, to, title);
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult r = client(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const Followed f = followed(r.out);
        EXPECT_EQ(f.tasks.size(), 1u) << r.out;
        if (f.tasks.size() != 1 || f.states.empty()) return -1;
        EXPECT_EQ(f.states.front(), "queued") << r.out;
        EXPECT_EQ(f.states.back(), "done") << r.out;
        return *f.tasks.begin();
    }

    // The number of segment lines of a task's playlist.
    int playlist_segments(int task) const {
        int n = 0;
        for (const auto& line : split_lines(read_file(daemon->task(task, "playlist.m3u8")))) {
            n += !line.empty() && line[0] != '#';
        }
        return n;
    }

    TempDir dir;
    Library lib{dir / "lib"};
    std::unique_ptr<ExportDaemon> daemon;
};

// A span across the hour boundary: the client reads both hours' indexes,
// follows its task to done, and the clip is as long as the span.
TEST_F(ClientAgainstDaemon, ClipAcrossTheHourEndsDone) {
    ASSERT_NO_FATAL_FAILURE(fill());
    ASSERT_NO_FATAL_FAILURE(start());
    auto args = clip_args(HOUR - 10, HOUR + 8, "across the hour");
    args.push_back("--exact");
    const RunResult r = client(args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("segments 4 from " + std::to_string(HOUR - 12) + ", head_offs 2,"), std::string::npos)
        << r.out;
    const Followed f = followed(r.out);
    ASSERT_EQ(f.tasks.size(), 1u) << r.out;
    const int task = *f.tasks.begin();
    EXPECT_EQ(f.states.front(), "queued") << r.out;
    EXPECT_EQ(f.states.back(), "done") << r.out;
    for (const auto& s : f.states) EXPECT_TRUE(s == "queued" || s == "running" || s == "done") << r.out;
    EXPECT_EQ(split_lines(r.out).back(), "task " + std::to_string(task) + " done");

    EXPECT_EQ(read_file(daemon->task(task, "state")).substr(0, 1), "2");
    const json_ptr meta = parse_json_file(daemon->task(task, "index.json"));
    ASSERT_NE(meta, nullptr) << read_file(daemon->task(task, "index.json"));
    EXPECT_EQ(json_string(meta.get(), "title"), "across the hour");
    EXPECT_EQ(json_string(meta.get(), "date"), "2021-05-01");
    EXPECT_EQ(json_string(meta.get(), "from"), "2021-05-01T10:59:50Z");
    EXPECT_EQ(json_string(meta.get(), "to"), "2021-05-01T11:00:08Z");
    EXPECT_EQ(json_int(meta.get(), "lib_idx"), 0);
    EXPECT_EQ(json_int(meta.get(), "head_offs"), 2);
    EXPECT_EQ(json_int(meta.get(), "exact_trim"), 1);

    const std::string playlist = read_file(daemon->task(task, "playlist.m3u8"));
    EXPECT_EQ(playlist_segments(task), 4) << playlist;
    EXPECT_NE(playlist.find("2021/05/01/10/" + std::to_string(HOUR - 12) + ".ts"), std::string::npos) << playlist;
    EXPECT_NE(playlist.find("2021/05/01/11/" + std::to_string(HOUR + 6) + ".ts"), std::string::npos) << playlist;
    EXPECT_NEAR(probe_duration(daemon->task(task, "cut.mp4")), clip_seconds(HOUR - 12, HOUR - 10, HOUR + 8, true),
                0.1);
    EXPECT_EQ(probe_size(daemon->task(task, "thumb.jpg")), "96x54");
}

struct Span {
    const char* name;
    long long from;
    long long to;
    int segments;
    long long first;
};

class ClipSpans : public ClientAgainstDaemon, public ::testing::WithParamInterface<Span> {};

void PrintTo(const Span& s, std::ostream* os) { *os << s.name; }

// The cut the daemon makes for each kind of span, without --exact, runs from
// the start of the first segment to the end of the span, to the second.
TEST_P(ClipSpans, CutIsAsLongAsTheSpan) {
    const Span s = GetParam();
    ASSERT_NO_FATAL_FAILURE(fill());
    ASSERT_NO_FATAL_FAILURE(start());
    const RunResult r = client(clip_args(s.from, s.to, s.name));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("segments " + std::to_string(s.segments) + " from " + std::to_string(s.first) + ","),
              std::string::npos)
        << r.out;
    const Followed f = followed(r.out);
    ASSERT_EQ(f.tasks.size(), 1u) << r.out;
    ASSERT_EQ(f.states.back(), "done") << r.out;
    const int task = *f.tasks.begin();
    EXPECT_EQ(playlist_segments(task), s.segments);
    EXPECT_NEAR(probe_duration(daemon->task(task, "cut.mp4")), clip_seconds(s.first, s.from, s.to, false), 0.1);
    EXPECT_EQ(probe_size(daemon->task(task, "cut.mp4")), "320x180") << "the clip has its video";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ClipSpans,
                         ::testing::Values(Span{"inside_one_segment", HOUR + 7, HOUR + 10, 1, HOUR + 6},
                                           Span{"across_segments_of_one_hour", HOUR - 16, HOUR - 4, 3, HOUR - 18},
                                           Span{"on_segment_boundaries", HOUR, HOUR + 12, 2, HOUR},
                                           Span{"into_the_shorter_last_segment", HOUR + 14, HOUR + 20, 2, HOUR + 12},
                                           Span{"to_the_end_of_the_shorter_last", HOUR + 12, HOUR + 21, 2, HOUR + 12}),
                         [](const ::testing::TestParamInfo<Span>& info) { return std::string(info.param.name); });

// An ffmpeg that fails makes the task fail, and the client says so with a
// non-zero exit, whether it follows by the tasks folder or by announcements
// alone.
TEST_F(ClientAgainstDaemon, FailingFfmpegEndsFailed) {
    ASSERT_NO_FATAL_FAILURE(fill());
    ASSERT_NO_FATAL_FAILURE(start("/bin/false"));
    const RunResult r = client(clip_args(HOUR, HOUR + 6, "doomed"));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const Followed f = followed(r.out);
    ASSERT_EQ(f.tasks.size(), 1u) << r.out;
    const int task = *f.tasks.begin();
    EXPECT_EQ(split_lines(r.out).back(), "task " + std::to_string(task) + " failed") << r.out;
    EXPECT_EQ(read_file(daemon->task(task, "state")).substr(0, 1), "3");

    const RunResult bare =
        client({"clip", "--port", daemon->port_arg(), "--lib-path", lib.root(), "--from", iso(HOUR + 2), "--to",
                iso(HOUR + 5), "--title", "doomed again", "--wait", "--timeout", "120"});
    EXPECT_EQ(bare.status, 1) << bare.out << bare.err;
    const Followed g = followed(bare.out);
    ASSERT_EQ(g.tasks.size(), 1u) << bare.out;
    EXPECT_NE(*g.tasks.begin(), task);
    EXPECT_EQ(g.states.back(), "failed") << bare.out;
    EXPECT_EQ(read_file(daemon->task(*g.tasks.begin(), "state")).substr(0, 1), "3");
}

// The stderr lines after "the last N lines of LOG:", without their indent.
std::vector<std::string> shown_log(const std::string& err, const std::string& log) {
    std::vector<std::string> lines;
    bool in = false;
    for (const auto& line : split_lines(err)) {
        if (in && line.rfind("  ", 0) == 0) {
            lines.push_back(line.substr(2));
        } else {
            in = line.starts_with("BrindlewoodClient: the last ") && line.ends_with(" lines of " + log + ":");
        }
    }
    return lines;
}

// Failed tasks followed with --tasks-path show the end of the log of the run
// that failed: the thumbnail's when a segment cannot be read, the cut's when
// only the cut fails. Then status lists every task, from the tasks folder
// with its stored fields, and from the daemon with the states it announced.
TEST_F(ClientAgainstDaemon, FailedTasksShowTheirLogAndStatusListsThem) {
    ASSERT_NO_FATAL_FAILURE(fill());
    write_file(lib.root() + "/" + utc_hour_dir(HOUR + 21) + "/" + std::to_string(HOUR + 21) + ".ts",
               std::string(188 * 50, 'x'));
    lib.append_index(HOUR + 21, std::to_string(HOUR + 21) + ".ts\t" + std::to_string(HOUR + 21) + "\t540000\t0");
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(clip_done(HOUR, HOUR + 6, "fine", {}), 1);

    const RunResult thumb = client(clip_args(HOUR + 22, HOUR + 25, "unreadable"));
    EXPECT_EQ(thumb.status, 1) << thumb.out << thumb.err;
    EXPECT_EQ(split_lines(thumb.out).back(), "task 2 failed") << thumb.out;
    const auto thumb_lines = shown_log(thumb.err, daemon->task(2, "thumb.log"));
    ASSERT_FALSE(thumb_lines.empty()) << thumb.err;
    EXPECT_LE(thumb_lines.size(), 10u) << thumb.err;
    EXPECT_NE(read_file(daemon->task(2, "thumb.log")).find(thumb_lines.back()), std::string::npos) << thumb.err;
    EXPECT_FALSE(file_exists(daemon->task(2, "cut.log")));

    // An ffmpeg that makes the thumbnail and fails the cut with 15 lines.
    EXPECT_EQ(daemon->stop(), 0) << daemon->log();
    const std::string fake = dir / "cut-fails";
    write_file(fake,
               "#!/bin/sh\nfor a; do last=$a; done\ncase $last in *.jpg) : > \"$last\"; exit 0;; esac\n"
               "i=1; while [ $i -le 15 ]; do echo \"cut trouble $i\" >&2; i=$((i + 1)); done\nexit 1\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    ASSERT_NO_FATAL_FAILURE(start(fake));
    const RunResult cut = client(clip_args(HOUR, HOUR + 6, "cut fails"));
    EXPECT_EQ(cut.status, 1) << cut.out << cut.err;
    EXPECT_EQ(split_lines(cut.out).back(), "task 3 failed") << cut.out;
    std::vector<std::string> last_ten;
    for (int i = 6; i <= 15; ++i) last_ten.push_back("cut trouble " + std::to_string(i));
    EXPECT_EQ(shown_log(cut.err, daemon->task(3, "cut.log")), last_ten) << cut.err;

    const RunResult table = client({"status", "--tasks-path", daemon->tasks()});
    ASSERT_EQ(table.status, 0) << table.err;
    const auto rows = split_lines(table.out);
    ASSERT_EQ(rows.size(), 4u) << table.out;
    const std::regex row_re(R"((\d+) +(\d \w+) +(\S+) +(\S+) +(\S+) +(.+))");
    const std::vector<std::vector<std::string>> want = {
        {"1", "2 done", "2021-05-01", iso(HOUR), iso(HOUR + 6), "fine"},
        {"2", "3 failed", "2021-05-01", iso(HOUR + 22), iso(HOUR + 25), "unreadable"},
        {"3", "3 failed", "2021-05-01", iso(HOUR), iso(HOUR + 6), "cut fails"}};
    EXPECT_EQ(rows[0].find("state"), rows[1].find("2 done")) << table.out << "the columns line up";
    for (size_t i = 0; i < want.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(rows[i + 1], m, row_re)) << rows[i + 1];
        for (size_t c = 0; c < want[i].size(); ++c) EXPECT_EQ(m[c + 1], want[i][c]) << rows[i + 1];
    }

    const RunResult local = client({"status", "--tasks-path", daemon->tasks(), "--json"});
    ASSERT_EQ(local.status, 0) << local.err;
    const json_ptr list(json_tokener_parse(local.out.c_str()));
    ASSERT_TRUE(list && json_object_is_type(list.get(), json_type_array)) << local.out;
    ASSERT_EQ(json_object_array_length(list.get()), 3u) << local.out;
    for (size_t i = 0; i < want.size(); ++i) {
        json_object* o = json_object_array_get_idx(list.get(), i);
        EXPECT_EQ(json_int(o, "task"), i + 1) << local.out;
        EXPECT_EQ(json_int(o, "state"), i == 0 ? 2 : 3) << local.out;
        EXPECT_EQ(json_string(o, "state_text"), i == 0 ? "done" : "failed") << local.out;
        EXPECT_EQ(json_string(o, "title"), want[i][5]) << local.out;
        EXPECT_EQ(json_string(o, "from"), want[i][3]) << local.out;
        EXPECT_EQ(json_string(o, "to"), want[i][4]) << local.out;
    }

    // The daemon names its tasks; no state changes while we listen (long
    // enough for a loaded machine: the client listens for all of it).
    const RunResult remote = client({"status", "--port", daemon->port_arg(), "--wait-ms", "5000", "--json"});
    ASSERT_EQ(remote.status, 0) << remote.err;
    EXPECT_EQ(remote.out, "[{\"task\":1,\"state\":null,\"state_text\":\"unknown\",\"title\":null,\"date\":null,"
                          "\"from\":null,\"to\":null},{\"task\":2,\"state\":null,\"state_text\":\"unknown\","
                          "\"title\":null,\"date\":null,\"from\":null,\"to\":null},{\"task\":3,\"state\":null,"
                          "\"state_text\":\"unknown\",\"title\":null,\"date\":null,\"from\":null,\"to\":null}]\n");
    const RunResult remote_table = client({"status", "--port", daemon->port_arg(), "--wait-ms", "5000"});
    EXPECT_EQ(remote_table.out, "task  state\n1     unknown\n2     unknown\n3     unknown\n") << remote_table.err;

    EXPECT_EQ(client({"status", "--tasks-path", dir / "nowhere"}).status, 1);
    EXPECT_EQ(client({"status", "--port", std::to_string(free_port())}, 60s).status, 1);
    EXPECT_EQ(client({"status"}).status, 2);
}

// A hole in the library is refused with one line saying where, and nothing
// is submitted; --allow-gaps takes the video there is.
TEST_F(ClientAgainstDaemon, GapIsRefusedUnlessAllowed) {
    ASSERT_NO_FATAL_FAILURE(fill({HOUR + 6}));
    ASSERT_NO_FATAL_FAILURE(start());
    const RunResult r = client(clip_args(HOUR, HOUR + 18, "gappy"));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_EQ(split_lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("gap"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("2021-05-01T11:00:06Z to 2021-05-01T11:00:12Z"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--allow-gaps"), std::string::npos) << r.err;
    EXPECT_TRUE(followed(r.out).tasks.empty()) << r.out;
    EXPECT_EQ(daemon->task_count(), 0);

    const int task = clip_done(HOUR, HOUR + 18, "gappy but allowed", {"--allow-gaps"});
    ASSERT_GT(task, 0);
    EXPECT_EQ(playlist_segments(task), 2);
    EXPECT_EQ(json_string(parse_json_file(daemon->task(task, "index.json")).get(), "title"), "gappy but allowed");
    // Twelve seconds of video are there for the eighteen asked for. ffmpeg
    // counts the cut's length in time stamps, which run on across the hole,
    // so the clip may stop at the hole: it holds at least the video before it.
    const double cut = probe_duration(daemon->task(task, "cut.mp4"));
    EXPECT_GE(cut, 6.0 - 1.1);
    EXPECT_LE(cut, 12.0 + 1.1);
    EXPECT_EQ(probe_size(daemon->task(task, "cut.mp4")), "320x180");
    EXPECT_EQ(daemon->task_count(), 1);
}

// Requests the client cannot make: one line of reason each, exit 1 (2 for a
// usage error), and no task.
TEST_F(ClientAgainstDaemon, RefusesSpansItCannotCut) {
    ASSERT_NO_FATAL_FAILURE(fill());
    ASSERT_NO_FATAL_FAILURE(start());
    struct Case {
        long long from;
        long long to;
        const char* says;
    };
    const Case cases[] = {
        {HOUR + 3600, HOUR + 3610, "no segment covers the span 2021-05-01T12:00:00Z to 2021-05-01T12:00:10Z: the "
                                   "recording ends at 2021-05-01T11:00:21Z"},
        {HOUR - 7200, HOUR - 7190, "no segment covers the span"},
        {HOUR + 10, HOUR + 40, "the recording ends at 2021-05-01T11:00:21Z, before the span's end (--allow-gaps"},
        {HOUR - 30, HOUR - 10, "the recording begins at 2021-05-01T10:59:42Z, after the span's start (--allow-gaps"},
        {HOUR + 10, HOUR, "is not after the start"},
        {HOUR + 10, HOUR + 10, "is not after the start"}};
    for (const Case& c : cases) {
        const RunResult r = client(clip_args(c.from, c.to));
        EXPECT_EQ(r.status, 1) << iso(c.from) << " to " << iso(c.to) << "\n" << r.out << r.err;
        EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("gap in"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // A library folder that is not there is named as such, not as a library
    // without the span.
    for (const std::string& wrong : {lib.root() + "/missing", lib.root() + "/2021/05/01/11/index.cvs"}) {
        auto args = clip_args(HOUR, HOUR + 6);
        args[4] = wrong;
        const RunResult r = client(args);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_EQ(r.err, "BrindlewoodClient: the library folder " + wrong +
                             (wrong.ends_with("missing") ? " does not exist\n" : " is not a folder\n"));
    }

    lib.append_index(HOUR, "not\ta line");
    const RunResult bad = client(clip_args(HOUR, HOUR + 6));
    EXPECT_EQ(bad.status, 1) << bad.out << bad.err;
    EXPECT_EQ(split_lines(bad.err).size(), 1u) << bad.err;
    EXPECT_NE(bad.err.find("malformed index line 5 in " + lib.root() + "/2021/05/01/11/index.cvs"), std::string::npos)
        << bad.err;

    // A task file that is not JSON: where, and what the parser says.
    const std::string bad_json = dir / "bad.json";
    write_file(bad_json, "{\n  \"date\": \"2021-05-01\",\n  \"from\" \"10:00:00\"\n}\n");
    const RunResult submit = client({"submit", bad_json, "--port", daemon->port_arg()});
    EXPECT_EQ(submit.status, 1) << submit.err;
    EXPECT_EQ(submit.err, "BrindlewoodClient: the task is not JSON: line 3, column 10 (byte 36): object property name "
                          "separator ':' expected\n");
    write_file(bad_json, "{ \"date\": \"2021-05-01\" } }");
    const RunResult trailing = client({"submit", bad_json, "--port", daemon->port_arg()});
    EXPECT_EQ(trailing.status, 1) << trailing.err;
    EXPECT_NE(trailing.err.find("line 1, column 26 (byte 26): more text after the JSON value"), std::string::npos)
        << trailing.err;

    const RunResult usage = client({"clip", "--lib-path", lib.root(), "--from", iso(HOUR), "--to", iso(HOUR + 6)});
    EXPECT_EQ(usage.status, 2) << usage.err;
    EXPECT_NE(usage.err.find("--port is needed"), std::string::npos) << usage.err;

    EXPECT_EQ(daemon->task_count(), 0);
    const RunResult list = client({"list", "--port", daemon->port_arg()});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "");
}

// Nothing listens on the port: one line of reason and exit 1, for clip and
// for list.
TEST_F(ClientAgainstDaemon, UnreachableServer) {
    ASSERT_NO_FATAL_FAILURE(fill());
    const std::string port = std::to_string(free_port());
    const RunResult r = client({"clip", "--port", port, "--lib-path", lib.root(), "--from", iso(HOUR), "--to",
                                iso(HOUR + 6), "--wait", "--timeout", "30"},
                               60s);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("BrindlewoodClient: ", 0), 0u) << r.err;
    EXPECT_TRUE(followed(r.out).tasks.empty()) << r.out;

    const RunResult list = client({"list", "--port", port}, 60s);
    EXPECT_EQ(list.status, 1) << list.out << list.err;
    EXPECT_EQ(split_lines(list.err).size(), 1u) << list.err;
    EXPECT_TRUE(list.out.empty()) << list.out;
}

// Clients submitting at the same moment: with --tasks-path each one finds
// its own task among the announcements and follows it to done.
TEST_F(ClientAgainstDaemon, ConcurrentClientsEachFollowTheirOwnTask) {
    ASSERT_NO_FATAL_FAILURE(fill());
    ASSERT_NO_FATAL_FAILURE(start());
    struct Ask {
        std::string title;
        long long from;
        long long to;
        long long first_segment;
    };
    const std::vector<Ask> asks = {{"first client", HOUR - 10, HOUR + 8, HOUR - 12},
                                   {"second client", HOUR + 2, HOUR + 14, HOUR},
                                   {"third client", HOUR - 18, HOUR - 13, HOUR - 18}};
    std::vector<std::unique_ptr<Process>> clients;
    for (const auto& a : asks) {
        clients.push_back(
            std::make_unique<Process>(BRINDLEWOOD_CLIENT_BIN, clip_args(a.from, a.to, a.title), dir.path()));
    }
    std::set<int> numbers;
    for (size_t i = 0; i < asks.size(); ++i) {
        const auto status = clients[i]->wait_exit(180s);
        ASSERT_TRUE(status.has_value()) << asks[i].title << " still runs";
        EXPECT_EQ(*status, 0) << clients[i]->out() << clients[i]->err();
        const Followed f = followed(clients[i]->out());
        ASSERT_EQ(f.tasks.size(), 1u) << clients[i]->out();
        EXPECT_EQ(f.states.back(), "done") << clients[i]->out();
        const int task = *f.tasks.begin();
        numbers.insert(task);

        const json_ptr meta = parse_json_file(daemon->task(task, "index.json"));
        ASSERT_NE(meta, nullptr);
        EXPECT_EQ(json_string(meta.get(), "title"), asks[i].title) << "task " << task;
        EXPECT_EQ(json_string(meta.get(), "from"), iso(asks[i].from)) << "task " << task;
        EXPECT_EQ(json_string(meta.get(), "to"), iso(asks[i].to)) << "task " << task;
        EXPECT_NEAR(probe_duration(daemon->task(task, "cut.mp4")), clip_seconds(asks[i].first_segment, asks[i].from, asks[i].to, false),
                    0.1)
            << "task " << task;
    }
    EXPECT_EQ(numbers.size(), asks.size()) << "each client reports a task of its own";

    // The list ends the wait as soon as it comes.
    const RunResult list = client({"list", "--port", daemon->port_arg(), "--wait-ms", "60000"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "1\n2\n3\n");
}

}  // namespace

// The console's API reads the library as the client does: the runs and the
// gap of the recording, a refusal that names the gap, and for a span the
// very request the client program submits.
TEST_F(ClientAgainstDaemon, TheConsoleApiAnswersAsTheClientDoes) {
    ASSERT_NO_FATAL_FAILURE(fill({HOUR + 6}));
    ASSERT_NO_FATAL_FAILURE(start());
    const int port = daemon->port();
    const auto api = [&](const std::string& query) { return exporter_test::http_get(port, "/api/" + query); };

    const auto listing = api("recordings?lib=0&from=" + iso(HOUR - 60) + "&to=" + std::to_string(HOUR + 60));
    ASSERT_EQ(listing.status, 200) << listing.body;
    EXPECT_EQ(listing.body, "{\"lib\":0,\"from\":" + std::to_string(HOUR - 60) + ",\"to\":" +
                                std::to_string(HOUR + 60) + ",\"runs\":[{\"from\":" + std::to_string(HOUR - 18) +
                                ".0,\"to\":" + std::to_string(HOUR + 6) + ".0,\"segments\":4},{\"from\":" +
                                std::to_string(HOUR + 12) + ".0,\"to\":" + std::to_string(HOUR + 21) +
                                ".0,\"segments\":2}],\"gaps\":[{\"from\":" + std::to_string(HOUR - 60) +
                                ".0,\"to\":" + std::to_string(HOUR - 18) + ".0},{\"from\":" + std::to_string(HOUR + 6) +
                                ".0,\"to\":" + std::to_string(HOUR + 12) + ".0},{\"from\":" +
                                std::to_string(HOUR + 21) + ".0,\"to\":" + std::to_string(HOUR + 60) +
                                ".0}],\"last_segment_timestamp\":" + std::to_string(HOUR + 18) + "}");

    const auto gappy = api("clip?lib=0&from=" + iso(HOUR) + "&to=" + iso(HOUR + 18));
    EXPECT_EQ(gappy.status, 422);
    EXPECT_NE(gappy.body.find("no video from 2021-05-01T11:00:06Z to 2021-05-01T11:00:12Z"), std::string::npos)
        << gappy.body;
    EXPECT_EQ(api("clip?lib=0&from=" + iso(HOUR) + "&to=" + iso(HOUR + 18) + "&allow_gaps=1").status, 200);
    EXPECT_EQ(api("clip?lib=3&from=0&to=10").status, 404);
    EXPECT_EQ(api("clip?lib=0&from=yesterday&to=10").status, 400);

    // The page sends what the API gives; the client program asks for itself.
    const auto asked = api("clip?lib=0&from=" + iso(HOUR - 10) + "&to=" + iso(HOUR + 4) + "&exact=1&title=by%20time");
    ASSERT_EQ(asked.status, 200) << asked.body;
    std::string error;
    auto page = ws_link::open("127.0.0.1", port, 5s, &error);
    ASSERT_NE(page, nullptr) << error;
    ASSERT_TRUE(page->send(asked.body));
    int by_page = -1;
    while (by_page < 0) {
        const auto msg = page->receive(10s);
        ASSERT_TRUE(msg.has_value());
        sscanf(msg->c_str(), "{ \"new_task\" : %d }", &by_page);
    }
    const int by_client = clip_done(HOUR - 10, HOUR + 4, "by time", {"--exact"});
    ASSERT_NE(by_client, by_page);
    EXPECT_EQ(read_file(daemon->task(by_page, "index.json")), read_file(daemon->task(by_client, "index.json")));
    EXPECT_EQ(read_file(daemon->task(by_page, "playlist.m3u8")), read_file(daemon->task(by_client, "playlist.m3u8")));
    EXPECT_TRUE(wait_until([&] { return read_file(daemon->task(by_page, "state")) == "2"; }, 60s));
}
