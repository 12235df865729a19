// The real BrindlewoodExporter binary run as an operator would, and its option
// parser in-process.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "exporter/instance.h"
#include "support/support.h"

using namespace testsupport;

namespace {

const std::string bin = BRINDLEWOOD_EXPORTER_BIN;

// Starts the daemon on a tasks folder, stops it, and returns its log.
std::string run_and_stop(const TempDir& tmp, const std::string& tasks, const std::vector<std::string>& extra = {}) {
    const std::string log = tmp / "e.log";
    std::filesystem::remove(log);  // a second run must not see the first one's lines
    std::vector<std::string> args{"--ws-port=" + std::to_string(free_port()), "--tasks-path=" + tasks,
                                  "--log-file-name=" + log};
    args.insert(args.end(), extra.begin(), extra.end());
    Process daemon(bin, args, tmp.path());
    EXPECT_TRUE(wait_until([&] { return read_file(log).find("ws_info.user=") != std::string::npos; }));
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(20s).value_or(-1), 0);
    return read_file(log);
}

struct parsed {
    instance_t* instance = nullptr;
    int result = 0;
    ~parsed() { instance_release(&instance); }
};

void parse(parsed* p, std::vector<std::string> args) {
    args.insert(args.begin(), "BrindlewoodExporter");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(instance_init(&p->instance), 0);
    p->result = instance_opts(p->instance, static_cast<int>(args.size()), argv.data());
}

}  // namespace

TEST(ExporterCli, UsageAndRefusedOptions) {
    TempDir tmp;
    const auto help = run(bin, {"--help"}, 10s, tmp.path());
    EXPECT_EQ(help.status, 255);
    expect_usage(help.err, "BrindlewoodExporter");
    for (const std::string arg : {"--port=9000", "--lib4-path=/x", "--ws-port"}) {
        const auto r = run(bin, {arg}, 10s, tmp.path());
        EXPECT_EQ(r.status, 255) << arg;
        const std::string first = "ERROR: Incorrect argument! [" + arg + "]\n";
        ASSERT_EQ(r.err.substr(0, first.size()), first);
        expect_usage(r.err.substr(first.size()), "BrindlewoodExporter");
    }
    EXPECT_FALSE(file_exists(tmp / "BrindlewoodExporter.log"));
}

TEST(ExporterCli, OptionsParseIntoTheRecord) {
    parsed p;
    parse(&p, {"--ws=9001", "--tasks-path", "/t", "--lib0-path=/l0", "--lib3-path=/l3", "--ffmpeg-path=/ff",
               "--ffprobe-path=/fp", "--debug", "--debug"});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(p.instance->ws.port, 9001) << "an unambiguous prefix of ws-port";
    EXPECT_STREQ(p.instance->path.tasks, "/t");
    EXPECT_STREQ(p.instance->path.libs[0], "/l0");
    EXPECT_STREQ(p.instance->path.libs[3], "/l3");
    EXPECT_STREQ(p.instance->path.libs[1], "");
    EXPECT_STREQ(p.instance->path.ffmpeg, "/ff");
    EXPECT_STREQ(p.instance->path.ffprobe, "/fp");
    EXPECT_EQ(p.instance->f_debug, 2);
    EXPECT_STREQ(p.instance->log_file_name, "BrindlewoodExporter.log");
    parsed bad;
    parse(&bad, {"--ws-port=abc", "--lib1-path=" + std::string(5000, 'p')});
    EXPECT_EQ(bad.instance->ws.port, 0);
    EXPECT_EQ(strlen(bad.instance->path.libs[1]), 4095u);
}

TEST(ExporterCli, NumberingContinuesFromTheTaskFolders) {
    struct numbering_case {
        std::vector<std::string> folders;
        int next;
    };
    for (const auto& c : std::vector<numbering_case>{{{"00003", "00010"}, 11}, {{"00001"}, 2}, {{"00000"}, 2}}) {
        TempDir tmp;
        for (const auto& f : c.folders) std::filesystem::create_directories(tmp / ("tasks/" + f));
        const std::string log = run_and_stop(tmp, tmp / "tasks");
        EXPECT_NE(log.find("main: tasks.sys_id=" + std::to_string(c.next) + "\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("returns"), std::string::npos);
    }
    TempDir empty;
    std::filesystem::create_directories(empty / "tasks");
    std::string log = run_and_stop(empty, empty / "tasks");
    EXPECT_NE(log.find("main: export_task_lists(" + empty / "tasks" + ") returns 0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("main: tasks.sys_id=1\n"), std::string::npos);
    log = run_and_stop(empty, empty / "missing");
    EXPECT_NE(log.find("main: export_task_lists(" + empty / "missing" + ") returns -22\n"), std::string::npos);
    EXPECT_NE(log.find("main: tasks.sys_id=1\n"), std::string::npos);
}

TEST(ExporterCli, RelativePathsAreNamedAtStart) {
    TempDir tmp;
    const std::string log =
        run_and_stop(tmp, "tasks", {"--lib0-path=lib0", "--lib1-path=" + tmp / "lib1", "--lib3-path=../x"});
    const auto alarm = [&](const std::string& text) {
        return std::regex_search(log, std::regex("\\n! \\[[^\\]]*\\] " + text));
    };
    EXPECT_TRUE(alarm(R"(main: lib0-path \[lib0\] is relative: ffmpeg resolves the playlist entries under it against )"
                      R"(each task folder and finds no segment there; an absolute path is needed\n)"))
        << log;
    EXPECT_TRUE(alarm(R"(main: lib3-path \[\.\./x\] is relative)")) << log;
    EXPECT_EQ(log.find("main: lib1-path"), std::string::npos) << log;
    EXPECT_TRUE(alarm(R"(main: tasks-path \[tasks\] is relative: it resolves against the working directory)")) << log;
}

TEST(ExporterCli, TermStopsInOrder) {
    TempDir tmp;
    std::filesystem::create_directories(tmp / "tasks");
    const auto lines = split_lines(run_and_stop(tmp, tmp / "tasks"));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_NE(lines.front().find("] BrindlewoodExporter-"), std::string::npos);
    const size_t n = lines.size();
    EXPECT_TRUE(std::regex_search(lines[n - 1], std::regex(R"(^  \[.*\] Bye!$)"))) << lines[n - 1];
    EXPECT_NE(lines[n - 2].find("main: finished register"), std::string::npos);
    EXPECT_NE(lines[n - 3].find("main: waiting register..."), std::string::npos);
    int signal_lines = 0;
    for (const auto& l : lines) signal_lines += std::regex_search(l, std::regex(R"(^! \[.*\] sighandler: \[\d+\] catched 15$)"));
    EXPECT_EQ(signal_lines, 1);
}

TEST(ExporterCli, ServiceThatCannotOpenStopsWith242) {
    TempDir tmp;
    // Someone else holds the port.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const auto r = run(bin, {"--ws-port=" + std::to_string(ntohs(addr.sin_port)), "--log-file-name=" + tmp / "e.log"},
                       20s, tmp.path());
    close(fd);
    EXPECT_EQ(r.status, 242);
    const std::string log = read_file(tmp / "e.log");
    EXPECT_NE(log.find("! ["), std::string::npos);
    EXPECT_NE(log.find("ws_init: lws_create_context failed"), std::string::npos) << log;
    EXPECT_NE(log.find("main: waiting register..."), std::string::npos);
    EXPECT_NE(log.find("main: finished register"), std::string::npos);
    EXPECT_NE(split_lines(log).back().find("] Bye!"), std::string::npos);
}
