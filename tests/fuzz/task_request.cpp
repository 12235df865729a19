// A task request from the WebSocket message to the record, the record to its
// "index.json" and back. The properties: the record holds what the message
// asked for within its bounds; the meta file it writes reads back to the
// same record and is written again byte for byte; the client's reading of
// the same request agrees with what the daemon stored; and the client's
// wrapping of the request object makes the same record.
#include <json-c/json.h>

#include <cmath>
#include <cstring>
#include <string>

#include "archive/task_store.h"
#include "client/protocol.h"
#include "exporter/export_task.h"
#include "fuzz_check.h"
#include "json_handle.h"

namespace {

constexpr int SYS_ID = 7;

json_object* member(json_object* obj, const char* key) {
    json_object* value = nullptr;
    return json_object_object_get_ex(obj, key, &value) ? value : nullptr;
}

// A text field is terminated inside its room and cut at 4095 bytes.
bool bounded(const char (&field)[4096]) { return strnlen(field, sizeof field) < sizeof field; }

void check_record(const export_task_t& task, json_object* request) {
    json_object* list = member(request, "timestamps");
    FUZZ_CHECK(task.timestamps_cnt > 0);
    FUZZ_CHECK(static_cast<size_t>(task.timestamps_cnt) == json_object_array_length(list));
    FUZZ_CHECK(task.lib_idx >= 0 && task.lib_idx <= 3);
    FUZZ_CHECK(task.f_exact_trim == 0 || task.f_exact_trim == 1);
    FUZZ_CHECK(bounded(task.date) && bounded(task.from) && bounded(task.to) && bounded(task.title));
    for (int i = 0; i < task.timestamps_cnt; ++i) {
        json_object* seg = json_object_array_get_idx(list, static_cast<size_t>(i));
        json_object* t = member(seg, "t");
        json_object* d = member(seg, "d");
        if (seg == nullptr || t == nullptr || d == nullptr) {
            FUZZ_CHECK(task.timestamps_list[i].t == 0 && task.timestamps_list[i].d == 0);
        } else {
            FUZZ_CHECK(task.timestamps_list[i].t == static_cast<time_t>(json_object_get_int64(t)));
            FUZZ_CHECK(task.timestamps_list[i].d == json_object_get_int64(d));
        }
    }
}

bool same_fields(const export_task_t& a, const export_task_t& b) {
    return strcmp(a.date, b.date) == 0 && strcmp(a.from, b.from) == 0 && strcmp(a.to, b.to) == 0 &&
           strcmp(a.title, b.title) == 0 && a.lib_idx == b.lib_idx && a.f_exact_trim == b.f_exact_trim;
}

// The meta file keeps the trims as whole seconds: what it reads back is the
// whole part of what was asked, or a bound of a 64-bit number.
bool whole_of(double stored, double asked) {
    if (std::isnan(asked)) return stored == 0;
    if (asked >= 9.2e18 || asked <= -9.2e18) return std::fabs(stored) >= 9.2e18 && (stored > 0) == (asked > 0);
    return stored == std::trunc(asked);
}

std::string saved_meta(export_task_t* task) {
    const std::string& dir = fuzz::scratch_dir();
    FUZZ_CHECK(export_task_save_meta(dir.c_str(), task) == 0);
    std::string text;
    FUZZ_CHECK(fuzz::read_file(archive::task_path(dir, task->sys_id, archive::TASK_META), &text));
    return text;
}

void check_store_round_trip(export_task_t* task, json_object* request) {
    task->sys_id = SYS_ID;
    const std::string meta = saved_meta(task);
    export_task_t* raw = nullptr;
    FUZZ_CHECK(export_task_load_meta(fuzz::scratch_dir().c_str(), SYS_ID, &raw) == 0);
    export_task_ptr back(raw);
    FUZZ_CHECK(same_fields(*task, *back));
    FUZZ_CHECK(whole_of(back->head_offs, task->head_offs));
    FUZZ_CHECK(whole_of(back->tail_rem, task->tail_rem));
    FUZZ_CHECK(whole_of(back->length, task->length));
    back->sys_id = SYS_ID;
    FUZZ_CHECK(saved_meta(back.get()) == meta);

    // The client reads the request object it sent and checks the stored
    // meta file against it.
    client::task_request req;
    FUZZ_CHECK(client::task_request_from_json(json_object_to_json_string(request), &req));
    FUZZ_CHECK(client::meta_matches(meta, req));
}

// The record the daemon makes of a whole message; null when it makes none.
export_task_ptr record_of(const char* message, json_object** request, json_ptr* root) {
    root->reset(json_tokener_parse(message));
    if (!*root) return nullptr;
    *request = member(root->get(), "new_task");
    if (*request == nullptr) return nullptr;
    export_task_t* raw = nullptr;
    const int r = export_task_from_json(*request, &raw);
    FUZZ_CHECK((r == 0) == (raw != nullptr));
    return export_task_ptr(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The daemon reads a message as a C string.
    const std::string message(fuzz::bytes(data, size));
    json_ptr root;
    json_object* request = nullptr;
    export_task_ptr task = record_of(message.c_str(), &request, &root);
    if (!task) return 0;
    check_record(*task, request);

    // What the client sends for the same object makes the same record.
    std::string wrapped;
    std::string error;
    FUZZ_CHECK(client::wrap_task_object(json_object_to_json_string(request), &wrapped, &error));
    json_ptr root2;
    json_object* request2 = nullptr;
    export_task_ptr again = record_of(wrapped.c_str(), &request2, &root2);
    FUZZ_CHECK(again != nullptr);
    FUZZ_CHECK(same_fields(*task, *again) && again->timestamps_cnt == task->timestamps_cnt);
    FUZZ_CHECK(memcmp(again->timestamps_list, task->timestamps_list,
                      sizeof(export_task_timestamp_t) * static_cast<size_t>(task->timestamps_cnt)) == 0);

    check_store_round_trip(task.get(), request);
    return 0;
}
