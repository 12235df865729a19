#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "demonize.h"
#include "execute.h"
#include "handles.h"
#include "support/support.h"

using testsupport::TempDir;

namespace {

// Runs sh -c script through execute with the given output files.
int sh(const std::string& script, const char* out = nullptr, const char* err = nullptr, int* pid = nullptr) {
    std::vector<std::string> args{"sh", "-c", script};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return execute("sh", pid, argv.data(), nullptr, out, err);
}

// The same, watched.
int sh_watched(const std::string& script, execute_watch* watch, const char* out = nullptr) {
    std::vector<std::string> args{"sh", "-c", script};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return execute_watched("sh", nullptr, argv.data(), nullptr, out, nullptr, watch);
}

// sh reads a small file every quarter second for about four seconds: its
// read counter moves (with those of the children it reaps), no file grows.
const char* const READS_FOR_4S = "i=0; while [ $i -lt 16 ]; do read x < /proc/self/stat; sleep 0.25; i=$((i+1)); done";

// A wrapper script whose child hangs: it writes the child's id to pid_file
// and waits for it.
std::string wrapper_of_a_hung_child(const std::string& pid_file) {
    return "sleep 1000 & echo $! > " + pid_file + "; wait";
}

// The process is gone: no such id, or a zombie (orphans go to an init that
// may be slow to reap them).
bool process_gone(pid_t pid) {
    const std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.substr(paren + 1, 3) == " Z ");
}

// The child the wrapper started does not outlive the run.
void expect_child_gone(const std::string& pid_file) {
    const pid_t child = atoi(testsupport::read_file(pid_file).c_str());
    ASSERT_GT(child, 0);
    if (!testsupport::wait_until([child] { return process_gone(child); }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "the wrapper's child " << child << " outlived the run";
        kill(child, SIGKILL);
    }
}

}  // namespace

TEST(Execute, ResultCodes) {
    EXPECT_EQ(sh("exit 0"), 0);
    EXPECT_EQ(sh("exit 1"), -4);
    EXPECT_EQ(sh("exit 255"), -4);
    EXPECT_EQ(sh("kill -9 $$"), -3);
}

TEST(Execute, MissingProgramIsNeverSuccess) {
    char name[] = "no-such-program-anywhere";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(execute(name, nullptr, argv, nullptr, nullptr, nullptr), -2);
    char path[] = "/no/such/dir/prog";
    char* argv2[] = {path, nullptr};
    EXPECT_LT(execute(path, nullptr, argv2, nullptr, nullptr, nullptr), 0);
}

TEST(Execute, ChildSeesAnEmptyEnvironmentAndDevNull) {
    TempDir tmp;
    const std::string out = tmp / "out";
    const std::string err = tmp / "err";
    setenv("BRINDLEWOOD_TEST_SECRET", "visible", 1);
    char env[] = "/usr/bin/env";
    char* argv[] = {env, nullptr};
    ASSERT_EQ(execute(env, nullptr, argv, nullptr, out.c_str(), nullptr), 0);
    EXPECT_EQ(testsupport::read_file(out), "");
    // With no output file, standard output is /dev/null; stdin is too.
    // The subshell reads the shell's own descriptors before redirecting its own.
    ASSERT_EQ(sh("p=$$; (readlink /proc/$p/fd/0 /proc/$p/fd/1 >&2)", nullptr, err.c_str()), 0);
    EXPECT_EQ(testsupport::read_file(err), "/dev/null\n/dev/null\n");
    // An explicit environment is passed as given.
    char var[] = "ONLY=this";
    char* envs[] = {var, nullptr};
    ASSERT_EQ(execute(env, nullptr, argv, envs, out.c_str(), nullptr), 0);
    EXPECT_EQ(testsupport::read_file(out).substr(0, 10), "ONLY=this\n");
    // Only those three: a descriptor the caller holds open (a socket, a
    // file being written) never reaches the tool.
    unique_fd held(open(out.c_str(), O_RDONLY));
    ASSERT_TRUE(held);
    ASSERT_GE(dup2(held.get(), 50), 0);
    unique_fd at50(50);
    ASSERT_EQ(sh("test -e /proc/self/fd/50 && echo leaked >&2 || echo closed >&2", nullptr, err.c_str()), 0);
    EXPECT_EQ(testsupport::read_file(err).substr(0, 7), "closed\n");
}

TEST(Execute, OutputFilesAreNeitherTruncatedNorAppended) {
    TempDir tmp;
    const std::string out = tmp / "out";
    testsupport::write_file(out, std::string(100, 'x'));
    ASSERT_EQ(sh("printf 0123456789", out.c_str()), 0);
    const std::string got = testsupport::read_file(out);
    ASSERT_EQ(got.size(), 100u);
    EXPECT_EQ(got.substr(0, 10), "0123456789");
    EXPECT_EQ(got.substr(10), std::string(90, 'x'));
}

TEST(Execute, SameFileForBothOutputsHasTwoPositions) {
    TempDir tmp;
    const std::string f = tmp / "both";
    ASSERT_EQ(sh("printf AAAA; printf BB >&2", f.c_str(), f.c_str()), 0);
    // Both descriptors start at offset 0, so the second writer overwrites.
    EXPECT_EQ(testsupport::read_file(f), "BBAA");
}

TEST(Execute, NewOutputFileHasMode0644LessTheUmask) {
    TempDir tmp;
    const std::string f = tmp / "new";
    const mode_t old = umask(0);
    ASSERT_EQ(sh("true", f.c_str()), 0);
    umask(077);
    const std::string g = tmp / "new2";
    ASSERT_EQ(sh("true", g.c_str()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(g.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

namespace {
int* watched_pid = nullptr;
volatile sig_atomic_t seen_pid = -1;
void record_pid(int) { seen_pid = *watched_pid; }
}  // namespace

TEST(Execute, PidHoldsTheChildWhileItRunsThenZero) {
    TempDir tmp;
    const std::string out = tmp / "pid";
    int pid = -7;
    watched_pid = &pid;
    signal(SIGUSR1, record_pid);
    // The child tells us its id on stdout and pokes us while it runs; the
    // handler reads the out-parameter at that moment. The pause leaves the
    // launcher time to store the id once the spawn has returned.
    ASSERT_EQ(sh("echo $$; sleep 0.3; kill -USR1 $PPID; sleep 0.2", out.c_str(), nullptr, &pid), 0);
    signal(SIGUSR1, SIG_DFL);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(static_cast<int>(seen_pid), atoi(testsupport::read_file(out).c_str()));
    EXPECT_GT(static_cast<int>(seen_pid), 0);
}

TEST(Execute, ForkVariant) {
    TempDir tmp;
    int pid = -7;
    char t[] = "/bin/true";
    char* argv[] = {t, nullptr};
    EXPECT_EQ(_execute(t, &pid, argv, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(pid, 0);
    char f[] = "/bin/false";
    char* argv2[] = {f, nullptr};
    EXPECT_EQ(_execute(f, &pid, argv2, nullptr, nullptr, nullptr), -4);
    // No PATH search: a bare name fails in the child, which ends with 128.
    char bare[] = "true";
    char* argv3[] = {bare, nullptr};
    EXPECT_EQ(_execute(bare, &pid, argv3, nullptr, nullptr, nullptr), -4);
    // Created output files get mode 027 (less the umask).
    const std::string out = tmp / "out";
    const mode_t old = umask(0);
    EXPECT_EQ(_execute(t, &pid, argv, nullptr, out.c_str(), nullptr), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 027u);
}

// With the daemons' SIGCHLD handler installed, every launcher call on every
// thread still gets its own child's status, and children that nobody waits
// for are reaped all the same.
TEST(Execute, ConcurrentCallsKeepTheirOwnResultsUnderTheReapingHandler) {
    std::atomic<int> exit_flag{0};
    signals(&exit_flag);
    constexpr int threads = 4;
    constexpr int rounds = 40;
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&wrong] {
            for (int i = 0; i < rounds; ++i) {
                if (sh("exit 0") != 0) wrong++;
                if (sh("exit 3") != -4) wrong++;
                if (sh("kill -9 $$") != -3) wrong++;
                execute_watch w;
                if (sh_watched("exit 3", &w) != -4 || w.stalled != 0) wrong++;
            }
        });
    }
    // Meanwhile, children of our own that no launcher waits for.
    std::vector<pid_t> orphans;
    for (int i = 0; i < 20; ++i) {
        const pid_t p = fork();
        if (p == 0) _exit(0);
        orphans.push_back(p);
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(exit_flag.load(), 0) << "SIGCHLD must never stop the daemon";
    // Every orphan is gone: reaped by the handler, not left a zombie. The
    // check peeks without reaping (WNOWAIT), so only the handler can reap.
    for (pid_t p : orphans) {
        EXPECT_TRUE(testsupport::wait_until([p] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(p), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
        })) << "child " << p << " was not reaped";
    }
}

// A watched run with a short stall period: a hang is killed; a run that
// grows a named file or moves its own I/O counters is not.
TEST(ExecuteWatched, KillsARunWithoutProgressOnly) {
    TempDir tmp;
    execute_watch w;
    w.stall_seconds = 2;
    EXPECT_EQ(sh_watched("exec sleep 60", &w), -3);
    EXPECT_EQ(w.stalled, 2);
    // The kill takes the tool's whole process group.
    const std::string child_pid = tmp / "child";
    EXPECT_EQ(sh_watched(wrapper_of_a_hung_child(child_pid), &w), -3);
    EXPECT_EQ(w.stalled, 2);
    expect_child_gone(child_pid);

    // The file grows by another hand while the child only sleeps.
    const std::string out = tmp / "out";
    auto sleep_while_growing = [&] {
        std::atomic<bool> done{false};
        std::thread appender([&] {
            for (int i = 0; i < 12 && !done; ++i) {
                testsupport::write_file(out, std::string(static_cast<size_t>(i + 1), 'x'));
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        });
        const int r = sh_watched("exec sleep 6", &w);
        done = true;
        appender.join();
        return r;
    };
    EXPECT_EQ(sleep_while_growing(), -3) << "growth of a file nobody named is no progress";
    EXPECT_EQ(w.stalled, 2);
    w.files[1] = out.c_str();
    EXPECT_EQ(sleep_while_growing(), 0);
    EXPECT_EQ(w.stalled, 0);

    w.files[1] = nullptr;
    EXPECT_EQ(sh_watched(READS_FOR_4S, &w), 0);
    EXPECT_EQ(w.stalled, 0);
    // The result and the kill are the run's own under the reaping handler.
    std::atomic<int> exit_flag{0};
    signals(&exit_flag);
    EXPECT_EQ(sh_watched("exit 1", &w), -4);
    EXPECT_EQ(sh_watched("exec sleep 60", &w), -3);
    EXPECT_EQ(w.stalled, 2);
}

// Once the exit flag is up, a run idle for the short stop period is killed,
// with what it started; one that makes progress still completes.
TEST(ExecuteWatched, AStopShortensTheWaitForAHungRunOnly) {
    TempDir tmp;
    std::atomic<int> exit_flag{0};
    execute_watch w;
    w.exit_flag = &exit_flag;
    w.stall_seconds = 100;
    w.stop_stall_seconds = 1;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        exit_flag.store(1);
    });
    const std::string child_pid = tmp / "child";
    EXPECT_EQ(sh_watched(wrapper_of_a_hung_child(child_pid), &w), -3);
    stopper.join();
    EXPECT_EQ(w.stalled, 1);
    expect_child_gone(child_pid);
    EXPECT_EQ(sh_watched(READS_FOR_4S, &w), 0);
    EXPECT_EQ(w.stalled, 0);
}
