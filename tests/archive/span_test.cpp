// The client's arithmetic: from wall-clock times to segments and trims.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "client/protocol.h"
#include "archive/span.h"
#include "archive/timearg.h"
#include "support/support.h"

using namespace archive;
using namespace client;

namespace {

index_entry seg(int64_t t, double seconds) {
    return index_entry{std::to_string(t) + ".ts", t, static_cast<int64_t>(std::llround(seconds * 90000)), 0};
}

// What the export daemon cuts: it keeps the trims as whole seconds.
double daemon_cut(const clip_plan& p) {
    return std::trunc(p.length) - (std::trunc(p.tail_rem) + std::trunc(p.head_offs));
}

clip_plan plan(std::vector<index_entry> entries, int64_t from, int64_t to) {
    clip_plan p;
    std::string error;
    EXPECT_TRUE(plan_clip(std::move(entries), from, to, &p, &error)) << error;
    return p;
}

}  // namespace

TEST(ClipTime, ReadsIsoTimesWithOffsetsAndEpochSeconds) {
    int64_t t = 0;
    std::string error;
    ASSERT_TRUE(parse_time("2020-09-13T12:26:40Z", &t, &error));
    EXPECT_EQ(t, 1600000000);
    ASSERT_TRUE(parse_time("2020-09-13 14:26:40+02:00", &t, &error));
    EXPECT_EQ(t, 1600000000);
    ASSERT_TRUE(parse_time("2020-09-13T07:56:40-0430", &t, &error));
    EXPECT_EQ(t, 1600000000);
    ASSERT_TRUE(parse_time("2020-09-13T13:26:40+01", &t, &error));
    EXPECT_EQ(t, 1600000000);
    ASSERT_TRUE(parse_time("2020-09-13T12:26", &t, &error));
    EXPECT_EQ(t, 1600000000 - 40) << "no offset means UTC, seconds default to 0";
    ASSERT_TRUE(parse_time("1600000000", &t, &error));
    EXPECT_EQ(t, 1600000000);
    ASSERT_TRUE(parse_time("-1", &t, &error));
    EXPECT_EQ(t, -1);
    EXPECT_FALSE(parse_time("2021-02-29T00:00:00Z", &t, &error));
    EXPECT_FALSE(parse_time("yesterday", &t, &error));
    for (const char* bad : {"", "2020-09-13", "2020-09-13T12:26:40Zx", "2020-09-13T12:26:40+01:", "2020-9-13T12:26",
                            "2020-09-13T12:26:4", "2020-09-13X12:26"}) {
        EXPECT_FALSE(parse_time(bad, &t, &error)) << bad;
    }
    EXPECT_FALSE(parse_time("2020-09-13T25:00:00Z", &t, &error));
    EXPECT_EQ(format_time(1600000000), "2020-09-13T12:26:40Z");
    EXPECT_EQ(format_date(1600000000), "2020-09-13");
}

TEST(ClipIndex, ReadsTheHoursTheSpanTouchesAndNamesABadLine) {
    testsupport::TempDir lib;
    auto put = [&](int64_t t, const std::string& lines) {
        std::filesystem::create_directories(lib / hour_dir(t));
        testsupport::write_file(lib / (hour_dir(t) + "/index.cvs"), lines);
    };
    // A segment of the hour before the span, one inside, one after it.
    put(1619866794, "1619866794.ts\t1619866794\t540000\t0\n");
    put(1619866800, "1619866800.ts\t1619866800\t540000\t0\n\n");
    put(1619874000, "1619874000.ts\t1619874000\t540000\t0\n");
    std::vector<index_entry> got;
    std::string error;
    ASSERT_TRUE(read_indexes(lib.path(), 1619866800, 1619866805, &got, &error)) << error;
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].t, 1619866794);
    EXPECT_EQ(got[1].t, 1619866800);

    put(1619866800, "1619866800.ts\t1619866800\t540000\t0\ngarbage line\n");
    got.clear();
    EXPECT_FALSE(read_indexes(lib.path(), 1619866800, 1619866805, &got, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_NE(error.find("2021/05/01/11/index.cvs"), std::string::npos) << error;
}

TEST(ClipPlan, SpanInsideOneSegment) {
    const auto p = plan({seg(1000, 6), seg(1006, 6), seg(1012, 6)}, 1002, 1004);
    ASSERT_EQ(p.segments.size(), 1u);
    EXPECT_EQ(p.segments[0].t, 1000);
    EXPECT_DOUBLE_EQ(p.head_offs, 2);
    EXPECT_DOUBLE_EQ(p.length, 6);
    EXPECT_DOUBLE_EQ(daemon_cut(p), 2);
    EXPECT_TRUE(p.gaps.empty());
}

TEST(ClipPlan, AcrossSegmentsAndHoursInTimeOrder) {
    // Listed out of order, as an index in registration order may be.
    const auto p = plan({seg(3606, 6), seg(3594, 6), seg(3600, 6), seg(3612, 6)}, 3597, 3609);
    ASSERT_EQ(p.segments.size(), 3u);
    EXPECT_EQ(p.segments[0].t, 3594);
    EXPECT_EQ(p.segments[2].t, 3606);
    EXPECT_DOUBLE_EQ(p.head_offs, 3);
    EXPECT_DOUBLE_EQ(p.length, 18);
    EXPECT_DOUBLE_EQ(p.tail_rem, 3);
    EXPECT_DOUBLE_EQ(daemon_cut(p), 12);
}

TEST(ClipPlan, StartingExactlyOnASegmentBoundary) {
    const auto p = plan({seg(1000, 6), seg(1006, 6), seg(1012, 6)}, 1006, 1018);
    ASSERT_EQ(p.segments.size(), 2u);
    EXPECT_EQ(p.segments[0].t, 1006) << "a segment ending at the start is not part of the span";
    EXPECT_DOUBLE_EQ(p.head_offs, 0);
    EXPECT_DOUBLE_EQ(p.tail_rem, 0);
    EXPECT_DOUBLE_EQ(daemon_cut(p), 12);
}

TEST(ClipPlan, FractionalDurationsStillCutToTheSecond) {
    const auto p = plan({seg(1000, 6.04), seg(1006, 6.04), seg(1012, 6.04)}, 1001, 1016);
    EXPECT_NEAR(p.length, 18.12, 1e-9);
    EXPECT_DOUBLE_EQ(daemon_cut(p), 15);
    EXPECT_EQ(p.tail_rem, std::trunc(p.tail_rem)) << "sent as whole seconds, as the daemon keeps them";
}

TEST(ClipPlan, LastSegmentShorter) {
    const auto p = plan({seg(1000, 6), seg(1006, 3)}, 1002, 1009);
    EXPECT_DOUBLE_EQ(p.length, 9);
    EXPECT_DOUBLE_EQ(daemon_cut(p), 7);
    EXPECT_TRUE(p.gaps.empty());
    // Past the end of the short segment there is nothing to cut.
    const auto beyond = plan({seg(1000, 6), seg(1006, 3)}, 1002, 1015);
    ASSERT_EQ(beyond.gaps.size(), 1u);
    EXPECT_DOUBLE_EQ(beyond.gaps[0].from, 1009);
    EXPECT_DOUBLE_EQ(daemon_cut(beyond), 7);
}

TEST(ClipPlan, GapsAreFoundAndNamed) {
    const auto p = plan({seg(1000, 6), seg(1012, 6)}, 1002, 1016);
    ASSERT_EQ(p.gaps.size(), 1u);
    EXPECT_DOUBLE_EQ(p.gaps[0].from, 1006);
    EXPECT_DOUBLE_EQ(p.gaps[0].to, 1012);
    EXPECT_EQ(describe_gap(p.gaps[0]), "1970-01-01T00:16:46Z to 1970-01-01T00:16:52Z");
    // Whole-second times with fractional durations are not gaps.
    EXPECT_TRUE(plan({seg(1000, 5.6), seg(1006, 6)}, 1000, 1010).gaps.empty());
    // A span starting before the first segment has a gap at its start.
    const auto early = plan({seg(1000, 6)}, 990, 1004);
    ASSERT_EQ(early.gaps.size(), 1u);
    EXPECT_DOUBLE_EQ(early.gaps[0].to, 1000);
    EXPECT_DOUBLE_EQ(early.head_offs, 0);
}

TEST(ClipPlan, DuplicatesCountOnceAndOnlyPlayableNamesAreUsed) {
    auto odd = seg(1006, 6);
    odd.name = "1006_2.ts";
    const auto p = plan({seg(1000, 6), seg(1000, 6.5), odd, seg(1012, 6)}, 1000, 1018);
    ASSERT_EQ(p.segments.size(), 2u);
    EXPECT_DOUBLE_EQ(p.segments[0].seconds(), 6.5) << "the newer index line of a segment wins";
    ASSERT_EQ(p.skipped.size(), 1u);
    EXPECT_EQ(p.skipped[0], "1006_2.ts");
    EXPECT_FALSE(p.gaps.empty());
}

TEST(ClipPlan, NoSegmentIsAnError) {
    clip_plan p;
    std::string error;
    EXPECT_FALSE(plan_clip({}, 2000, 2010, &p, &error));
    EXPECT_EQ(error, "no segment covers the span 1970-01-01T00:33:20Z to 1970-01-01T00:33:30Z");
    // What the indexes read show around the span is said too.
    EXPECT_FALSE(plan_clip({seg(1000, 6)}, 2000, 2010, &p, &error));
    EXPECT_EQ(error, "no segment covers the span 1970-01-01T00:33:20Z to 1970-01-01T00:33:30Z: the recording ends at "
                     "1970-01-01T00:16:46Z");
    EXPECT_FALSE(plan_clip({seg(3000, 6)}, 2000, 2010, &p, &error));
    EXPECT_EQ(error, "no segment covers the span 1970-01-01T00:33:20Z to 1970-01-01T00:33:30Z: the recording begins at "
                     "1970-01-01T00:50:00Z");
    EXPECT_FALSE(plan_clip({seg(3000, 6), seg(1000, 6)}, 2000, 2010, &p, &error));
    EXPECT_EQ(error, "no segment covers the span 1970-01-01T00:33:20Z to 1970-01-01T00:33:30Z: the library has no "
                     "video from 1970-01-01T00:16:46Z to 1970-01-01T00:50:00Z");
}

// The reason a span is refused tells a recording that has not begun or has
// ended from a hole between two segments.
TEST(ClipPlan, WhatTheLibraryLacksIsSaidByWhere) {
    EXPECT_EQ(gap_text(plan({seg(1000, 6), seg(1006, 6)}, 1000, 1012)), "");
    EXPECT_EQ(gap_text(plan({seg(1000, 6)}, 990, 1004)),
              "the recording begins at 1970-01-01T00:16:40Z, after the span's start");
    EXPECT_EQ(gap_text(plan({seg(1000, 6.04)}, 1002, 1020)),
              "the recording ends at 1970-01-01T00:16:46Z, before the span's end");
    EXPECT_EQ(gap_text(plan({seg(1000, 6), seg(1012, 6), seg(1024, 6)}, 995, 1040)),
              "the recording begins at 1970-01-01T00:16:40Z, after the span's start; the library has a gap in the "
              "span: no video from 1970-01-01T00:16:46Z to 1970-01-01T00:16:52Z (and 1 more); the recording ends at "
              "1970-01-01T00:17:10Z, before the span's end");
}

TEST(ClipRequest, StoredMetaIsRecognised) {
    task_request req;
    req.date = "2020-09-13";
    req.from = "2020-09-13T12:26:40Z";
    req.to = "2020-09-13T12:27:00Z";
    req.title = "X";
    req.lib_idx = 1;
    req.head_offs = 2;
    req.tail_rem = 1;
    req.length = 66.7;
    const std::string stored = "{ \"lib_idx\": 1, \"title\": \"X\", \"head_offs\": 2, \"tail_rem\": 1, \"length\": 66, "
                               "\"date\": \"2020-09-13\", \"from\": \"2020-09-13T12:26:40Z\", \"to\": "
                               "\"2020-09-13T12:27:00Z\" }";
    EXPECT_TRUE(meta_matches(stored, req));
    req.title = "Y";
    EXPECT_FALSE(meta_matches(stored, req));
    const auto a = parse_announcement("{ \"task_state_updated\" : { \"task\" : 12, \"state\" : -2 } }");
    EXPECT_EQ(a.what, announcement::kind::state);
    EXPECT_EQ(a.task, 12);
    EXPECT_EQ(a.state, -2);
    EXPECT_EQ(parse_announcement("{ \"new_task\" : 7 }").task, 7);
    EXPECT_EQ(parse_announcement("{ \"tasks\": [ 3, 1, 2 ] }").tasks, (std::vector<int>{3, 1, 2}));
}

TEST(Coverage, RunsAndTheGapsBetweenThem) {
    // Two runs with a 6 s hole, a duplicate line, and a name that cannot be
    // played, which counts as missing.
    auto odd = seg(1024, 6);
    odd.name = "1024_b.ts";
    const auto c = find_coverage({seg(1006, 6), seg(1000, 6), seg(1006, 6), seg(1018, 5.5), odd}, 995, 1040);
    ASSERT_EQ(c.runs.size(), 2u);
    EXPECT_DOUBLE_EQ(c.runs[0].from, 1000);
    EXPECT_DOUBLE_EQ(c.runs[0].to, 1012);
    EXPECT_EQ(c.runs[0].segments, 2);
    EXPECT_DOUBLE_EQ(c.runs[1].from, 1018);
    EXPECT_DOUBLE_EQ(c.runs[1].to, 1023.5);
    ASSERT_EQ(c.gaps.size(), 3u);
    EXPECT_DOUBLE_EQ(c.gaps[0].from, 995);
    EXPECT_DOUBLE_EQ(c.gaps[0].to, 1000);
    EXPECT_DOUBLE_EQ(c.gaps[1].from, 1012);
    EXPECT_DOUBLE_EQ(c.gaps[1].to, 1018);
    EXPECT_DOUBLE_EQ(c.gaps[2].from, 1023.5);
    EXPECT_DOUBLE_EQ(c.gaps[2].to, 1040);
}
