// The real register daemon with a media tool that never ends: a stop does
// not wait for it, and what it held up is registered at the next start.
#include <gtest/gtest.h>

#include "helpers.h"

using namespace regtest;

TEST(RegisterHungTool, AStopKillsAHungThumbnailAndTheNextStartDoesTheRest) {
    Daemon d;
    const std::string hung = d.dir / "hung-ffmpeg";
    write_hanging_tool(hung, "1600000000.jpg", "/usr/bin/ffmpeg");
    d.start({"--ffmpeg-path=" + hung});
    for (const char* name : {"1600000000.ts", "1600000006.ts", "1600000012.ts"}) d.close_segment(name);
    const std::string hour = d.lib + "/2020/09/13/12";
    ASSERT_TRUE(d.wait_for(" register_thumb: building thumb (" + hour + "/1600000000.jpg)..."));
    ASSERT_TRUE(wait_until([&] { return count_files(d.tmp) == 3; }));
    // Within the stop's short wait for a run without progress.
    d.stop();
    const auto log = log_texts(d.log);
    EXPECT_TRUE(has_line(log, "!register_thumb: [" + hour + "/1600000000.jpg] made no progress for 5 s, killed"));
    EXPECT_TRUE(has_line(log, "!register_thread_proc: register_thumb(" + hour + "/1600000000.ts, " + hour +
                                  "/1600000000.jpg) failed, r=-3"));
    EXPECT_TRUE(d.index("2020/09/13/12").empty());
    EXPECT_EQ(count_files(d.tmp), 2) << "the two still queued keep their links";

    // The copy without an index line is registered again, the links too.
    d.start();
    for (const char* name : {"1600000000.ts", "1600000006.ts", "1600000012.ts"}) d.wait_done(name);
    d.stop();
    const auto lines = d.index("2020/09/13/12");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("1600000000.ts\t"));
    EXPECT_TRUE(lines[1].starts_with("1600000006.ts\t"));
    EXPECT_TRUE(lines[2].starts_with("1600000012.ts\t"));
    EXPECT_EQ(probe_size(hour + "/1600000000.jpg"), "96x54");
}
