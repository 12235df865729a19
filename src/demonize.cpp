#include "demonize.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "execute.h"
#include "logger.h"

namespace {

std::atomic<int>* exit_flag = nullptr;
// Signals received but not logged yet, per signal number.
std::atomic<int> pending[NSIG];
// Serialises the flushes of the writer thread and of main, so that a line
// taken by one of them is written before the other returns.
std::mutex flush_lock;

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<int>*>::is_always_lock_free);

void install(int sig, void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // the handler stays, interrupted calls restart
    sigaction(sig, &sa, nullptr);
}

}  // namespace

int demonize() {
    const pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "ERROR: 'fork' failed with code %d\n", pid);
        return 1;
    }
    if (pid > 0) _exit(0);
    umask(0);
    const pid_t sid = setsid();
    if (sid < 0) {
        fprintf(stderr, "ERROR: 'setid' failed with code %d\n", sid);
        return 1;
    }
    const int r = chdir("/");
    if (r < 0) {
        fprintf(stderr, "ERROR: Unable to change root directory. 'chdir' failed with code %d\n", r);
        return 1;
    }
    const int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO) close(fd);
    }
    return 0;
}

void sighandler(int sig) {
    if (sig > 0 && sig < NSIG) pending[sig].fetch_add(1);
    if (std::atomic<int>* flag = exit_flag) flag->fetch_add(1);
}

void sighandler_ignore(int sig) {
    (void)sig;
    const int saved = errno;
    execute_reap_children();
    errno = saved;
}

void signals_flush() {
    std::lock_guard<std::mutex> guard(flush_lock);
    for (int sig = 1; sig < NSIG; ++sig) {
        for (int n = pending[sig].exchange(0); n > 0; --n) {
            logger_printf(1, "sighandler: [%d] catched %d", getpid(), sig);
        }
    }
}

void signals(std::atomic<int>* flag) {
    exit_flag = flag;
    logger_set_pass_hook(signals_flush);
    install(SIGCHLD, sighandler_ignore);
    install(SIGINT, sighandler);
    install(SIGTERM, sighandler);
    install(SIGPIPE, sighandler_ignore);
    install(SIGHUP, sighandler);
    install(SIGALRM, sighandler);
}

long long get_current_timestamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
