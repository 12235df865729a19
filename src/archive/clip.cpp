#include "archive/clip.h"

#include <json-c/json.h>

#include "archive/timearg.h"
#include "json_handle.h"

namespace archive {

std::string new_task_message(const task_request& req) {
    json_object* task = json_object_new_object();
    json_object_object_add(task, "date", json_object_new_string(req.date.c_str()));
    json_object_object_add(task, "from", json_object_new_string(req.from.c_str()));
    json_object_object_add(task, "to", json_object_new_string(req.to.c_str()));
    json_object_object_add(task, "title", json_object_new_string(req.title.c_str()));
    json_object_object_add(task, "lib_idx", json_object_new_int(req.lib_idx));
    json_object_object_add(task, "head_offs", json_object_new_double(req.head_offs));
    json_object_object_add(task, "tail_rem", json_object_new_double(req.tail_rem));
    json_object_object_add(task, "length", json_object_new_double(req.length));
    if (req.exact_trim) json_object_object_add(task, "exact_trim", json_object_new_boolean(1));
    json_object* list = json_object_new_array();
    for (const auto& s : req.segments) {
        json_object* seg = json_object_new_object();
        json_object_object_add(seg, "t", json_object_new_int64(s.t));
        json_object_object_add(seg, "d", json_object_new_int64(s.duration_ts));
        json_object_array_add(list, seg);
    }
    json_object_object_add(task, "timestamps", list);
    json_ptr root(json_object_new_object());
    json_object_object_add(root.get(), "new_task", task);
    return json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN);
}

bool plan_span(const clip_request& ask, clip_plan* plan, std::string* error) {
    if (ask.to <= ask.from) {
        *error = "the end " + format_time(ask.to) + " is not after the start " + format_time(ask.from);
        return false;
    }
    std::vector<index_entry> entries;
    return read_indexes(ask.lib_path, ask.from, ask.to, &entries, error) &&
           plan_clip(std::move(entries), ask.from, ask.to, plan, error);
}

task_request request_for(const clip_request& ask, const clip_plan& plan) {
    task_request req;
    req.date = format_date(ask.from);
    req.from = format_time(ask.from);
    req.to = format_time(ask.to);
    req.title = ask.title;
    req.lib_idx = ask.lib_idx;
    req.head_offs = plan.head_offs;
    req.tail_rem = plan.tail_rem;
    req.length = plan.length;
    req.exact_trim = ask.exact;
    req.segments = plan.segments;
    return req;
}

std::string gap_text(const clip_plan& plan) {
    if (plan.gaps.empty()) return {};
    std::string text = "no video from " + describe_gap(plan.gaps.front());
    if (plan.gaps.size() > 1) text += " (and " + std::to_string(plan.gaps.size() - 1) + " more)";
    return text;
}

}  // namespace archive
