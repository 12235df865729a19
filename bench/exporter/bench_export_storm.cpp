// A long kill storm on the export daemon: tasks submitted over the WebSocket
// while BrindlewoodExporter is killed with SIGKILL at random moments (every
// third kill waits for a cut run and lands in it) and restarted at once, then
// one clean start that ends every task. Prints what the storm left: tasks,
// kills, the tasks' states, done tasks with a clip or thumbnail that is not
// whole, numbers announced twice. Asserts nothing; the exit status is 1 when
// a fault was found.
//
// bench_export_storm [--kills N] [--seed N] [--min-gap-ms N] [--max-gap-ms N]
//                    [--quiet]
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "bench_support.h"
#include "exporter/export_storm.h"

int main(int argc, char** argv) {
    exporter_test::storm_options opt;
    opt.kills = 100;
    opt.seed = std::random_device{}();
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--kills" && has_value) {
            opt.kills = atoi(argv[++i]);
        } else if (a == "--seed" && has_value) {
            opt.seed = static_cast<unsigned>(strtoul(argv[++i], nullptr, 10));
        } else if (a == "--min-gap-ms" && has_value) {
            opt.min_gap = std::chrono::milliseconds(atoi(argv[++i]));
        } else if (a == "--max-gap-ms" && has_value) {
            opt.max_gap = std::chrono::milliseconds(atoi(argv[++i]));
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            fprintf(stderr,
                    "usage: %s [--kills N] [--seed N] [--min-gap-ms N] [--max-gap-ms N] [--quiet]\n", argv[0]);
            return 2;
        }
    }
    if (opt.kills < 1 || opt.min_gap.count() < 0 || opt.max_gap < opt.min_gap) {
        fprintf(stderr, "%s: kills must be 1 or more and the gaps a range\n", argv[0]);
        return 2;
    }
    opt.settle = std::chrono::milliseconds(600000);
    if (!quiet) opt.progress = [](const std::string& line) { fprintf(stderr, "  %s\n", line.c_str()); };

    printf("export kill storm: %d kills, %lld to %lld ms after each start, seed %u, load %s\n", opt.kills,
           static_cast<long long>(opt.min_gap.count()), static_cast<long long>(opt.max_gap.count()), opt.seed,
           bench::load_average().c_str());
    fflush(stdout);
    const exporter_test::storm_result r = exporter_test::run_export_storm(opt);
    printf("  submitted             %d\n", r.submitted);
    printf("  announced             %d\n", r.announced);
    printf("  tasks                 %d\n", r.tasks);
    printf("  kills                 %d\n", r.kills);
    printf("  kills in a cut run    %d\n", r.kills_in_cut);
    for (const auto& [state, count] : r.states) printf("  state [%s]%*s%d\n", state.c_str(), 11 - static_cast<int>(state.size()), "", count);
    printf("  not ended (not 2, 3)  %d\n", r.unended);
    printf("  done with bad cut     %d\n", r.bad_cuts);
    printf("  done with bad thumb   %d\n", r.bad_thumbs);
    printf("  numbers twice         %d\n", r.twice);
    printf("  announced, not stored %d\n", r.unstored);
    printf("  stored twice          %d\n", r.stored_twice);
    printf("  stray files in tasks  %d\n", r.leftovers);
    printf("  last stop status      %d\n", r.last_exit);
    printf("  wall time             %.1f s\n", r.seconds);
    for (const auto& p : r.problems) printf("  FAULT: %s\n", p.c_str());
    return r.problems.empty() ? 0 : 1;
}
