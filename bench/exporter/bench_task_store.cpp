// The task store: what it costs to take a request text apart, number the
// task and write its three files (index.json, state, playlist.m3u8), for
// tasks of 1, 100 and 600 segments (600 six-second segments are one hour);
// and what listing a tasks folder of 10,000 task folders costs, as every new
// connection and every start does. Prints microseconds per task and per
// listing; asserts nothing.
#include <json-c/json.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/instance_owner.h"
#include "exporter/export_task.h"
#include "exporter/exporter.h"
#include "exporter/instance.h"
#include "json_handle.h"
#include "logger.h"

namespace {

using bench::clock_type;
using bench::summarize;
using bench::us_between;

constexpr int WARMUP = 50;
constexpr int LIST_FOLDERS = 10000;
constexpr int LISTINGS = 200;

// The daemon's instance record with what the store and the queue use: the
// tasks folder, one library, the lock and the queue's condition.
class store_instance : public bench::instance_owner<instance_t> {
public:
    store_instance(const std::string& tasks, const std::string& lib) {
        keelson::st_str(instance->path.tasks, sizeof instance->path.tasks, tasks.c_str());
        keelson::st_str(instance->path.libs[0], sizeof instance->path.libs[0], lib.c_str());
    }
    instance_t* get() const { return instance; }

    // What the daemon does at start: one more than the highest folder.
    void continue_numbering() {
        instance->tasks.sys_id = 1;
        int* raw = nullptr;
        const int n = export_task_lists(instance->path.tasks, &raw);
        task_list_ptr ids(raw);
        for (int i = 0; i < n; ++i) instance->tasks.sys_id = std::max(instance->tasks.sys_id, ids.get()[i] + 1);
    }
    // Empties the queue the worker would drain (there is no worker here).
    void drain_queue() {
        pthread_mutex_lock(&instance->lock);
        instance->reg_queue.len = 0;
        pthread_mutex_unlock(&instance->lock);
    }
};

struct step_times {
    std::vector<double> parse, decode, number, meta, state, playlist, total;
};

void check(int r, const char* what) {
    if (r < 0) throw std::runtime_error(std::string(what) + " returned " + std::to_string(r));
}

// The request as the service receives it: the whole message text parsed,
// "new_task" taken out and decoded into a task record.
export_task_ptr decode(const std::string& text, json_ptr* root) {
    root->reset(json_tokener_parse(text.c_str()));
    json_object* member = nullptr;
    if (!*root || !json_object_object_get_ex(root->get(), "new_task", &member)) {
        throw std::runtime_error("the request text does not parse");
    }
    export_task_t* raw = nullptr;
    check(export_task_from_json(member, &raw), "export_task_from_json");
    return export_task_ptr(raw);
}

// Each step timed on its own: parse, decode, number (as exporter_enqueue
// does it, under the lock), the three files, and releasing the request.
void store_by_steps(store_instance& in, const std::string& text, int reps, step_times* times) {
    instance_t* instance = in.get();
    for (int i = -WARMUP; i < reps; ++i) {
        const auto t0 = clock_type::now();
        json_ptr root(json_tokener_parse(text.c_str()));
        const auto t1 = clock_type::now();
        json_object* member = nullptr;
        json_object_object_get_ex(root.get(), "new_task", &member);
        export_task_t* raw = nullptr;
        check(export_task_from_json(member, &raw), "export_task_from_json");
        export_task_ptr task(raw);
        const auto t2 = clock_type::now();
        pthread_mutex_lock(&instance->lock);
        task->sys_id = instance->tasks.sys_id++;
        pthread_mutex_unlock(&instance->lock);
        const auto t3 = clock_type::now();
        check(export_task_save_meta(instance->path.tasks, task.get()), "export_task_save_meta");
        const auto t4 = clock_type::now();
        check(export_task_save_state(instance->path.tasks, task.get()), "export_task_save_state");
        const auto t5 = clock_type::now();
        check(export_task_save_m3u8(instance->path.tasks, task.get(), instance->path.libs[task->lib_idx]),
              "export_task_save_m3u8");
        const auto t6 = clock_type::now();
        task.reset();
        root.reset();
        const auto t7 = clock_type::now();
        if (i < 0) continue;
        times->parse.push_back(us_between(t0, t1));
        times->decode.push_back(us_between(t1, t2));
        times->number.push_back(us_between(t2, t3));
        times->meta.push_back(us_between(t3, t4));
        times->state.push_back(us_between(t4, t5));
        times->playlist.push_back(us_between(t5, t6));
        times->total.push_back(us_between(t0, t7));
    }
}

// The daemon's own path from a received text: parse, decode, then
// exporter_enqueue (number, three files, announce to no client, queue).
std::vector<double> store_by_enqueue(store_instance& in, const std::string& text, int reps) {
    std::vector<double> total;
    for (int i = -WARMUP; i < reps; ++i) {
        const auto t0 = clock_type::now();
        json_ptr root;
        export_task_ptr task = decode(text, &root);
        check(exporter_enqueue(in.get(), task.get()), "exporter_enqueue");
        task.reset();
        root.reset();
        const auto t1 = clock_type::now();
        if (i >= 0) total.push_back(us_between(t0, t1));
    }
    return total;
}

void fresh_folder(const std::string& path) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
}

}  // namespace

int main() {
    try {
        bench::scratch_dir dir("bench_task_store");
        const std::string tasks = dir / "tasks";
        const std::string lib = "/srv/library";  // only written into the playlists
        logger_dup(0);
        logger_init((dir / "bench.log").c_str(), 86400);
        store_instance in(tasks, lib);

        printf("task store on %s, %u CPUs, load average %s; files are written, not synced\n",
               bench::fs_kind(dir.path()).c_str(), std::thread::hardware_concurrency(),
               bench::load_average().c_str());
        printf("\none task stored step by step, median microseconds of each step and of the whole\n");
        printf("%8s %6s %8s %8s %8s %8s %8s %9s | %8s %8s %8s\n", "segments", "tasks", "parse", "decode", "number",
               "meta", "state", "playlist", "median", "mean", "p99");
        const struct {
            int segments;
            int reps;
        } sizes[] = {{1, 2000}, {100, 2000}, {600, 1000}};
        for (const auto& size : sizes) {
            fresh_folder(tasks);
            in.continue_numbering();
            const std::string text = bench::task_message(size.segments);
            step_times t;
            store_by_steps(in, text, size.reps, &t);
            const auto total = summarize(t.total);
            printf("%8d %6d %8.1f %8.1f %8.1f %8.1f %8.1f %9.1f | %8.1f %8.1f %8.1f\n", size.segments, size.reps,
                   summarize(t.parse).median, summarize(t.decode).median, summarize(t.number).median,
                   summarize(t.meta).median, summarize(t.state).median, summarize(t.playlist).median, total.median,
                   total.mean, total.p99);
        }

        printf("\nthrough exporter_enqueue (number, store, announce to no client, queue), microseconds per task\n");
        printf("%8s %6s %10s | %8s %8s %8s %8s\n", "segments", "tasks", "bytes", "median", "mean", "p99", "max");
        double hour_median = 0;
        double hour_mean = 0;
        for (const auto& size : sizes) {
            fresh_folder(tasks);
            in.continue_numbering();
            in.drain_queue();
            const std::string text = bench::task_message(size.segments);
            const auto s = summarize(store_by_enqueue(in, text, size.reps));
            printf("%8d %6d %10zu | %8.1f %8.1f %8.1f %8.1f\n", size.segments, size.reps, text.size(), s.median,
                   s.mean, s.p99, s.max);
            if (size.segments == 600) {
                hour_median = s.median;
                hour_mean = s.mean;
            }
        }
        printf("target: a one-hour task stored in under 1000 us; measured median %.1f us, mean %.1f us\n",
               hour_median, hour_mean);

        // 10,000 finished tasks of one segment each, made by the store itself.
        fresh_folder(tasks);
        in.drain_queue();
        const std::string one = bench::task_message(1);
        const auto made0 = clock_type::now();
        for (int n = 1; n <= LIST_FOLDERS; ++n) {
            json_ptr root;
            export_task_ptr task = decode(one, &root);
            task->sys_id = n;
            task->state = 2;
            check(export_task_save_meta(tasks.c_str(), task.get()), "export_task_save_meta");
            check(export_task_save_state(tasks.c_str(), task.get()), "export_task_save_state");
            check(export_task_save_m3u8(tasks.c_str(), task.get(), lib.c_str()), "export_task_save_m3u8");
        }
        const double made_s = us_between(made0, clock_type::now()) / 1e6;

        std::vector<double> listing;
        std::vector<double> numbering;
        int listed = 0;
        for (int i = -5; i < LISTINGS; ++i) {
            const auto t0 = clock_type::now();
            int* raw = nullptr;
            listed = export_task_lists(tasks.c_str(), &raw);
            task_list_ptr ids(raw);
            ids.reset();
            const auto t1 = clock_type::now();
            in.continue_numbering();
            const auto t2 = clock_type::now();
            if (i < 0) continue;
            listing.push_back(us_between(t0, t1));
            numbering.push_back(us_between(t1, t2));
        }
        const auto l = summarize(listing);
        const auto nb = summarize(numbering);
        printf("\nlisting a tasks folder of %d task folders (made in %.2f s): export_task_lists found %d\n",
               LIST_FOLDERS, made_s, listed);
        printf("  per listing over %zu listings: median %.0f us, mean %.0f us, p99 %.0f us, max %.0f us\n", l.n,
               l.median, l.mean, l.p99, l.max);
        printf("  numbering at start (list, then the highest number plus one): median %.0f us, mean %.0f us; "
               "next number %d\n",
               nb.median, nb.mean, in.get()->tasks.sys_id);
        printf("target: a listing of 10,000 folders in under 20000 us; measured median %.0f us, mean %.0f us\n",
               l.median, l.mean);
        logger_release();
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_task_store: %s\n", e.what());
        logger_release();
        return 1;
    }
    return 0;
}
