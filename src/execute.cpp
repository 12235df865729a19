#include "execute.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

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
    spawn_actions fa;
    if (!fa.ok()) return -ENOMEM;
    int r = fa.open(STDIN_FILENO, "/dev/null", O_RDWR);
    if (r == 0) r = fa.open(STDOUT_FILENO, stdout_file ? stdout_file : "/dev/null", O_RDWR | O_CREAT);
    if (r == 0) r = fa.open(STDERR_FILENO, stderr_file ? stderr_file : "/dev/null", O_RDWR | O_CREAT);
    if (r != 0) return -r;

    pid_t child = 0;
    r = posix_spawnp(&child, app, fa.get(), nullptr, argc, envs ? envs : empty_env);
    if (r != 0) return -r;
    if (pid) *pid = child;
    int status = 0;
    const bool waited = wait_own_child(child, &status);
    if (pid) *pid = 0;
    return map_status(waited, status);
}

int _execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
             const char* stderr_file) {
    *pid = -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        redirect(STDIN_FILENO, "/dev/null", O_RDWR);
        redirect(STDOUT_FILENO, stdout_file ? stdout_file : "/dev/null", O_RDWR | O_CREAT);
        redirect(STDERR_FILENO, stderr_file ? stderr_file : "/dev/null", O_RDWR | O_CREAT);
        execve(app, argc, envs ? envs : empty_env);
        _exit(128);
    }
    *pid = child;
    int status = 0;
    const bool waited = wait_own_child(child, &status);
    *pid = 0;
    return map_status(waited, status);
}
