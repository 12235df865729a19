#include "exporter/routes_tasks.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

namespace {

bool is_task_folder(std::string_view name) {
    if (name.size() < 5 || name.size() > 10 || !std::all_of(name.begin(), name.end(), ::isdigit)) return false;
    // Wider than five digits only without a leading zero, as "%.05d" prints.
    return name.size() == 5 || name[0] != '0';
}

struct task_file_kind {
    const char* name;
    const char* type;
};

const task_file_kind TASK_FILES[] = {
    {"thumb.jpg", "image/jpeg"},
    {"cut.mp4", "video/mp4"},
    {"index.json", "application/json"},
    {"state", "text/plain; charset=utf-8"},
    {"cut.log", "text/plain; charset=utf-8"},
    {"thumb.log", "text/plain; charset=utf-8"},
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
std::optional<int> stored_state(const unique_fd& task) {
    unique_fd fd = open_in_task(task, "state");
    if (!fd) return std::nullopt;
    char buf[32];
    const ssize_t n = read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    int state = 0;
    const auto [end, ec] = std::from_chars(buf, buf + n, state);
    (void)end;
    if (ec != std::errc()) return std::nullopt;
    return state;
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
        const std::optional<int> state = stored_state(task);
        if (!state) return http_not_found();
        const bool ready = *state == 2 || (kind == &TASK_FILES[0] && *state == 3);
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
