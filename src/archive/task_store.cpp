#include "archive/task_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "utils.h"

namespace archive {
namespace {

constexpr size_t PATH_LEN = 4096;

constexpr std::string_view PART_PREFIX = ".part-";

// The names of the states, by their number.
constexpr const char* STATE_NAMES[] = {"queued", "running", "done", "failed"};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A state file is a dozen bytes at most; anything longer holds no state.
constexpr size_t STATE_READ_MAX = 64;

// Reads up to size bytes: how many, or the negated errno value.
ssize_t read_small(int fd, char* buf, size_t size) {
    size_t n = 0;
    while (n < size) {
        const ssize_t got = read(fd, buf + n, size - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -errno;
        if (got == 0) break;
        n += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(n);
}

int read_state_file(const unique_fd& fd, task_state* s, struct stat* st) {
    if (!fd) return -errno;
    struct stat own;
    if (fstat(fd.get(), st != nullptr ? st : &own) != 0) return -errno;
    char buf[STATE_READ_MAX];
    const ssize_t n = read_small(fd.get(), buf, sizeof buf);
    if (n < 0) return static_cast<int>(n);
    if (static_cast<size_t>(n) == sizeof buf) return -22;
    return parse_task_state(std::string_view(buf, static_cast<size_t>(n)), s) ? 0 : -22;
}

// Writes text whole as name in folder: into part first, synced, then renamed
// over name. 0, or the negated errno value, the part removed.
int write_whole_at(int folder, const char* part, const char* name, std::string_view text) {
    unique_fd fd(openat(folder, part, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!fd) return -errno;
    int r = 0;
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            r = n < 0 ? -errno : -ENOSPC;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (r == 0 && fsync(fd.get()) != 0) r = -errno;
    if (r == 0 && close(fd.release()) != 0) r = -errno;
    if (r == 0 && renameat(folder, part, folder, name) != 0) r = -errno;
    if (r != 0) unlinkat(folder, part, 0);
    return r;
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
    return write_task_file(tasks, sys_id, TASK_STATE, task_state_text(s));
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

std::string task_part_name(const char* file) { return std::string(PART_PREFIX) + file; }

bool is_task_part_file(std::string_view name) { return name.starts_with(PART_PREFIX); }

bool is_task_output(std::string_view name) { return name == TASK_THUMB || name == TASK_CUT; }

int write_task_file(const char* tasks, int sys_id, const char* file, std::string_view text) {
    char path[PATH_LEN];
    if (!task_path(path, sizeof path, tasks, sys_id)) return -ENAMETOOLONG;
    // An existing folder is the normal case.
    utils_mkdir_p(path, 0777);
    const unique_fd folder(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return -errno;
    return write_whole_at(folder.get(), task_part_name(file).c_str(), file, text);
}

int sync_task_output(const char* tasks, int sys_id, const char* file) {
    char path[PATH_LEN];
    if (!task_path(path, sizeof path, tasks, sys_id)) return -ENAMETOOLONG;
    const unique_fd folder(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return -errno;
    {
        const unique_fd fd(openat(folder.get(), file, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!fd) return -errno;
        if (fsync(fd.get()) != 0) return -errno;
    }
    return fsync(folder.get()) == 0 ? 0 : -errno;
}

int remove_task_outputs(const char* tasks, int sys_id) {
    char path[PATH_LEN];
    if (!task_path(path, sizeof path, tasks, sys_id)) return 0;
    const unique_fd folder(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return 0;
    // The names are known: no need to read the folder.
    const std::string names[] = {TASK_THUMB, TASK_CUT, task_part_name(TASK_META), task_part_name(TASK_STATE),
                                 task_part_name(TASK_PLAYLIST)};
    int removed = 0;
    for (const auto& name : names) removed += unlinkat(folder.get(), name.c_str(), 0) == 0;
    return removed;
}

bool task_drafts_path(char* buf, size_t size, const char* tasks) {
    return utils_format_path(buf, size, "%s/%s", tasks, TASK_DRAFTS);
}

int publish_task_draft(const char* tasks, int sys_id) {
    char drafts[PATH_LEN];
    char folder[TASK_FOLDER_LEN];
    format_task_folder(sys_id, folder);
    if (!task_drafts_path(drafts, sizeof drafts, tasks)) return -ENAMETOOLONG;
    const unique_fd to(open(tasks, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!to) return -errno;
    const unique_fd from(open(drafts, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from) return -errno;
    {
        // The draft's own entries first: the rename carries them along.
        const unique_fd draft(openat(from.get(), folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (!draft) return -errno;
        if (fsync(draft.get()) != 0) return -errno;
    }
    if (renameat2(from.get(), folder, to.get(), folder, RENAME_NOREPLACE) != 0) return -errno;
    return fsync(to.get()) == 0 ? 0 : -errno;
}

int remove_task_drafts(const char* tasks) {
    char drafts[PATH_LEN];
    if (!task_drafts_path(drafts, sizeof drafts, tasks)) return -ENAMETOOLONG;
    struct stat st;
    if (lstat(drafts, &st) != 0) return errno == ENOENT ? 0 : -errno;
    int count = 0;
    if (S_ISDIR(st.st_mode)) {
        dir_ptr dir(opendir(drafts));
        while (dir) {
            const struct dirent* entry = readdir(dir.get());
            if (entry == nullptr) break;
            int n = 0;
            if (task_folder_number(entry->d_name, &n)) ++count;
        }
        const int r = utils_rmdir_r(drafts);
        return r != 0 ? r : count;
    }
    return unlink(drafts) == 0 ? 0 : -errno;
}

int write_task_sequence(const char* tasks, int next) {
    const unique_fd folder(open(tasks, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return -errno;
    return write_whole_at(folder.get(), TASK_SEQUENCE_NEW, TASK_SEQUENCE_FILE, std::to_string(next));
}

int read_task_sequence(const char* tasks, int* next) {
    char path[PATH_LEN];
    if (!utils_format_path(path, sizeof path, "%s/%s", tasks, TASK_SEQUENCE_FILE)) return -ENAMETOOLONG;
    const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd) return -errno;
    char buf[STATE_READ_MAX];
    const ssize_t n = read_small(fd.get(), buf, sizeof buf);
    if (n < 0) return static_cast<int>(n);
    if (static_cast<size_t>(n) == sizeof buf) return -22;
    std::string_view text(buf, static_cast<size_t>(n));
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    int v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return -22;
    if (v < 1 || v == std::numeric_limits<int>::max()) return -22;
    *next = v;
    return 0;
}

}  // namespace archive
