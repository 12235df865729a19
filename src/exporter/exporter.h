// The export worker: numbers and stores new tasks, and runs them one at a
// time on its own thread, ffmpeg making a thumbnail and then the clip.
#pragma once

#include "exporter/instance.h"

// Numbers obj (an export_task_t), stores its meta, state and playlist files,
// announces it and queues its number. The caller keeps and frees obj.
// Returns the queue length after the insertion, or -12 when the queue is full.
int exporter_enqueue(instance_t* instance, void* obj);

// The worker thread's body; p is the instance_t.
void* exporter_thread_proc(void* p);

// True once the worker thread has left its loop.
bool exporter_finished(instance_t* instance);

// Queues again, in number order, every stored task whose state file still
// says queued (0) or running (1): accepted work that a stop or a crash
// interrupted. Reading every state file, it also gives the metrics the
// state of each stored task. Returns how many were queued.
int exporter_requeue_unfinished(instance_t* instance);

// Ends the tool runs that a killed daemon of this tasks folder left going:
// processes whose output is a part file in a task folder here, owned by
// another process. Left alone, such a run writes its part after the task has
// been run again. Returns how many it killed.
int exporter_stop_orphan_runs(instance_t* instance);
