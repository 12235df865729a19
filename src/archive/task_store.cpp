#include "archive/task_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "utils.h"

namespace archive {
namespace {

constexpr size_t PATH_LEN = 4096;

// The names of the states, by their number.
constexpr const char* STATE_NAMES[] = {"queued", "running", "done", "failed"};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A state file is a dozen bytes at most; anything longer holds no state.
constexpr size_t STATE_READ_MAX = 64;

int read_state_file(const unique_fd& fd, task_state* s, struct stat* st) {
    if (!fd) return -errno;
    struct stat own;
    if (fstat(fd.get(), st != nullptr ? st : &own) != 0) return -errno;
    char buf[STATE_READ_MAX];
    size_t n = 0;
    while (n < sizeof buf) {
        const ssize_t got = read(fd.get(), buf + n, sizeof buf - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -errno;
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    if (n == sizeof buf) return -22;
    return parse_task_state(std::string_view(buf, n), s) ? 0 : -22;
}

}  // namespace

bool is_task_file(std::string_view name) {
    return std::any_of(TASK_FILES.begin(), TASK_FILES.end(), [&](const char* f) { return name == f; });
}

const char* task_state_name(task_state s) {
    const int v = task_state_value(s);
    return v >= 0 && v < static_cast<int>(std::size(STATE_NAMES)) ? STATE_NAMES[v] : nullptr;
}

bool task_state_is_load_error(task_state s) { return task_state_value(s) < 0; }

bool task_state_ended(task_state s) {
    return s == task_state::done || s == task_state::failed || task_state_is_load_error(s);
}

std::string task_state_text(task_state s) { return std::to_string(task_state_value(s)); }

int64_t task_meta_seconds(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

bool parse_task_state(std::string_view text, task_state* s) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
    *s = task_state_of(v);
    return true;
}

int write_task_state(const char* tasks, int sys_id, task_state s) {
    int r = 0;
    file_ptr f = create_task_file(tasks, sys_id, TASK_STATE, &r);
    if (!f) return r;
    fputs(task_state_text(s).c_str(), f.get());
    return close_task_file(std::move(f));
}

int read_task_state(const char* tasks, int sys_id, task_state* s) {
    char path[PATH_LEN];
    if (!task_path(path, sizeof path, tasks, sys_id, TASK_STATE)) return -ENAMETOOLONG;
    // Non-blocking: a FIFO of that name must not stall the reader.
    const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    return read_state_file(fd, s, nullptr);
}

int read_task_state_at(int task_fd, task_state* s, struct stat* st) {
    const unique_fd fd(openat(task_fd, TASK_STATE, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    return read_state_file(fd, s, st);
}

void format_task_folder(int sys_id, char (&name)[TASK_FOLDER_LEN]) { snprintf(name, sizeof name, "%.05d", sys_id); }

std::string task_folder(int sys_id) {
    char name[TASK_FOLDER_LEN];
    format_task_folder(sys_id, name);
    return name;
}

bool task_folder_number(std::string_view name, int* number) {
    int n = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    if (ec != std::errc() || end != name.data() + name.size()) return false;
    char canonical[TASK_FOLDER_LEN];
    format_task_folder(n, canonical);
    if (name != canonical) return false;
    *number = n;
    return true;
}

bool task_path(char* buf, size_t size, const char* tasks, int sys_id, const char* file) {
    char folder[TASK_FOLDER_LEN];
    format_task_folder(sys_id, folder);
    return file == nullptr ? utils_format_path(buf, size, "%s/%s", tasks, folder)
                           : utils_format_path(buf, size, "%s/%s/%s", tasks, folder, file);
}

std::string task_path(const std::string& tasks, int sys_id, const char* file) {
    return tasks + "/" + task_folder(sys_id) + "/" + file;
}

file_ptr create_task_file(const char* tasks, int sys_id, const char* file, int* r) {
    char path[PATH_LEN];
    // An existing folder is the normal case.
    if (task_path(path, sizeof path, tasks, sys_id)) utils_mkdir_p(path, 0777);
    if (!task_path(path, sizeof path, tasks, sys_id, file)) {
        *r = -ENAMETOOLONG;
        return nullptr;
    }
    file_ptr f(fopen(path, "w"));
    *r = f ? 0 : -errno;
    return f;
}

int close_task_file(file_ptr f) {
    // errno still tells why a write failed.
    const bool failed = ferror(f.get()) != 0;
    if (fclose(f.release()) != 0 || failed) return errno != 0 ? -errno : -5;
    return 0;
}

}  // namespace archive
