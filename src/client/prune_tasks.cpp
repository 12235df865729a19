#include "client/prune_tasks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "archive/playlist.h"
#include "archive/task_store.h"
#include "client/prune_fs.h"
#include "handles.h"

namespace client::prune {
namespace {

// The state as the daemon writes it; nothing for a file that is missing,
// empty or half written.
void read_state(int task_fd, task_folder* task) {
    archive::task_state state;
    struct stat st;
    if (archive::read_task_state_at(task_fd, &state, &st) != 0) return;
    task->state = state;
    task->changed = st.st_mtime;
}

// The hours the task's playlist plays from.
void read_playlist(int task_fd, std::set<std::string>* hours) {
    std::string text;
    struct stat st;
    if (read_file_at(task_fd, archive::TASK_PLAYLIST, &text, &st)) archive::playlist_hours(text, hours);
}

}  // namespace

bool finished(const task_folder& task) { return task.state && archive::task_state_ended(*task.state); }

bool scan_tasks(int fd, tasks_scan* scan, std::string* error) {
    std::vector<entry> entries;
    if (!list_folder(fd, &entries)) {
        const int err = errno;
        *error = std::string("the tasks folder cannot be read (") + strerror(err) + ")";
        return false;
    }
    ++scan->folders_visited;
    for (const auto& e : entries) {
        task_folder task;
        struct stat st;
        // The daemon counts a link to a folder as a task when it numbers
        // new ones, so it is read here too; it is never removed.
        if (!archive::task_folder_number(e.name, &task.number) || fstatat(fd, e.name.c_str(), &st, 0) != 0 ||
            !S_ISDIR(st.st_mode)) {
            continue;
        }
        task.name = e.name;
        task.real_folder = e.folder;
        const unique_fd task_fd(openat(fd, e.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!task_fd) {
            const int err = errno;
            *error = "the task folder " + e.name + " cannot be read (" + strerror(err) + ")";
            return false;
        }
        ++scan->folders_visited;
        read_state(task_fd.get(), &task);
        if (!finished(task)) read_playlist(task_fd.get(), &scan->hours_in_use);
        scan->tasks.push_back(std::move(task));
    }
    std::sort(scan->tasks.begin(), scan->tasks.end(),
              [](const task_folder& a, const task_folder& b) { return a.number < b.number; });
    return true;
}

bool remove_task(int fd, const task_folder& task, bool dry, task_removal* out, std::string* error) {
    unique_fd task_fd = open_folder(fd, task.name.c_str());
    if (!task_fd) {
        if (errno == ENOENT) return out->gone = true;
        const int err = errno;
        *error = "cannot open the task folder " + task.name + ": " + strerror(err);
        return false;
    }
    std::vector<entry> entries;
    if (!list_folder(task_fd.get(), &entries)) {
        const int err = errno;
        *error = "the task folder " + task.name + " cannot be read (" + strerror(err) + ")";
        return false;
    }
    std::vector<std::string> parts;
    for (const auto& e : entries) {
        // Parts are the task's own: what a killed or failed run left.
        if (e.regular && archive::is_task_part_file(e.name)) {
            parts.push_back(e.name);
        } else if (!e.regular || !archive::is_task_file(e.name)) {
            out->strays.push_back(e.name);
        }
    }
    // A folder holding something of someone else's is left whole: without
    // its own files it would be a task the daemon can no longer load.
    if (!out->strays.empty()) {
        say("task folder " + task.name + " holds " + name_list(out->strays) +
            ", which prune leaves alone; the task stays");
        return true;
    }
    for (const auto& part : parts) {
        if (!remove_file(task_fd.get(), part.c_str(), dry, &out->bytes)) {
            const int err = errno;
            *error = "cannot remove " + task.name + "/" + part + ": " + strerror(err);
            return false;
        }
    }
    // The state goes last: a folder whose removal stops half way still
    // reads as finished and is taken up again by the next run.
    for (const char* file : archive::TASK_FILES) {
        const bool present =
            std::any_of(entries.begin(), entries.end(), [&](const entry& e) { return e.regular && e.name == file; });
        if (present && !remove_file(task_fd.get(), file, dry, &out->bytes)) {
            const int err = errno;
            *error = "cannot remove " + task.name + "/" + file + ": " + strerror(err);
            return false;
        }
    }
    struct stat st;
    if (fstat(task_fd.get(), &st) == 0) out->bytes += static_cast<uint64_t>(st.st_blocks) * 512;
    task_fd = unique_fd();
    if (dry || unlinkat(fd, task.name.c_str(), AT_REMOVEDIR) == 0) return true;
    if (errno == ENOTEMPTY || errno == EEXIST) {
        say("task folder " + task.name + " gained files while prune emptied it; the folder stays");
        return true;
    }
    const int err = errno;
    *error = "cannot remove the task folder " + task.name + ": " + strerror(err);
    return false;
}

}  // namespace client::prune
