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
#include <unordered_set>
#include <vector>

#include "archive/library.h"
#include "demonize.h"
#include "execute.h"
#include "logger.h"
#include "text.h"
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
    archive::segment_files files;
};
typedef struct segment_desc segment_t;

// A segment found at start: a link an earlier run left in path.tmp, a file
// in path.watch, or both.
struct found_segment {
    bool timed;
    int64_t timestamp;
    std::string name;
    bool linked;
};

// execute's vectors are never written through; posix_spawn just wants char*.
char* arg(const char* s) { return const_cast<char*>(s); }

long us(long long v) { return static_cast<long>(v); }

// Reports a tool killed for hanging on the file what.
void log_stalled(const char* who, const char* what, int seconds) {
    logger_printf(1, "%s: [%s] made no progress for %d s, killed", who, text_escape(what).c_str(), seconds);
}

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
    // A line cut short by a kill holds no segment: its registration runs
    // again.
    void load(const char* index) {
        path_ = index;
        names_.clear();
        std::string text;
        if (utils_read_text(index, &text) != 0) return;
        archive::for_each_index_line(text, [&](std::string_view line) {
            archive::index_fields f;
            if (archive::split_index_line(line, &f)) names_.emplace(f.name);
            return true;
        });
    }

    std::string path_;
    std::unordered_set<std::string> names_;
};

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

// Copies src to dst through a hidden name, so that neither a recovery nor the
// register thread ever sees half a copy, and dst keeps link()'s EEXIST.
// link_error is why the link failed; it is said once per run with its remedy.
int copy_in(const char* src, const char* dst, int link_error) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        logger_printf(1,
                      "%s: link([%s], [%s]) failed %d (%s); copying segments instead. Put the watch folder on "
                      "the holding folder's file system, and let the recorder share our group with umask 002",
                      ENQUEUE, src, dst, link_error, register_errno_text(-link_error));
    }
    char part[PATH_MAX];
    const char* slash = strrchr(dst, '/');
    const int dir_len = slash ? static_cast<int>(slash - dst) : 0;
    if (!slash || !utils_format_path(part, sizeof part, "%.*s/.%s.part", dir_len, dst, slash + 1)) return -ENAMETOOLONG;
    const int64_t copied = copy_file(src, part);
    if (copied < 0) return static_cast<int>(copied);
    const int r = link(part, dst) == 0 ? 0 : -errno;
    unlink(part);
    if (r == 0) logger_printf(0, "%s: [%s] copied into [%s], %ld bytes", ENQUEUE, src, dst, static_cast<long>(copied));
    return r;
}

// Hard-links name from path.watch into path.tmp; 0 or the negated errno,
// logged.
int link_segment(const instance_t* instance, const char* name) {
    char src[PATH_MAX];
    char dst[PATH_MAX];
    if (!utils_format_path(src, sizeof src, "%s/%s", instance->path.watch, name) ||
        !utils_format_path(dst, sizeof dst, "%s/%s", instance->path.tmp, name)) {
        logger_printf(1, "%s: path too long for [%s]", ENQUEUE, name);
        return -ENAMETOOLONG;
    }
    if (link(src, dst) == 0) return 0;
    int r = -errno;
    // Refused by fs.protected_hardlinks (a recorder of another user whose
    // file we may read but not write) or across mounts: the segment is still
    // readable, so a copy takes the link's place rather than losing it.
    if (r == -EPERM || r == -EXDEV) r = copy_in(src, dst, r);
    if (r != 0) {
        logger_printf(1, "%s: link([%s], [%s]) failed %d (%s)", ENQUEUE, src, dst, r, register_errno_text(-r));
    }
    return r;
}

// The file that stands for a found segment: its link, else the recorder's.
bool found_path(const instance_t* instance, const found_segment& f, char (&path)[PATH_MAX]) {
    return utils_format_path(path, sizeof path, "%s/%s", f.linked ? instance->path.tmp : instance->path.watch,
                       f.name.c_str());
}

// True when the library holds the segment: a copy of the same size and a
// line in its hour's index. A copy without a line is a registration that a
// kill cut short.
bool in_library(const instance_t* instance, const found_segment& f, index_names* indexes) {
    segment_t seg;
    seg.name = f.name.c_str();
    char path[PATH_MAX];
    if (!f.timed || !archive::segment_time(seg.name, &seg.timestamp, &seg.result) ||
        !archive::segment_files_of(instance->path.lib, seg.name, seg.result, &seg.files) ||
        !found_path(instance, f, path)) {
        return false;
    }
    struct stat own, copy;
    if (stat(path, &own) != 0 || stat(seg.files.copy, &copy) != 0 || own.st_size != copy.st_size) return false;
    return indexes->holds(seg.files.index, f.name);
}

// True when one of the descriptors of process pid is target, open for
// writing. Processes whose descriptors we may not see are passed over.
bool process_writes(long pid, const struct stat& target) {
    char fd_dir[64];
    snprintf(fd_dir, sizeof fd_dir, "/proc/%ld/fd", pid);
    dir_ptr fds(opendir(fd_dir));
    if (!fds) return false;
    while (const dirent* e = readdir(fds.get())) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        if (fstatat(dirfd(fds.get()), e->d_name, &st, 0) != 0 || st.st_dev != target.st_dev ||
            st.st_ino != target.st_ino) {
            continue;
        }
        char info_path[96];
        snprintf(info_path, sizeof info_path, "/proc/%ld/fdinfo/%ld", pid, strtol(e->d_name, nullptr, 10));
        std::string info;
        if (utils_read_text(info_path, &info) != 0) continue;
        const size_t at = info.find("flags:");
        if (at == std::string::npos) continue;
        const unsigned long flags = strtoul(info.c_str() + at + 6, nullptr, 8);
        if ((flags & O_ACCMODE) != O_RDONLY) return true;
    }
    return false;
}

enum class recovery { passed, queued, full };

// What a start does with one segment it found.
recovery recover_one(instance_t* instance, const found_segment& f, index_names* indexes) {
    const std::string name = text_escape(f.name);
    char path[PATH_MAX];
    if (in_library(instance, f, indexes)) {
        // A kill between the index line and the link's removal.
        if (f.linked && found_path(instance, f, path) && unlink(path) == 0) {
            logger_printf(0, "%s: [%s] is in the library already, its link removed", RECOVER, name.c_str());
        }
        return recovery::passed;
    }
    if (!f.linked) {
        // Still being written: its own close notice brings it.
        if (found_path(instance, f, path) && register_open_for_writing(path)) {
            logger_printf(0, "%s: [%s] is still open for writing, left to its close", RECOVER, name.c_str());
            return recovery::passed;
        }
        if (link_segment(instance, f.name.c_str()) != 0) return recovery::passed;
    }
    auto copy = copy_name(f.name.c_str());
    if (!copy || queue_push(instance, std::move(copy)) < 0) return recovery::full;
    if (f.linked) {
        logger_printf(0, "%s: [%s] left in [%s] by an earlier run, queued", RECOVER, name.c_str(), instance->path.tmp);
    } else {
        logger_printf(0, "%s: [%s] closed while the daemon was down, queued", RECOVER, name.c_str());
    }
    return recovery::queued;
}

}  // namespace

const char* register_errno_text(int err) {
    const char* text = strerrordesc_np(err);
    return text ? text : "Unknown error";
}

int register_enqueue(instance_t* instance, const char* name) {
    const int linked = link_segment(instance, name);
    if (linked != 0) return linked;
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

int register_recover(instance_t* instance, bool scan_watch) {
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

bool register_open_for_writing(const char* path) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return false;
    // A read lease is refused (EAGAIN) while anyone has the file open for
    // writing; taken, it is given back at once.
    if (fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN) return true;
    // Not the file's owner, or no leases on this file system.
    return register_proc_writer(path);
}

bool register_proc_writer(const char* path) {
    struct stat target;
    if (stat(path, &target) != 0) return false;
    dir_ptr proc(opendir("/proc"));
    if (!proc) return false;
    while (const dirent* p = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(p->d_name, &end, 10);
        if (pid > 0 && *end == 0 && process_writes(pid, target)) return true;
    }
    return false;
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

// The shared error file, unless another user's daemon made it: /tmp is
// sticky, so we could never open it and every probe would fail. Then a name
// of our own process.
static void probe_err_path(char (&path)[PATH_MAX]) {
    const int why = access(PROBE_ERR, W_OK) == 0 ? 0 : errno;
    if (why == 0 || why == ENOENT) {
        snprintf(path, sizeof path, "%s", PROBE_ERR);
        return;
    }
    snprintf(path, sizeof path, "%s.%d", PROBE_ERR, getpid());
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        logger_printf(1, "%s: [%s] is not ours to write (%s); ffprobe writes its errors into [%s]", PROBE, PROBE_ERR,
                      register_errno_text(why), path);
    }
}

int register_ffprobe(const char* ffprobe, const char* path, int64_t* duration_ts, int64_t* start_pts,
                     const std::atomic<int>* exit_flag) {
    char* args[] = {arg(ffprobe), arg("-i"), arg(path), arg("-select_streams"), arg("v:0"),
                    arg("-show_streams"), arg("-of"), arg("ini"), nullptr};
    char* envs[] = {nullptr};
    char log[PATH_MAX];
    snprintf(log, sizeof log, "/tmp/Brindlewood.ffprobe.%d", getpid());
    unlink(log);
    char err[PATH_MAX];
    probe_err_path(err);
    int pid = 0;
    execute_watch watch{exit_flag, {log, err}};
    int r = execute_watched(ffprobe, &pid, args, envs, log, err, &watch);
    if (watch.stalled) log_stalled(PROBE, path, watch.stalled);
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

int register_thumb(const char* ffmpeg, const char* src, const char* dst, const std::atomic<int>* exit_flag) {
    char* args[] = {arg(ffmpeg), arg("-i"), arg(src), arg("-vframes"), arg("1"), arg("-vf"), arg("scale=96:54"),
                    arg("-y"), arg(dst), nullptr};
    char* envs[] = {nullptr};
    logger_printf(0, "%s: building thumb (%s)...", THUMB, dst);
    int pid = 0;
    execute_watch watch{exit_flag, {dst}};
    const int r = execute_watched(ffmpeg, &pid, args, envs, nullptr, nullptr, &watch);
    if (watch.stalled) log_stalled(THUMB, dst, watch.stalled);
    return r;
}

int64_t copy_file(const char* src, const char* dst) {
    unique_fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (!in) return -errno;
    unique_fd out(open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) return -errno;
    struct stat st;
    int64_t r = fstat(in.get(), &st) == 0 ? copy_fd(in.get(), out.get(), st.st_size, SENDFILE_MAX) : -errno;
    // Some file systems report a failed write only at close.
    if (close(out.release()) != 0 && r >= 0) r = -errno;
    // A partial copy must not pass for a segment.
    if (r < 0) unlink(dst);
    return r;
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

