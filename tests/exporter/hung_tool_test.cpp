// The real export daemon with an ffmpeg that never ends: a stop does not
// wait for it, and the task it held ends failed.
#include <gtest/gtest.h>

#include "exporter_fixture.h"

using namespace exporter_test;

TEST(ExportHungTool, AStopKillsAHungCutRunAndTheTaskFails) {
    Exporter ex;
    const std::string hung = ex.dir() / "hung-ffmpeg";
    write_hanging_tool(hung, "cut.mp4", "/usr/bin/ffmpeg");
    ex.start(hung);
    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request("hangs")));
    ASSERT_TRUE(client->send(task_request("waits")));
    ASSERT_TRUE(ex.wait_log_count("exporter_thread_proc: [1] building CUT", 1));
    ex.process().signal(SIGTERM);
    EXPECT_TRUE(receive_until(*client, state_message(1, 3), 30s)) << "the final state still reaches the client";
    const auto status = ex.process().wait_exit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 1) + "/state"), "3");
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 2) + "/state"), "0");
    EXPECT_EQ(probe_size(task_folder(ex.tasks(), 1) + "/thumb.jpg"), "96x54") << "the thumbnail run was not hung";
    EXPECT_EQ(ex.log_count("exporter_thread_proc: [1] CUT made no progress for 5 s, killed"), 1);
    EXPECT_EQ(ex.log_count("exporter_thread_proc: [1] built CUT, r=-3"), 1);
}
