// The registration pipeline's probe output parse, the sendfile copy and the
// detection of writers, on text and on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <random>

#include "handles.h"
#include "register/register.h"
#include "support/support.h"

using namespace testsupport;

namespace {

struct probe {
    int count;
    int64_t duration_ts = -7;  // untouched unless a key is found
    int64_t start_pts = -7;
};

probe parse(std::string_view text) {
    probe p{};
    p.count = register_parse_probe(text, &p.duration_ts, &p.start_pts);
    return p;
}

}  // namespace

TEST(ProbeOutput, KeysAtLineStartsAreReadAsSigned64BitNumbers) {
    const auto p = parse("[streams.stream.0]\nindex=0\nstart_pts=127920\nduration_ts=540000\nduration=6.0\n");
    EXPECT_EQ(p.count, 2);
    EXPECT_EQ(p.duration_ts, 540000);
    EXPECT_EQ(p.start_pts, 127920);
    // CR line ends, a last line without its end, negative and huge values.
    const auto q = parse("duration_ts=9000000000\r\nstart_pts=-3600");
    EXPECT_EQ(q.count, 2);
    EXPECT_EQ(q.duration_ts, 9000000000);
    EXPECT_EQ(q.start_pts, -3600);
    EXPECT_EQ(parse("start_pts=12\rjunk\n").start_pts, 12);
}

TEST(ProbeOutput, RepeatedMissingAndNonNumericKeys) {
    const auto twice = parse("duration_ts=1\nduration_ts=2\nstart_pts=5\n");
    EXPECT_EQ(twice.count, 3);
    EXPECT_EQ(twice.duration_ts, 2);
    const auto none = parse("[streams.stream.0]\n duration_ts=5\nxstart_pts=5\nduration=6\n\n");
    EXPECT_EQ(none.count, 0);
    EXPECT_EQ(none.duration_ts, -7);
    EXPECT_EQ(none.start_pts, -7);
    const auto words = parse("start_pts=N/A\nduration_ts=abc\n");
    EXPECT_EQ(words.count, 2);
    EXPECT_EQ(words.start_pts, 0);
    EXPECT_EQ(words.duration_ts, 0);
    EXPECT_EQ(parse("duration_ts=99999999999999999999\n").duration_ts, 0);
    EXPECT_EQ(parse("duration_ts=42abc\n").duration_ts, 42);
}

TEST(CopyFile, CopiesEveryByteWithModeAndTruncation) {
    TempDir dir;
    std::string data(3 * 1024 * 1024 + 17, '\0');
    std::mt19937 gen(7);
    for (char& c : data) c = static_cast<char>(gen());
    write_file(dir / "src", data);
    write_file(dir / "dst", std::string(5 * 1024 * 1024, 'x'));
    EXPECT_EQ(copy_file((dir / "src").c_str(), (dir / "dst").c_str()), static_cast<int64_t>(data.size()));
    EXPECT_EQ(read_file(dir / "dst"), data);

    const mode_t mask = umask(022);
    EXPECT_EQ(copy_file((dir / "src").c_str(), (dir / "new").c_str()), static_cast<int64_t>(data.size()));
    struct stat st;
    ASSERT_EQ(stat((dir / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    umask(mask);

    EXPECT_EQ(copy_file((dir / "missing").c_str(), (dir / "x").c_str()), -ENOENT);
    EXPECT_EQ(copy_file((dir / "src").c_str(), (dir / "no/dir").c_str()), -ENOENT);
}

TEST(CopyFile, SendfileContinuesUntilDoneAndAShortSourceFails) {
    TempDir dir;
    const std::string data(1024 * 1024 + 1, 'q');
    write_file(dir / "src", data);
    unique_fd in(open((dir / "src").c_str(), O_RDONLY));
    unique_fd out(open((dir / "dst").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    // Small steps make many calls, each ending short of the whole size.
    EXPECT_EQ(copy_fd(in.get(), out.get(), static_cast<int64_t>(data.size()), 4096), static_cast<int64_t>(data.size()));
    EXPECT_EQ(read_file(dir / "dst"), data);
    // A source that has fewer bytes than it claimed is a failed copy.
    unique_fd out2(open((dir / "dst2").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    EXPECT_EQ(copy_fd(in.get(), out2.get(), static_cast<int64_t>(data.size()) + 100, 65536), -EIO);
}

// A writer is found by the lease and, where leases are not permitted, among
// the descriptors of the processes; a reader is no writer.
TEST(OpenForWriting, WritersAreFoundByLeaseAndThroughProc) {
    TempDir dir;
    const std::string file = dir / "1600000000.ts";
    write_file(file, "segment");
    EXPECT_FALSE(register_open_for_writing(file.c_str()));
    EXPECT_FALSE(register_proc_writer(file.c_str()));
    for (const char* open_as : {"3>>", "3<>", "3<"}) {
        const bool writes = std::string(open_as) != "3<";
        Process holder("/bin/sh", {"-c", std::string("exec ") + open_as + "'" + file + "'; exec sleep 30"}, dir.path());
        ASSERT_TRUE(wait_until([&] {
            return read_file("/proc/" + std::to_string(holder.pid()) + "/cmdline").starts_with("sleep");
        })) << open_as;
        EXPECT_EQ(register_open_for_writing(file.c_str()), writes) << open_as;
        EXPECT_EQ(register_proc_writer(file.c_str()), writes) << open_as;
    }
    EXPECT_FALSE(register_proc_writer((dir / "missing.ts").c_str()));
}
