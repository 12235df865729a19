// BrindlewoodClient prune: keeps the media library, and the export daemon's
// tasks folder, from filling their disk. It removes whole hour folders,
// oldest first, until the age and free-space limits hold, and finished task
// folders past their age; never the current UTC hour or the one before it,
// an hour a queued or running task still plays, or the highest-numbered
// task folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace client {

// Space to keep free on the library's file system: a number of bytes, or a
// share of its size when percent is set.
struct free_target {
    uint64_t bytes = 0;
    std::optional<double> percent;
};

struct prune_opts {
    std::string lib_path;
    std::string tasks_path;  // empty: no tasks folder to protect or prune
    std::optional<int> keep_days;
    std::optional<free_target> min_free;
    std::optional<int> keep_tasks_days;
    bool dry_run = false;
};

// What a run removed (or would remove).
struct prune_report {
    int hours = 0;
    uint64_t hour_bytes = 0;
    int tasks = 0;
    uint64_t task_bytes = 0;
    uint64_t free_bytes = 0;  // on the library's file system, afterwards
    uint64_t total_bytes = 0;
    int hour_folders = 0;     // found in the library
    int folders_visited = 0;  // opened and listed: the hours only to remove them
};

// Prunes as of `now` (seconds since the epoch). Writes to out one line per
// hour folder ("hour YYYY/MM/DD/HH") and task folder ("task NNNNN") it
// removes, then the summary line; reasons go to standard error. The exit
// status: 0, or 1 when it refused, failed part way or could not reach
// --min-free.
int run_prune(const prune_opts& opts, int64_t now, FILE* out, prune_report* report);

// The command with its options, argv[0] being "prune".
int cmd_prune(int argc, char** argv);

}  // namespace client
