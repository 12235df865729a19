#include "exporter/export_task.h"

#include <dirent.h>
#include <json-c/json.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "archive/playlist.h"
#include "archive/task_store.h"
#include "handles.h"
#include "json_handle.h"
#include "logger.h"
#include "strl.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr size_t PATH_LEN = 4096;

const char* const META_KEYS[] = {"date", "from", "to", "head_offs", "tail_rem", "length"};

bool has_key(json_object* json, const char* key) { return json_object_object_get_ex(json, key, nullptr); }

json_object* get(json_object* json, const char* key) {
    json_object* value = nullptr;
    json_object_object_get_ex(json, key, &value);
    return value;
}

bool has_meta_keys(json_object* json) {
    for (const char* key : META_KEYS) {
        if (!has_key(json, key)) return false;
    }
    return true;
}

// A zero-filled record with room for cnt segments; null without memory.
export_task_ptr task_alloc(size_t cnt) {
    if (cnt > (std::numeric_limits<size_t>::max() - sizeof(export_task_t)) / sizeof(export_task_timestamp_t)) {
        return nullptr;
    }
    void* block = calloc(1, sizeof(export_task_t) + cnt * sizeof(export_task_timestamp_t));
    return export_task_ptr(static_cast<export_task_t*>(block));
}

// Longer text is cut at 4095 bytes, before a character that would not fit
// whole, so the meta file stays valid UTF-8 for strict JSON readers.
void copy_text(char* field, json_object* value) {
    const char* text = value ? json_object_get_string(value) : nullptr;
    if (text != nullptr) keelson::strlcpy(field, text, text_utf8_fit(text, 4095) + 1);
}

// True for a JSON true or a non-zero number; a string never asks for it.
bool is_set(json_object* value) {
    switch (json_object_get_type(value)) {
        case json_type_boolean:
        case json_type_int:
        case json_type_double: return json_object_get_boolean(value) != 0;
        default: return false;
    }
}

// The fields a request and a meta file share, in the order they are read.
void fill_common(export_task_t* task, json_object* json) {
    task->length = json_object_get_double(get(json, "length"));
    task->tail_rem = json_object_get_double(get(json, "tail_rem"));
    task->head_offs = json_object_get_double(get(json, "head_offs"));
    copy_text(task->date, get(json, "date"));
    copy_text(task->from, get(json, "from"));
    copy_text(task->to, get(json, "to"));
    if (has_key(json, "title")) copy_text(task->title, get(json, "title"));
    if (has_key(json, "lib_idx")) task->lib_idx = json_object_get_int(get(json, "lib_idx"));
    if (task->lib_idx < 0 || task->lib_idx > 3) task->lib_idx = 0;
    task->f_exact_trim = is_set(get(json, "exact_trim")) ? 1 : 0;
}

void fill_segments(export_task_t* task, json_object* list) {
    for (int i = 0; i < task->timestamps_cnt; ++i) {
        json_object* seg = json_object_array_get_idx(list, static_cast<size_t>(i));
        json_object* t = nullptr;
        json_object* d = nullptr;
        // A segment without both keys stays zero but still counts.
        if (seg != nullptr && json_object_object_get_ex(seg, "t", &t) && json_object_object_get_ex(seg, "d", &d)) {
            task->timestamps_list[i].t = static_cast<time_t>(json_object_get_int64(t));
            task->timestamps_list[i].d = json_object_get_int64(d);
        }
    }
}

// The entry's type from readdir when the file system gives it; stat only
// for links (followed, as before) and unknown types, so that listing a large
// tasks folder costs no system call per folder.
bool is_directory(const char* path, const struct dirent* entry) {
    if (entry->d_type == DT_DIR) return true;
    if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return false;
    const char* name = entry->d_name;
    char full[PATH_LEN];
    snprintf(full, sizeof full, "%s/%s", path, name);
    struct stat st;
    return stat(full, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int export_task_from_json(struct json_object* json, export_task_t** ptask) {
    if (json == nullptr || !json_object_is_type(json, json_type_object)) return -22;
    if (!has_meta_keys(json) || !has_key(json, "timestamps")) return -22;
    json_object* list = get(json, "timestamps");
    if (!json_object_is_type(list, json_type_array)) return -22;
    const size_t cnt = json_object_array_length(list);
    if (cnt == 0 || cnt > static_cast<size_t>(std::numeric_limits<int>::max())) return -22;
    export_task_ptr task = task_alloc(cnt);
    if (!task) return -12;
    task->timestamps_cnt = static_cast<int>(cnt);
    fill_segments(task.get(), list);
    fill_common(task.get(), json);
    *ptask = task.release();
    return 0;
}

int export_task_from_meta_json(struct json_object* json, export_task_t** ptask) {
    if (json == nullptr || !json_object_is_type(json, json_type_object) || !has_meta_keys(json)) return -22;
    export_task_ptr task = task_alloc(0);
    if (!task) return -12;
    fill_common(task.get(), json);
    *ptask = task.release();
    return 0;
}

int export_task_load_meta(const char* path, int sys_id, export_task_t** ptask) {
    char file[PATH_LEN];
    if (!archive::task_path(file, sizeof file, path, sys_id, archive::TASK_META)) return -ENAMETOOLONG;
    std::string text;
    // Read whole: every size the writer produces loads back.
    if (const int r = utils_read_text(file, &text); r != 0) return r;
    enum json_tokener_error error = json_tokener_success;
    json_ptr json(json_tokener_parse_verbose(text.c_str(), &error));
    if (!json) {
        logger_printf(1, "%s: failed to parse %s - [%s] text: %s", "export_task_load_meta", path,
                      json_tokener_error_desc(error), text_escape(text).c_str());
        return -22;
    }
    return export_task_from_meta_json(json.get(), ptask);
}

int export_task_save_meta(const char* path, export_task_t* task) {
    json_ptr meta(json_object_new_object());
    if (!meta) return -12;
    json_object* m = meta.get();
    json_object_object_add(m, "lib_idx", json_object_new_int(task->lib_idx));
    json_object_object_add(m, "title", json_object_new_string(task->title));
    json_object_object_add(m, "head_offs", json_object_new_int64(archive::task_meta_seconds(task->head_offs)));
    json_object_object_add(m, "tail_rem", json_object_new_int64(archive::task_meta_seconds(task->tail_rem)));
    json_object_object_add(m, "length", json_object_new_int64(archive::task_meta_seconds(task->length)));
    json_object_object_add(m, "date", json_object_new_string(task->date));
    json_object_object_add(m, "from", json_object_new_string(task->from));
    json_object_object_add(m, "to", json_object_new_string(task->to));
    // Only tasks that ask for it carry the key: every other meta file stays
    // as it always was.
    if (task->f_exact_trim) json_object_object_add(m, "exact_trim", json_object_new_int(1));
    return archive::write_task_file(path, task->sys_id, archive::TASK_META, json_object_to_json_string(m));
}

int export_task_save_state(const char* path, export_task_t* task) {
    return archive::write_task_state(path, task->sys_id, archive::task_state_of(task->state));
}

int export_task_lists(const char* path, int** plist) {
    *plist = nullptr;
    dir_ptr dir(opendir(path));
    if (!dir) return -22;
    std::vector<int> numbers;
    while (const struct dirent* entry = readdir(dir.get())) {
        const char* name = entry->d_name;
        int number = 0;
        if (!archive::task_folder_number(name, &number) || !is_directory(path, entry)) continue;
        numbers.push_back(number);
    }
    if (numbers.empty()) return 0;
    // Handed to the caller, who frees it.
    auto* list = static_cast<int*>(malloc(numbers.size() * sizeof(int)));
    if (list == nullptr) return -12;
    memcpy(list, numbers.data(), numbers.size() * sizeof(int));
    *plist = list;
    return static_cast<int>(numbers.size());
}

int export_task_to_json(export_task_t* task, struct json_object** pjson) {
    (void)task;
    (void)pjson;
    return -22;
}

int export_task_save_m3u8(const char* path, export_task_t* task, const char* lib) {
    std::string text;
    archive::playlist_begin(&text);
    for (int i = 0; i < task->timestamps_cnt; ++i) {
        const export_task_timestamp_t& seg = task->timestamps_list[i];
        archive::playlist_add(&text, lib, seg.t, seg.d);
    }
    archive::playlist_end(&text);
    return archive::write_task_file(path, task->sys_id, archive::TASK_PLAYLIST, text);
}
