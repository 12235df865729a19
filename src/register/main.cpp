// Brindlewood, the register daemon: files every segment the recorder closes
// in the watch directory into the media library.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>

#include "common/daemon.h"
#include "demonize.h"
#include "logger.h"
#include "register/instance.h"
#include "register/register.h"
#include "register/watcher.h"

namespace {

instance_t* instance = nullptr;
std::atomic<int> f_exit{0};

// A thread of the daemon and whether it runs.
struct worker {
    const char* name;
    void* (*proc)(void*);
    pthread_t thread;
    bool started;
};

// A thread that cannot start stops the daemon: without either thread no
// segment would ever be registered.
bool start(worker* w) {
    const int r = pthread_create(&w->thread, nullptr, w->proc, instance);
    w->started = r == 0;
    if (!w->started) {
        logger_printf(1, "%s: pthread_create(%s) failed %d (%s)", "main", w->name, -r, register_errno_text(r));
        f_exit.fetch_add(1);
    }
    return w->started;
}

void wait_for_exit_flag() {
    while (f_exit.load() == 0) sleep(1);
    // The signal's own line comes before the shutdown lines.
    signals_flush();
}

void stop(worker* w, bool wake_queue) {
    logger_printf(0, "%s: waiting %s...", "main", w->name);
    if (wake_queue) keelson::queue_wake(&instance->lock, &instance->reg_queue);
    if (w->started) pthread_join(w->thread, nullptr);
    logger_printf(0, "%s: finished %s", "main", w->name);
}

}  // namespace

int main(int argc, char** argv) {
    // One daemon to a holding folder: a second would register everything
    // twice.
    const keelson::daemon_desc<instance_t> desc{PRODUCT_NAME, PRODUCT_STRING, brindlewood::instance_opts,
                                                [](const instance_t* i) -> const char* { return i->path.tmp; }};
    std::optional<unique_fd> folder_lock;
    const int r = keelson::daemon_open(&instance, &f_exit, argc, argv, desc, &folder_lock);
    if (r != 0) return r;

    worker reg{"register", register_thread_proc, {}, false};
    worker watcher{"watcher", watcher_thread_proc, {}, false};
    // The watcher queues what a stop or a crash left behind before anything
    // new.
    if (start(&reg)) start(&watcher);

    wait_for_exit_flag();

    // The producer goes first, so nothing is queued once the consumer ends.
    stop(&watcher, false);
    stop(&reg, true);
    const int status = reg.started && watcher.started ? 0 : 1;
    keelson::daemon_close(&instance);
    return status;
}
