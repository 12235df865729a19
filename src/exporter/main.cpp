// BrindlewoodExporter, the export daemon: a WebSocket service that stores
// export tasks and cuts their clips out of the media library with ffmpeg.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "archive/task_store.h"
#include "common/daemon.h"
#include "demonize.h"
#include "exporter/export_task.h"
#include "exporter/exporter.h"
#include "exporter/instance.h"
#include "exporter/ws.h"
#include "logger.h"

namespace {

instance_t* instance = nullptr;
std::atomic<int> f_exit{0};

// The next task number: one more than the highest task folder on disk, or
// the kept number when that is higher (the folder of the last number given
// may have been removed, or never made when a kill came first).
void continue_numbering() {
    const char* tasks = instance->path.tasks;
    // Tasks being stored when the daemon stopped: no client heard of them.
    if (const int dropped = archive::remove_task_drafts(tasks); dropped != 0) {
        logger_printf(dropped < 0 ? 1 : 0, "%s: drafts of tasks never announced in [%s/%s]: %d removed", "main", tasks,
                      archive::TASK_DRAFTS, dropped);
    }
    instance->tasks.sys_id = 1;
    int* raw = nullptr;
    const int n = export_task_lists(instance->path.tasks, &raw);
    task_list_ptr ids(raw);
    if (n > 0) {
        for (int i = 0; i < n; ++i) {
            if (instance->tasks.sys_id < ids.get()[i]) instance->tasks.sys_id = ids.get()[i];
        }
        instance->tasks.sys_id++;
    } else {
        logger_printf(0, "%s: export_task_lists(%s) returns %d", "main", instance->path.tasks, n);
    }
    int kept = 0;
    const int r = archive::read_task_sequence(tasks, &kept);
    if (r == 0 && kept > instance->tasks.sys_id) instance->tasks.sys_id = kept;
    if (r != 0 && r != -ENOENT) {
        logger_printf(1, "%s: [%s/%s] holds no task number (%s); numbering goes on from the task folders", "main",
                      tasks, archive::TASK_SEQUENCE_FILE, strerror(-r));
    }
    logger_printf(0, "%s: tasks.sys_id=%d", "main", instance->tasks.sys_id);
}

// ffmpeg reads a playlist's entries relative to the playlist, that is to
// each task folder, so a relative library root finds no segment; a relative
// tasks path depends on the working directory, which detaching changes.
void warn_relative_paths() {
    for (int i = 0; i < 4; ++i) {
        const char* lib = instance->path.libs[i];
        if (lib[0] == '\0' || lib[0] == '/') continue;
        logger_printf(1,
                      "%s: lib%d-path [%s] is relative: ffmpeg resolves the playlist entries under it against "
                      "each task folder and finds no segment there; an absolute path is needed",
                      "main", i, lib);
    }
    const char* tasks = instance->path.tasks;
    if (tasks[0] != '\0' && tasks[0] != '/') {
        logger_printf(1,
                      "%s: tasks-path [%s] is relative: it resolves against the working directory, which is / once "
                      "detached; an absolute path is needed",
                      "main", tasks);
    }
}

// Wakes the worker, keeps serving clients while it finishes the task in
// hand (its final state still reaches them), then joins it.
void stop_worker(pthread_t worker, bool started) {
    logger_printf(0, "%s: waiting register...", "main");
    keelson::queue_wake(&instance->lock, &instance->reg_queue);
    if (started) {
        ws_service_until(instance, exporter_finished);
        pthread_join(worker, nullptr);
        ws_flush(instance, std::chrono::seconds(2));
    }
    logger_printf(0, "%s: finished register", "main");
}

}  // namespace

int main(int argc, char** argv) {
    // One daemon to a tasks folder: a second would number tasks twice.
    const keelson::daemon_desc<instance_t> desc{PRODUCT_NAME, PRODUCT_STRING, exporter::instance_opts,
                                                [](const instance_t* i) -> const char* { return i->path.tasks; }};
    std::optional<unique_fd> folder_lock;
    int r = keelson::daemon_open(&instance, &f_exit, argc, argv, desc, &folder_lock);
    if (r != 0) return r;

    warn_relative_paths();
    pthread_t worker{};
    const int started = pthread_create(&worker, nullptr, exporter_thread_proc, instance);
    if (started != 0) {
        logger_printf(1, "%s: pthread_create(worker) failed %d (%s)", "main", -started, strerror(started));
        f_exit.fetch_add(1);
        r = -started;
    }
    continue_numbering();
    if (f_exit.load() == 0) {
        r = ws_init(instance);
        if (r != 0) f_exit = 1;
    }
    // Accepted work that a stop or a crash interrupted runs first, once no
    // run of a killed daemon still writes into its folder.
    if (f_exit.load() == 0) {
        exporter_stop_orphan_runs(instance);
        exporter_requeue_unfinished(instance);
    }
    if (f_exit.load() == 0) ws_service(instance);
    // The signal's own line comes before the shutdown lines.
    signals_flush();

    stop_worker(worker, started == 0);
    ws_release(instance);
    keelson::daemon_close(&instance);
    return r;
}
