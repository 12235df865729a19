// The register daemon's long kill storm: a recorder closes 2 s MPEG-TS
// segments while the daemon is killed with SIGKILL 0.2 to 3 s after each
// start and started again at once; then one clean start, a stop, and a check
// of every segment. Prints segments, kills, lost, twice and left over, and
// what the daemon was doing at each kill.
//
//   bench_storm [segments (300)] [kills at least (30)] [seed (random)]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <string>

#include "common/scratch_dir.h"
#include "storm.h"

namespace {

// One real 2 s segment: H.264 test pattern and an AAC tone.
void make_material(const std::string& path) {
    const std::string cmd =
        "ffmpeg -nostdin -hide_banner -loglevel error -y "
        "-f lavfi -i testsrc=size=320x180:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 "
        "-c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p -c:a aac -b:a 64k -f mpegts '" +
        path + "'";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("ffmpeg could not make a segment");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        bench::scratch_dir dir("bench_storm");
        storm::options o;
        o.daemon = BRINDLEWOOD_BIN;
        o.root = dir / "storm";
        o.segment = dir / "material.ts";
        o.segments = argc > 1 ? atoi(argv[1]) : 300;
        o.min_kills = argc > 2 ? atoi(argv[2]) : 30;
        o.seed = argc > 3 ? static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)) : std::random_device{}();
        o.record_every = std::chrono::milliseconds(200);
        o.drain = std::chrono::seconds(1200);
        if (o.segments <= 0 || o.min_kills < 0) {
            fprintf(stderr, "usage: %s [segments] [kills at least] [seed]\n", argv[0]);
            return 2;
        }
        make_material(o.segment);
        o.progress = [](const std::string& line) {
            printf("  %s\n", line.c_str());
            fflush(stdout);
        };
        printf("storm: %d segments of 2 s, one closed every %lld ms, at least %d kills, seed %u\n", o.segments,
               static_cast<long long>(o.record_every.count()), o.min_kills, o.seed);
        fflush(stdout);
        const storm::result r = storm::run(o);
        printf("killed during:\n");
        for (const auto& [step, n] : r.kill_steps) printf("  %-30s %d\n", step.c_str(), n);
        printf("segments   %d\n", r.segments);
        printf("kills      %d\n", r.kills);
        printf("lost       %d\n", r.lost);
        printf("twice      %d\n", r.twice);
        printf("left over  %d\n", r.left_over);
        printf("bad copies %d, bad thumbnails %d, bad indexes %d, stray lines %d, days without marker %d\n",
               r.bad_copies, r.bad_thumbs, r.bad_indexes, r.stray_lines, r.missing_markers);
        printf("runs that ended before their kill %d; last run drained %s; clean stop status %d\n", r.died_alone,
               r.drained ? "yes" : "no", r.clean_exit);
        for (const auto& f : r.faults) printf("  fault: %s\n", f.c_str());
        const bool good = r.lost == 0 && r.twice == 0 && r.left_over == 0 && r.bad_copies == 0 && r.bad_thumbs == 0 &&
                          r.bad_indexes == 0 && r.stray_lines == 0 && r.missing_markers == 0 && r.died_alone == 0 &&
                          r.drained && r.clean_exit == 0;
        return good ? 0 : 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "bench_storm: %s\n", e.what());
        return 2;
    }
}
