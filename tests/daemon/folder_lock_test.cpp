// Two real daemons of a kind on one folder: the second refuses to start,
// the first goes on, and the lock adds nothing to the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "exporter/exporter_fixture.h"
#include "register/helpers.h"

using namespace testsupport;

namespace {

int entries(const std::string& dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

}  // namespace

TEST(FolderLock, ASecondRegisterDaemonOnTheHoldingFolderRefusesToStart) {
    regtest::Daemon d;
    d.start();
    const std::string second_log = d.dir / "second.log";
    const auto r = run(BRINDLEWOOD_BIN,
                                    {"--ffprobe-path=ffprobe", "--ffmpeg-path=ffmpeg", "--lib-path=" + d.lib,
                                     "--watch-path=" + d.watch, "--tmp-path=" + d.tmp, "--log-file-name=" + second_log},
                                    20s, d.dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: [" + d.tmp + "] is in use by another Brindlewood; not starting\n");
    EXPECT_FALSE(file_exists(second_log)) << "refused before it logs";

    d.close_segment("1600000000.ts");
    d.wait_done("1600000000.ts");
    EXPECT_EQ(d.index("2020/09/13/12").size(), 1u);
    EXPECT_EQ(entries(d.tmp), 0);
    d.stop();

    // A holding folder that cannot be opened does not stop the start.
    d.start({"--tmp-path=" + d.dir / "missing"});
    EXPECT_TRUE(d.wait_for("!daemon_open: cannot lock [" + d.dir / "missing" +
                           "] (No such file or directory): a second Brindlewood on it would go unnoticed"));
    d.stop();
}

TEST(FolderLock, ASecondExporterOnTheTasksFolderRefusesToStart) {
    exporter_test::Exporter ex;
    ex.start("true");
    const std::string second_log = ex.dir() / "second.log";
    const auto r = run(BRINDLEWOOD_EXPORTER_BIN,
                       {"--ws-port=" + std::to_string(free_port()), "--tasks-path=" + ex.tasks(),
                        "--lib0-path=" + ex.lib(), "--ffmpeg-path=true", "--log-file-name=" + second_log},
                       20s, ex.dir().path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: [" + ex.tasks() + "] is in use by another BrindlewoodExporter; not starting\n");
    EXPECT_FALSE(file_exists(second_log));

    auto client = ex.connect();
    ASSERT_TRUE(client->send(exporter_test::task_request()));
    EXPECT_TRUE(exporter_test::receive_until(*client, exporter_test::state_message(1, 2), 20s));
    // Only what the first daemon keeps: the task, its drafts folder and the
    // next number.
    EXPECT_EQ(names(ex.tasks()), (std::set<std::string>{"00001", ".drafts", ".task-sequence"}));
    EXPECT_TRUE(std::filesystem::is_directory(exporter_test::task_folder(ex.tasks(), 1)));
    EXPECT_EQ(ex.stop(), 0);
}
