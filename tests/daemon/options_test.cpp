// Option parsing and option files, run in-process on the register daemon's
// parser (the export daemon shares the same loop).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/opts.h"
#include "register/instance.h"
#include "support/support.h"

using testsupport::StderrCapture;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

struct Parsed {
    instance_t* instance = nullptr;
    int result = 0;
    std::string err;
    Parsed() = default;
    Parsed(const Parsed&) = delete;
    ~Parsed() { instance_release(&instance); }
};

// Parses args (after a program name) into a fresh record, capturing stderr.
void parse(Parsed* p, const TempDir& tmp, std::vector<std::string> args) {
    args.insert(args.begin(), "Brindlewood");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ASSERT_EQ(instance_init(&p->instance), 0);
    StderrCapture err(tmp / "stderr");
    p->result = instance_opts(p->instance, static_cast<int>(args.size()), argv.data());
    err.restore();
    p->err = err.text();
}

// What a callback saw of an option file.
std::vector<std::string> seen_args;
int record_args(int argc, char** argv, void*) {
    seen_args.assign(argv, argv + argc);
    return 0;
}

}  // namespace

TEST(Options, DefaultsAndCommonOptions) {
    TempDir tmp;
    Parsed p;
    parse(&p, tmp, {"--debug", "--debug", "--log-rotate-interval=abc", "--cpu-affinity", "3", "--realtime-cpu=2",
                    "--realtime-io", "--demonize", "--nodemonize", "--lib-path", "/lib/root", "--tmp-path=/hold"});
    ASSERT_EQ(p.result, 0) << p.err;
    EXPECT_STREQ(p.instance->log_file_name, "Brindlewood.log");
    EXPECT_EQ(p.instance->log_rotate_interval, 0) << "a non-number reads as 0";
    EXPECT_EQ(p.instance->f_debug, 2);
    EXPECT_EQ(p.instance->cpu_affinity, 3);
    EXPECT_EQ(p.instance->realtime_cpu, 2);
    EXPECT_EQ(p.instance->f_realtime_io, 1);
    EXPECT_EQ(p.instance->f_demonize, 1);
    EXPECT_EQ(p.instance->f_nodemonize, 1);
    EXPECT_STREQ(p.instance->path.lib, "/lib/root");
    EXPECT_STREQ(p.instance->path.tmp, "/hold");
    EXPECT_EQ(p.err, "");

    Parsed none;
    parse(&none, tmp, {});
    EXPECT_EQ(none.instance->log_rotate_interval, 86400);
    EXPECT_EQ(none.instance->f_demonize, 0);
}

TEST(Options, AbbreviationsAndIncorrectArguments) {
    TempDir tmp;
    Parsed abbrev;
    parse(&abbrev, tmp, {"--watch=/w", "--ffprobe=/usr/bin/ffprobe"});
    EXPECT_EQ(abbrev.result, 0);
    EXPECT_STREQ(abbrev.instance->path.watch, "/w");
    EXPECT_STREQ(abbrev.instance->path.ffprobe, "/usr/bin/ffprobe");

    for (const std::string bad : {"-d", "--port=5", "--de"}) {
        Parsed p;
        parse(&p, tmp, {"--lib-path=/kept", bad, "--tmp-path=/never"});
        EXPECT_EQ(p.result, -1) << bad;
        EXPECT_EQ(p.err.substr(0, p.err.find('\n') + 1), "ERROR: Incorrect argument! [" + bad + "]\n");
        EXPECT_NE(p.err.find("Usage:\n"), std::string::npos);
        EXPECT_STREQ(p.instance->path.lib, "/kept") << "options before the bad one keep their effect";
        EXPECT_STREQ(p.instance->path.tmp, "");
    }
    Parsed missing;
    parse(&missing, tmp, {"--log-file-name"});
    EXPECT_EQ(missing.result, -1);
    EXPECT_EQ(missing.err.substr(0, missing.err.find('\n') + 1), "ERROR: Incorrect argument! [--log-file-name]\n");
}

TEST(Options, OverLongStringIsCutAndStaysTerminated) {
    TempDir tmp;
    Parsed p;
    parse(&p, tmp, {"--lib-path=" + std::string(5000, 'L'), "--log-file-name=" + std::string(4096, 'n')});
    ASSERT_EQ(p.result, 0);
    EXPECT_EQ(strlen(p.instance->path.lib), 4095u);
    EXPECT_EQ(strlen(p.instance->log_file_name), 4095u);
    // The next field is untouched by the cut value.
    EXPECT_STREQ(p.instance->path.tmp, "");
}

TEST(OptionFiles, LinesBecomeWholeArguments) {
    TempDir tmp;
    const std::string f = tmp / "opts";
    write_file(f, "# a comment\n   --demonize \t\n\n  # indented comment\n--lib-path=/a b # not a comment\r\n");
    seen_args.clear();
    EXPECT_EQ(opts_from_file(f.c_str(), nullptr, record_args), 0);
    ASSERT_EQ(seen_args.size(), 3u);
    EXPECT_EQ(seen_args[0], f);
    EXPECT_EQ(seen_args[1], "--demonize");
    EXPECT_EQ(seen_args[2], "--lib-path=/a b # not a comment");

    write_file(f, "# only comments\n\n");
    seen_args.clear();
    EXPECT_EQ(opts_from_file(f.c_str(), nullptr, record_args), 0);
    EXPECT_TRUE(seen_args.empty()) << "a file without arguments is not parsed";

    StderrCapture err(tmp / "err");
    EXPECT_EQ(opts_from_file((tmp / "missing").c_str(), nullptr, record_args), 1);
    err.restore();
    EXPECT_EQ(err.text(), "opts_from_file: failed to open [" + tmp / "missing" + "]\n");

    // The text alone, read as the file is: a line longer than 4095 bytes
    // comes in pieces, and a NUL ends a line's text.
    bool more = true;
    const std::string long_line = "--" + std::string(4998, 'a');
    EXPECT_EQ(opts_from_text(long_line + std::string("\n--b\0junk\n #c\n--d", 17), &more),
              (std::vector<std::string>{long_line.substr(0, 4095), long_line.substr(4095), "--b", "--d"}));
    EXPECT_FALSE(more);
}

TEST(OptionFiles, TwoLineOptionsAndTheDefaultsTheyRestore) {
    TempDir tmp;
    write_file(tmp / "two-line", "--log-file-name\n/var/log/x.log\n");
    Parsed two;
    parse(&two, tmp, {tmp / "two-line"});
    EXPECT_STREQ(two.instance->log_file_name, "/var/log/x.log");
    EXPECT_EQ(std::string(two.instance->last_opts_file), tmp / "two-line");

    // A file with arguments restores the two logger defaults; paths survive.
    write_file(tmp / "flags", "--nodemonize\n");
    Parsed restored;
    parse(&restored, tmp, {"--log-file-name=/tmp/a.log", "--log-rotate-interval=5", "--lib-path=/l", tmp / "flags"});
    EXPECT_STREQ(restored.instance->log_file_name, "Brindlewood.log");
    EXPECT_EQ(restored.instance->log_rotate_interval, 86400);
    EXPECT_STREQ(restored.instance->path.lib, "/l");
    EXPECT_EQ(restored.instance->f_nodemonize, 1);

    // One without arguments changes nothing.
    write_file(tmp / "empty", "# nothing\n");
    Parsed kept;
    parse(&kept, tmp, {"--log-file-name=/tmp/a.log", tmp / "empty"});
    EXPECT_STREQ(kept.instance->log_file_name, "/tmp/a.log");
}

TEST(OptionFiles, BadLineAbandonsOnlyThatFile) {
    TempDir tmp;
    write_file(tmp / "bad", "--lib-path=/from-bad\n--log-file-name /blank/instead/of/equals\n--tmp-path=/never\n");
    write_file(tmp / "good", "--watch-path=/w\n");
    Parsed p;
    parse(&p, tmp, {tmp / "bad", tmp / "good"});
    EXPECT_EQ(p.result, 0) << "the outer parse still succeeds";
    EXPECT_NE(p.err.find("ERROR: Incorrect argument! [--log-file-name /blank/instead/of/equals]\n"),
              std::string::npos);
    EXPECT_STREQ(p.instance->path.lib, "/from-bad");
    EXPECT_STREQ(p.instance->path.tmp, "");
    EXPECT_STREQ(p.instance->path.watch, "/w");
    EXPECT_EQ(std::string(p.instance->last_opts_file), tmp / "good");
}

TEST(OptionFiles, TwoFilesAreReadInOrder) {
    TempDir tmp;
    write_file(tmp / "A", "--lib-path=/a\n--tmp-path=/a\n");
    write_file(tmp / "B", "--tmp-path=/b\n");
    Parsed both;
    parse(&both, tmp, {tmp / "A", tmp / "B"});
    EXPECT_STREQ(both.instance->path.lib, "/a");
    EXPECT_STREQ(both.instance->path.tmp, "/b");
    EXPECT_EQ(std::string(both.instance->last_opts_file), tmp / "B");
    Parsed one;
    parse(&one, tmp, {tmp / "A", tmp / "no-B"});
    EXPECT_EQ(std::string(one.instance->last_opts_file), tmp / "A");
    EXPECT_NE(one.err.find("failed to open [" + tmp / "no-B" + "]"), std::string::npos);
}

TEST(OptionFiles, FilesThatIncludeThemselvesEnd) {
    TempDir tmp;
    write_file(tmp / "self", "--lib-path=/self\n" + tmp / "self" + "\n" + tmp / "self" + "\n");
    Parsed self;
    parse(&self, tmp, {tmp / "self"});
    EXPECT_EQ(self.result, 0);
    EXPECT_STREQ(self.instance->path.lib, "/self");
    EXPECT_NE(self.err.find("is already being read"), std::string::npos);

    write_file(tmp / "A", "--lib-path=/a\n" + tmp / "B" + "\n");
    write_file(tmp / "B", "--tmp-path=/b\n" + tmp / "A" + "\n");
    Parsed cycle;
    parse(&cycle, tmp, {tmp / "A"});
    EXPECT_STREQ(cycle.instance->path.lib, "/a");
    EXPECT_STREQ(cycle.instance->path.tmp, "/b");
    EXPECT_NE(cycle.err.find("[" + tmp / "A" + "] is already being read"), std::string::npos);
}

TEST(OptionFiles, DeepChainsStopAtTheNestingLimit) {
    TempDir tmp;
    constexpr int files = MAX_OPTS_FILE_DEPTH + 4;
    for (int i = 0; i < files; ++i) {
        write_file(tmp / ("f" + std::to_string(i)),
                   "--debug\n" + (i + 1 < files ? tmp / ("f" + std::to_string(i + 1)) + "\n" : ""));
    }
    Parsed p;
    parse(&p, tmp, {tmp / "f0"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.instance->f_debug, MAX_OPTS_FILE_DEPTH);
    EXPECT_NE(p.err.find("nest deeper than"), std::string::npos);
}

TEST(OptionFiles, UnreadableAndOverfullFilesEndCleanly) {
    TempDir tmp;
    std::filesystem::create_directory(tmp / "dir");
    StderrCapture err(tmp / "err");
    EXPECT_EQ(opts_from_file((tmp / "dir").c_str(), nullptr, record_args), 1);
    err.restore();
    EXPECT_NE(err.text().find("failed to read [" + tmp / "dir" + "]"), std::string::npos);

    std::string many;
    for (int i = 0; i < 5000; ++i) many += "--debug\n";
    write_file(tmp / "many", many);
    StderrCapture err2(tmp / "err2");
    seen_args.clear();
    EXPECT_EQ(opts_from_file((tmp / "many").c_str(), nullptr, record_args), 0);
    err2.restore();
    EXPECT_EQ(seen_args.size(), static_cast<size_t>(MAX_OPTS_FILE_ARGS) + 1);
    EXPECT_NE(err2.text().find("holds more than 4095 arguments"), std::string::npos);
}

TEST(Instance, ReleaseTwiceIsHarmless) {
    instance_t* p = nullptr;
    EXPECT_EQ(brindlewood::instance_init(nullptr), -22);
    ASSERT_EQ(instance_init(&p), 0);
    EXPECT_EQ(p->reg_queue.len, 0);
    EXPECT_EQ(p->path.lib[0], '\0');
    EXPECT_EQ(instance_release(&p), 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(instance_release(&p), -12);
    EXPECT_EQ(brindlewood::instance_release(nullptr), -22);
}
