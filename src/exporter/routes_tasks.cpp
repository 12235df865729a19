#include "exporter/routes_tasks.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "archive/task_store.h"

namespace {

// The folders the daemon makes, and no others; a negative number is never
// a task's.
bool is_task_folder(std::string_view name) {
    int n = 0;
    return archive::task_folder_number(name, &n) && n >= 0;
}

struct task_file_kind {
    const char* name;
    const char* type;
};

const task_file_kind TASK_FILES[] = {
    {archive::TASK_THUMB, "image/jpeg"},
    {archive::TASK_CUT, "video/mp4"},
    {archive::TASK_META, "application/json"},
    {archive::TASK_STATE, "text/plain; charset=utf-8"},
    {archive::TASK_CUT_LOG, "text/plain; charset=utf-8"},
    {archive::TASK_THUMB_LOG, "text/plain; charset=utf-8"},
};

const task_file_kind* task_file_of(std::string_view name) {
    for (const auto& k : TASK_FILES) {
        if (name == k.name) return &k;
    }
    return nullptr;
}

// The task folder, opened without following a link anywhere below the tasks
// folder, so nothing outside it is ever served.
unique_fd open_task_folder(const char* tasks, std::string_view folder) {
    unique_fd dir(open(tasks, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return unique_fd();
    const std::string f(folder);
    return unique_fd(openat(dir.get(), f.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

unique_fd open_in_task(const unique_fd& task, const char* name) {
    return unique_fd(openat(task.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

// The task's stored state, or nothing when it cannot be read.
std::optional<archive::task_state> stored_state(const unique_fd& task) {
    archive::task_state s;
    if (archive::read_task_state_at(task.get(), &s) != 0) return std::nullopt;
    return s;
}

// Only task folder names and the task files; a clip or thumbnail only once
// its task has ended, never half made.
http_reply task_file(const instance_t* instance, const http_request& request, std::string_view rest) {
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return http_not_found();
    const std::string_view folder = rest.substr(0, slash);
    const task_file_kind* kind = task_file_of(rest.substr(slash + 1));
    if (!is_task_folder(folder) || kind == nullptr) return http_not_found();
    const unique_fd task = open_task_folder(instance->path.tasks, folder);
    if (!task) return http_not_found();
    const bool media = kind == &TASK_FILES[0] || kind == &TASK_FILES[1];
    if (media) {
        const std::optional<archive::task_state> state = stored_state(task);
        if (!state) return http_not_found();
        const bool ready = *state == archive::task_state::done ||
                           (kind == &TASK_FILES[0] && *state == archive::task_state::failed);
        if (!ready) return http_text_reply(HTTP_CONFLICT, "the task has not ended yet\n");
    }
    unique_fd fd = open_in_task(task, kind->name);
    if (!fd) return http_not_found();
    return http_file_reply(request, std::move(fd), kind->type);
}

}  // namespace

std::optional<http_reply> routes_tasks(instance_t* instance, const http_request& request) {
    const std::string_view path = request.path;
    if (!path.starts_with("/tasks/")) return std::nullopt;
    if (!http_reading(request)) return http_method_not_allowed();
    return task_file(instance, request, path.substr(7));
}
