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
