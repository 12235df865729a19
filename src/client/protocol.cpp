#include "client/protocol.h"

#include <json-c/json.h>

#include <algorithm>
#include <memory>

#include "archive/task_store.h"
#include "json_handle.h"
#include "text.h"

namespace client {
namespace {

json_object* member(json_object* obj, const char* key) {
    json_object* value = nullptr;
    if (obj == nullptr || !json_object_object_get_ex(obj, key, &value)) return nullptr;
    return value;
}

bool same_string(json_object* obj, const char* key, const std::string& want) {
    json_object* v = member(obj, key);
    return v != nullptr && json_object_is_type(v, json_type_string) && want == json_object_get_string(v);
}

bool same_int(json_object* obj, const char* key, int64_t want) {
    json_object* v = member(obj, key);
    return v != nullptr && json_object_get_int64(v) == want;
}

// The daemon's rule for "exact_trim": JSON true or a non-zero number.
bool is_set(json_object* v) {
    const json_type type = json_object_get_type(v);
    return (type == json_type_boolean || type == json_type_int || type == json_type_double) &&
           json_object_get_boolean(v) != 0;
}

struct tokener_free {
    void operator()(json_tokener* tok) const { json_tokener_free(tok); }
};

// "line L, column C (byte B)" of a byte offset into text, all counted from 1.
std::string position_text(const std::string& text, size_t offset) {
    offset = std::min(offset, text.size());
    size_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(offset - line_start + 1) + " (byte " +
           std::to_string(offset + 1) + ")";
}

// Parses one JSON value filling the whole text (blanks around it aside);
// null with where and why it fails otherwise.
json_ptr parse_located(const std::string& text, std::string* error) {
    std::unique_ptr<json_tokener, tokener_free> tok(json_tokener_new());
    if (!tok) {
        *error = "out of memory";
        return nullptr;
    }
    // With its terminating NUL the tokener knows where the text ends, so
    // text that ends early is an error rather than a wait for more.
    json_ptr value(json_tokener_parse_ex(tok.get(), text.c_str(), static_cast<int>(text.size() + 1)));
    const enum json_tokener_error jerr = json_tokener_get_error(tok.get());
    // Where it stopped: on the refused character, or just after the value.
    const size_t end = json_tokener_get_parse_end(tok.get());
    if (jerr != json_tokener_success) {
        *error = position_text(text, end) + ": " + json_tokener_error_desc(jerr);
        return nullptr;
    }
    const size_t rest = text.find_first_not_of(" \t\r\n", end);
    if (rest != std::string::npos) {
        *error = position_text(text, rest) + ": more text after the JSON value";
        return nullptr;
    }
    return value;
}

}  // namespace

announcement parse_announcement(const std::string& text) {
    announcement a;
    json_ptr root(json_tokener_parse(text.c_str()));
    if (!root || !json_object_is_type(root.get(), json_type_object)) return a;
    if (json_object* list = member(root.get(), "tasks"); list && json_object_is_type(list, json_type_array)) {
        a.what = announcement::kind::tasks;
        for (size_t i = 0; i < json_object_array_length(list); ++i) {
            a.tasks.push_back(json_object_get_int(json_object_array_get_idx(list, i)));
        }
    } else if (json_object* n = member(root.get(), "new_task"); n && json_object_is_type(n, json_type_int)) {
        a.what = announcement::kind::new_task;
        a.task = json_object_get_int(n);
    } else if (json_object* u = member(root.get(), "task_state_updated")) {
        json_object* task = member(u, "task");
        json_object* state = member(u, "state");
        if (task != nullptr && state != nullptr) {
            a.what = announcement::kind::state;
            a.task = json_object_get_int(task);
            a.state = json_object_get_int(state);
        }
    }
    return a;
}

bool wrap_task_object(const std::string& object_text, std::string* message, std::string* error) {
    json_ptr task = parse_located(object_text, error);
    if (!task) {
        *error = "the task is not JSON: " + *error;
        return false;
    }
    if (!json_object_is_type(task.get(), json_type_object)) {
        *error = "the task must be a JSON object";
        return false;
    }
    json_ptr root(json_object_new_object());
    json_object_object_add(root.get(), "new_task", task.release());
    *message = json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PLAIN);
    return true;
}

bool task_request_from_json(const std::string& object_text, task_request* req) {
    json_ptr task(json_tokener_parse(object_text.c_str()));
    if (!task || !json_object_is_type(task.get(), json_type_object)) return false;
    json_object* t = task.get();
    auto text = [t](const char* key) {
        json_object* v = member(t, key);
        const char* s = v ? json_object_get_string(v) : nullptr;
        return s ? std::string(s, text_utf8_fit(s, 4095)) : std::string();
    };
    auto real = [t](const char* key) { return json_object_get_double(member(t, key)); };
    req->date = text("date");
    req->from = text("from");
    req->to = text("to");
    req->title = text("title");
    json_object* idx = member(t, "lib_idx");
    req->lib_idx = idx ? json_object_get_int(idx) : 0;
    if (req->lib_idx < 0 || req->lib_idx > 3) req->lib_idx = 0;
    req->head_offs = real("head_offs");
    req->tail_rem = real("tail_rem");
    req->length = real("length");
    req->exact_trim = is_set(member(t, "exact_trim"));
    return true;
}

bool meta_matches(const std::string& meta_text, const task_request& req) {
    json_ptr meta(json_tokener_parse(meta_text.c_str()));
    if (!meta) return false;
    json_object* m = meta.get();
    return same_string(m, "date", req.date) && same_string(m, "from", req.from) && same_string(m, "to", req.to) &&
           same_string(m, "title", req.title) && same_int(m, "lib_idx", req.lib_idx) &&
           same_int(m, "head_offs", archive::task_meta_seconds(req.head_offs)) &&
           same_int(m, "tail_rem", archive::task_meta_seconds(req.tail_rem)) &&
           same_int(m, "length", archive::task_meta_seconds(req.length)) &&
           (req.exact_trim ? same_int(m, "exact_trim", 1) : member(m, "exact_trim") == nullptr);
}

std::string state_name(int state) {
    const char* name = archive::task_state_name(archive::task_state_of(state));
    return name != nullptr ? name : "failed to load (" + std::to_string(state) + ")";
}

}  // namespace client
