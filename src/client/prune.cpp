#include "client/prune.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "client/prune_fs.h"
#include "client/prune_library.h"
#include "client/prune_tasks.h"
#include "handles.h"

namespace client {
namespace {

using namespace prune;

constexpr int64_t HOUR = 3600;
constexpr int64_t DAY = 86400;

struct space {
    uint64_t free = 0;
    uint64_t total = 0;
};

bool measure(int fd, space* s) {
    struct statvfs v;
    if (fstatvfs(fd, &v) != 0) return false;
    s->free = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
    s->total = static_cast<uint64_t>(v.f_blocks) * v.f_frsize;
    return true;
}

uint64_t wanted_free(const free_target& target, uint64_t total) {
    if (!target.percent) return target.bytes;
    return static_cast<uint64_t>(std::ceil(static_cast<double>(total) * *target.percent / 100.0));
}

// "5.2 GiB", in powers of 1024.
std::string human(uint64_t bytes) {
    static const char* const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(UNITS)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, UNITS[unit]);
    return text;
}

int percent_of(uint64_t part, uint64_t total) {
    return total == 0 ? 0
                      : static_cast<int>(std::floor(static_cast<double>(part) * 100.0 / static_cast<double>(total)));
}

const char* plural(int n, const char* one, const char* many) { return n == 1 ? one : many; }

// Why a folder given on the command line cannot be used.
std::string open_failure(const std::string& what, const std::string& path, int err) {
    if (err == ENOENT) return what + " " + path + " does not exist";
    if (err == ENOTDIR) return path + " is not a folder";
    return "cannot open " + what + " " + path + ": " + strerror(err);
}

// One run: read everything first, so that a refusal removes nothing, then
// the finished tasks, then the hours, oldest first.
class prune_run {
public:
    prune_run(const prune_opts& opts, int64_t now, FILE* out, prune_report* report)
        : opts_(opts), now_(now), out_(out), report_(report), previous_hour_(now - now % HOUR - HOUR) {}

    int go() {
        if (!open_library() || !open_tasks() || !measure_start()) return 1;
        prune_tasks();
        if (!failed_) prune_hours();
        finish();
        return failed_ || short_ ? 1 : 0;
    }

private:
    bool open_library();
    bool open_tasks();
    bool measure_start();
    void prune_tasks();
    void prune_hours();
    void freed(uint64_t bytes, bool on_library);
    void finish();
    bool is_protected(const hour_folder& hour) const {
        return hour.start >= previous_hour_ || tasks_.hours_in_use.contains(hour.rel);
    }
    bool age_due(const hour_folder& hour) const {
        return opts_.keep_days && hour.start + HOUR <= now_ - *opts_.keep_days * DAY;
    }
    bool space_short() const { return opts_.min_free && free_now_ < wanted_; }

    const prune_opts& opts_;
    const int64_t now_;
    FILE* out_;
    prune_report* report_;
    const int64_t previous_hour_;  // it, the current hour and any later are kept
    unique_fd root_, tasks_fd_;
    library_scan library_;
    tasks_scan tasks_;
    bool tasks_on_library_fs_ = false;
    space start_;
    uint64_t wanted_ = 0;
    uint64_t free_now_ = 0;
    uint64_t freed_on_library_ = 0;
    bool failed_ = false;
    bool short_ = false;
};

bool prune_run::open_library() {
    root_ = open_root(opts_.lib_path);
    if (!root_) {
        say(open_failure("the library folder", opts_.lib_path, errno));
        return false;
    }
    std::string error;
    if (!scan_library(root_.get(), &library_, &error)) {
        say(opts_.lib_path + ": " + error + "; nothing removed");
        return false;
    }
    report_->folders_visited += library_.folders_visited;
    report_->hour_folders = static_cast<int>(library_.hours.size());
    if (library_.has_entries && !library_.has_layout) {
        say(opts_.lib_path +
            " does not look like a media library: it holds entries but no YYYY/MM/DD folder with hour folders "
            "or a day marker; nothing removed");
        return false;
    }
    return true;
}

bool prune_run::open_tasks() {
    if (opts_.tasks_path.empty()) return true;
    tasks_fd_ = open_root(opts_.tasks_path);
    if (!tasks_fd_) {
        say(open_failure("the tasks folder", opts_.tasks_path, errno));
        return false;
    }
    std::string error;
    if (!scan_tasks(tasks_fd_.get(), &tasks_, &error)) {
        say(opts_.tasks_path + ": " + error + "; nothing removed");
        return false;
    }
    report_->folders_visited += tasks_.folders_visited;
    struct stat lib_st, tasks_st;
    tasks_on_library_fs_ =
        fstat(root_.get(), &lib_st) == 0 && fstat(tasks_fd_.get(), &tasks_st) == 0 && lib_st.st_dev == tasks_st.st_dev;
    return true;
}

bool prune_run::measure_start() {
    if (!measure(root_.get(), &start_)) {
        const int err = errno;
        say("cannot measure the free space of " + opts_.lib_path + ": " + strerror(err) + "; nothing removed");
        return false;
    }
    free_now_ = start_.free;
    if (opts_.min_free) wanted_ = wanted_free(*opts_.min_free, start_.total);
    return true;
}

// What is free after a removal. A dry run adds up what would go; a real
// run measures, but never believes less than it gave back: some file
// systems free the blocks of a removed file later, and waiting for them
// would remove more hours than needed.
void prune_run::freed(uint64_t bytes, bool on_library) {
    if (on_library) freed_on_library_ += bytes;
    const uint64_t expected = start_.free + freed_on_library_;
    space now;
    free_now_ = !opts_.dry_run && measure(root_.get(), &now) ? std::max(now.free, expected) : expected;
}

// Finished task folders whose state has not changed for the days asked,
// but never the highest-numbered: the export daemon numbers its next task
// from it when it starts.
void prune_run::prune_tasks() {
    if (!opts_.keep_tasks_days || tasks_.tasks.empty()) return;
    const int highest = tasks_.tasks.back().number;
    const int64_t cutoff = now_ - *opts_.keep_tasks_days * DAY;
    for (const auto& task : tasks_.tasks) {
        if (task.number == highest || !task.real_folder || !finished(task) || task.changed >= cutoff) continue;
        task_removal removal;
        std::string error;
        if (!remove_task(tasks_fd_.get(), task, opts_.dry_run, &removal, &error)) {
            say(opts_.tasks_path + ": " + error + "; stopping");
            failed_ = true;
            return;
        }
        if (removal.gone || !removal.strays.empty()) continue;
        fprintf(out_, "task %s\n", task.name.c_str());
        ++report_->tasks;
        report_->task_bytes += removal.bytes;
        freed(removal.bytes, tasks_on_library_fs_);
    }
}

// Oldest first while an hour is past --keep-days or the free space is short
// of --min-free. The hours past --keep-days come first in time, so once
// neither holds for the oldest hour left, none is due.
void prune_run::prune_hours() {
    library_pruner pruner(root_.get(), opts_.dry_run);
    for (const auto& hour : library_.hours) {
        if (is_protected(hour)) continue;
        if (!age_due(hour) && !space_short()) break;
        hour_removal removal;
        std::string error;
        if (!pruner.remove_hour(hour, &removal, &error)) {
            say(opts_.lib_path + ": " + error + "; stopping");
            failed_ = true;
            return;
        }
        // An hour kept for what else it holds counts once, when its own
        // files go; later runs find nothing of it to remove.
        if (removal.gone || (!removal.strays.empty() && removal.files == 0)) continue;
        fprintf(out_, "hour %s\n", hour.rel.c_str());
        ++report_->hours;
        report_->hour_bytes += removal.bytes;
        freed(removal.bytes, true);
    }
    pruner.finish();
    if (!space_short()) return;
    short_ = true;
    const auto in_use = std::count_if(library_.hours.begin(), library_.hours.end(), [this](const hour_folder& h) {
        return h.start < previous_hour_ && tasks_.hours_in_use.contains(h.rel);
    });
    std::string protected_hours = "the current and the previous hour";
    if (in_use > 0) {
        protected_hours += ", and " + std::to_string(in_use) + " " + plural(static_cast<int>(in_use), "hour", "hours") +
                           " that queued or running export tasks play";
    }
    say(std::string("--min-free ") + (opts_.dry_run ? "would not be" : "is not") + " reached: " + human(free_now_) +
        " free (" + std::to_string(percent_of(free_now_, start_.total)) + "%) on the library's file system, " +
        human(wanted_) + " asked for, and only protected hours are left (" + protected_hours + ")");
}

// The one summary line.
void prune_run::finish() {
    report_->free_bytes = free_now_;
    report_->total_bytes = start_.total;
    const prune_report& r = *report_;
    fprintf(out_,
            "prune: %s %d %s (%llu bytes, %s), %d %s (%llu bytes, %s); %s %llu bytes (%s, %d%%) on the library's file "
            "system\n",
            opts_.dry_run ? "would remove" : "removed", r.hours, plural(r.hours, "hour", "hours"),
            static_cast<unsigned long long>(r.hour_bytes), human(r.hour_bytes).c_str(), r.tasks,
            plural(r.tasks, "task folder", "task folders"), static_cast<unsigned long long>(r.task_bytes),
            human(r.task_bytes).c_str(), opts_.dry_run ? "free would be" : "free",
            static_cast<unsigned long long>(r.free_bytes), human(r.free_bytes).c_str(),
            percent_of(r.free_bytes, r.total_bytes));
    fflush(out_);
}

}  // namespace

int run_prune(const prune_opts& opts, int64_t now, FILE* out, prune_report* report) {
    prune_run run(opts, now, out, report);
    return run.go();
}

}  // namespace client
