#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "strl.h"
#include "support/support.h"
#include "utils.h"

using testsupport::TempDir;

TEST(Strl, CopyCutsAndCountsWhatItCopied) {
    char buf[8];
    EXPECT_EQ(keelson::strlcpy(buf, "abcdef", 4), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(keelson::strlcpy(buf, "abcdef", 1), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(keelson::strlcpy(buf, "ab", sizeof buf), 2u);
    EXPECT_STREQ(buf, "ab");
}

TEST(Strl, CatReturnsNewLengthOrOldWhenFull) {
    char buf[8] = "abc";
    EXPECT_EQ(keelson::strlcat(buf, "defgh", sizeof buf), 7u);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(keelson::strlcat(buf, "x", sizeof buf), 7u);
    EXPECT_STREQ(buf, "abcdefg");
}

TEST(Utils, CleanupMediaidDropsTabsAndLineEnds) {
    char s[] = "a\tb\rc\nd";
    EXPECT_STREQ(utils_cleanup_mediaid(s), "abcd");
}

TEST(Utils, MkdirPCreatesEveryLevelAndIsIdempotent) {
    TempDir tmp;
    std::string p = tmp / "a/b/c";
    EXPECT_EQ(utils_mkdir_p(p.data(), 0777), 0);
    EXPECT_TRUE(std::filesystem::is_directory(p));
    EXPECT_EQ(p, tmp / "a/b/c") << "the path must be restored after the walk";
    EXPECT_EQ(utils_mkdir_p(p.data(), 0777), 0);
    std::string trailing = tmp / "x/y/";
    EXPECT_EQ(utils_mkdir_p(trailing.data(), 0777), 0);
    EXPECT_TRUE(std::filesystem::is_directory(tmp / "x/y"));
    char empty[] = "";
    EXPECT_EQ(utils_mkdir_p(empty, 0777), 0);
}

TEST(Utils, MkdirPBelowARegularFileFailsWithENOTDIR) {
    TempDir tmp;
    testsupport::write_file(tmp / "file", "x");
    std::string p = tmp / "file/sub";
    EXPECT_EQ(utils_mkdir_p(p.data(), 0777), -ENOTDIR);
    // An existing entry of the name counts as success, even a file.
    std::string f = tmp / "file";
    EXPECT_EQ(utils_mkdir_p(f.data(), 0777), 0);
}

TEST(Utils, MkdirPModeIsLessTheUmask) {
    TempDir tmp;
    const mode_t old = umask(0);
    std::string p = tmp / "m";
    utils_mkdir_p(p.data(), 0777);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST(Utils, CanonizeFilename) {
    char dst[4096];
    EXPECT_STREQ(utils_canonize_filename("x/../../y", dst), "/x/y");
    EXPECT_STREQ(utils_canonize_filename("a//b", dst), "/a/b");
    EXPECT_STREQ(utils_canonize_filename("a<b&c", dst), "/abc");
    EXPECT_STREQ(utils_canonize_filename("a\\\"b>", dst), "/ab");
    EXPECT_STREQ(utils_canonize_filename("../etc/passwd", dst), "/etc/passwd");
    EXPECT_STREQ(utils_canonize_filename("/a/./b/..", dst), "/a/b/..");
    // Without a destination the result is a new buffer for the caller.
    char* fresh = utils_canonize_filename("q", nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_STREQ(fresh, "/q");
    free(fresh);
}

TEST(Utils, CanonizeFilenameKeepsRoomForTheLeadingSlash) {
    std::string longname(5000, 'a');
    char dst[4096];
    utils_canonize_filename(longname.c_str(), dst);
    EXPECT_EQ(strlen(dst), 4095u);
    EXPECT_EQ(dst[0], '/');
}

TEST(Utils, TimevalDiff) {
    const timeval b{2, 100};
    const timeval a{1, 900};
    EXPECT_EQ(utils_timeval_diff_us(&b, &a), 999200);
    EXPECT_EQ(utils_timeval_diff_us(&a, &b), -999200);
}

TEST(Utils, LoadFile) {
    TempDir tmp;
    testsupport::write_file(tmp / "empty", "");
    void* buf = nullptr;
    int size = -1;
    ASSERT_EQ(utils_load_file((tmp / "empty").c_str(), &buf, &size), 0);
    EXPECT_EQ(size, 0);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(static_cast<char*>(buf)[0], '\0');
    free(buf);

    testsupport::write_file(tmp / "text", "hello");
    ASSERT_EQ(utils_load_file((tmp / "text").c_str(), &buf, &size), 0);
    EXPECT_EQ(size, 5);
    EXPECT_STREQ(static_cast<char*>(buf), "hello");
    free(buf);

    EXPECT_EQ(utils_load_file(tmp.path().c_str(), &buf, &size), -2);
    EXPECT_EQ(utils_load_file((tmp / "missing").c_str(), &buf, &size), -ENOENT);
}

TEST(Utils, RmdirRemovesTheTreeButNotWhatALinkPointsAt) {
    TempDir tmp;
    std::filesystem::create_directories(tmp / "tree/sub/deeper");
    std::filesystem::create_directories(tmp / "outside");
    testsupport::write_file(tmp / "tree/sub/deeper/f", "1");
    testsupport::write_file(tmp / "tree/g", "2");
    testsupport::write_file(tmp / "outside/keep", "3");
    std::filesystem::create_directory_symlink(tmp / "outside", tmp / "tree/link");
    EXPECT_EQ(utils_rmdir_r((tmp / "tree").c_str()), 0);
    EXPECT_FALSE(testsupport::file_exists(tmp / "tree"));
    EXPECT_EQ(testsupport::read_file(tmp / "outside/keep"), "3");
    EXPECT_EQ(utils_rmdir_r((tmp / "tree").c_str()), -ENOENT);
}

TEST(Utils, FreeSpaceOfAnExistingFileSystem) {
    uint64_t free_space = 0;
    uint64_t total = 0;
    EXPECT_EQ(utils_free_space("/", &free_space, &total), 0);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free_space, total);
    EXPECT_EQ(utils_free_space("/no/such/place", &free_space, &total), -ENOENT);
}

TEST(Utils, FindLocalFileFallsBackToTheName) {
    char dst[4096];
    // The test program's own folder holds its CTest file.
    utils_find_local_file(dst, sizeof dst, "CTestTestfile.cmake", "nowhere", ".", nullptr);
    EXPECT_TRUE(testsupport::file_exists(dst)) << dst;
    EXPECT_NE(std::string(dst).find("/./CTestTestfile.cmake"), std::string::npos);
    EXPECT_STREQ(utils_find_local_file(dst, sizeof dst, "no-such-file", "a", "b", nullptr), "no-such-file");
}
