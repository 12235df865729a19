#include "register/register.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "demonize.h"
#include "execute.h"
#include "logger.h"
#include "utils.h"

namespace {

constexpr const char* ENQUEUE = "register_enqueue";
constexpr const char* RECOVER = "register_recover";
constexpr const char* THREAD = "register_thread_proc";
constexpr const char* PROBE = "register_ffprobe";
constexpr const char* THUMB = "register_thumb";

constexpr const char* PROBE_ERR = "/tmp/Brindlewood.ffprobe.err";
// The most one sendfile call moves.
constexpr size_t SENDFILE_MAX = 0x7ffff000;

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
    char hour[PATH_MAX];  // the hour directory
    char copy[PATH_MAX];  // the library copy
    char thumb[PATH_MAX];
    char index[PATH_MAX];
    char here[PATH_MAX];
};
typedef struct segment_desc segment_t;

// A name left in path.tmp by an earlier run.
struct leftover {
    bool timed;
    int64_t timestamp;
    std::string name;
};

__attribute__((format(printf, 3, 4))) bool format_path(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < size;
}

// execute's vectors are never written through; posix_spawn just wants char*.
char* arg(const char* s) { return const_cast<char*>(s); }

long us(long long v) { return static_cast<long>(v); }

std::unique_ptr<char[]> copy_name(const char* name) {
    const size_t n = strlen(name) + 1;
    try {
        auto copy = std::make_unique<char[]>(n);
        memcpy(copy.get(), name, n);
        return copy;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Appends an owned name; the new length, or -12 when the queue is full.
int queue_push(instance_t* instance, std::unique_ptr<char[]> name) {
    auto& q = instance->reg_queue;
    int r = -12;
    mutex_guard guard(&instance->lock);
    if (q.len < MAX_REG_QUEUE_LEN) {
        q.items[q.len++] = std::move(name);
        r = q.len;
    }
    pthread_cond_signal(&q.cond);
    return r;
}

// Waits for a name; null once the exit flag is up.
std::unique_ptr<char[]> queue_take(instance_t* instance) {
    auto& q = instance->reg_queue;
    mutex_guard guard(&instance->lock);
    while (q.len == 0 && instance->p_exit->load() == 0) pthread_cond_wait(&q.cond, &instance->lock);
    if (instance->p_exit->load() != 0 || q.len == 0) return nullptr;
    std::unique_ptr<char[]> name = std::move(q.items[0]);
    std::move(q.items + 1, q.items + q.len, q.items);
    --q.len;
    return name;
}

// Names still queued at the end are dropped; their links stay for the next
// start.
void queue_drop_all(instance_t* instance) {
    auto& q = instance->reg_queue;
    mutex_guard guard(&instance->lock);
    for (int i = 0; i < q.len; ++i) q.items[i].reset();
    q.len = 0;
}

bool is_regular(int dir_fd, const dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    return fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// Segment links in path.tmp, oldest time first; names without a time last.
int list_leftovers(const char* dir, std::vector<leftover>* found) {
    dir_ptr d(opendir(dir));
    if (!d) return -errno;
    while (const dirent* e = readdir(d.get())) {
        if (!register_first_ts_ends(e->d_name) || !is_regular(dirfd(d.get()), e)) continue;
        leftover item{false, 0, e->d_name};
        struct tm ignored;
        item.timed = register_segment_time(e->d_name, &item.timestamp, &ignored);
        found->push_back(std::move(item));
    }
    std::sort(found->begin(), found->end(), [](const leftover& a, const leftover& b) {
        if (a.timed != b.timed) return a.timed;
        if (a.timestamp != b.timestamp) return a.timestamp < b.timestamp;
        return a.name < b.name;
    });
    return 0;
}

int64_t probe_number(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    if (s.starts_with('+')) s.remove_prefix(1);
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    (void)end;
    return ec == std::errc() ? v : 0;
}

int probe_key(std::string_view line, std::string_view key, int64_t* value) {
    if (!line.starts_with(key)) return 0;
    *value = probe_number(line.substr(key.size()));
    return 1;
}

// Time, hour and day of the segment and all its paths.
bool plan_segment(const instance_t* instance, segment_t* seg) {
    if (!register_segment_time(seg->name, &seg->timestamp, &seg->result)) {
        logger_printf(1, "%s: failed to parse [%s]", THREAD, seg->name);
        return false;
    }
    char hour[64] = {};
    char day[64] = {};
    strftime(hour, sizeof hour, "%Y/%m/%d/%H", &seg->result);
    strftime(day, sizeof day, "%Y/%m/%d", &seg->result);
    const char* lib = instance->path.lib;
    const bool fits = format_path(seg->hour, PATH_MAX, "%s/%s", lib, hour) &&
                      format_path(seg->copy, PATH_MAX, "%s/%s/%s", lib, hour, seg->name) &&
                      register_thumb_name(seg->copy, seg->thumb, PATH_MAX) &&
                      format_path(seg->index, PATH_MAX, "%s/%s/index.cvs", lib, hour) &&
                      format_path(seg->here, PATH_MAX, "%s/%s/here", lib, day);
    if (!fits) logger_printf(1, "%s: path too long for [%s] in [%s]", THREAD, seg->name, lib);
    return fits;
}

bool probe_segment(const instance_t* instance, segment_t* seg) {
    const long long tA = get_current_timestamp();
    const int r = register_ffprobe(instance->path.ffprobe, seg->link, &seg->duration_ts, &seg->start_pts);
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

bool copy_segment(segment_t* seg) {
    // A failure here shows up in the copy.
    utils_mkdir_p(seg->hour, 0777);
    const long long tA = get_current_timestamp();
    const int64_t r = copy_file(seg->link, seg->copy);
    if (r < 0) {
        logger_printf(1, "%s: copy_file([%s], [%s]) failed %d (%s)", THREAD, seg->link, seg->copy,
                      static_cast<int>(r), register_errno_text(static_cast<int>(-r)));
        return false;
    }
    const long long tB = get_current_timestamp();
    logger_printf(0, "%s: copy_file([%s], [%s]) takes %ldus", THREAD, seg->link, seg->copy, us(tB - tA));
    return true;
}

bool thumb_segment(const instance_t* instance, segment_t* seg) {
    const long long tA = get_current_timestamp();
    const int r = register_thumb(instance->path.ffmpeg, seg->copy, seg->thumb);
    const long long tB = get_current_timestamp();
    if (r < 0) {
        logger_printf(1, "%s: register_thumb(%s, %s) failed, r=%d", THREAD, seg->copy, seg->thumb, r);
        return false;
    }
    // The '!' marker on this success line is deliberate: the log's readers
    // expect it there.
    logger_printf(1, "%s: register_thumb(%s, %s) success, idle=%ldus", THREAD, seg->copy, seg->thumb,
                  us(tB - tA));
    return true;
}

bool index_segment(const segment_t* seg) {
    file_ptr f(fopen(seg->index, "a"));
    if (!f) {
        const int r = -errno;
        logger_printf(1, "%s: fopen(%s) failed, r=%d (%s)", THREAD, seg->index, r, register_errno_text(-r));
        return false;
    }
    const int w = fprintf(f.get(), "%s\t%ld\t%ld\t%ld\n", seg->name, static_cast<long>(seg->timestamp),
                          static_cast<long>(seg->duration_ts), static_cast<long>(seg->start_pts));
    // The line only counts once it has left the stream buffer.
    if (w < 0 || fclose(f.release()) != 0) {
        const int r = -errno;
        logger_printf(1, "%s: fprintf(%s) failed, r=%d (%s)", THREAD, seg->index, r, register_errno_text(-r));
        return false;
    }
    return true;
}

void mark_day(const segment_t* seg) {
    file_ptr f(fopen(seg->here, "a"));
}

void register_segment(const instance_t* instance, const char* name) {
    logger_printf(0, "%s: [%s]", THREAD, name);
    segment_t seg;
    seg.name = name;
    // Never unlink a cut path: it could name another file.
    if (!format_path(seg.link, PATH_MAX, "%s/%s", instance->path.tmp, name)) {
        logger_printf(1, "%s: path too long for [%s] in [%s]", THREAD, name, instance->path.tmp);
        return;
    }
    if (plan_segment(instance, &seg) && probe_segment(instance, &seg) && copy_segment(&seg) &&
        thumb_segment(instance, &seg) && index_segment(&seg)) {
        mark_day(&seg);
    }
    unlink(seg.link);
}

}  // namespace

const char* register_errno_text(int err) {
    const char* text = strerrordesc_np(err);
    return text ? text : "Unknown error";
}

int register_enqueue(instance_t* instance, const char* name) {
    char src[PATH_MAX];
    char dst[PATH_MAX];
    if (!format_path(src, sizeof src, "%s/%s", instance->path.watch, name) ||
        !format_path(dst, sizeof dst, "%s/%s", instance->path.tmp, name)) {
        logger_printf(1, "%s: path too long for [%s]", ENQUEUE, name);
        return -ENAMETOOLONG;
    }
    if (link(src, dst) != 0) {
        const int r = -errno;
        logger_printf(1, "%s: link([%s], [%s]) failed %d (%s)", ENQUEUE, src, dst, r, register_errno_text(-r));
        return r;
    }
    auto copy = copy_name(name);
    if (!copy) {
        logger_printf(1, "%s: no memory for [%s], it stays in [%s]", ENQUEUE, name, instance->path.tmp);
        return -12;
    }
    const int r = queue_push(instance, std::move(copy));
    if (r < 0) {
        logger_printf(1, "%s: queue full (%d names waiting), [%s] stays in [%s]", ENQUEUE, MAX_REG_QUEUE_LEN,
                      name, instance->path.tmp);
    }
    return r;
}

int register_recover(instance_t* instance) {
    std::vector<leftover> found;
    const int r = list_leftovers(instance->path.tmp, &found);
    if (r < 0) {
        logger_printf(1, "%s: opendir(%s) failed %d (%s)", RECOVER, instance->path.tmp, r, register_errno_text(-r));
        return r;
    }
    int queued = 0;
    for (const leftover& item : found) {
        auto copy = copy_name(item.name.c_str());
        if (!copy || queue_push(instance, std::move(copy)) < 0) {
            logger_printf(1, "%s: queue full, %d left in [%s] for the next start", RECOVER,
                          static_cast<int>(found.size()) - queued, instance->path.tmp);
            break;
        }
        ++queued;
        logger_printf(0, "%s: [%s] left in [%s] by an earlier run, queued", RECOVER, item.name.c_str(),
                      instance->path.tmp);
    }
    return queued;
}

void* register_thread_proc(void* p) {
    auto* instance = static_cast<instance_t*>(p);
    while (instance->p_exit->load() == 0) {
        // The segment in hand is always finished, whatever the flag says.
        std::unique_ptr<char[]> name = queue_take(instance);
        if (name) register_segment(instance, name.get());
    }
    queue_drop_all(instance);
    return nullptr;
}

int register_ffprobe(const char* ffprobe, const char* path, int64_t* duration_ts, int64_t* start_pts) {
    char* args[] = {arg(ffprobe), arg("-i"), arg(path), arg("-select_streams"), arg("v:0"),
                    arg("-show_streams"), arg("-of"), arg("ini"), nullptr};
    char* envs[] = {nullptr};
    char log[PATH_MAX];
    snprintf(log, sizeof log, "/tmp/Brindlewood.ffprobe.%d", getpid());
    unlink(log);
    int pid = 0;
    int r = execute(ffprobe, &pid, args, envs, log, PROBE_ERR);
    if (r != 0) {
        logger_printf(0, "%s: ffprobe(%s)=%d", PROBE, path, r);
        return r;
    }
    std::string text;
    r = utils_read_text(log, &text);
    if (r < 0) {
        logger_printf(0, "%s: fopen(%s)=%d", PROBE, log, r);
        return r;
    }
    return register_parse_probe(text, duration_ts, start_pts);
}

int register_parse_probe(std::string_view text, int64_t* duration_ts, int64_t* start_pts) {
    int count = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = line.substr(0, line.find('\r'));
        count += probe_key(line, "start_pts=", start_pts);
        count += probe_key(line, "duration_ts=", duration_ts);
    }
    return count;
}

int register_thumb(const char* ffmpeg, const char* src, const char* dst) {
    char* args[] = {arg(ffmpeg), arg("-i"), arg(src), arg("-vframes"), arg("1"), arg("-vf"), arg("scale=96:54"),
                    arg("-y"), arg(dst), nullptr};
    char* envs[] = {nullptr};
    logger_printf(0, "%s: building thumb (%s)...", THUMB, dst);
    int pid = 0;
    return execute(ffmpeg, &pid, args, envs, nullptr, nullptr);
}

int64_t copy_file(const char* src, const char* dst) {
    unique_fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (!in) return -errno;
    unique_fd out(open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) return -errno;
    struct stat st;
    if (fstat(in.get(), &st) != 0) return -errno;
    const int64_t r = copy_fd(in.get(), out.get(), st.st_size, SENDFILE_MAX);
    if (r < 0) return r;
    // Some file systems report a failed write only at close.
    return close(out.release()) == 0 ? r : -errno;
}

int64_t copy_fd(int in, int out, int64_t size, size_t chunk) {
    if (chunk == 0) return -EINVAL;
    off_t offset = 0;
    while (offset < size) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(chunk)));
        const ssize_t n = sendfile(out, in, &offset, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        // The source ended before the size it had: the copy is incomplete.
        if (n == 0) return -EIO;
    }
    return offset;
}

bool register_first_ts_ends(std::string_view s) {
    const size_t at = s.find(".ts");
    return at != std::string_view::npos && at + 3 == s.size();
}

bool register_thumb_name(std::string_view copy, char* out, size_t size) {
    const std::string_view stem = register_first_ts_ends(copy) ? copy.substr(0, copy.size() - 3) : copy;
    return format_path(out, size, "%.*s.jpg", static_cast<int>(stem.size()), stem.data());
}

bool register_segment_time(const char* name, int64_t* timestamp, struct tm* result) {
    errno = 0;
    char* end = nullptr;
    const long long t = strtoll(name, &end, 10);
    if (end == name || errno == ERANGE) return false;
    const time_t tt = static_cast<time_t>(t);
    if (gmtime_r(&tt, result) == nullptr) return false;
    *timestamp = t;
    return true;
}
