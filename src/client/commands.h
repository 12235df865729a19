// The client's subcommands. Each returns the process exit status: 0 for
// success (a followed task ended done), 1 for a failure, with a one-line
// reason on standard error.
#pragma once

#include <chrono>
#include <memory>
#include <string>

class ws_link;

namespace client {

struct server_opts {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string token_file;  // holds the daemon's access token; empty: send none
};

// Connects to the daemon, with its token when one is given; null after a
// one-line reason on standard error.
std::unique_ptr<ws_link> connect_to(const server_opts& server);

// Prints the stored task numbers, one per line, ascending.
int cmd_list(const server_opts& server, std::chrono::milliseconds wait);

// Prints every message as it arrives, one JSON text per line, until
// interrupted.
int cmd_watch(const server_opts& server);

struct follow_opts {
    bool wait = false;          // follow the task until it is done or failed
    std::string tasks_path;     // confirm the announced task by its meta file
    std::chrono::seconds timeout{600};
};

// Sends a raw task object (the value of "new_task") read from a file or "-".
int cmd_submit(const server_opts& server, const std::string& file, const follow_opts& follow);

struct clip_opts {
    std::string lib_path;
    std::string from;
    std::string to;
    int lib_idx = 0;
    std::string title;
    bool allow_gaps = false;
    bool exact = false;  // start at the exact frame rather than where stream copy can
};

// Asks for a clip of the library by wall-clock times.
int cmd_clip(const server_opts& server, const clip_opts& clip, const follow_opts& follow);

}  // namespace client
