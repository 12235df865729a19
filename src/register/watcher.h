// The directory watcher: hands every segment the recorder closes in the
// watch directory to register_enqueue.
#pragma once

// The watcher thread's body; p is the instance_t*. Returns null.
void* watcher_thread_proc(void* p);
