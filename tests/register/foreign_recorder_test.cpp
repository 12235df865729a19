// A recorder of another user: with fs.protected_hardlinks the kernel refuses
// the daemon a hard link to a file it may read but not write. The daemon
// copies such a segment into its holding folder instead of losing it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "helpers.h"

using namespace regtest;

namespace {

constexpr uid_t NOBODY = 65534;

bool hard_links_protected() {
    std::ifstream in("/proc/sys/fs/protected_hardlinks");
    int value = 0;
    return in >> value && value == 1;
}

}  // namespace

TEST(RegisterForeignRecorder, SegmentsTheKernelWillNotLinkAreCopied) {
    if (geteuid() != 0) GTEST_SKIP() << "running the daemon as another user needs root";
    if (!hard_links_protected()) GTEST_SKIP() << "fs.protected_hardlinks is off, so every link is allowed";
    Daemon d;
    // The daemon's user owns its folders; the recorder (root here) owns the
    // segments, readable by all, writable by itself only.
    std::filesystem::create_directories(d.lib);
    for (const std::string& path : {d.dir.path(), d.tmp, d.lib}) ASSERT_EQ(chown(path.c_str(), NOBODY, NOBODY), 0);
    ASSERT_EQ(chmod(d.dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(d.watch.c_str(), 0777), 0);
    // The shared probe error file as a root daemon leaves it.
    const char* shared_err = "/tmp/Brindlewood.ffprobe.err";
    close(open(shared_err, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(access(shared_err, F_OK), 0);
    d.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};

    const std::vector<std::string> names{"1600000000.ts", "1600000006.ts", "1600000012.ts"};
    d.start();
    for (const auto& name : names) {
        d.close_segment(name);
        ASSERT_EQ(chmod((d.watch + "/" + name).c_str(), 0644), 0);
    }
    ASSERT_TRUE(wait_until([&] { return d.index("2020/09/13/12").size() == names.size(); }, 60s))
        << read_file(d.log);
    ASSERT_TRUE(wait_until([&] { return count_files(d.tmp) == 0; }, 30s)) << "the holding folder empties";
    d.stop();

    const auto log = log_texts(d.log);
    const std::string first = d.watch + "/" + names[0];
    const std::string refused = "!register_enqueue: link([" + first + "], [" + d.tmp + "/" + names[0] +
                                "]) failed -1 (Operation not permitted); copying segments instead.";
    const auto said = std::count_if(log.begin(), log.end(), [&](auto& l) { return l.starts_with(refused); });
    EXPECT_EQ(said, 1) << "the remedy is said once, not once a segment\n" << read_file(d.log);
    for (const auto& name : names) {
        const std::string src = d.watch + "/" + name;
        EXPECT_TRUE(has_line(log, " register_enqueue: [" + src + "] copied into [" + d.tmp + "/" + name + "], " +
                                      std::to_string(std::filesystem::file_size(src)) + " bytes"))
            << name;
        EXPECT_EQ(read_file(d.lib + "/2020/09/13/12/" + name), read_file(src)) << name;
        EXPECT_TRUE(file_exists(d.lib + "/2020/09/13/12/" + name.substr(0, name.size() - 3) + ".jpg")) << name;
    }
    EXPECT_TRUE(has_line(log, "!register_ffprobe: [" + std::string(shared_err) +
                                  "] is not ours to write (Permission denied); ffprobe writes its errors into [" +
                                  shared_err + "." + std::to_string(d.pid()) + "]"))
        << read_file(d.log);
    // The refusal said with its remedy is the only failure.
    const auto failed = std::count_if(log.begin(), log.end(), [](auto& l) { return l.find("failed") != l.npos; });
    EXPECT_EQ(failed, 1) << read_file(d.log);
}
