// The real register daemon under a kill storm: SIGKILL at random moments
// while a recorder closes segments, a restart at once after each, and still
// every segment is registered exactly once, whole, with its thumbnail.
#include <gtest/gtest.h>

#include <iostream>
#include <random>

#include "helpers.h"
#include "storm.h"

using namespace regtest;

// A hidden ".part" copy that a crash left in the holding folder is there
// before the first start; it must go with the rest (its log line may die
// with a killed run's unwritten log, so only its absence is checked).
TEST(RegisterStorm, KillsAtRandomLoseNothingAndRegisterNothingTwice) {
    TempDir dir;
    storm::options o;
    o.daemon = BRINDLEWOOD_BIN;
    o.root = dir / "storm";
    o.segment = dir / "material.ts";
    make_segment(o.segment, 2.0);
    o.segments = 30;
    o.min_kills = 8;
    o.record_every = 250ms;
    o.seed = std::random_device{}();
    std::cout << "seed " << o.seed << "\n";
    const std::string part = "." + storm::segment_name(o, 3) + ".part";
    const auto began = std::chrono::steady_clock::now();
    o.progress = [&](const std::string& line) {
        const auto s = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
        std::cout << s.count() << " ms: " << line << std::endl;
    };
    std::filesystem::create_directories(o.root + "/hold");
    write_file(o.root + "/hold/" + part, "half a copy");

    const storm::result r = storm::run(o);

    std::string faults;
    for (const auto& f : r.faults) faults += "  " + f + "\n";
    for (const auto& [step, n] : r.kill_steps) std::cout << "killed during " << step << ": " << n << "\n";
    EXPECT_GE(r.kills, o.min_kills);
    EXPECT_EQ(r.died_alone, 0) << faults << read_file(o.root + "/daemon.out");
    EXPECT_TRUE(r.drained) << faults;
    EXPECT_EQ(r.clean_exit, 0) << read_file(o.root + "/daemon.out");
    EXPECT_EQ(r.lost, 0) << faults;
    EXPECT_EQ(r.twice, 0) << faults;
    EXPECT_EQ(r.left_over, 0) << faults;
    EXPECT_EQ(r.bad_copies, 0) << faults;
    EXPECT_EQ(r.bad_thumbs, 0) << faults;
    EXPECT_EQ(r.bad_indexes, 0) << faults;
    EXPECT_EQ(r.stray_lines, 0) << faults;
    EXPECT_EQ(r.missing_markers, 0) << faults;
}
