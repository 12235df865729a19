#include "register/pipeline.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/library.h"
#include "archive/library_write.h"
#include "demonize.h"
#include "logger.h"
#include "register/copy.h"
#include "register/queue.h"
#include "register/register.h"
#include "register/tools.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr const char* THREAD = "register_thread_proc";

// The segment in hand and every path its registration writes. All paths are
// built before any work starts, so a path that does not fit stops the
// segment before anything is done on a cut path.
struct segment_desc {
    const char* name = nullptr;
    int64_t timestamp = 0;
    struct tm result = {};
    int64_t duration_ts = 0;
    int64_t start_pts = 0;
    char link[PATH_MAX];  // the hard link in path.tmp
    archive::segment_files files;
    bool hour_made = false;     // the hour folder is new
    bool copy_existed = false;  // an earlier registration's copy was there
    bool marker_made = false;   // the day's marker is new
    archive::index_append appended;
};
typedef struct segment_desc segment_t;

// The hour indexes this run has appended to, whose last line was checked
// then. A few hours are kept: forgetting one costs only a second check.
class index_checks {
public:
    bool seen(const char* path) const { return std::find(seen_.begin(), seen_.end(), path) != seen_.end(); }
    void note(const char* path) {
        if (seen(path)) return;
        if (seen_.size() == KEPT) seen_.erase(seen_.begin());
        seen_.emplace_back(path);
    }

private:
    static constexpr size_t KEPT = 48;
    std::vector<std::string> seen_;
};

long us(long long v) { return static_cast<long>(v); }

// Time, hour and day of the segment and all its paths.
bool plan_segment(const instance_t* instance, segment_t* seg) {
    if (!archive::segment_time(seg->name, &seg->timestamp, &seg->result)) {
        logger_printf(1, "%s: failed to parse [%s]", THREAD, seg->name);
        return false;
    }
    const bool fits = archive::segment_files_of(instance->path.lib, seg->name, seg->result, &seg->files);
    if (!fits) logger_printf(1, "%s: path too long for [%s] in [%s]", THREAD, seg->name, instance->path.lib);
    return fits;
}

bool probe_segment(const instance_t* instance, segment_t* seg) {
    const long long tA = get_current_timestamp();
    const int r =
        register_ffprobe(instance->path.ffprobe, seg->link, &seg->duration_ts, &seg->start_pts, instance->p_exit);
    const long long tB = get_current_timestamp();
    if (r < 0 || seg->duration_ts == 0) {
        logger_printf(1, "%s: register_ffprobe(%s), r=%d, duration_ts=%ld failed", THREAD, seg->name, r,
                      static_cast<long>(seg->duration_ts));
        return false;
    }
    logger_printf(0, "%s: [%s] duration_ts=%ld, start_pts=%ld, idle=%ldus", THREAD, seg->name,
                  static_cast<long>(seg->duration_ts), static_cast<long>(seg->start_pts), us(tB - tA));
    return true;
}

bool no_space(int err) { return err == ENOSPC || err == EDQUOT; }

// More than a 96x54 thumbnail ever takes.
constexpr uint64_t THUMB_ROOM = 64 * 1024;

// ffmpeg's exit status does not say why it failed: a file system that has
// less room than a thumbnail, or no inode, is taken as the reason.
bool short_of_room(const char* dir) {
    struct statvfs fs;
    if (statvfs(dir, &fs) != 0) return false;
    const bool no_inode = fs.f_files != 0 && fs.f_favail == 0;
    return no_inode || static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < THUMB_ROOM;
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

// *full tells that the copy failed for lack of space.
bool copy_segment(segment_t* seg, bool* full) {
    seg->hour_made = !exists(seg->files.hour);
    seg->copy_existed = !seg->hour_made && exists(seg->files.copy);
    // A failure here shows up in the copy; lack of space is told from it.
    const int made = utils_mkdir_p(seg->files.hour, 0777);
    const long long tA = get_current_timestamp();
    const int64_t r = copy_file(seg->link, seg->files.copy);
    if (r < 0) {
        logger_printf(1, "%s: copy_file([%s], [%s]) failed %d (%s)", THREAD, seg->link, seg->files.copy,
                      static_cast<int>(r), register_errno_text(static_cast<int>(-r)));
        *full = no_space(static_cast<int>(-r)) || no_space(-made);
        return false;
    }
    const long long tB = get_current_timestamp();
    logger_printf(0, "%s: copy_file([%s], [%s]) takes %ldus", THREAD, seg->link, seg->files.copy, us(tB - tA));
    return true;
}

bool thumb_segment(const instance_t* instance, segment_t* seg, bool* full) {
    const long long tA = get_current_timestamp();
    int r = register_thumb(instance->path.ffmpeg, seg->files.copy, seg->files.thumb, instance->p_exit);
    const long long tB = get_current_timestamp();
    if (r < 0) {
        logger_printf(1, "%s: register_thumb(%s, %s) failed, r=%d", THREAD, seg->files.copy, seg->files.thumb, r);
        *full = short_of_room(seg->files.hour);
        return false;
    }
    r = archive::sync_path(seg->files.thumb);
    if (r < 0) {
        logger_printf(1, "%s: register_thumb(%s, %s) failed, r=%d (%s)", THREAD, seg->files.copy, seg->files.thumb, r,
                      register_errno_text(-r));
        *full = no_space(-r);
        return false;
    }
    // The '!' marker on this success line is deliberate: the log's readers
    // expect it there.
    logger_printf(1, "%s: register_thumb(%s, %s) success, idle=%ldus", THREAD, seg->files.copy, seg->files.thumb,
                  us(tB - tA));
    return true;
}

// The first append of a run to an hour's index first repairs a cut-off last
// line; checked holds the indexes already seen.
bool index_segment(segment_t* seg, index_checks* checked, bool* full) {
    const std::string line = archive::index_line(seg->name, seg->timestamp, seg->duration_ts, seg->start_pts);
    bool opened = false;
    const int r =
        archive::append_index_line(seg->files.index, line, !checked->seen(seg->files.index), &seg->appended, &opened);
    // An index that could not be opened was not checked either.
    if (opened) checked->note(seg->files.index);
    if (seg->appended.repaired > 0) {
        logger_printf(1, "%s: [%s] ended in a cut-off line; %ld bytes taken back to its last line end", THREAD,
                      seg->files.index, static_cast<long>(seg->appended.repaired));
    }
    if (r < 0) {
        logger_printf(1, opened ? "%s: fprintf(%s) failed, r=%d (%s)" : "%s: fopen(%s) failed, r=%d (%s)", THREAD,
                      seg->files.index, r, register_errno_text(-r));
        *full = no_space(-r);
        return false;
    }
    return true;
}

// Without room for the marker, the index line goes again, so that the
// segment is registered whole at the next start or not at all.
bool mark_segment_day(segment_t* seg, bool* full) {
    const int r = archive::mark_day(seg->files.here, &seg->marker_made);
    if (r < 0 && no_space(-r)) {
        const int cut = archive::cut_index_back(seg->files.index, seg->appended);
        if (cut < 0) {
            logger_printf(1, "%s: [%s] keeps the line of [%s]: taking it back failed, r=%d (%s)", THREAD,
                          seg->files.index, seg->name, cut, register_errno_text(-cut));
            return true;
        }
        *full = true;
        return false;
    }
    return true;
}

// The folder entries of the copy, the thumbnail, the index and the marker,
// and of any folder made for them: only then may the link go.
bool sync_folders(const instance_t* instance, const segment_t* seg) {
    std::string dir = seg->files.hour;
    const size_t lib_len = strlen(instance->path.lib);
    // The hour, and when the hour or the marker is new the day, and when
    // the hour is new every folder above up to the library's root.
    const int levels = seg->hour_made ? 5 : seg->marker_made ? 2 : 1;
    for (int i = 0; i < levels && dir.size() >= lib_len; ++i) {
        const int r = archive::sync_path(dir.c_str());
        if (r < 0) {
            logger_printf(1, "%s: fsync(%s) failed, r=%d (%s)", THREAD, dir.c_str(), r, register_errno_text(-r));
            return false;
        }
        const size_t slash = dir.rfind('/');
        if (slash == std::string::npos || slash == 0) break;
        dir.resize(slash);
    }
    return true;
}

// What a registration that ran out of room made goes again: the copy only
// when it was not there before.
void take_back(const segment_t* seg) {
    unlink(seg->files.thumb);
    if (!seg->copy_existed) unlink(seg->files.copy);
}

void register_segment(const instance_t* instance, const char* name, index_checks* checked) {
    if (!archive::segment_name_is_clean(name)) {
        // Left by an older run: nothing else would ever take it away.
        logger_printf(1, "%s: [%s] holds a control character, which the index cannot hold; not registered", THREAD,
                      text_escape(name).c_str());
        char link[PATH_MAX];
        if (utils_format_path(link, sizeof link, "%s/%s", instance->path.tmp, name)) unlink(link);
        return;
    }
    logger_printf(0, "%s: [%s]", THREAD, name);
    segment_t seg;
    seg.name = name;
    // Never unlink a cut path: it could name another file.
    if (!utils_format_path(seg.link, PATH_MAX, "%s/%s", instance->path.tmp, name)) {
        logger_printf(1, "%s: path too long for [%s] in [%s]", THREAD, name, instance->path.tmp);
        return;
    }
    bool full = false;
    const bool copied = plan_segment(instance, &seg) && probe_segment(instance, &seg) && copy_segment(&seg, &full);
    const bool indexed = copied && thumb_segment(instance, &seg, &full) && index_segment(&seg, checked, &full) &&
                         mark_segment_day(&seg, &full);
    // Without space the segment is not at fault: the next start tries again.
    if (full) {
        if (copied) take_back(&seg);
        logger_printf(1, "%s: no space for [%s], its link stays in [%s] for the next start", THREAD,
                      text_escape(name).c_str(), instance->path.tmp);
        return;
    }
    // Not yet on stable storage: the next start's recovery looks again.
    if (indexed && !sync_folders(instance, &seg)) return;
    unlink(seg.link);
}

}  // namespace

void* register_thread_proc(void* p) {
    auto* instance = static_cast<instance_t*>(p);
    index_checks checked;
    while (instance->p_exit->load() == 0) {
        // The segment in hand is always finished, whatever the flag says.
        auto name = keelson::queue_take(&instance->lock, &instance->reg_queue, instance->p_exit);
        if (name) register_segment(instance, name->get(), &checked);
    }
    // Names still queued are dropped; their links stay for the next start.
    keelson::queue_drop_all(&instance->lock, &instance->reg_queue);
    return nullptr;
}
