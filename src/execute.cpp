#include "execute.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "handles.h"

namespace {

// Statuses of children reaped by the signal handler, so that the launcher
// call waiting for one of them still learns how it ended. A ring: entries of
// children nobody waits for are simply overwritten later.
constexpr int REAPED_SLOTS = 256;
std::atomic<uint64_t> reaped[REAPED_SLOTS];
std::atomic<unsigned> reaped_next{0};
// Handlers between taking a child and recording it.
std::atomic<int> reaping{0};

static_assert(std::atomic<uint64_t>::is_always_lock_free);

uint64_t pack(pid_t pid, int status) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(pid)) << 32) | static_cast<uint32_t>(status);
}

// Takes the recorded status of pid out of the ring; false when none is there.
bool claim_reaped(pid_t pid, int* status) {
    for (auto& slot : reaped) {
        uint64_t v = slot.load();
        if (v != 0 && static_cast<pid_t>(v >> 32) == pid && slot.compare_exchange_strong(v, 0)) {
            *status = static_cast<int>(static_cast<uint32_t>(v));
            return true;
        }
    }
    return false;
}

// Waits for our own child. When the signal handler got there first, its
// record holds the status; while a handler is still between reaping and
// recording, keep looking.
bool wait_own_child(pid_t pid, int* status) {
    for (;;) {
        const pid_t r = waitpid(pid, status, 0);
        if (r == pid) return true;
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == ECHILD) break;
        return false;
    }
    for (;;) {
        if (claim_reaped(pid, status)) return true;
        if (reaping.load() == 0) return claim_reaped(pid, status);
        sched_yield();
    }
}

int map_status(bool waited, int status) {
    if (!waited) return -2;
    if (!WIFEXITED(status)) return -3;
    return WEXITSTATUS(status) != 0 ? -4 : 0;
}

char* empty_env[] = {nullptr};

// In a forked child: makes name descriptor fd (failures are not examined).
void redirect(int fd, const char* name, int flags) {
    const int opened = open(name, flags, 027);
    if (opened < 0 || opened == fd) return;
    dup2(opened, fd);
    close(opened);
}

// Owns spawn file actions for the length of one call.
class spawn_actions {
public:
    spawn_actions() { ok_ = posix_spawn_file_actions_init(&fa_) == 0; }
    ~spawn_actions() {
        if (ok_) posix_spawn_file_actions_destroy(&fa_);
    }
    spawn_actions(const spawn_actions&) = delete;
    spawn_actions& operator=(const spawn_actions&) = delete;

    bool ok() const { return ok_; }
    posix_spawn_file_actions_t* get() { return &fa_; }
    // Opens name straight onto fd in the child, so no descriptor of ours is
    // involved and close-on-exec cannot take it away.
    int open(int fd, const char* name, int flags) {
        return posix_spawn_file_actions_addopen(&fa_, fd, name, flags, 0644);
    }

private:
    posix_spawn_file_actions_t fa_;
    bool ok_ = false;
};

// Owns spawn attributes that put the child in a process group of its own,
// led by itself, so that a kill reaches whatever a wrapper script started.
// The signal mask is left alone: the child keeps the caller's.
class spawn_group_attr {
public:
    spawn_group_attr() {
        ok_ = posix_spawnattr_init(&attr_) == 0;
        if (ok_) err_ = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP);
        if (ok_ && err_ == 0) err_ = posix_spawnattr_setpgroup(&attr_, 0);
    }
    ~spawn_group_attr() {
        if (ok_) posix_spawnattr_destroy(&attr_);
    }
    spawn_group_attr(const spawn_group_attr&) = delete;
    spawn_group_attr& operator=(const spawn_group_attr&) = delete;

    // 0, or the error number of the step that failed.
    int error() const { return ok_ ? err_ : ENOMEM; }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_ = false;
    int err_ = 0;
};

// Starts the child with the launcher's redirections; 0 or a negated errno.
int spawn_child(const char* app, pid_t* child, char* const* argc, char* const* envs, const char* stdout_file,
                const char* stderr_file) {
    spawn_actions fa;
    if (!fa.ok()) return -ENOMEM;
    const spawn_group_attr attr;
    if (attr.error() != 0) return -attr.error();
    int r = fa.open(STDIN_FILENO, "/dev/null", O_RDWR);
    if (r == 0) r = fa.open(STDOUT_FILENO, stdout_file ? stdout_file : "/dev/null", O_RDWR | O_CREAT);
    if (r == 0) r = fa.open(STDERR_FILENO, stderr_file ? stderr_file : "/dev/null", O_RDWR | O_CREAT);
    // The tool gets these three and nothing else of the daemon's: no client
    // socket, no watch, no file it would keep open for writing.
    if (r == 0) r = posix_spawn_file_actions_addclosefrom_np(fa.get(), STDERR_FILENO + 1);
    if (r != 0) return -r;
    r = posix_spawnp(child, app, fa.get(), attr.get(), argc, envs ? envs : empty_env);
    return -r;
}

int64_t monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// What moves while a run makes progress.
struct progress_sample {
    int64_t sizes[4] = {};
    uint64_t rchar = 0;
    uint64_t wchar = 0;
    bool operator==(const progress_sample&) const = default;
};

uint64_t io_counter(const char* text, const char* key) {
    const char* at = strstr(text, key);
    return at ? strtoull(at + strlen(key), nullptr, 10) : 0;
}

progress_sample sample(pid_t child, const execute_watch& w) {
    progress_sample s;
    for (size_t i = 0; i < sizeof w.files / sizeof w.files[0]; ++i) {
        struct stat st;
        if (w.files[i] != nullptr) s.sizes[i] = stat(w.files[i], &st) == 0 ? st.st_size : -1;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(child));
    unique_fd io(open(path, O_RDONLY | O_CLOEXEC));
    char text[512];
    const ssize_t n = io ? read(io.get(), text, sizeof text - 1) : -1;
    if (n > 0) {
        text[n] = 0;
        s.rchar = io_counter(text, "rchar: ");
        s.wchar = io_counter(text, "wchar: ");
    }
    return s;
}

// A descriptor for our own child, or -1 (no pidfds here, or the child has
// already been reaped). The wait check makes sure that a reaped child's id,
// taken by a stranger since, is not watched: strangers are not our children.
int open_pidfd(pid_t child, bool* reaped) {
    unique_fd fd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    *reaped = !fd && errno == ESRCH;
    if (!fd) return -1;
    siginfo_t info{};
    if (waitid(P_PIDFD, static_cast<id_t>(fd.get()), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        *reaped = errno == ECHILD;
        return -1;
    }
    return fd.release();
}

// Waits up to timeout_ms for the child to end, without reaping it. True when
// it has ended (or the wait cannot tell: the caller's wait then blocks).
bool wait_ended(int pidfd, pid_t child, int timeout_ms) {
    if (pidfd >= 0) {
        struct pollfd p = {pidfd, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        return r > 0 || (r < 0 && errno != EINTR);
    }
    // Without pidfds: a look every 50 ms.
    for (int waited = 0;; waited += 50) {
        siginfo_t info{};
        const int r = waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if (r == 0 && info.si_pid == child) return true;
        // ECHILD: the SIGCHLD handler has reaped it.
        if (r < 0 && errno != EINTR) return true;
        if (waited >= timeout_ms) return false;
        usleep(50000);
    }
}

// Kills the child and its process group. The group goes even when the child
// has just ended by itself: what it started may live on and hang. No other
// process can get the group's id while a member of it lives.
void kill_run(pid_t child, int pidfd) {
    kill(-child, SIGKILL);
    // The child itself, in case it left the group. Through the pidfd the
    // signal cannot reach a process that has taken the id of a child reaped
    // meanwhile.
    if (pidfd >= 0) {
        syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    } else {
        kill(child, SIGKILL);
    }
}

// Waits for the child, clears the caller's pid and gives the result.
int reap(pid_t child, int* pid) {
    int status = 0;
    const bool waited = wait_own_child(child, &status);
    if (pid) *pid = 0;
    return map_status(waited, status);
}

// Looks at the running child once a second and kills it once it has made no
// progress for the period in force. Returns when the child has ended.
void watch_child(pid_t child, execute_watch* w) {
    bool reaped = false;
    const unique_fd pidfd(open_pidfd(child, &reaped));
    if (reaped) return;
    progress_sample last = sample(child, *w);
    int64_t last_progress = monotonic_ms();
    while (!wait_ended(pidfd.get(), child, 1000)) {
        const progress_sample now = sample(child, *w);
        const int64_t t = monotonic_ms();
        if (!(now == last)) {
            last = now;
            last_progress = t;
            continue;
        }
        const bool stopping = w->exit_flag != nullptr && w->exit_flag->load() != 0;
        const int limit = stopping ? w->stop_stall_seconds : w->stall_seconds;
        if (t - last_progress < static_cast<int64_t>(limit) * 1000) continue;
        kill_run(child, pidfd.get());
        w->stalled = limit;
        return;
    }
}

}  // namespace

void execute_reap_children() {
    reaping.fetch_add(1);
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        const unsigned slot = reaped_next.fetch_add(1) % REAPED_SLOTS;
        reaped[slot].store(pack(pid, status));
    }
    reaping.fetch_sub(1);
}

int execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
            const char* stderr_file) {
    pid_t child = 0;
    const int r = spawn_child(app, &child, argc, envs, stdout_file, stderr_file);
    if (r != 0) return r;
    if (pid) *pid = child;
    return reap(child, pid);
}

int execute_watched(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
                    const char* stderr_file, execute_watch* watch) {
    watch->stalled = 0;
    pid_t child = 0;
    const int r = spawn_child(app, &child, argc, envs, stdout_file, stderr_file);
    if (r != 0) return r;
    if (pid) *pid = child;
    watch_child(child, watch);
    const int result = reap(child, pid);
    // A killed run is never a success, even when the child itself had just
    // ended by itself: its group was cut off.
    return watch->stalled != 0 && result != -2 ? -3 : result;
}

int _execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
             const char* stderr_file) {
    *pid = -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        setpgid(0, 0);
        redirect(STDIN_FILENO, "/dev/null", O_RDWR);
        redirect(STDOUT_FILENO, stdout_file ? stdout_file : "/dev/null", O_RDWR | O_CREAT);
        redirect(STDERR_FILENO, stderr_file ? stderr_file : "/dev/null", O_RDWR | O_CREAT);
        close_range(STDERR_FILENO + 1, ~0U, 0);
        execve(app, argc, envs ? envs : empty_env);
        _exit(128);
    }
    // Also from this side, so that the group exists before anyone signals it.
    setpgid(child, child);
    *pid = child;
    return reap(child, pid);
}
