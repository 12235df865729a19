#include "register/pipeline.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

#include "archive/library.h"
#include "demonize.h"
#include "handles.h"
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
};
typedef struct segment_desc segment_t;

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

// *full tells that the copy failed for lack of space.
bool copy_segment(segment_t* seg, bool* full) {
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

bool thumb_segment(const instance_t* instance, segment_t* seg) {
    const long long tA = get_current_timestamp();
    const int r = register_thumb(instance->path.ffmpeg, seg->files.copy, seg->files.thumb, instance->p_exit);
    const long long tB = get_current_timestamp();
    if (r < 0) {
        logger_printf(1, "%s: register_thumb(%s, %s) failed, r=%d", THREAD, seg->files.copy, seg->files.thumb, r);
        return false;
    }
    // The '!' marker on this success line is deliberate: the log's readers
    // expect it there.
    logger_printf(1, "%s: register_thumb(%s, %s) success, idle=%ldus", THREAD, seg->files.copy, seg->files.thumb,
                  us(tB - tA));
    return true;
}

bool index_segment(const segment_t* seg) {
    file_ptr f(fopen(seg->files.index, "a"));
    if (!f) {
        const int r = -errno;
        logger_printf(1, "%s: fopen(%s) failed, r=%d (%s)", THREAD, seg->files.index, r, register_errno_text(-r));
        return false;
    }
    const std::string line = archive::index_line(seg->name, seg->timestamp, seg->duration_ts, seg->start_pts);
    const bool written = fwrite(line.data(), 1, line.size(), f.get()) == line.size();
    // The line only counts once it has left the stream buffer.
    if (!written || fclose(f.release()) != 0) {
        const int r = -errno;
        logger_printf(1, "%s: fprintf(%s) failed, r=%d (%s)", THREAD, seg->files.index, r, register_errno_text(-r));
        return false;
    }
    return true;
}

void mark_day(const segment_t* seg) {
    file_ptr f(fopen(seg->files.here, "a"));
}

void register_segment(const instance_t* instance, const char* name) {
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
    if (plan_segment(instance, &seg) && probe_segment(instance, &seg) && copy_segment(&seg, &full) &&
        thumb_segment(instance, &seg) && index_segment(&seg)) {
        mark_day(&seg);
    }
    // Without space the segment is not at fault: the next start tries again.
    if (full) {
        logger_printf(1, "%s: no space for [%s], its link stays in [%s] for the next start", THREAD,
                      text_escape(name).c_str(), instance->path.tmp);
        return;
    }
    unlink(seg.link);
}

}  // namespace

void* register_thread_proc(void* p) {
    auto* instance = static_cast<instance_t*>(p);
    while (instance->p_exit->load() == 0) {
        // The segment in hand is always finished, whatever the flag says.
        std::unique_ptr<char[]> name = register_take(instance);
        if (name) register_segment(instance, name.get());
    }
    register_drop_all(instance);
    return nullptr;
}
