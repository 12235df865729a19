// The export daemon killed at random moments while tasks come in, cut runs
// included, and restarted: every task still ends, whole, under a number of
// its own.
#include <gtest/gtest.h>

#include <random>

#include "export_storm.h"

using namespace exporter_test;

TEST(ExportStorm, KilledAtRandomMomentsEveryTaskEndsWholeUnderItsOwnNumber) {
    storm_options opt;
    opt.kills = 10;
    opt.seed = std::random_device{}();
    opt.min_gap = 200ms;
    opt.max_gap = 1500ms;
    const storm_result r = run_export_storm(opt);
    SCOPED_TRACE("seed " + std::to_string(opt.seed) + ", " + std::to_string(r.tasks) + " tasks, " +
                 std::to_string(r.kills_in_cut) + " kills in a cut run");
    for (const auto& p : r.problems) ADD_FAILURE() << p;
    EXPECT_EQ(r.kills, opt.kills);
    // The storm reached the daemon: tasks were announced during it, and
    // kills found cut runs going.
    EXPECT_GT(r.announced, 1);
    EXPECT_GE(r.kills_in_cut, 1);
    EXPECT_EQ(r.unended, 0);
    EXPECT_EQ(r.bad_cuts, 0);
    EXPECT_EQ(r.bad_thumbs, 0);
    EXPECT_EQ(r.twice, 0);
    EXPECT_EQ(r.unstored, 0);
    EXPECT_EQ(r.stored_twice, 0);
    // Runs that outlived a killed daemon were ended at the next start: none
    // left a part behind.
    EXPECT_EQ(r.leftovers, 0);
    EXPECT_EQ(r.last_exit, 0);
    EXPECT_GE(r.tasks, r.announced);
}
