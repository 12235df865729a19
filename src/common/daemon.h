// The start and the end that both daemons share: record, options,
// detaching, log, signals, the lock and the queue's condition.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "common/instance.h"
#include "demonize.h"
#include "logger.h"

namespace keelson {

// Creates the record in *pinstance and parses the command line with opts.
// 0 when the daemon goes on (detached if asked, logging, its signal handlers
// in place); otherwise the status to exit with, the record already gone.
template <class Instance>
int daemon_open(Instance** pinstance, std::atomic<int>* f_exit, int argc, char** argv,
                int (*opts)(Instance*, int, char**), const char* banner) {
    if (instance_create(pinstance) != 0) {
        fprintf(stderr, "ERROR: no memory for the instance record\n");
        return -12;
    }
    Instance* instance = *pinstance;
    instance->p_exit = f_exit;
    const int r = opts(instance, argc, argv);
    if (r != 0) {
        instance_destroy(pinstance);
        return r;
    }
    if (instance->f_demonize && !instance->f_nodemonize) {
        logger_dup(0);
        demonize();
    }
    logger_init(instance->log_file_name, instance->log_rotate_interval);
    logger_printf(0, "%s", banner);
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
