// Export tasks: the record, the JSON request it is built from, and the task
// store, one folder per task under the tasks directory holding the task's
// meta file, its state file and its playlist (their names and the state's
// and playlist's formats are archive/task_store's and archive/playlist's).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>

struct json_object;

// One segment of a task's span: its time (which also names its file in the
// library) and its duration in 90 kHz ticks.
struct export_task_timestamp_desc {
    time_t t;
    int64_t d;
};
typedef struct export_task_timestamp_desc export_task_timestamp_t;

// One heap block, zero-filled: the fixed part, then timestamps_cnt entries.
// Released with free(); export_task_ptr does that.
struct export_task_desc {
    int sys_id;
    int state;  // an archive::task_state: 0 queued, 1 running, 2 done, 3 failed, <0 load error
    int lib_idx;
    char date[4096];
    char from[4096];
    char to[4096];
    char title[4096];
    double head_offs;
    double tail_rem;
    double length;
    // Cut from the exact frame at head_offs rather than from where the
    // stream copy can start; asked for per task with "exact_trim".
    int f_exact_trim;
    int timestamps_cnt;
    export_task_timestamp_t timestamps_list[];
};
typedef struct export_task_desc export_task_t;

struct export_task_free {
    void operator()(export_task_t* task) const { free(task); }
};
using export_task_ptr = std::unique_ptr<export_task_t, export_task_free>;

// A new record from a request object (the value of "new_task"): 0, or -22 for
// a malformed request (not an object, a required key missing, "timestamps"
// not a non-empty array), -12 without memory. *ptask is set only on success.
int export_task_from_json(struct json_object* json, export_task_t** ptask);

// A new record, without segments, from a parsed meta file.
int export_task_from_meta_json(struct json_object* json, export_task_t** ptask);

// Loads the meta file of task sys_id under the tasks directory path: 0, the
// negated errno value when it cannot be read, -22 when it does not parse.
int export_task_load_meta(const char* path, int sys_id, export_task_t** ptask);

// Writes the meta file and the state file of task->sys_id, each whole: a
// kill leaves the old file or the new one.
int export_task_save_meta(const char* path, export_task_t* task);
int export_task_save_state(const char* path, export_task_t* task);

// The numbers of the task folders under path, in directory order, in a new
// array the caller frees with free(). Returns their count (the list stays
// null for none), or -22 when path cannot be listed.
int export_task_lists(const char* path, int** plist);

struct task_list_free {
    void operator()(int* p) const { free(p); }
};
// Owns a list from export_task_lists.
using task_list_ptr = std::unique_ptr<int, task_list_free>;

// Not built: always -22 and *pjson untouched. Nothing calls it.
int export_task_to_json(export_task_t* task, struct json_object** pjson);

// Writes the task's HLS playlist, its segments under the library root lib.
int export_task_save_m3u8(const char* path, export_task_t* task, const char* lib);
