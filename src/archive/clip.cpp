#include "archive/clip.h"

#include <json-c/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>

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
    // Hours without an index are skipped, so a wrong root would otherwise
    // read as a library that holds nothing.
    struct stat st;
    if (stat(ask.lib_path.c_str(), &st) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR;
        *error = "the library folder " + ask.lib_path +
                 (missing ? " does not exist" : ": " + std::string(strerror(errno)));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = "the library folder " + ask.lib_path + " is not a folder";
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
    std::vector<std::string> parts;
    std::vector<gap> inside;
    for (const gap& g : plan.gaps) {
        if (g.at == gap::edge::before_first) {
            parts.push_back("the recording begins at " + format_time(static_cast<int64_t>(std::ceil(g.to))) +
                            ", after the span's start");
        } else if (g.at == gap::edge::inside) {
            inside.push_back(g);
        }
    }
    if (!inside.empty()) {
        std::string text = "the library has a gap in the span: no video from " + describe_gap(inside.front());
        if (inside.size() > 1) text += " (and " + std::to_string(inside.size() - 1) + " more)";
        parts.push_back(std::move(text));
    }
    if (!plan.gaps.empty() && plan.gaps.back().at == gap::edge::after_last) {
        const auto end = static_cast<int64_t>(std::floor(plan.gaps.back().from));
        parts.push_back("the recording ends at " + format_time(end) + ", before the span's end");
    }
    std::string joined;
    for (const auto& p : parts) joined += (joined.empty() ? "" : "; ") + p;
    return joined;
}

}  // namespace archive
