// The real register daemon on a library that runs out of space: a copy, a
// thumbnail, an index line or a day marker that does not fit leaves nothing
// behind but its link, and a later start, with room made, registers it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "archive/library.h"
#include "handles.h"
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

namespace {

// Free blocks and inodes of a small library are set exactly: a filler file
// takes the blocks, empty files the inodes.
class Filler {
public:
    explicit Filler(const std::string& root)
        : root_(root), fd_(open((root + "/.filler").c_str(), O_RDWR | O_CREAT, 0600)) {}

    uint64_t free_blocks() const {
        struct statvfs fs;
        return statvfs(root_.c_str(), &fs) == 0 ? fs.f_bavail : 0;
    }
    uint64_t free_inodes() const {
        struct statvfs fs;
        return statvfs(root_.c_str(), &fs) == 0 ? fs.f_favail : 0;
    }

    bool set_free_blocks(uint64_t blocks) {
        const uint64_t now = free_blocks();
        if (now > blocks) {
            if (fallocate(fd_.get(), 0, size_, static_cast<off_t>((now - blocks) * 4096)) != 0) return false;
            size_ += static_cast<off_t>((now - blocks) * 4096);
        } else if (now < blocks) {
            const off_t less = static_cast<off_t>((blocks - now) * 4096);
            if (less > size_ || ftruncate(fd_.get(), size_ - less) != 0) return false;
            size_ -= less;
        }
        return free_blocks() == blocks;
    }

    bool set_free_inodes(uint64_t inodes) {
        while (free_inodes() > inodes) {
            const std::string name = root_ + "/.inode" + std::to_string(inodes_.size());
            unique_fd f(open(name.c_str(), O_WRONLY | O_CREAT, 0600));
            if (!f) return false;
            inodes_.push_back(name);
        }
        while (free_inodes() < inodes && !inodes_.empty()) {
            unlink(inodes_.back().c_str());
            inodes_.pop_back();
        }
        return free_inodes() == inodes;
    }

    // Every block and inode taken back.
    bool release() {
        while (!inodes_.empty()) {
            unlink(inodes_.back().c_str());
            inodes_.pop_back();
        }
        size_ = 0;
        return ftruncate(fd_.get(), 0) == 0;
    }

private:
    std::string root_;
    unique_fd fd_;
    off_t size_ = 0;
    std::vector<std::string> inodes_;
};

uint64_t blocks_of(const std::string& path) { return (std::filesystem::file_size(path) + 4095) / 4096; }

}  // namespace

// One segment runs out of room at each write in turn: the copy and the
// thumbnail for want of blocks, the index line for want of the block its
// index's next line needs, the day marker for want of an inode. Each leaves
// nothing in the library, keeps its link and says so once. An index left
// with a cut-off last line is mended before the next line goes in. With room
// made, the next start registers every segment exactly once.
TEST(RegisterDiskFull, EachWriteOutOfRoomLeavesNothingAndTheNextStartRegistersIt) {
    Daemon d;
    SmallFileSystem lib(d.lib, "16m,nr_inodes=200");
    if (!lib.error().empty()) GTEST_SKIP() << lib.error();
    Filler filler(d.lib);
    make_segment(d.dir / "seg.ts");
    const std::string segment = read_file(d.dir / "seg.ts");
    const std::string h12 = "2020/09/13/12", h13 = "2020/09/13/13", h00 = "2020/09/14/00";
    const std::string good = "1600000000.ts", copy_full = "1600000006.ts", thumb_full = "1600000012.ts",
                      index_full = "1600003600.ts", marker_full = "1600041600.ts";
    const std::vector<std::pair<std::string, std::string>> all{
        {good, h12}, {copy_full, h12}, {thumb_full, h12}, {index_full, h13}, {marker_full, h00}};
    auto full_line = [&](const std::string& name) {
        return "!register_thread_proc: no space for [" + name + "], its link stays in [" + d.tmp + "] for the next start";
    };
    auto lines_for = [&](const std::string& hour, const std::string& name) {
        const auto lines = d.index(hour);
        return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.starts_with(name + "\t"); });
    };
    // The segment was refused for lack of room, after a line that begins with
    // why: its link waits and nothing of it is in the library.
    auto refused = [&](const std::string& name, const std::string& hour, const std::string& why) {
        ASSERT_TRUE(wait_until([&] { return has_line(log_texts(d.log), full_line(name)); }, 60s)) << name;
        const auto log = log_texts(d.log);
        const auto failed = std::find_if(log.begin(), log.end(), [&](auto& l) { return l.starts_with(why); });
        ASSERT_NE(failed, log.end()) << why;
        EXPECT_EQ(std::count(log.begin(), log.end(), full_line(name)), 1);
        EXPECT_NE(std::find(failed, log.end(), full_line(name)), log.end()) << name;
        EXPECT_TRUE(file_exists(d.tmp + "/" + name)) << name;
        EXPECT_FALSE(file_exists(d.lib + "/" + hour + "/" + name)) << name;
        char thumb[4096];
        ASSERT_TRUE(archive::thumb_name(d.lib + "/" + hour + "/" + name, thumb, sizeof thumb));
        EXPECT_FALSE(file_exists(thumb)) << name;
        EXPECT_EQ(lines_for(hour, name), 0) << name;
    };

    d.start();
    d.close_segment(good);
    d.wait_done(good);
    ASSERT_EQ(lines_for(h12, good), 1);
    const uint64_t copy_blocks = blocks_of(d.lib + "/" + h12 + "/" + good);
    const uint64_t thumb_blocks = blocks_of(d.lib + "/" + h12 + "/1600000000.jpg");

    // One block short of the copy.
    ASSERT_TRUE(filler.set_free_blocks(copy_blocks - 1));
    d.close_segment(copy_full);
    refused(copy_full, h12,
            "!register_thread_proc: copy_file([" + d.tmp + "/" + copy_full + "], [" + d.lib + "/" + h12 + "/" +
                copy_full + "]) failed -28 (No space left on device)");

    // Room for the copy, none for the thumbnail.
    ASSERT_TRUE(filler.set_free_blocks(copy_blocks));
    d.close_segment(thumb_full);
    const std::string copy_path = d.lib + "/" + h12 + "/" + thumb_full;
    refused(thumb_full, h12,
            "!register_thread_proc: register_thumb(" + copy_path + ", " + d.lib + "/" + h12 +
                "/1600000012.jpg) failed, r=");

    // An index of whole lines that fills its last block exactly: the next
    // line needs one more block, which the copy and thumbnail leave none of.
    std::filesystem::create_directories(d.lib + "/" + h13);
    std::string earlier;
    for (int i = 0; earlier.size() + 80 < 4096; ++i) {
        earlier += archive::index_line("1600003000_" + std::to_string(i) + ".ts", 1600003000, 540000, 0);
    }
    // The last line takes what is left, its name padded.
    const size_t shortest = archive::index_line("1600003000_.ts", 1600003000, 540000, 0).size();
    earlier += archive::index_line("1600003000_" + std::string(4096 - earlier.size() - shortest, 'x') + ".ts",
                                   1600003000, 540000, 0);
    ASSERT_EQ(earlier.size(), 4096u);
    write_file(d.lib + "/" + h13 + "/index.cvs", earlier);
    ASSERT_TRUE(filler.set_free_blocks(copy_blocks + thumb_blocks));
    d.close_segment(index_full);
    refused(index_full, h13,
            "!register_thread_proc: fprintf(" + d.lib + "/" + h13 +
                "/index.cvs) failed, r=-28 (No space left on device)");
    EXPECT_EQ(read_file(d.lib + "/" + h13 + "/index.cvs"), earlier) << "the failed line is cut back";

    // A new day whose hour folder is there: inodes for the copy, the
    // thumbnail and the index, none for the day's marker.
    ASSERT_TRUE(filler.set_free_blocks(copy_blocks * 4));
    std::filesystem::create_directories(d.lib + "/" + h00);
    ASSERT_TRUE(filler.set_free_inodes(3));
    d.close_segment(marker_full);
    refused(marker_full, h00, full_line(marker_full));
    EXPECT_FALSE(file_exists(d.lib + "/2020/09/14/here"));
    EXPECT_FALSE(file_exists(d.lib + "/" + h00 + "/index.cvs")) << "the index it made goes with its line";
    d.stop();

    // An older run's line cut off by a crash ends hour 12's index.
    {
        const std::string index = d.lib + "/" + h12 + "/index.cvs";
        ASSERT_TRUE(filler.release());
        write_file(index, read_file(index) + "1600000003.ts\t16000");
    }
    d.start();
    ASSERT_TRUE(wait_until([&] { return count_files(d.tmp) == 0; }, 120s));
    d.stop();
    const auto log = log_texts(d.log);
    const auto mended = [](const std::string& l) { return l.find("ended in a cut-off line") != std::string::npos; };
    EXPECT_EQ(std::count_if(log.begin(), log.end(), mended), 1) << "once, for hour 12";
    EXPECT_TRUE(has_line(log, "!register_thread_proc: [" + d.lib + "/" + h12 +
                                  "/index.cvs] ended in a cut-off line; 19 bytes taken back to its last line end"));
    for (const auto& [name, hour] : all) {
        EXPECT_EQ(lines_for(hour, name), 1) << name;
        EXPECT_TRUE(read_file(d.lib + "/" + hour + "/" + name) == segment) << name;
        char thumb[4096];
        ASSERT_TRUE(archive::thumb_name(d.lib + "/" + hour + "/" + name, thumb, sizeof thumb));
        EXPECT_EQ(probe_size(thumb), "96x54") << name;
    }
    for (const auto& hour : {h12, h13, h00}) {
        const std::string text = read_file(d.lib + "/" + hour + "/index.cvs");
        ASSERT_FALSE(text.empty()) << hour;
        EXPECT_EQ(text.back(), '\n') << hour;
        const auto parses = [](std::string_view l) { return archive::parse_index_line(l).has_value(); };
        EXPECT_EQ(archive::for_each_index_line(text, parses), 0) << hour << " parses whole:\n" << text;
    }
    EXPECT_EQ(d.index(h12).size(), 3u);
    EXPECT_TRUE(file_exists(d.lib + "/2020/09/13/here"));
    EXPECT_TRUE(file_exists(d.lib + "/2020/09/14/here"));
}
