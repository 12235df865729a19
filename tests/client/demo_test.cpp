// The demo script, CI-sized, on the programs of this build tree, as
// `make demo SERVE=1`: its final report's paths must exist and its clip be as
// long as it asked for; the watch view's address it ends with must be served
// until Ctrl-C, which ends the script with status 0.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "exporter/http_client.h"

using namespace clienttest;
namespace fs = std::filesystem;

namespace {

constexpr int SEGMENTS = 6;

// The report's "  label    value" lines after "Brindlewood demo: done".
std::map<std::string, std::string> report(const std::string& out) {
    static const std::regex line_re("  ([a-z][a-z ]*?) {2,}(.+)");
    std::map<std::string, std::string> fields;
    bool in_report = false;
    for (const auto& line : split_lines(out)) {
        if (line == "Brindlewood demo: done") in_report = true;
        std::smatch m;
        if (in_report && std::regex_match(line, m, line_re)) fields[m[1]] = m[2];
    }
    return fields;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

std::string last_log_text(const std::string& log) {
    const auto lines = split_lines(read_file(log));
    if (lines.empty()) return {};
    const size_t at = lines.back().find("] ");
    return at == std::string::npos ? lines.back() : lines.back().substr(at + 2);
}

// The register daemon keeps its probe output in a file named by its process
// id, which its log gives on the stop signal.
void remove_probe_file(const std::string& log) {
    static const std::regex pid_re("sighandler: \\[(\\d+)\\]");
    const std::string text = read_file(log);
    std::smatch m;
    if (std::regex_search(text, m, pid_re)) unlink(("/tmp/Brindlewood.ffprobe." + m[1].str()).c_str());
}

// Ctrl-C for a script still running when the test ends early, so that the
// export daemon it serves with does not outlive the test.
struct Interrupt {
    Process& script;
    ~Interrupt() {
        if (!script.running()) return;
        script.signal(SIGINT);
        script.wait_exit(30s);
    }
};

// The first segment's name in an HLS playlist, and how many it lists.
std::pair<std::string, int> playlist_segments(const std::string& text) {
    std::string first;
    int count = 0;
    for (const auto& line : split_lines(text)) {
        if (line.empty() || line[0] == '#') continue;
        if (count++ == 0) first = fs::path(line).filename().string();
    }
    return {first, count};
}

TEST(DemoScript, RunsTheWholeJobAndReportsWhatItMade) {
    TempDir dir;
    const std::string demo = dir / "demo";
    setenv("BUILD_DIR", PROGRAMS_DIR, 1);
    setenv("DEMO_DIR", demo.c_str(), 1);
    setenv("DEMO_SEGMENTS", std::to_string(SEGMENTS).c_str(), 1);
    Process script(DEMO_SCRIPT, {}, dir.path(), {"SERVE=1"});
    Interrupt interrupt{script};
    const auto addressed = [&] { return script.out().find("\n  watch view ") != std::string::npos; };
    ASSERT_TRUE(wait_until([&] { return addressed() || !script.running(); }, 240s) && addressed())
        << "no watch view address\n" << script.out() << script.err();

    // The report's last line: the console at the clip's start, still served.
    static const std::regex watch_re(
        "http://127\\.0\\.0\\.1:([0-9]+)(/\\?lib=0&t=([0-9-]+)T([0-9:]+)Z) \\(the clip's start\\), served until Ctrl-C");
    std::smatch w;
    const std::string watch = report(script.out())["watch view"];
    ASSERT_TRUE(std::regex_match(watch, w, watch_re)) << watch;
    const int port = std::stoi(w[1]);
    const std::string moment = w[3].str() + "T" + w[4].str() + "Z";
    const auto page = exporter_test::http_get(port, w[2]);
    EXPECT_EQ(page.status, 200) << page.head;
    EXPECT_NE(page.body.find("id=\"watch\""), std::string::npos) << "the page holds the watch view";
    // The moment lies in the first segment of the client's plan ("segments N
    // from T, ..."), which the daemon plays from there.
    static const std::regex plan_re("\nsegments [0-9]+ from ([0-9]+), ");
    std::smatch plan;
    const std::string out = script.out();
    ASSERT_TRUE(std::regex_search(out, plan, plan_re)) << out;
    const std::string segment_end = std::to_string(std::stoll(plan[1]) + 6);
    const auto played = exporter_test::http_get(port, "/api/play.m3u8?lib=0&from=" + moment + "&to=" + segment_end);
    ASSERT_EQ(played.status, 200) << played.head << played.body;
    EXPECT_EQ(playlist_segments(played.body), std::make_pair(plan[1].str() + ".ts", 1)) << played.body;

    script.signal(SIGINT);
    const auto status = script.wait_exit(60s);
    remove_probe_file(demo + "/logs/Brindlewood.log");
    ASSERT_TRUE(status.has_value()) << "the demo still runs after Ctrl-C\n" << script.out() << script.err();
    ASSERT_EQ(*status, 0) << script.out() << script.err();

    const auto fields = report(script.out());
    ASSERT_EQ(fields.size(), 12u) << script.out();
    EXPECT_EQ(fields.at("watch view"), watch);
    EXPECT_EQ(fields.at("folder"), demo);
    const std::string library = fields.at("media library");
    EXPECT_EQ(library, demo + "/library");
    ASSERT_TRUE(fs::is_directory(library));

    // Half the segments before the hour boundary, half after: two hours.
    const auto index_files = words(fields.at("index files"));
    ASSERT_EQ(index_files.size(), 2u) << fields.at("index files");
    int indexed = 0;
    for (const auto& rel : index_files) {
        const std::string index = library + "/" + rel;
        ASSERT_TRUE(file_exists(index)) << index;
        const std::string hour = fs::path(index).parent_path().string();
        for (const auto& line : split_lines(read_file(index))) {
            ++indexed;
            const std::string name = line.substr(0, line.find('\t'));
            EXPECT_TRUE(file_exists(hour + "/" + name)) << line;
            const std::string thumb = hour + "/" + name.substr(0, name.size() - 3) + ".jpg";
            EXPECT_EQ(probe_size(thumb), "96x54") << thumb;
        }
    }
    EXPECT_EQ(indexed, SEGMENTS);

    // The count, then a few of the thumbnails by their path in the demo folder.
    const auto thumbs = words(fields.at("thumbnails"));
    ASSERT_GT(thumbs.size(), 3u) << fields.at("thumbnails");
    EXPECT_EQ(thumbs.front(), std::to_string(SEGMENTS)) << fields.at("thumbnails");
    int named = 0;
    for (const auto& w : thumbs) {
        if (!w.ends_with(".jpg")) continue;
        ++named;
        EXPECT_EQ(probe_size(demo + "/" + w), "96x54") << w;
    }
    EXPECT_GE(named, 3) << fields.at("thumbnails");
    int jpegs = 0;
    for (const auto& e : fs::recursive_directory_iterator(library)) jpegs += e.path().extension() == ".jpg";
    EXPECT_EQ(jpegs, SEGMENTS);

    const std::string task = fields.at("task folder");
    EXPECT_EQ(fs::path(task).parent_path(), fs::path(demo + "/tasks"));
    ASSERT_TRUE(fs::is_directory(task)) << task;
    EXPECT_EQ(read_file(task + "/state").substr(0, 1), "2");
    EXPECT_EQ(json_string(parse_json_file(task + "/index.json").get(), "title"), "Brindlewood demo");

    const std::string clip = fields.at("clip");
    EXPECT_EQ(clip, task + "/cut.mp4");
    ASSERT_TRUE(file_exists(clip));
    const double measured = probe_duration(clip);

    static const std::regex duration_re("([0-9.]+) s measured by ffprobe, ([0-9]+) s requested: .+");
    std::smatch m;
    const std::string duration = fields.at("clip duration");
    ASSERT_TRUE(std::regex_match(duration, m, duration_re)) << duration;
    const double reported = std::stod(m[1]);
    const int requested = std::stoi(m[2]);
    EXPECT_EQ(requested, SEGMENTS * 6 / 2) << "the middle half of the recording";
    // The explanation's arithmetic: the span, and the playlist less its trims.
    EXPECT_NE(fields.at("span").find(", " + std::to_string(requested) + " s: "), std::string::npos)
        << fields.at("span");
    EXPECT_TRUE(fields.at("segments").ends_with(" = " + std::to_string(requested) + " s")) << fields.at("segments");
    EXPECT_NEAR(reported, measured, 0.01);
    // --exact: the clip shows the span itself; the 3 s of its first segment
    // before the start stay in the file, hidden.
    EXPECT_NEAR(measured, requested, 0.1);
    EXPECT_NEAR(std::stod(fields.at("before the start")), 3.0, 0.1);

    // Both daemons were stopped in order, the export daemon at Ctrl-C.
    const std::string logs = fields.at("logs");
    EXPECT_EQ(logs, demo + "/logs");
    EXPECT_EQ(last_log_text(logs + "/Brindlewood.log"), "Bye!");
    EXPECT_EQ(last_log_text(logs + "/BrindlewoodExporter.log"), "Bye!");
}

}  // namespace
