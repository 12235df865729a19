// A daemon's instance record set up as its threads expect it (exit flag,
// lock, queue condition), for benchmarks that run those threads without
// the daemon's entry.
#pragma once

#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include "common/instance.h"

namespace bench {

template <class Instance>
class instance_owner {
public:
    instance_owner() {
        if (keelson::instance_create(&instance) != 0) throw std::runtime_error("no memory for the instance record");
        instance->p_exit = &exit_flag;
        pthread_mutex_init(&instance->lock, nullptr);
        pthread_cond_init(&instance->reg_queue.cond, nullptr);
    }
    ~instance_owner() {
        pthread_cond_destroy(&instance->reg_queue.cond);
        pthread_mutex_destroy(&instance->lock);
        keelson::instance_destroy(&instance);
    }
    instance_owner(const instance_owner&) = delete;
    instance_owner& operator=(const instance_owner&) = delete;

    std::atomic<int> exit_flag{0};
    Instance* instance = nullptr;
};

}  // namespace bench
