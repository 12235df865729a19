// The export daemon's WebSocket messages, as the client reads and writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/clip.h"

namespace client {

// What the server announces.
struct announcement {
    enum class kind { tasks, new_task, state, other } what = kind::other;
    std::vector<int> tasks;  // kind::tasks
    int task = 0;            // kind::new_task and kind::state
    int state = 0;           // kind::state
};

announcement parse_announcement(const std::string& text);

using archive::task_request;

// Wraps an already written task object as { "new_task": <object> }; false
// with a reason when the text is not a JSON object.
bool wrap_task_object(const std::string& object_text, std::string* message, std::string* error);

// Reads a raw task object the way the export daemon does (text cut to 4095
// bytes, an out-of-range "lib_idx" as 0), for comparison with what it
// stored; false when the text is not a JSON object.
bool task_request_from_json(const std::string& object_text, task_request* req);

// Whether the stored meta file text of a task describes this request (the
// daemon keeps the three trims as whole seconds).
bool meta_matches(const std::string& meta_text, const task_request& req);

// A readable name of a task state.
std::string state_name(int state);

}  // namespace client
