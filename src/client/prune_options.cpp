// The options of BrindlewoodClient prune, in a table of their own: the other
// commands' options, and the prefixes that abbreviate them, stay as they are.
#include <getopt.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "client/prune.h"
#include "client/prune_fs.h"

namespace client {
namespace {

const char* const PRUNE_USAGE =
    "Usage: BrindlewoodClient prune --lib-path DIR [--keep-days N] [--min-free SIZE|PCT]\n"
    "           [--tasks-path DIR [--keep-tasks-days N]] [--dry-run]\n"
    "Removes whole hour folders of the media library, oldest first, until every\n"
    "limit given holds (at least one is needed), and then the day, month and year\n"
    "folders they leave empty. The current UTC hour and the one before it are\n"
    "never removed, nor an hour that a queued or running export task plays.\n"
    "  --lib-path DIR       the media library's root\n"
    "  --keep-days N        remove the hours that ended more than N days ago\n"
    "  --min-free SIZE|PCT  remove the oldest hours until this much is free on the\n"
    "                       library's file system: bytes, or with K, M, G or T\n"
    "                       (powers of 1024, 500G), or a share of its size (15%)\n"
    "  --tasks-path DIR     the export daemon's tasks folder: the hours its queued\n"
    "                       and running tasks play are kept\n"
    "  --keep-tasks-days N  also remove finished task folders (done, failed or never\n"
    "                       loaded) whose state last changed more than N days ago;\n"
    "                       the highest-numbered one always stays\n"
    "  --dry-run            list what would go and remove nothing\n"
    "Prints a line for each hour folder (hour YYYY/MM/DD/HH) and task folder\n"
    "(task NNNNN) it removes, then one summary line:\n"
    "  prune: removed H hours (B bytes, 5.2 GiB), T task folders (B bytes, 1.0 MiB);\n"
    "  free B bytes (81.4 GiB, 32%) on the library's file system\n"
    "(\"would remove\" and \"free would be\" in a dry run). Exit status 0; 1 when it\n"
    "refuses, fails part way, or cannot reach --min-free; 2 for an unknown option.\n";

enum prune_opt_code {
    OPT_LIB = 400,
    OPT_TASKS,
    OPT_KEEP_DAYS,
    OPT_MIN_FREE,
    OPT_KEEP_TASKS_DAYS,
    OPT_DRY_RUN,
    OPT_HELP,
};

const struct option prune_options[] = {
    {"lib-path", required_argument, nullptr, OPT_LIB},
    {"tasks-path", required_argument, nullptr, OPT_TASKS},
    {"keep-days", required_argument, nullptr, OPT_KEEP_DAYS},
    {"min-free", required_argument, nullptr, OPT_MIN_FREE},
    {"keep-tasks-days", required_argument, nullptr, OPT_KEEP_TASKS_DAYS},
    {"dry-run", no_argument, nullptr, OPT_DRY_RUN},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

// A hundred years: more is a typing slip.
constexpr int MAX_DAYS = 36500;

bool parse_days(const char* text, std::optional<int>* days) {
    char* end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (!isdigit(static_cast<unsigned char>(text[0])) || *end != '\0' || errno != 0 || v > MAX_DAYS) return false;
    *days = static_cast<int>(v);
    return true;
}

// A plain decimal number ("15", "2.5"), nothing else strtod would take.
bool parse_decimal(std::string_view text, double* value) {
    const size_t dot = text.find('.');
    const auto all_digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!all_digits(text.substr(0, dot)) || (dot != std::string_view::npos && !all_digits(text.substr(dot + 1)))) {
        return false;
    }
    *value = strtod(std::string(text).c_str(), nullptr);
    return true;
}

// "15%", "123456789", "500G" (K, M, G and T count powers of 1024).
bool parse_free(std::string_view text, std::optional<free_target>* target) {
    free_target t;
    double value = 0;
    if (text.ends_with('%')) {
        if (!parse_decimal(text.substr(0, text.size() - 1), &value) || value >= 100) return false;
        t.percent = value;
    } else {
        static constexpr std::string_view SUFFIXES = "KMGT";
        double scale = 1;
        const size_t unit = text.empty() ? std::string_view::npos : SUFFIXES.find(toupper(text.back()));
        if (unit != std::string_view::npos) {
            for (size_t i = 0; i <= unit; ++i) scale *= 1024;
            text.remove_suffix(1);
        }
        if (!parse_decimal(text, &value) || value * scale >= 1.8e19) return false;
        t.bytes = static_cast<uint64_t>(value * scale);
    }
    *target = t;
    return true;
}

int unknown_option(const char* arg) {
    fprintf(stderr, "BrindlewoodClient: unknown or incomplete option %s\n%s", arg, PRUNE_USAGE);
    return 2;
}

// One line naming the fault, exit status 1.
int refuse(std::string_view reason) {
    prune::say(std::string(reason) + " (see prune --help)");
    return 1;
}

}  // namespace

int cmd_prune(int argc, char** argv) {
    prune_opts opts;
    optind = 1;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", prune_options, nullptr)) != -1) {
        switch (code) {
            case OPT_LIB: opts.lib_path = optarg; break;
            case OPT_TASKS: opts.tasks_path = optarg; break;
            case OPT_KEEP_DAYS:
                if (!parse_days(optarg, &opts.keep_days))
                    return refuse("--keep-days takes a number of days, 0 to 36500");
                break;
            case OPT_KEEP_TASKS_DAYS:
                if (!parse_days(optarg, &opts.keep_tasks_days)) {
                    return refuse("--keep-tasks-days takes a number of days, 0 to 36500");
                }
                break;
            case OPT_MIN_FREE:
                if (!parse_free(optarg, &opts.min_free)) {
                    return refuse(
                        "--min-free takes bytes, a size with K, M, G or T (500G), or a percentage below 100 (15%)");
                }
                break;
            case OPT_DRY_RUN: opts.dry_run = true; break;
            case OPT_HELP: fputs(PRUNE_USAGE, stdout); return 0;
            default: return unknown_option(argv[optind - 1]);
        }
    }
    if (optind < argc) return refuse(std::string("unexpected argument ") + argv[optind]);
    if (opts.lib_path.empty()) return refuse("prune needs --lib-path");
    if (!opts.keep_days && !opts.min_free) return refuse("prune needs a limit: --keep-days, --min-free or both");
    if (opts.keep_tasks_days && opts.tasks_path.empty()) return refuse("--keep-tasks-days needs --tasks-path");
    prune_report report;
    return run_prune(opts, static_cast<int64_t>(time(nullptr)), stdout, &report);
}

}  // namespace client
