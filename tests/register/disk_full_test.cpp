// The real register daemon on a library that runs out of space: a copy that
// does not fit leaves nothing behind but its link, and a later start, with
// room made, registers it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "helpers.h"

using namespace regtest;

TEST(RegisterDiskFull, NoTruncatedCopyAndTheLinksWaitForRoom) {
    Daemon d;
    SmallFileSystem lib(d.lib, "800k");
    if (!lib.error().empty()) GTEST_SKIP() << lib.error();
    make_segment(d.dir / "seg.ts");
    const std::string segment = read_file(d.dir / "seg.ts");
    const std::string hour = d.lib + "/2020/09/13/12";
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) names.push_back(std::to_string(1600000000 + 6 * i) + ".ts");
    auto full_line = [&](const std::string& name) {
        return "!register_thread_proc: no space for [" + name + "], its link stays in [" + d.tmp + "] for the next start";
    };
    auto indexed = [&](const std::string& name) {
        const auto lines = d.index("2020/09/13/12");
        return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.starts_with(name + "\t"); });
    };

    d.start();
    for (const auto& name : names) d.close_segment(name);
    for (const auto& name : names) {
        ASSERT_TRUE(wait_until([&] { return indexed(name) == 1 || has_line(log_texts(d.log), full_line(name)); }, 60s))
            << name;
    }
    d.stop();
    int registered = 0, linked = 0;
    const auto log = log_texts(d.log);
    for (const auto& name : names) {
        const bool in_index = indexed(name) == 1;
        registered += in_index;
        linked += file_exists(d.tmp + "/" + name);
        EXPECT_NE(in_index, file_exists(d.tmp + "/" + name)) << name;
        if (in_index) continue;
        const auto failed = std::find(log.begin(), log.end(),
                                      "!register_thread_proc: copy_file([" + d.tmp + "/" + name + "], [" + hour + "/" +
                                          name + "]) failed -28 (No space left on device)");
        ASSERT_NE(failed, log.end()) << name;
        EXPECT_NE(std::find(failed, log.end(), full_line(name)), log.end()) << name;
    }
    int copies = 0, whole = 0;
    for (const auto& e : std::filesystem::directory_iterator(hour)) {
        if (e.path().extension() != ".ts") continue;
        ++copies;
        whole += read_file(e.path()) == segment;
    }
    std::cout << "registered " << registered << " of 10, left as links " << linked << ", library copies " << copies
              << " of which whole " << whole << "\n";
    EXPECT_GT(registered, 0);
    EXPECT_GT(linked, 0);
    EXPECT_EQ(copies, registered);
    EXPECT_EQ(whole, copies) << "no truncated copy stays";

    ASSERT_TRUE(lib.resize("8m"));
    d.start();
    ASSERT_TRUE(wait_until([&] { return count_files(d.tmp) == 0 && d.index("2020/09/13/12").size() == 10; }, 120s));
    d.stop();
    for (const auto& name : names) {
        EXPECT_EQ(indexed(name), 1) << name;
        EXPECT_TRUE(read_file(hour + "/" + name) == segment) << name;
    }
}
