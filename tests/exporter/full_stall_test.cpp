// Both real daemons with a tool that hangs, left to the full stall period
// (run at the same time, so the wait is paid once): the hung run is killed,
// and the work behind it goes on.
#include <gtest/gtest.h>

#include "exporter/exporter_fixture.h"
#include "register/helpers.h"

TEST(FullStall, AHungToolIsKilledAfterTheStallPeriodAndTheNextWorkRuns) {
    using namespace exporter_test;
    regtest::Daemon reg;
    const std::string hung_probe = reg.dir / "hung-ffprobe";
    write_hanging_tool(hung_probe, "1600000000.ts", "/usr/bin/ffprobe");
    reg.start({"--ffprobe-path=" + hung_probe});
    Exporter ex;
    const std::string hung_ffmpeg = ex.dir() / "hung-ffmpeg";
    write_hanging_tool(hung_ffmpeg, "00001/thumb.jpg", "/usr/bin/ffmpeg");
    ex.start(hung_ffmpeg);

    for (const char* name : {"1600000000.ts", "1600000006.ts", "1600000012.ts"}) reg.close_segment(name);
    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request("hangs")));
    ASSERT_TRUE(client->send(task_request("runs")));

    EXPECT_TRUE(receive_until(*client, state_message(1, 3), 200s));
    EXPECT_TRUE(receive_until(*client, state_message(2, 2), 60s));
    EXPECT_EQ(ex.log_count("exporter_thread_proc: [1] THUMB made no progress for 120 s, killed"), 1);
    EXPECT_EQ(ex.log_count("building CUT (" + task_folder(ex.tasks(), 1)), 0);
    // 18 s less 1 s at the tail, from the first segment's start (the default cut).
    EXPECT_NEAR(probe_duration(task_folder(ex.tasks(), 2) + "/cut.mp4"), 17.0, 0.1);
    EXPECT_EQ(ex.stop(), 0);

    reg.wait_done("1600000006.ts");
    reg.wait_done("1600000012.ts");
    reg.stop();
    const auto log = regtest::log_texts(reg.log);
    EXPECT_TRUE(regtest::has_line(log, "!register_ffprobe: [" + reg.tmp + "/1600000000.ts] made no progress for 120 s, killed"));
    EXPECT_TRUE(regtest::has_line(log, "!register_thread_proc: register_ffprobe(1600000000.ts), r=-3, duration_ts=0 failed"));
    const auto lines = reg.index("2020/09/13/12");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("1600000006.ts\t"));
    EXPECT_TRUE(lines[1].starts_with("1600000012.ts\t"));
}
