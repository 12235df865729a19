// The real Brindlewood binary run as an operator would: usage, bad options,
// option files, detaching, and stopping on signals.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/proc_signals.h"
#include "support/support.h"

using namespace testsupport;

namespace {

const std::string bin = BRINDLEWOOD_BIN;

bool log_has(const std::string& path, const std::string& piece) {
    return read_file(path).find(piece) != std::string::npos;
}

// Stops the daemon with sig and checks the log ends in order: the signal
// line (marker '!', the daemon's pid, the number), then "Bye!" last.
void expect_orderly_stop(Process& daemon, const std::string& log, int sig) {
    ASSERT_TRUE(wait_until([&] { return process_catches(daemon.pid(), sig); })) << "no handler for signal " << sig;
    daemon.signal(sig);
    const auto status = daemon.wait_exit(10s);
    ASSERT_TRUE(status.has_value()) << "still running after signal " << sig;
    EXPECT_EQ(*status, 0);
    const auto lines = split_lines(read_file(log));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines.front().find("] Brindlewood-"), std::string::npos) << "the banner is the first line";
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(  \[.*\] Bye!)"))) << lines.back();
    const std::regex signal_line("! \\[.*\\] sighandler: \\[" + std::to_string(daemon.pid()) + "\\] catched " +
                                 std::to_string(sig));
    int seen = 0;
    for (const auto& l : lines) seen += std::regex_match(l, signal_line);
    EXPECT_EQ(seen, 1) << read_file(log);
}

// The pid of the process whose command line holds token, or -1.
pid_t find_process(const std::string& token) {
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (const dirent* e = readdir(proc)) {
        const pid_t pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string cmdline = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmdline.find(token) != std::string::npos && cmdline.find(bin) == 0) found = pid;
    }
    closedir(proc);
    return found;
}

}  // namespace

TEST(RegisterCli, HelpPrintsTheUsageAndLogsNothing) {
    for (const std::string arg : {"-h", "--help", "--hel"}) {
        TempDir tmp;
        const auto r = run(bin, {arg}, 10s, tmp.path());
        EXPECT_EQ(r.status, 255) << arg;
        expect_usage(r.err, "Brindlewood");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(file_exists(tmp / "Brindlewood.log"));
    }
}

TEST(RegisterCli, IncorrectArgumentsAreNamedAsTyped) {
    for (const std::string arg : {"-d", "--port=5", "--log-file-name"}) {
        TempDir tmp;
        const auto r = run(bin, {arg}, 10s, tmp.path());
        EXPECT_EQ(r.status, 255) << arg;
        const std::string first = "ERROR: Incorrect argument! [" + arg + "]\n";
        ASSERT_EQ(r.err.substr(0, first.size()), first);
        expect_usage(r.err.substr(first.size()), "Brindlewood");
        EXPECT_FALSE(file_exists(tmp / "Brindlewood.log"));
    }
}

TEST(RegisterCli, NoArgumentsRunsInTheForegroundWithTheDefaultLog) {
    TempDir tmp;
    Process daemon(bin, {}, tmp.path());
    const std::string log = tmp / "Brindlewood.log";
    ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
    // Log lines are copied to standard error in the foreground.
    ASSERT_TRUE(wait_until([&] { return daemon.err().find("] Brindlewood-") != std::string::npos; }));
    expect_orderly_stop(daemon, log, SIGTERM);
}

TEST(RegisterCli, EveryStopSignalStopsInOrder) {
    for (int sig : {SIGTERM, SIGHUP, SIGALRM, SIGINT}) {
        TempDir tmp;
        const std::string log = tmp / "stop.log";
        Process daemon(bin, {"--log-file-name=" + log}, tmp.path());
        ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
        expect_orderly_stop(daemon, log, sig);
    }
}

TEST(RegisterCli, PipeAndChildSignalsDoNotStopIt) {
    TempDir tmp;
    const std::string log = tmp / "p.log";
    Process daemon(bin, {"--log-file-name=" + log}, tmp.path());
    ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
    ASSERT_TRUE(wait_until(
        [&] { return process_catches(daemon.pid(), SIGPIPE) && process_catches(daemon.pid(), SIGCHLD); }));
    daemon.signal(SIGPIPE);
    daemon.signal(SIGCHLD);
    EXPECT_FALSE(daemon.wait_exit(1500ms).has_value());
    EXPECT_FALSE(log_has(log, "catched"));
    expect_orderly_stop(daemon, log, SIGTERM);
}

TEST(RegisterCli, OptionFilesSetTheLogAndRestoreItsDefault) {
    TempDir tmp;
    write_file(tmp / "two-line.opts", "# log where the operator wants it\n--log-file-name\n" + tmp / "set.log" + "\n");
    {
        Process daemon(bin, {tmp / "two-line.opts"}, tmp.path());
        ASSERT_TRUE(wait_until([&] { return log_has(tmp / "set.log", "Brindlewood-"); }));
        expect_orderly_stop(daemon, tmp / "set.log", SIGTERM);
    }
    // A command-line log name is lost to a file that has arguments but does
    // not set it; a missing file is reported and start-up goes on.
    write_file(tmp / "flags.opts", "  --nodemonize  \n");
    Process daemon(bin, {"--log-file-name=" + tmp / "lost.log", tmp / "flags.opts", tmp / "missing.opts"},
                   tmp.path());
    const std::string log = tmp / "Brindlewood.log";
    ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
    EXPECT_NE(daemon.err().find("opts_from_file: failed to open [" + tmp / "missing.opts" + "]\n"),
              std::string::npos);
    expect_orderly_stop(daemon, log, SIGTERM);
    EXPECT_FALSE(file_exists(tmp / "lost.log"));
}

TEST(RegisterCli, DemonizeDetachesAndRunsFromTheRoot) {
    TempDir tmp;
    // A relative log name resolves against "/" once detached.
    const std::string relative = tmp.path().substr(1) + "/detached.log";
    Process parent(bin, {"--demonize", "--log-file-name=" + relative}, tmp.path());
    const auto status = parent.wait_exit(5s);
    ASSERT_TRUE(status.has_value()) << "the parent returns at once";
    EXPECT_EQ(*status, 0);
    const std::string log = "/" + relative;
    ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
    const pid_t child = find_process(relative);
    ASSERT_GT(child, 0);
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/cwd"), "/");
    EXPECT_EQ(parent.err(), "") << "a detached daemon writes nothing to the terminal";
    ASSERT_TRUE(wait_until([&] { return process_catches(child, SIGTERM); }));
    kill(child, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return log_has(log, "Bye!"); }));
    EXPECT_TRUE(wait_until([&] { return kill(child, 0) != 0; }));
}

TEST(RegisterCli, NodemonizeWinsOverDemonize) {
    for (const auto& flags : {std::vector<std::string>{"--demonize", "--nodemonize"},
                              std::vector<std::string>{"--nodemonize", "--demonize"}}) {
        TempDir tmp;
        const std::string log = tmp / "fg.log";
        auto args = flags;
        args.push_back("--log-file-name=" + log);
        Process daemon(bin, args, tmp.path());
        ASSERT_TRUE(wait_until([&] { return log_has(log, "Brindlewood-"); }));
        EXPECT_TRUE(daemon.running()) << "stays in the foreground";
        expect_orderly_stop(daemon, log, SIGTERM);
    }
}
