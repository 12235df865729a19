// The start and the end that both daemons share: record, options,
// detaching, log, signals, the lock and the queue's condition.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/instance.h"
#include "demonize.h"
#include "handles.h"
#include "logger.h"

namespace keelson {

// What a daemon's start needs to know of it.
template <class Instance>
struct daemon_desc {
    const char* program;  // the name a refusal gives
    const char* banner;
    int (*opts)(Instance*, int, char**);
    // The folder that one daemon of this kind has to itself.
    const char* (*folder)(const Instance*);
};

// An exclusive lock on the folder itself (no file is added to it), held
// through *lock for the whole run and by nothing the daemon starts. 0 when
// held, else the errno: EWOULDBLOCK while another process holds it.
inline int lock_folder(const char* folder, std::optional<unique_fd>* lock) {
    unique_fd fd(open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return errno;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno;
    lock->emplace(fd.release());
    return 0;
}

// Creates the record in *pinstance and parses the command line. 0 when the
// daemon goes on (its folder locked through *lock, detached if asked,
// logging, its signal handlers in place); otherwise the status to exit with,
// the record already gone: 1 when another daemon holds the folder.
template <class Instance>
int daemon_open(Instance** pinstance, std::atomic<int>* f_exit, int argc, char** argv,
                const daemon_desc<Instance>& desc, std::optional<unique_fd>* lock) {
    if (instance_create(pinstance) != 0) {
        fprintf(stderr, "ERROR: no memory for the instance record\n");
        return -12;
    }
    Instance* instance = *pinstance;
    instance->p_exit = f_exit;
    const int r = desc.opts(instance, argc, argv);
    if (r != 0) {
        instance_destroy(pinstance);
        return r;
    }
    // Before detaching, while there is a standard error to say it on; the
    // detached child keeps the lock, as it keeps the open descriptor.
    const char* folder = desc.folder(instance);
    const int locked = lock_folder(folder, lock);
    if (locked == EWOULDBLOCK) {
        fprintf(stderr, "ERROR: [%s] is in use by another %s; not starting\n", folder, desc.program);
        instance_destroy(pinstance);
        return 1;
    }
    if (instance->f_demonize && !instance->f_nodemonize) {
        logger_dup(0);
        demonize();
    }
    logger_init(instance->log_file_name, instance->log_rotate_interval);
    logger_printf(0, "%s", desc.banner);
    if (locked != 0) {
        const char* text = strerrordesc_np(locked);
        logger_printf(1, "%s: cannot lock [%s] (%s): a second %s on it would go unnoticed", "daemon_open", folder,
                      text ? text : "Unknown error", desc.program);
    }
    signals(f_exit);
    pthread_mutex_init(&instance->lock, nullptr);
    pthread_cond_init(&instance->reg_queue.cond, nullptr);
    return 0;
}

// Releases what daemon_open made, logs the last line and writes out the log.
template <class Instance>
void daemon_close(Instance** pinstance) {
    pthread_cond_destroy(&(*pinstance)->reg_queue.cond);
    pthread_mutex_destroy(&(*pinstance)->lock);
    instance_destroy(pinstance);
    logger_printf(0, "Bye!");
    logger_release();
}

}  // namespace keelson
