#include "register/watcher.h"

#include <sys/inotify.h>
#include <sys/select.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "archive/library.h"
#include "handles.h"
#include "logger.h"
#include "text.h"
#include "register/register.h"

namespace {

constexpr const char* WATCHER = "watcher_thread_proc";
constexpr size_t EVENT_BUF_LEN = 40960;

struct alignas(struct inotify_event) event_buffer {
    char bytes[EVENT_BUF_LEN];
};

// The close-after-write notices of one read, in order.
void handle_events(instance_t* instance, const char* buf, size_t n) {
    size_t offset = 0;
    while (offset + sizeof(struct inotify_event) <= n) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buf + offset);
        offset += sizeof(struct inotify_event) + e->len;
        // A notice with no name is about the watch itself or a lost-events
        // overflow.
        if (e->len == 0 || offset > n || (e->mask & IN_CLOSE_WRITE) == 0) continue;
        logger_printf(0, "%s: IN_CLOSE_WRITE [%s]", WATCHER, text_escape(e->name).c_str());
        if (!archive::first_ts_ends(e->name)) continue;
        if (!archive::segment_name_is_clean(e->name)) {
            logger_printf(1, "%s: [%s] holds a control character, which the index cannot hold; not registered",
                          WATCHER, text_escape(e->name).c_str());
            continue;
        }
        register_enqueue(instance, e->name);
    }
}

// false when the watch must end.
bool watch_pass(instance_t* instance, int ifd, event_buffer* buf) {
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(ifd, &read_set);
    struct timeval timeout = {1, 0};
    const int ready = select(ifd + 1, &read_set, nullptr, nullptr, &timeout);
    // SIGCHLD of the register thread's tools may land here; only a stop
    // signal, seen by the caller's flag test, ends the watch.
    if (ready < 0 && errno == EINTR) return true;
    if (ready < 0) {
        logger_printf(1, "%s: select failed: %s", WATCHER, register_errno_text(errno));
        return false;
    }
    if (ready == 0 || !FD_ISSET(ifd, &read_set)) return true;
    const ssize_t n = read(ifd, buf->bytes, sizeof buf->bytes);
    if (n < 0 && errno == EINTR) return true;
    if (n < 0) {
        logger_printf(1, "%s: read failed: %s", WATCHER, register_errno_text(errno));
        return false;
    }
    handle_events(instance, buf->bytes, static_cast<size_t>(n));
    return true;
}

// false when watching could not begin (already logged).
bool watch(instance_t* instance) {
    // Close-on-exec, so that ffprobe and ffmpeg do not inherit it.
    unique_fd ifd(inotify_init1(IN_CLOEXEC));
    if (!ifd) {
        const int r = -errno;
        logger_printf(1, "%s: inotify_init() failed, errno=%d (%s)", WATCHER, r, register_errno_text(-r));
        return false;
    }
    // select cannot take a descriptor beyond its set.
    if (ifd.get() >= FD_SETSIZE) {
        logger_printf(1, "%s: inotify descriptor %d is beyond select's limit", WATCHER, ifd.get());
        return false;
    }
    logger_printf(0, "%s: watching [%s]", WATCHER, instance->path.watch);
    const int iwd = inotify_add_watch(ifd.get(), instance->path.watch, IN_CLOSE_WRITE);
    if (iwd < 0) {
        const int r = -errno;
        logger_printf(1, "%s: inotify_add_watch(%s) failed, errno=%d [%s]", WATCHER, instance->path.watch, r,
                      register_errno_text(-r));
        return false;
    }
    // With the watch in place, closes during the scan wait in the kernel; a
    // segment closed meanwhile may come twice, and its second link fails
    // while the first is pending.
    register_recover(instance);
    auto buf = std::make_unique<event_buffer>();
    logger_printf(0, "%s: waiting...", WATCHER);
    while (instance->p_exit->load() == 0) {
        if (!watch_pass(instance, ifd.get(), buf.get())) break;
    }
    inotify_rm_watch(ifd.get(), iwd);
    return true;
}

}  // namespace

void* watcher_thread_proc(void* p) {
    auto* instance = static_cast<instance_t*>(p);
    logger_printf(0, "%s: starting...", WATCHER);
    if (watch(instance)) {
        logger_printf(0, "%s: exiting...", WATCHER);
    } else {
        // Links an earlier run left are registered all the same.
        register_recover(instance, false);
    }
    return nullptr;
}
