// A clip asked for by wall-clock times, turned into the export task that cuts
// it: what BrindlewoodClient submits and what the export daemon's console
// offers its page, computed in one place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/span.h"

namespace archive {

// The fields of a task request.
struct task_request {
    std::string date;
    std::string from;
    std::string to;
    std::string title;
    int lib_idx = 0;
    double head_offs = 0;
    double tail_rem = 0;
    double length = 0;
    bool exact_trim = false;  // cut from the exact frame, behind the MP4 edit list
    std::vector<index_entry> segments;
};

// { "new_task": { ... } } for the request, in json-c's plain form.
std::string new_task_message(const task_request& req);

// A clip of library lib_idx, whose root is lib_path, from `from` to `to`.
struct clip_request {
    std::string lib_path;
    int lib_idx = 0;
    int64_t from = 0;
    int64_t to = 0;
    std::string title;
    bool exact = false;
};

// Reads the indexes the span touches and plans the clip; false with a reason
// when the span is empty or reversed, the library folder is missing, an
// index is malformed, or no segment covers it. Gaps are in plan->gaps for the caller to weigh.
bool plan_span(const clip_request& ask, clip_plan* plan, std::string* error);

// The request that cuts the planned clip.
task_request request_for(const clip_request& ask, const clip_plan& plan);

// What the library lacks of a plan's span, empty when nothing: "the
// recording begins at T", "the library has a gap in the span: no video from
// <first gap> (and N more)", "the recording ends at T", joined by "; ".
std::string gap_text(const clip_plan& plan);

}  // namespace archive
