// The bounded work queue both daemons keep in their instance record: one
// producer, one consumer thread, first in first out, guarded by the record's
// lock. The register daemon queues segment names, the export daemon task
// numbers.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>

#include "handles.h"

// 8196, not 8192: the queue's size as it has always been.
constexpr int MAX_REG_QUEUE_LEN = 8196;

namespace keelson {

// items[0] is the oldest of the len waiting; cond is signalled by every
// push and broadcast at shutdown. A zero-filled record is an empty queue;
// the daemon's start initialises cond (common/daemon.h).
template <class Item, int Capacity = MAX_REG_QUEUE_LEN>
struct bounded_queue {
    Item items[Capacity];
    pthread_cond_t cond;
    int len;
};

// Appends item: the new length, or -12 when the queue is full (item is then
// dropped). Signals cond either way.
template <class Item, int Capacity>
int queue_push(pthread_mutex_t* lock, bounded_queue<Item, Capacity>* q, Item item) {
    mutex_guard guard(lock);
    int r = -12;
    if (q->len < Capacity) {
        q->items[q->len++] = std::move(item);
        r = q->len;
    }
    pthread_cond_signal(&q->cond);
    return r;
}

// Waits while the queue is empty and the exit flag is 0, then takes the
// oldest item; nothing once the flag is up.
template <class Item, int Capacity>
std::optional<Item> queue_take(pthread_mutex_t* lock, bounded_queue<Item, Capacity>* q,
                               const std::atomic<int>* exit_flag) {
    mutex_guard guard(lock);
    while (q->len == 0 && exit_flag->load() == 0) pthread_cond_wait(&q->cond, lock);
    if (exit_flag->load() != 0 || q->len == 0) return std::nullopt;
    std::optional<Item> item(std::move(q->items[0]));
    std::move(q->items + 1, q->items + q->len, q->items);
    --q->len;
    return item;
}

// Empties the queue; what was waiting is dropped.
template <class Item, int Capacity>
void queue_drop_all(pthread_mutex_t* lock, bounded_queue<Item, Capacity>* q) {
    mutex_guard guard(lock);
    for (int i = 0; i < q->len; ++i) q->items[i] = Item();
    q->len = 0;
}

// Wakes the consumer for the exit flag: under the lock, so that one which
// has just tested the flag is waiting already.
template <class Item, int Capacity>
void queue_wake(pthread_mutex_t* lock, bounded_queue<Item, Capacity>* q) {
    mutex_guard guard(lock);
    pthread_cond_broadcast(&q->cond);
}

}  // namespace keelson
