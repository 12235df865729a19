// BrindlewoodClient status: the tasks with their states, read from the tasks
// folder or heard from the daemon.
#pragma once

#include <chrono>
#include <string>

#include "client/commands.h"

namespace client {

struct status_opts {
    std::string tasks_path;  // read the task folders; empty: ask the daemon
    std::chrono::milliseconds wait{1000};  // how long to listen for states
    bool json = false;  // one JSON array instead of a table
};

// Prints the tasks in ascending number order; 0, or 1 when the folder
// cannot be read or the daemon reached.
int cmd_status(const server_opts& server, const status_opts& opts);

}  // namespace client
