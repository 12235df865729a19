#include "exporter/exporter.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/task_store.h"
#include "demonize.h"
#include "execute.h"
#include "exporter/export_task.h"
#include "exporter/metrics.h"
#include "exporter/ws.h"
#include "handles.h"
#include "logger.h"
#include "text.h"
#include "utils.h"

namespace {

std::atomic<bool> worker_finished{false};

struct task_free {
    void operator()(export_task_t* t) const { free(t); }
};
using task_ptr = std::unique_ptr<export_task_t, task_free>;

void set_state(instance_t* instance, export_task_t* task, archive::task_state state) {
    task->state = archive::task_state_value(state);
    export_task_save_state(instance->path.tasks, task);
    metrics_task_state(task->sys_id, state);
    // Every state but running is its last: the task leaves the worker's
    // hands before the clients hear of it.
    if (state != archive::task_state::running) metrics_task_in_hand(-1);
    ws_notify_task_state(instance, task);
}

// A file of the task's folder; false (and a log line) when the path does not
// fit, so that ffmpeg never works on a cut name.
bool task_file(char (&buf)[4096], const instance_t* instance, int number, const char* name) {
    if (archive::task_path(buf, sizeof buf, instance->path.tasks, number, name)) return true;
    logger_printf(1, "%s: [%d] path of %s does not fit in %zu bytes", "exporter_thread_proc", number, name,
                  sizeof buf);
    return false;
}

// One ffmpeg run: its output file and log in the task folder; stdout
// discarded, stderr into the log. A run that succeeds has its output synced,
// with the folder's entry, before the task can read done: a power cut after
// "done" cannot take the file back. Returns the launcher's result, or the
// error of the sync.
int run_ffmpeg(instance_t* instance, int number, const char* what, const char* out_name, const char* log_name,
               std::vector<std::string> args) {
    const char* me = "exporter_thread_proc";
    char dst[4096];
    char log[4096];
    if (!task_file(dst, instance, number, out_name) || !task_file(log, instance, number, log_name)) return -ENAMETOOLONG;
    args.insert(args.begin(), instance->path.ffmpeg);
    args.emplace_back(dst);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    char* envs[] = {nullptr};
    int pid = 0;
    logger_printf(0, "%s: [%d] building %s (%s)...", me, number, what, dst);
    const long long tA = get_current_timestamp();
    execute_watch watch{instance->p_exit, {dst, log}};
    const int r = execute_watched(instance->path.ffmpeg, &pid, argv.data(), envs, nullptr, log, &watch);
    const long long tB = get_current_timestamp();
    if (watch.stalled) {
        logger_printf(1, "%s: [%d] %s made no progress for %d s, killed", me, number, what, watch.stalled);
    }
    logger_printf(0, "%s: [%d] built %s, r=%d, idle=%ldus", me, number, what, r, static_cast<long>(tB - tA));
    metrics_ffmpeg_run(strcmp(what, "CUT") == 0 ? "cut" : "thumb", static_cast<double>(tB - tA) / 1e6);
    if (r != 0) return r;
    // A tool that succeeds without making the file leaves the task as it
    // always has: done, the file missing.
    const int synced = archive::sync_task_output(instance->path.tasks, number, out_name);
    if (synced == 0 || synced == -ENOENT) return 0;
    logger_printf(1, "%s: [%d] cannot sync %s (%s)", me, number, dst, strerror(-synced));
    return synced;
}

// Where both runs enter the playlist. A clip from the very start needs no
// seek, and ffmpeg cannot seek a playlist to its start when its first
// segment's audio begins before its video: the runs would then lose the clip's
// video and thumbnail a later segment. So "-ss" is given only for a real
// offset.
std::vector<std::string> seek_args(const export_task_t& task, const char* mark_in, const char* src) {
    if (task.head_offs == 0) return {"-i", src};
    return {"-ss", mark_in, "-i", src};
}

std::vector<std::string> thumb_args(const export_task_t& task, const char* mark_in, const char* src) {
    std::vector<std::string> args = seek_args(task, mark_in, src);
    args.insert(args.end(), {"-vframes", "1", "-vf", "scale=96:54", "-y"});
    return args;
}

// The cut: stream copy from mark_in for dur seconds. Stream copy can only
// start where the input can be entered, so the packets before mark_in are
// kept; "-avoid_negative_ts make_zero" shows them, and the clip starts there.
// A task that asks for the exact trim keeps them behind the MP4 edit list
// instead, which starts playback at mark_in itself.
std::vector<std::string> cut_args(const export_task_t& task, const char* mark_in, const char* dur, const char* src) {
    std::vector<std::string> args = seek_args(task, mark_in, src);
    args.insert(args.end(), {"-t", dur, "-acodec", "copy", "-vcodec", "copy", "-f", "mp4", "-movflags", "+faststart"});
    if (!task.f_exact_trim) args.insert(args.end(), {"-avoid_negative_ts", "make_zero"});
    args.emplace_back("-y");
    return args;
}

// The task's three files, stored whole: written as a draft and moved into
// the tasks folder in one step. A draft that cannot be moved (its folder
// exists, or there are no drafts) leaves the files to be written in place.
void store_task(instance_t* instance, export_task_t* task) {
    const char* tasks = instance->path.tasks;
    const char* lib = instance->path.libs[task->lib_idx];
    char drafts[4096];
    char draft[4096];
    if (!archive::task_drafts_path(drafts, sizeof drafts, tasks) ||
        !archive::task_path(draft, sizeof draft, drafts, task->sys_id)) {
        drafts[0] = draft[0] = '\0';
    }
    int r = -ENAMETOOLONG;
    if (drafts[0] != '\0') {
        r = export_task_save_meta(drafts, task);
        if (r == 0) r = export_task_save_state(drafts, task);
        if (r == 0) r = export_task_save_m3u8(drafts, task, lib);
        if (r == 0) r = archive::publish_task_draft(tasks, task->sys_id);
    }
    if (r == 0) return;
    logger_printf(1, "%s: task %d cannot be stored whole (%s); its files are written in place", "exporter_enqueue",
                  task->sys_id, strerror(-r));
    struct stat st;
    if (draft[0] != '\0' && lstat(draft, &st) == 0) utils_rmdir_r(draft);
    export_task_save_meta(tasks, task);
    export_task_save_state(tasks, task);
    export_task_save_m3u8(tasks, task, lib);
}

void record_load_failure(instance_t* instance, int number, int result) {
    logger_printf(1, "%s: failed to load task", "exporter_thread_proc");
    export_task_t stub{};
    stub.sys_id = number;
    set_state(instance, &stub, archive::task_state_of(result));
}

void run_task(instance_t* instance, int number) {
    logger_printf(0, "%s: task_sys_id=[%d]", "exporter_thread_proc", number);
    metrics_task_in_hand(number);
    export_task_t* loaded = nullptr;
    const int r = export_task_load_meta(instance->path.tasks, number, &loaded);
    task_ptr task(loaded);
    if (r != 0) {
        record_load_failure(instance, number, r);
        return;
    }
    task->sys_id = number;
    char src[4096];
    char mark_in[32];
    char dur[32];
    if (!task_file(src, instance, number, archive::TASK_PLAYLIST)) {
        set_state(instance, task.get(), archive::task_state::failed);
        return;
    }
    snprintf(mark_in, sizeof mark_in, "%f", task->head_offs);
    snprintf(dur, sizeof dur, "%f", task->length - (task->tail_rem + task->head_offs));
    logger_printf(0, "%s: date=[%s], from=[%s], to=[%s], dur=[%s]", "exporter_thread_proc",
                  text_escape(task->date).c_str(), text_escape(task->from).c_str(), text_escape(task->to).c_str(), dur);
    set_state(instance, task.get(), archive::task_state::running);
    // A run that a kill interrupted may have left pieces: they go before
    // the task is made again, so none stays beside a failed run.
    if (const int left = archive::remove_task_outputs(instance->path.tasks, number); left > 0) {
        logger_printf(0, "%s: [%d] removed %d file(s) of an earlier run", "exporter_thread_proc", number, left);
    }

    int result = run_ffmpeg(instance, number, "THUMB", archive::TASK_THUMB, archive::TASK_THUMB_LOG,
                            thumb_args(*task, mark_in, src));
    if (result == 0) {
        result = run_ffmpeg(instance, number, "CUT", archive::TASK_CUT, archive::TASK_CUT_LOG,
                            cut_args(*task, mark_in, dur, src));
    }
    set_state(instance, task.get(), result == 0 ? archive::task_state::done : archive::task_state::failed);
}

}  // namespace

int exporter_enqueue(instance_t* instance, void* obj) {
    auto* task = static_cast<export_task_t*>(obj);
    pthread_mutex_lock(&instance->lock);
    task->sys_id = instance->tasks.sys_id++;
    const int next = instance->tasks.sys_id;
    pthread_mutex_unlock(&instance->lock);

    // The number is kept before anything shows it: not even a kill on the
    // next line gives it out again.
    if (const int r = archive::write_task_sequence(instance->path.tasks, next); r != 0) {
        logger_printf(1, "%s: cannot keep the next task number %d in [%s/%s] (%s)", "exporter_enqueue", next,
                      instance->path.tasks, archive::TASK_SEQUENCE_FILE, strerror(-r));
    }
    store_task(instance, task);
    metrics_task_state(task->sys_id, archive::task_state::queued);

    char text[128];
    snprintf(text, sizeof text, "{ \"new_task\" : %d }", task->sys_id);
    ws_notify_all(instance, text);

    const int r = keelson::queue_push(&instance->lock, &instance->reg_queue, task->sys_id);
    if (r < 0) {
        logger_printf(1, "%s: queue full, task %d stays queued until the next start", "exporter_enqueue",
                      task->sys_id);
    }
    return r;
}

void* exporter_thread_proc(void* p) {
    auto* instance = static_cast<instance_t*>(p);
    while (instance->p_exit->load() == 0) {
        const auto number = keelson::queue_take(&instance->lock, &instance->reg_queue, instance->p_exit);
        if (number) run_task(instance, *number);
    }
    worker_finished = true;
    return nullptr;
}

bool exporter_finished(instance_t* instance) {
    (void)instance;
    return worker_finished.load();
}

int exporter_requeue_unfinished(instance_t* instance) {
    int* raw = nullptr;
    const int n = export_task_lists(instance->path.tasks, &raw);
    task_list_ptr list(raw);
    if (n <= 0) return 0;
    std::vector<int> numbers(list.get(), list.get() + n);
    std::sort(numbers.begin(), numbers.end());
    int queued = 0;
    for (int number : numbers) {
        archive::task_state state = archive::task_state::queued;
        if (archive::read_task_state(instance->path.tasks, number, &state) != 0) continue;
        // Left running, it waits in the queue like the others now.
        const bool unfinished = state == archive::task_state::queued || state == archive::task_state::running;
        metrics_task_state(number, unfinished ? archive::task_state::queued : state);
        if (!unfinished) continue;
        if (keelson::queue_push(&instance->lock, &instance->reg_queue, number) < 0) {
            logger_printf(1, "%s: queue full, task %d and later ones wait for the next start",
                          "exporter_requeue_unfinished", number);
            break;
        }
        logger_printf(0, "%s: task %d was left %s, queued again", "exporter_requeue_unfinished", number,
                      archive::task_state_name(state));
        ++queued;
    }
    return queued;
}

namespace {

// The last argument of process pid, or nothing.
std::string last_argument(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));
    std::string text;
    if (utils_read_text(path, &text) != 0) return "";
    while (!text.empty() && text.back() == '\0') text.pop_back();
    const size_t at = text.rfind('\0');
    return at == std::string::npos ? text : text.substr(at + 1);
}

// True when out is "<tasks>/<NNNNN>/<a tool's output>": at start no run of
// ours is going, so such a run is one a killed daemon left.
bool orphan_output(const std::string& out, const std::string& tasks) {
    if (!out.starts_with(tasks + "/")) return false;
    const std::string rest = out.substr(tasks.size() + 1);
    const size_t slash = rest.find('/');
    int number = 0;
    return slash != std::string::npos && archive::task_folder_number(rest.substr(0, slash), &number) &&
           archive::is_task_output(rest.substr(slash + 1));
}

}  // namespace

int exporter_stop_orphan_runs(instance_t* instance) {
    const std::string tasks = instance->path.tasks;
    const int self = static_cast<int>(getpid());
    std::vector<pid_t> killed;
    dir_ptr proc(opendir("/proc"));
    while (proc) {
        const struct dirent* entry = readdir(proc.get());
        if (entry == nullptr) break;
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) continue;
        const pid_t p = static_cast<pid_t>(pid);
        const std::string out = last_argument(p);
        if (!orphan_output(out, tasks)) continue;
        // Each run leads a process group of its own: end what it started too.
        if (getpgid(p) == p) kill(-p, SIGKILL);
        kill(p, SIGKILL);
        logger_printf(1, "%s: a run of a stopped daemon was still making [%s]; process %d killed",
                      "exporter_stop_orphan_runs", out.c_str(), static_cast<int>(p));
        killed.push_back(p);
    }
    // Until they are gone (or only wait to be reaped), no run of theirs writes.
    for (int i = 0; i < 200; ++i) {
        const bool alive = std::any_of(killed.begin(), killed.end(), [](pid_t p) {
            char path[64];
            snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(p));
            std::string stat;
            if (utils_read_text(path, &stat) != 0) return false;
            const size_t close = stat.rfind(')');
            return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
        });
        if (!alive) break;
        usleep(10000);
    }
    return static_cast<int>(killed.size());
}
