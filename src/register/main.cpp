// Brindlewood, the register daemon: files every segment the recorder closes
// in the watch directory into the media library.
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "demonize.h"
#include "logger.h"
#include "register/instance.h"

namespace {

instance_t* instance = nullptr;
std::atomic<int> f_exit{0};

void wait_for_exit_flag() {
    while (f_exit.load() == 0) sleep(1);
    // The signal's own line comes before the shutdown lines.
    signals_flush();
}

}  // namespace

int main(int argc, char** argv) {
    if (instance_init(&instance) != 0) {
        fprintf(stderr, "ERROR: no memory for the instance record\n");
        return -12;
    }
    instance->p_exit = &f_exit;
    const int r = instance_opts(instance, argc, argv);
    if (r != 0) {
        instance_release(&instance);
        return r;
    }
    if (instance->f_demonize && !instance->f_nodemonize) {
        logger_dup(0);
        demonize();
    }
    logger_init(instance->log_file_name, instance->log_rotate_interval);
    logger_printf(0, "%s", PRODUCT_STRING);
    signals(&f_exit);
    pthread_mutex_init(&instance->lock, nullptr);
    pthread_cond_init(&instance->reg_queue.cond, nullptr);

    wait_for_exit_flag();

    pthread_cond_destroy(&instance->reg_queue.cond);
    pthread_mutex_destroy(&instance->lock);
    instance_release(&instance);
    logger_printf(0, "Bye!");
    logger_release();
    return 0;
}
