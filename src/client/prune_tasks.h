// The export daemon's tasks folder as BrindlewoodClient prune sees it: which
// task folders are finished and since when, which library hours the
// unfinished ones still play, and the removal of a finished one.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/task_store.h"

namespace client::prune {

struct task_folder {
    int number = 0;
    std::string name;          // the folder's name
    bool real_folder = false;  // a folder, not a link to one
    std::optional<archive::task_state> state;  // nothing when its file is missing or holds no state
    time_t changed = 0;        // the state file's last change
};

// Done (2), failed (3) or never loaded (negative). A task still queued or
// running, or whose state cannot be read (one being stored now), is not.
bool finished(const task_folder& task);

struct tasks_scan {
    std::vector<task_folder> tasks;      // ascending by number
    std::set<std::string> hours_in_use;  // "YYYY/MM/DD/HH" that unfinished tasks' playlists name
    int folders_visited = 0;
};

// Reads every task folder of the tasks folder open as fd (those the daemon
// counts, links to folders included), and the playlists of the unfinished
// ones. False with a reason when a folder cannot be read.
bool scan_tasks(int fd, tasks_scan* scan, std::string* error);

struct task_removal {
    bool gone = false;  // someone else removed it first
    uint64_t bytes = 0;
    std::vector<std::string> strays;  // what keeps the task, untouched
};

// Removes a finished task's files, its state last, then its folder; a
// folder that holds anything else is left as it is. A dry run removes
// nothing. False with a reason when a file cannot be removed.
bool remove_task(int fd, const task_folder& task, bool dry, task_removal* out, std::string* error);

}  // namespace client::prune
