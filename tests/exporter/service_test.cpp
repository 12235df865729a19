// The export daemon doing its whole job: real clients over 127.0.0.1, real
// ffmpeg on generated segments, real signals.
#include <gtest/gtest.h>

#include <thread>

#include "exporter_fixture.h"

using namespace exporter_test;

TEST(ExportService, WholeRoadOfATaskInBothTrimModes) {
    Exporter ex;
    ex.start();
    auto client = ex.connect();
    EXPECT_TRUE(drain(*client, 300ms).empty()) << "no task stored: nothing is sent at connect";
    ASSERT_TRUE(client->send(task_request("goal")));

    // The three announcements, in this order, each its own text frame.
    const std::vector<std::string> expected = {new_task_message(1), state_message(1, 1), state_message(1, 2)};
    std::vector<std::string> got;
    while (got.size() < expected.size()) {
        auto msg = client->receive(60s);
        ASSERT_TRUE(msg.has_value()) << "got only " << got.size() << " messages";
        got.push_back(*msg);
    }
    EXPECT_EQ(got, expected);

    const std::string folder = task_folder(ex.tasks(), 1);
    const std::string first_segment = ex.lib() + "/2021/05/01/10/1619863200.ts";
    EXPECT_EQ(read_file(folder + "/state"), "2");
    EXPECT_EQ(read_file(folder + "/index.json"),
              "{ \"lib_idx\": 0, \"title\": \"goal\", \"head_offs\": 2, \"tail_rem\": 1, \"length\": 18, \"date\": "
              "\"2021-05-01\", \"from\": \"10:00:02\", \"to\": \"10:00:17\" }");
    EXPECT_NE(read_file(folder + "/playlist.m3u8").find(ex.lib() + "/2021/05/01/10/1619863212.ts\n"),
              std::string::npos);
    EXPECT_EQ(probe_codec(folder + "/thumb.jpg"), "mjpeg");
    EXPECT_EQ(probe_size(folder + "/thumb.jpg"), "96x54");
    // The default cut shifts what stream copy keeps before mark_in on
    // screen: the playlist is entered at its first segment, so the clip
    // starts with that segment's first frame and runs 2 s longer than the
    // 18 - 2 - 1 s asked for.
    EXPECT_NEAR(probe_duration(folder + "/cut.mp4"), 17.0, 0.1);
    EXPECT_EQ(first_frame_md5(folder + "/cut.mp4"), frame_md5(first_segment, 0));
    EXPECT_TRUE(file_exists(folder + "/thumb.log"));
    EXPECT_TRUE(file_exists(folder + "/cut.log"));
    EXPECT_TRUE(ex.wait_log_count("exporter_thread_proc: [1] built CUT, r=0", 1));

    // The exact trim: the first frame shown is the one at mark_in, 2 s (50
    // frames) in, and the clip is as long as asked for.
    std::string exact = task_request("exact");
    exact.insert(exact.rfind(" } }"), ", \"exact_trim\": true");
    ASSERT_TRUE(client->send(exact));
    ASSERT_TRUE(receive_until(*client, state_message(2, 2)));
    const std::string exact_folder = task_folder(ex.tasks(), 2);
    EXPECT_NEAR(probe_duration(exact_folder + "/cut.mp4"), 15.0, 0.1);
    EXPECT_EQ(first_frame_md5(exact_folder + "/cut.mp4"), frame_md5(first_segment, 50));

    // A clip from the playlist's very start keeps its video (ffmpeg cannot
    // seek this recording to 0: its audio starts before its video).
    ASSERT_TRUE(client->send(task_request("from the start", SEGMENTS, 0, 1)));
    ASSERT_TRUE(receive_until(*client, state_message(3, 2)));
    const std::string start_folder = task_folder(ex.tasks(), 3);
    EXPECT_EQ(first_frame_md5(start_folder + "/cut.mp4"), frame_md5(first_segment, 0));
    EXPECT_NEAR(probe_duration(start_folder + "/cut.mp4"), 17.0, 0.1);
    EXPECT_EQ(ex.stop(), 0);
}

// What ffmpeg is given, entry by entry, recorded by a stand-in beside the
// file each run makes. Both tasks also carry text that must neither forge a
// log line nor leave a split character in "index.json".
TEST(ExportService, ArgumentVectorsMetaFilesAndQuotedText) {
    Exporter ex;
    const std::string recorder = ex.dir() / "recording-ffmpeg";
    write_file(recorder, "#!/bin/sh\nfor a; do last=$a; done\nprintf '%s\\n' \"$0\" \"$@\" > \"$last.args\"\n");
    std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
    ex.start(recorder);
    auto client = ex.connect();
    const std::string forged = "\\n! [2026-12-08 03:00:00.000] sighandler: [1] catched 15";
    // 4094 bytes and a two-byte character: the cut at 4095 must drop it whole.
    const std::string long_title = std::string(4094, 'a') + "\xc3\xa9";
    std::string plain = task_request(long_title);
    plain.replace(plain.find("\"2021-05-01\""), 12, "\"" + forged + "\"");
    ASSERT_TRUE(client->send(plain));
    ASSERT_TRUE(receive_until(*client, state_message(1, 2), 10s));
    std::string exact = task_request("exact");
    exact.insert(exact.rfind(" } }"), ", \"exact_trim\": 1");
    ASSERT_TRUE(client->send(exact));
    ASSERT_TRUE(receive_until(*client, state_message(2, 2), 10s));

    const auto vector_of = [&](int task, const char* file) {
        return split_lines(read_file(task_folder(ex.tasks(), task) + "/" + file + ".args"));
    };
    const std::string one = task_folder(ex.tasks(), 1);
    const std::string playlist = one + "/playlist.m3u8";
    EXPECT_EQ(vector_of(1, "thumb.jpg"),
              (std::vector<std::string>{recorder, "-ss", "2.000000", "-i", playlist, "-vframes", "1", "-vf",
                                        "scale=96:54", "-y", one + "/thumb.jpg"}));
    EXPECT_EQ(vector_of(1, "cut.mp4"),
              (std::vector<std::string>{recorder, "-ss", "2.000000", "-i", playlist, "-t", "15.000000", "-acodec",
                                        "copy", "-vcodec", "copy", "-f", "mp4", "-movflags", "+faststart",
                                        "-avoid_negative_ts", "make_zero", "-y", one + "/cut.mp4"}));
    const std::string two = task_folder(ex.tasks(), 2);
    EXPECT_EQ(vector_of(2, "cut.mp4"),
              (std::vector<std::string>{recorder, "-ss", "2.000000", "-i", two + "/playlist.m3u8", "-t", "15.000000",
                                        "-acodec", "copy", "-vcodec", "copy", "-f", "mp4", "-movflags", "+faststart",
                                        "-y", two + "/cut.mp4"}));

    // No seek for a clip from the start: the runs enter the playlist there.
    ASSERT_TRUE(client->send(task_request("start", SEGMENTS, 0, 1)));
    ASSERT_TRUE(receive_until(*client, state_message(3, 2), 10s));
    const std::string three = task_folder(ex.tasks(), 3);
    EXPECT_EQ(vector_of(3, "thumb.jpg"), (std::vector<std::string>{recorder, "-i", three + "/playlist.m3u8", "-vframes",
                                                                    "1", "-vf", "scale=96:54", "-y", three + "/thumb.jpg"}));
    EXPECT_EQ(vector_of(3, "cut.mp4"),
              (std::vector<std::string>{recorder, "-i", three + "/playlist.m3u8", "-t", "17.000000", "-acodec", "copy",
                                        "-vcodec", "copy", "-f", "mp4", "-movflags", "+faststart",
                                        "-avoid_negative_ts", "make_zero", "-y", three + "/cut.mp4"}));

    // Only the exact task's meta file carries the key, after all the others.
    EXPECT_EQ(read_file(one + "/index.json"),
              "{ \"lib_idx\": 0, \"title\": \"" + std::string(4094, 'a') +
                  "\", \"head_offs\": 2, \"tail_rem\": 1, \"length\": 18, \"date\": \"\\n! [2026-12-08 03:00:00.000] "
                  "sighandler: [1] catched 15\", \"from\": \"10:00:02\", \"to\": \"10:00:17\" }");
    EXPECT_EQ(read_file(two + "/index.json"),
              "{ \"lib_idx\": 0, \"title\": \"exact\", \"head_offs\": 2, \"tail_rem\": 1, \"length\": 18, \"date\": "
              "\"2021-05-01\", \"from\": \"10:00:02\", \"to\": \"10:00:17\", \"exact_trim\": 1 }");

    // Peer text reaches the log escaped: one line each, no forged stop line.
    ASSERT_TRUE(client->send("not json\x01\r\n! [2026-12-08 03:00:00.000] sighandler: [1] catched 2"));
    EXPECT_TRUE(ex.wait_log_count("ws_cb_recv: failed to parse not json\\x01\\r\\n! [2026-12-08 03:00:00.000]", 1));
    EXPECT_EQ(ex.stop(), 0);
    EXPECT_EQ(ex.log_count("date=[\\n! [2026-12-08 03:00:00.000] sighandler: [1] catched 15]"), 1);
    const std::regex line_start(R"(^[ !?] \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] (.*))");
    for (const auto& line : split_lines(ex.log())) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_start)) << line;
        EXPECT_FALSE(m[1].str().starts_with("sighandler: [1] ")) << line;
    }
}

TEST(ExportService, NewClientGetsTheStoredTaskList) {
    Exporter ex;
    std::filesystem::create_directories(task_folder(ex.tasks(), 2));
    std::filesystem::create_directories(task_folder(ex.tasks(), 5));
    std::filesystem::create_directories(ex.tasks() + "/notes");
    ex.start("true");
    auto client = ex.connect();
    auto msg = client->receive(5s);
    ASSERT_TRUE(msg.has_value());
    EXPECT_TRUE(std::regex_match(*msg, std::regex(R"(\{ "tasks": \[ (2, 5|5, 2) \] \})"))) << *msg;
    EXPECT_TRUE(drain(*client, 300ms).empty());
}

TEST(ExportService, RefusedRequestsAnnounceNothing) {
    Exporter ex;
    ex.start("true");
    auto client = ex.connect();
    for (const std::string bad :
         {"not json at all", "[ 1, 2 ]", "42", "{ \"other\": 1 }",
          "{ \"new_task\": { \"date\": \"d\", \"from\": \"f\", \"to\": \"t\", \"head_offs\": 0, \"tail_rem\": 0, "
          "\"timestamps\": [ { \"t\": 1, \"d\": 2 } ] } }",
          "{ \"new_task\": { \"date\": \"d\", \"from\": \"f\", \"to\": \"t\", \"head_offs\": 0, \"tail_rem\": 0, "
          "\"length\": 6, \"timestamps\": [ ] } }"}) {
        ASSERT_TRUE(client->send(bad));
    }
    EXPECT_TRUE(drain(*client, 700ms).empty());
    EXPECT_TRUE(wait_until([&] { return ex.log_count("failed to decompose") == 2; }));
    EXPECT_EQ(ex.log_count("ws_cb_recv: failed to parse not json at all"), 1);
    EXPECT_EQ(ex.log_count("ws_cb_recv: not processed: "), 3);
    EXPECT_FALSE(file_exists(task_folder(ex.tasks(), 1)));
    EXPECT_TRUE(client->send(task_request()));
    EXPECT_TRUE(receive_until(*client, new_task_message(1), 10s)) << "the connection stays open";
}

TEST(ExportService, FragmentsMakeOneMessage) {
    Exporter ex;
    ex.start("true");
    auto client = ex.connect();
    const std::string req = task_request();
    const size_t third = req.size() / 3;
    ASSERT_TRUE(client->send_fragments({req.substr(0, third), req.substr(third, third), req.substr(2 * third)}));
    EXPECT_TRUE(receive_until(*client, new_task_message(1), 10s));
    EXPECT_TRUE(ex.wait_log_count("ws_cb_recv: recieved " + std::to_string(req.size()) + " bytes", 1));
    // Binary frames count the same.
    ASSERT_TRUE(client->send_fragments({req.substr(0, 10), req.substr(10)}, true));
    EXPECT_TRUE(receive_until(*client, new_task_message(2), 10s));
}

TEST(ExportService, LargestMessageIsHandledOneMoreByteIsNot) {
    Exporter ex;
    ex.start("true");
    auto client = ex.connect();
    // A request led by blanks to exactly 1048575 bytes.
    const std::string req = task_request();
    const std::string exact = std::string(1048575 - req.size(), ' ') + req;
    ASSERT_TRUE(client->send(exact));
    EXPECT_TRUE(receive_until(*client, new_task_message(1), 10s));
    EXPECT_TRUE(receive_until(*client, state_message(1, 2), 10s));
    EXPECT_TRUE(ex.wait_log_count("recieved 1048575 bytes", 1));
    // One byte more and the piece that would pass the limit, the request's
    // end, is dropped: what is left does not parse.
    ASSERT_TRUE(client->send(" " + exact));
    EXPECT_TRUE(wait_until([&] { return ex.log_count("ws_cb_recv: failed to parse") == 1; }));
    EXPECT_TRUE(drain(*client, 500ms).empty());
    EXPECT_FALSE(file_exists(task_folder(ex.tasks(), 2)));
    // The buffer is clean again for the next, ordinary request.
    ASSERT_TRUE(client->send(task_request("after")));
    EXPECT_TRUE(receive_until(*client, new_task_message(2), 10s));
    EXPECT_NE(read_file(task_folder(ex.tasks(), 2) + "/index.json").find("\"title\": \"after\""), std::string::npos);
}

TEST(ExportService, ThirtyThreeClientsAndSlotReuse) {
    Exporter ex;
    ex.start("true");
    // start() probed the port with a connection of its own.
    ASSERT_TRUE(wait_until([&] { return ex.log_count("LWS_CALLBACK_CLOSED") == 1; }));
    const int slot_lines = ex.log_count("ctx at slot");
    const int established = ex.log_count("LWS_CALLBACK_ESTABLISHED");
    std::vector<std::unique_ptr<ws_link>> pooled;
    for (int i = 0; i < 32; ++i) pooled.push_back(ex.connect());
    ASSERT_TRUE(wait_until([&] { return ex.log_count("ctx at slot") == slot_lines + 32; }));
    auto extra = ex.connect();
    ASSERT_TRUE(wait_until([&] { return ex.log_count("LWS_CALLBACK_ESTABLISHED") == established + 33; }));
    EXPECT_EQ(ex.log_count("ctx at slot"), slot_lines + 32) << "the 33rd client holds no slot";

    // The 33rd may submit; the 32 hear of it, it does not.
    ASSERT_TRUE(extra->send(task_request()));
    for (auto& c : pooled) EXPECT_TRUE(receive_until(*c, new_task_message(1), 10s));
    EXPECT_TRUE(wait_until([&] { return read_file(task_folder(ex.tasks(), 1) + "/state") == "2"; }));
    EXPECT_TRUE(drain(*extra, 300ms).empty());

    // A freed slot is taken by the next client.
    pooled[5].reset();
    ASSERT_TRUE(wait_until([&] { return ex.log_count("ctx at slot 5") == 2; }));
    auto next = ex.connect();
    ASSERT_TRUE(wait_until([&] { return ex.log_count("ctx at slot 5") == 3; }));
    auto list = next->receive(5s);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, "{ \"tasks\": [ 1 ] }");
}

TEST(ExportService, FailingThumbnailMeansNoCutAndStateThree) {
    Exporter ex;
    ex.start("false");
    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request()));
    EXPECT_TRUE(receive_until(*client, state_message(1, 3), 10s));
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 1) + "/state"), "3");
    EXPECT_TRUE(ex.wait_log_count("building THUMB", 1));
    EXPECT_EQ(ex.log_count("building CUT"), 0);
    EXPECT_FALSE(file_exists(task_folder(ex.tasks(), 1) + "/cut.mp4"));
}

TEST(ExportService, MetaFileDeletedBeforeItsTurn) {
    Exporter ex;
    const std::string slow = fake_ffmpeg(ex.dir(), "slow-ffmpeg", 1.0, 0);
    ex.start(slow);
    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request("first")));
    ASSERT_TRUE(receive_until(*client, state_message(1, 1), 10s));
    ASSERT_TRUE(client->send(task_request("second")));
    ASSERT_TRUE(receive_until(*client, new_task_message(2), 10s));
    std::filesystem::remove(task_folder(ex.tasks(), 2) + "/index.json");
    EXPECT_TRUE(receive_until(*client, state_message(2, -2), 20s));
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 2) + "/state"), "-2");
    EXPECT_TRUE(wait_until([&] { return ex.log_count("exporter_thread_proc: failed to load task") == 1; }));
}

// A stop during a run: the run completes, its final state is written and
// announced, the queued tasks stay queued and run after the next start.
TEST(ExportService, StopDuringACutFinishesItAndKeepsTheRest) {
    Exporter ex;
    const std::string slow = fake_ffmpeg(ex.dir(), "slow-ffmpeg", 1.5, 0);
    ex.start(slow);
    auto client = ex.connect();
    for (const char* title : {"one", "two", "three"}) ASSERT_TRUE(client->send(task_request(title)));
    ASSERT_TRUE(receive_until(*client, state_message(1, 1), 10s));
    ex.process().signal(SIGTERM);
    EXPECT_TRUE(receive_until(*client, state_message(1, 2), 20s)) << "the final state still reaches the client";
    auto status = ex.process().wait_exit(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 1) + "/state"), "2");
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 2) + "/state"), "0");
    EXPECT_EQ(read_file(task_folder(ex.tasks(), 3) + "/state"), "0");
    const auto lines = split_lines(ex.log());
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("] Bye!"), std::string::npos);

    ex.start("true");
    EXPECT_TRUE(wait_until([&] {
        return read_file(task_folder(ex.tasks(), 2) + "/state") == "2" &&
               read_file(task_folder(ex.tasks(), 3) + "/state") == "2";
    }));
    EXPECT_TRUE(ex.wait_log_count("task 2 was left queued, queued again", 1));
    EXPECT_TRUE(ex.wait_log_count("task 3 was left queued, queued again", 1));
    EXPECT_NE(ex.log().find("main: tasks.sys_id=4"), std::string::npos);
}

TEST(ExportService, TaskLeftRunningByAnEarlierRunRunsAfterStart) {
    Exporter ex;
    // What a crash mid-run leaves: the three files, state 1.
    const std::string folder = task_folder(ex.tasks(), 7);
    std::filesystem::create_directories(folder);
    write_file(folder + "/index.json",
               "{ \"lib_idx\": 0, \"title\": \"left\", \"head_offs\": 1, \"tail_rem\": 1, \"length\": 12, \"date\": "
               "\"d\", \"from\": \"f\", \"to\": \"t\" }");
    write_file(folder + "/state", "1");
    write_file(folder + "/playlist.m3u8", "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n"
                                          "#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-DISCONTINUITY\n"
                                          "#EXTINF: 6.000000\n" + ex.lib() + "/2021/05/01/10/1619863200.ts\n"
                                          "#EXT-X-DISCONTINUITY\n#EXTINF: 6.000000\n" + ex.lib() +
                                          "/2021/05/01/10/1619863206.ts\n#EXT-X-ENDLIST\n");
    write_file(task_folder(ex.tasks(), 3) + "/state", "2");  // done: not run again
    ex.start();
    EXPECT_TRUE(wait_until([&] { return read_file(folder + "/state") == "2"; }, 60s));
    EXPECT_NEAR(probe_duration(folder + "/cut.mp4"), 10.0, 1.1);
    EXPECT_TRUE(ex.wait_log_count("was left running, queued again", 1));
    EXPECT_EQ(ex.log_count("task_sys_id=[3]"), 0);
}

TEST(ExportService, StopsPromptlyWithAndWithoutClients) {
    for (bool with_client : {false, true}) {
        Exporter ex;
        ex.start("true");
        std::unique_ptr<ws_link> client;
        if (with_client) client = ex.connect();
        EXPECT_EQ(ex.stop(), 0);
        const std::string log = ex.log();
        EXPECT_NE(log.find("main: waiting register..."), std::string::npos);
        EXPECT_NE(log.find("main: finished register"), std::string::npos);
        EXPECT_NE(split_lines(log).back().find("] Bye!"), std::string::npos);
    }
}

// A number is given once: after a stop, with the highest task folder
// removed, numbering goes on from the kept number; a task left half stored
// by a killed daemon is dropped at start, never listed or announced.
TEST(ExportService, NumbersAreNeverGivenTwiceAndDraftsAreDropped) {
    Exporter ex;
    ex.start("true");
    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request("one")));
    ASSERT_TRUE(receive_until(*client, state_message(1, 2), 10s));
    ASSERT_TRUE(client->send(task_request("two")));
    ASSERT_TRUE(receive_until(*client, state_message(2, 2), 10s));
    client.reset();
    EXPECT_EQ(ex.stop(), 0);

    std::filesystem::remove_all(task_folder(ex.tasks(), 2));
    // What a kill while task 3 was being stored leaves.
    std::filesystem::create_directories(ex.tasks() + "/.drafts/00003");
    write_file(ex.tasks() + "/.drafts/00003/index.json", "{ \"lib_");
    write_file(ex.tasks() + "/.task-sequence", "4");
    ex.start("true");
    client = ex.connect();
    auto listed = client->receive(5s);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(*listed, "{ \"tasks\": [ 1 ] }");
    ASSERT_TRUE(client->send(task_request("four")));
    ASSERT_TRUE(receive_until(*client, new_task_message(4), 10s));
    ASSERT_TRUE(receive_until(*client, state_message(4, 2), 10s));
    EXPECT_FALSE(file_exists(ex.tasks() + "/.drafts/00003"));
    EXPECT_FALSE(file_exists(task_folder(ex.tasks(), 3)));
    EXPECT_NE(read_file(task_folder(ex.tasks(), 4) + "/index.json").find("\"title\": \"four\""), std::string::npos);
    EXPECT_EQ(read_file(ex.tasks() + "/.task-sequence"), "5");
    EXPECT_TRUE(ex.wait_log_count("main: tasks.sys_id=4", 1));
    EXPECT_EQ(ex.stop(), 0);
}
