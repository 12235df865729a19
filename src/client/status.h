// BrindlewoodClient status: the tasks with their states, read from the tasks
// folder or heard from the daemon.
#pragma once

#include <chrono>
#include <string>

#include "client/commands.h"

namespace client {

// The export daemon's rule for the folders of its tasks folder: a task's
// folder is named by its number printed with "%.05d" (00042, 123456; not 42,
// 000042 or 00042.old), and names that begin with "." or "~" are none.
bool task_folder_number(const char* name, int* number);

struct status_opts {
    std::string tasks_path;  // read the task folders; empty: ask the daemon
    std::chrono::milliseconds wait{1000};  // how long to listen for states
    bool json = false;  // one JSON array instead of a table
};

// Prints the tasks in ascending number order; 0, or 1 when the folder
// cannot be read or the daemon reached.
int cmd_status(const server_opts& server, const status_opts& opts);

}  // namespace client
