// The register queue's producer side: a segment's hard link into the holding
// folder, then its name on the queue for the register thread.
#pragma once

#include <memory>

#include "register/instance.h"

// Hard-links name from path.watch into path.tmp and queues a copy of the
// name. The queue's new length, -12 when it is full (the link stays for the
// next start), -36 when a path does not fit, or the negated errno of the link.
int register_enqueue(instance_t* instance, const char* name);

// Hard-links name from path.watch into path.tmp, or, where the kernel
// refuses the link, copies it there: 0, or the negated errno, logged.
int register_link(const instance_t* instance, const char* name);

// Queues a copy of name: the new length, or -12 when the queue is full or
// there is no memory for the copy.
int register_queue_name(instance_t* instance, const char* name);

// Waits for a name; null once the exit flag is up.
std::unique_ptr<char[]> register_take(instance_t* instance);

// Names still queued at the end are dropped; their links stay for the next
// start.
void register_drop_all(instance_t* instance);
