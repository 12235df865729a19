#include "register/queue.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "handles.h"
#include "logger.h"
#include "register/copy.h"
#include "register/register.h"
#include "utils.h"

namespace {

constexpr const char* ENQUEUE = "register_enqueue";

std::unique_ptr<char[]> copy_name(const char* name) {
    const size_t n = strlen(name) + 1;
    try {
        auto copy = std::make_unique<char[]>(n);
        memcpy(copy.get(), name, n);
        return copy;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Appends an owned name; the new length, or -12 when the queue is full.
int queue_push(instance_t* instance, std::unique_ptr<char[]> name) {
    auto& q = instance->reg_queue;
    int r = -12;
    mutex_guard guard(&instance->lock);
    if (q.len < MAX_REG_QUEUE_LEN) {
        q.items[q.len++] = std::move(name);
        r = q.len;
    }
    pthread_cond_signal(&q.cond);
    return r;
}

// Copies src to dst instead of linking it. link_error is why the link failed;
// it is said once per run with its remedy.
int copy_in(const char* src, const char* dst, int link_error) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        logger_printf(1,
                      "%s: link([%s], [%s]) failed %d (%s); copying segments instead. Put the watch folder on "
                      "the holding folder's file system, and let the recorder share our group with umask 002",
                      ENQUEUE, src, dst, link_error, register_errno_text(-link_error));
    }
    const int64_t copied = copy_file_hidden(src, dst);
    if (copied < 0) return static_cast<int>(copied);
    logger_printf(0, "%s: [%s] copied into [%s], %ld bytes", ENQUEUE, src, dst, static_cast<long>(copied));
    return 0;
}

}  // namespace

int register_link(const instance_t* instance, const char* name) {
    char src[PATH_MAX];
    char dst[PATH_MAX];
    if (!utils_format_path(src, sizeof src, "%s/%s", instance->path.watch, name) ||
        !utils_format_path(dst, sizeof dst, "%s/%s", instance->path.tmp, name)) {
        logger_printf(1, "%s: path too long for [%s]", ENQUEUE, name);
        return -ENAMETOOLONG;
    }
    if (link(src, dst) == 0) return 0;
    int r = -errno;
    // Refused by fs.protected_hardlinks (a recorder of another user whose
    // file we may read but not write) or across mounts: the segment is still
    // readable, so a copy takes the link's place rather than losing it.
    if (r == -EPERM || r == -EXDEV) r = copy_in(src, dst, r);
    if (r != 0) {
        logger_printf(1, "%s: link([%s], [%s]) failed %d (%s)", ENQUEUE, src, dst, r, register_errno_text(-r));
    }
    return r;
}

int register_queue_name(instance_t* instance, const char* name) {
    auto copy = copy_name(name);
    return copy ? queue_push(instance, std::move(copy)) : -12;
}

int register_enqueue(instance_t* instance, const char* name) {
    const int linked = register_link(instance, name);
    if (linked != 0) return linked;
    auto copy = copy_name(name);
    if (!copy) {
        logger_printf(1, "%s: no memory for [%s], it stays in [%s]", ENQUEUE, name, instance->path.tmp);
        return -12;
    }
    const int r = queue_push(instance, std::move(copy));
    if (r < 0) {
        logger_printf(1, "%s: queue full (%d names waiting), [%s] stays in [%s]", ENQUEUE, MAX_REG_QUEUE_LEN,
                      name, instance->path.tmp);
    }
    return r;
}

std::unique_ptr<char[]> register_take(instance_t* instance) {
    auto& q = instance->reg_queue;
    mutex_guard guard(&instance->lock);
    while (q.len == 0 && instance->p_exit->load() == 0) pthread_cond_wait(&q.cond, &instance->lock);
    if (instance->p_exit->load() != 0 || q.len == 0) return nullptr;
    std::unique_ptr<char[]> name = std::move(q.items[0]);
    std::move(q.items + 1, q.items + q.len, q.items);
    --q.len;
    return name;
}

void register_drop_all(instance_t* instance) {
    auto& q = instance->reg_queue;
    mutex_guard guard(&instance->lock);
    for (int i = 0; i < q.len; ++i) q.items[i].reset();
    q.len = 0;
}
