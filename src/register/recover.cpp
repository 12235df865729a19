#include "register/recover.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "archive/library.h"
#include "handles.h"
#include "logger.h"
#include "register/queue.h"
#include "register/register.h"
#include "register/writers.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr const char* RECOVER = "register_recover";

// A segment found at start: a link an earlier run left in path.tmp, a file
// in path.watch, or both.
struct found_segment {
    bool timed;
    int64_t timestamp;
    std::string name;
    bool linked;
};

bool is_regular(int dir_fd, const dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Adds the segments in dir: regular files whose first ".ts" ends the name.
int list_segments(const char* dir, bool linked, std::vector<found_segment>* found) {
    dir_ptr d(opendir(dir));
    if (!d) return -errno;
    while (const dirent* e = readdir(d.get())) {
        if (!archive::first_ts_ends(e->d_name) || !is_regular(dirfd(d.get()), e)) continue;
        found_segment item{false, 0, e->d_name, linked};
        struct tm ignored;
        item.timed = archive::segment_time(e->d_name, &item.timestamp, &ignored);
        // A recorder's file that can never be registered would otherwise
        // fail again at every start; leftover links still go to the register
        // thread, which says why and removes them.
        if (!linked && (!item.timed || !archive::segment_name_is_clean(item.name))) continue;
        found->push_back(std::move(item));
    }
    return 0;
}

// Oldest time first, names without a time last; a name found in both
// folders becomes one entry.
void sort_and_merge(std::vector<found_segment>* found) {
    std::sort(found->begin(), found->end(), [](const found_segment& a, const found_segment& b) {
        if (a.timed != b.timed) return a.timed;
        if (a.timestamp != b.timestamp) return a.timestamp < b.timestamp;
        return a.name < b.name;
    });
    std::vector<found_segment> merged;
    for (found_segment& f : *found) {
        if (!merged.empty() && merged.back().name == f.name) {
            merged.back().linked |= f.linked;
        } else {
            merged.push_back(std::move(f));
        }
    }
    found->swap(merged);
}

// The names in one hour's index. The sorted list brings the segments of an
// hour one after another, so each index is read once.
class index_names {
public:
    bool holds(const char* index, const std::string& name) {
        if (path_ != index) load(index);
        return names_.count(name) != 0;
    }

private:
    // A line cut short by a crash holds no segment, even when what is left
    // of it parses: its registration runs again, once the append has cut
    // it back.
    void load(const char* index) {
        path_ = index;
        names_.clear();
        std::string text;
        if (utils_read_text(index, &text) != 0) return;
        text.resize(text.rfind('\n') + 1);  // npos + 1 is 0: not one whole line
        archive::for_each_index_line(text, [&](std::string_view line) {
            archive::index_fields f;
            if (archive::split_index_line(line, &f)) names_.emplace(f.name);
            return true;
        });
    }

    std::string path_;
    std::unordered_set<std::string> names_;
};

// The file that stands for a found segment: its link, else the recorder's.
bool found_path(const instance_t* instance, const found_segment& f, char (&path)[PATH_MAX]) {
    return utils_format_path(path, sizeof path, "%s/%s", f.linked ? instance->path.tmp : instance->path.watch,
                             f.name.c_str());
}

// True when the library holds the segment: a copy of the same size and a
// line in its hour's index. A copy without a line is a registration that a
// kill cut short.
bool in_library(const instance_t* instance, const found_segment& f, index_names* indexes,
                archive::segment_files* files) {
    int64_t t = 0;
    struct tm utc;
    char path[PATH_MAX];
    if (!f.timed || !archive::segment_time(f.name.c_str(), &t, &utc) ||
        !archive::segment_files_of(instance->path.lib, f.name.c_str(), utc, files) || !found_path(instance, f, path)) {
        return false;
    }
    struct stat own, copy;
    if (stat(path, &own) != 0 || stat(files->copy, &copy) != 0 || own.st_size != copy.st_size) return false;
    return indexes->holds(files->index, f.name);
}

// The day's marker comes after the index line, so a kill between the two
// leaves an indexed day unmarked.
void restore_day_marker(const archive::segment_files& files) {
    if (access(files.here, F_OK) == 0 || errno != ENOENT) return;
    unique_fd marker(open(files.here, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (marker) {
        logger_printf(0, "%s: [%s] was missing, made", RECOVER, files.here);
    } else {
        const int err = errno;
        logger_printf(1, "%s: open(%s) failed %d (%s)", RECOVER, files.here, -err, register_errno_text(err));
    }
}

// Removes the hidden copies that a crash left unfinished in dir: nothing
// else would ever take them away.
void remove_hidden_copies(const char* dir) {
    dir_ptr d(opendir(dir));
    if (!d) return;
    while (const dirent* e = readdir(d.get())) {
        if (!is_hidden_copy_name(e->d_name) || !is_regular(dirfd(d.get()), e)) continue;
        const std::string name = text_escape(e->d_name);
        if (unlinkat(dirfd(d.get()), e->d_name, 0) == 0) {
            logger_printf(0, "%s: [%s] left in [%s] by a crash, removed", RECOVER, name.c_str(), dir);
        } else {
            const int err = errno;
            logger_printf(1, "%s: unlink([%s]) in [%s] failed %d (%s)", RECOVER, name.c_str(), dir, -err,
                          register_errno_text(err));
        }
    }
}

enum class recovery { passed, queued, full };

// What a start does with one segment it found.
recovery recover_one(instance_t* instance, const found_segment& f, index_names* indexes) {
    const std::string name = text_escape(f.name);
    char path[PATH_MAX];
    archive::segment_files files;
    if (in_library(instance, f, indexes, &files)) {
        // A kill between the index line and the link's removal.
        if (f.linked) {
            restore_day_marker(files);
            if (found_path(instance, f, path) && unlink(path) == 0) {
                logger_printf(0, "%s: [%s] is in the library already, its link removed", RECOVER, name.c_str());
            }
        }
        return recovery::passed;
    }
    if (!f.linked) {
        // Still being written: its own close notice brings it.
        if (found_path(instance, f, path) && register_open_for_writing(path)) {
            logger_printf(0, "%s: [%s] is still open for writing, left to its close", RECOVER, name.c_str());
            return recovery::passed;
        }
        if (register_link(instance, f.name.c_str()) != 0) return recovery::passed;
    }
    if (register_queue_name(instance, f.name.c_str()) < 0) return recovery::full;
    if (f.linked) {
        logger_printf(0, "%s: [%s] left in [%s] by an earlier run, queued", RECOVER, name.c_str(), instance->path.tmp);
    } else {
        logger_printf(0, "%s: [%s] closed while the daemon was down, queued", RECOVER, name.c_str());
    }
    return recovery::queued;
}

}  // namespace

int register_recover(instance_t* instance, bool scan_watch) {
    remove_hidden_copies(instance->path.tmp);
    std::vector<found_segment> found;
    int r = list_segments(instance->path.tmp, true, &found);
    if (r < 0) {
        logger_printf(1, "%s: opendir(%s) failed %d (%s)", RECOVER, instance->path.tmp, r, register_errno_text(-r));
        return r;
    }
    if (scan_watch && (r = list_segments(instance->path.watch, false, &found)) < 0) {
        logger_printf(1, "%s: opendir(%s) failed %d (%s)", RECOVER, instance->path.watch, r,
                      register_errno_text(-r));
    }
    sort_and_merge(&found);
    index_names indexes;
    int queued = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        const recovery r = recover_one(instance, found[i], &indexes);
        if (r == recovery::full) {
            logger_printf(1, "%s: queue full, %d left in [%s] for the next start", RECOVER,
                          static_cast<int>(found.size() - i), instance->path.tmp);
            break;
        }
        queued += r == recovery::queued;
    }
    return queued;
}
