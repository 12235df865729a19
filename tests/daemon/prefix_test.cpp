// Options added to a daemon must not change what a prefix that worked
// before means: for every prefix of every option name of the table as it
// first stood, getopt_long on that table and on the daemon's real one give
// the same option, or the same kind of error. Built once per daemon.
#include <getopt.h>
#include <gtest/gtest.h>

#include <string>

#include "support/support.h"

#if defined(PREFIX_TEST_EXPORTER)
#include "exporter/instance.h"
#define PREFIX_SUITE ExporterOptionPrefixes
namespace daemon_opts = exporter;
#else
#include "register/instance.h"
#define PREFIX_SUITE RegisterOptionPrefixes
namespace daemon_opts = brindlewood;
#endif

using testsupport::StderrCapture;
using testsupport::TempDir;

namespace {

// The rows both daemons have always had, with their codes.
#define FIRST_COMMON_ROWS                                                                                   \
    {"log-file-name", required_argument, nullptr, '6'}, {"log-rotate-interval", required_argument, nullptr, '7'}, \
        {"demonize", no_argument, nullptr, 'd'}, {"nodemonize", no_argument, nullptr, 'n'},                  \
        {"help", no_argument, nullptr, 'h'}, {"realtime-io", no_argument, nullptr, 250},                    \
        {"cpu-affinity", required_argument, nullptr, 249}, {"debug", no_argument, nullptr, 248},            \
        {"realtime-cpu", required_argument, nullptr, 247}, {nullptr, 0, nullptr, 0}

#if defined(PREFIX_TEST_EXPORTER)
const struct option first_table[] = {
    {"ffprobe-path", required_argument, nullptr, 150}, {"ffmpeg-path", required_argument, nullptr, 151},
    {"tasks-path", required_argument, nullptr, 153},   {"ws-port", required_argument, nullptr, 155},
    {"lib0-path", required_argument, nullptr, 156},    {"lib1-path", required_argument, nullptr, 157},
    {"lib2-path", required_argument, nullptr, 158},    {"lib3-path", required_argument, nullptr, 159},
    FIRST_COMMON_ROWS,
};
#else
const struct option first_table[] = {
    {"ffprobe-path", required_argument, nullptr, 150}, {"ffmpeg-path", required_argument, nullptr, 151},
    {"lib-path", required_argument, nullptr, 152},     {"watch-path", required_argument, nullptr, 153},
    {"tmp-path", required_argument, nullptr, 154},     FIRST_COMMON_ROWS,
};
#endif

// What getopt_long makes of one argument: the option's code, or the kind of
// error it reports.
std::string answer(const struct option* table, const std::string& arg, const TempDir& tmp) {
    std::string program = "daemon";
    std::string word = arg;
    char* argv[] = {program.data(), word.data(), nullptr};
    optind = 0;
    opterr = 1;  // the message tells an ambiguous prefix from an unknown one
    optopt = 0;
    int index = 0;
    StderrCapture err(tmp / "getopt");
    const int code = getopt_long(2, argv, "h", table, &index);
    err.restore();
    if (code != '?') return "option " + std::to_string(code);
    const std::string text = err.text();
    for (const char* kind : {"ambiguous", "unrecognized", "requires an argument", "doesn't allow an argument"}) {
        if (text.find(kind) != std::string::npos) return kind;
    }
    return "unknown error: " + text;
}

}  // namespace

TEST(PREFIX_SUITE, EveryFormerPrefixResolvesAsBefore) {
    TempDir tmp;
    for (const struct option* o = first_table; o->name != nullptr; ++o) {
        const std::string name = o->name;
        for (size_t n = 1; n <= name.size(); ++n) {
            const std::string prefix = "--" + name.substr(0, n);
            for (const std::string& arg : {prefix, prefix + "=1"}) {
                EXPECT_EQ(answer(daemon_opts::instance_long_options(), arg, tmp), answer(first_table, arg, tmp)) << arg;
            }
        }
    }
    optind = 0;
    opterr = 0;
}
