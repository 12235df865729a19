// BrindlewoodClient: asks the export daemon for clips and follows them.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/commands.h"
#include "client/prune.h"
#include "client/status.h"

namespace {

const char* const USAGE =
    "Usage: BrindlewoodClient COMMAND [options]\n"
    "Talks to BrindlewoodExporter over its WebSocket port.\n"
    "\n"
    "Commands:\n"
    "  list     print the numbers of the stored tasks\n"
    "  watch    print every announcement as it arrives, until interrupted\n"
    "  submit   send a raw task object from a file or standard input\n"
    "  clip     ask for a clip of the media library by wall-clock times\n"
    "  status   print the tasks with their states, as a table or as JSON\n"
    "  prune    remove the library's oldest hours and old finished task folders\n"
    "\n"
    "Every command but prune takes --host HOST (default 127.0.0.1) and --port N,\n"
    "--token-file FILE when the daemon asks for an access token; every command\n"
    "takes --help for its own options.\n";

const char* const LIST_USAGE =
    "Usage: BrindlewoodClient list --port N [--host HOST] [--wait-ms MS]\n"
    "Prints the stored task numbers, one per line, ascending. The server sends\n"
    "the list only when it stores a task, so the command waits up to MS\n"
    "milliseconds (default 1000) and prints nothing when none comes.\n";

const char* const WATCH_USAGE =
    "Usage: BrindlewoodClient watch --port N [--host HOST]\n"
    "Prints each message of the server as it arrives, one JSON text per line,\n"
    "until interrupted (Ctrl-C).\n";

const char* const STATUS_USAGE =
    "Usage: BrindlewoodClient status (--tasks-path DIR | --port N [--host HOST] [--wait-ms MS]) [--json]\n"
    "Prints the tasks, ascending by number, as a table or, with --json, one JSON\n"
    "array of objects (task, state, state_text, title, date, from, to).\n"
    "  --tasks-path DIR   read each task folder's index.json and state; no daemon\n"
    "                     is needed\n"
    "  --port N           otherwise ask the daemon: it names the stored tasks and\n"
    "                     announces states only as they change, so a task whose\n"
    "                     state is not announced within MS milliseconds (default\n"
    "                     1000) shows as unknown, without title or times\n"
    "  --json             print JSON instead of the table; unknown values are null\n";

// Every command's usage ends with it.
const char* const CONNECT_OPTIONS =
    "  --token-file FILE  the daemon's access token, the first line of FILE, sent\n"
    "                     with the connection; a daemon that asks for one refuses\n"
    "                     a connection without it (HTTP 401, exit 1)\n";

const char* const FOLLOW_OPTIONS =
    "  --wait             follow the task until it is done or failed; exit 0 for\n"
    "                     done, 1 otherwise\n"
    "  --tasks-path DIR   the daemon's tasks folder: confirms which announced task\n"
    "                     is ours by its stored index.json, and reads its state\n"
    "                     file should an announcement be missed. Without it the\n"
    "                     first task announced after the request is taken as ours,\n"
    "                     which another client submitting at the same moment can\n"
    "                     make wrong.\n"
    "  --timeout SEC      give up following after SEC seconds (default 600)\n";

const char* const SUBMIT_USAGE =
    "Usage: BrindlewoodClient submit FILE|- --port N [--host HOST] [follow options]\n"
    "Sends the task object in FILE (or standard input for -), that is the value\n"
    "of \"new_task\", and prints the number the server announces for it.\n";

const char* const CLIP_USAGE =
    "Usage: BrindlewoodClient clip --lib-path DIR --from TIME --to TIME --port N\n"
    "           [--host HOST] [--lib-idx N] [--title TEXT] [--allow-gaps] [--exact]\n"
    "           [follow options]\n"
    "Reads the library's hour indexes, chooses the segments covering the span\n"
    "and submits the task that cuts exactly from TIME to TIME.\n"
    "TIME is an ISO 8601 date and time, UTC unless an offset is given\n"
    "(2026-12-07T13:59:30Z, 2026-12-07 14:59:30+01:00), or seconds since the epoch.\n"
    "  --lib-path DIR     the media library the daemon knows as lib<N>-path\n"
    "  --lib-idx N        which of the daemon's libraries (0 to 3, default 0)\n"
    "  --title TEXT       the clip's title\n"
    "  --allow-gaps       accept a span the library does not cover completely\n"
    "  --exact            start the clip at the exact frame of --from (behind an MP4\n"
    "                     edit list, which some players ignore) instead of at the\n"
    "                     start of the segment that holds it\n";

enum opt_code {
    OPT_HOST = 300,
    OPT_PORT,
    OPT_HELP,
    OPT_WAIT_MS,
    OPT_WAIT,
    OPT_TASKS,
    OPT_TIMEOUT,
    OPT_LIB,
    OPT_FROM,
    OPT_TO,
    OPT_LIB_IDX,
    OPT_TITLE,
    OPT_GAPS,
    OPT_EXACT,
    OPT_TOKEN_FILE,
    OPT_JSON,
};

const struct option all_options[] = {
    {"host", required_argument, nullptr, OPT_HOST},      {"port", required_argument, nullptr, OPT_PORT},
    {"help", no_argument, nullptr, OPT_HELP},            {"wait-ms", required_argument, nullptr, OPT_WAIT_MS},
    {"wait", no_argument, nullptr, OPT_WAIT},            {"tasks-path", required_argument, nullptr, OPT_TASKS},
    {"timeout", required_argument, nullptr, OPT_TIMEOUT}, {"lib-path", required_argument, nullptr, OPT_LIB},
    {"from", required_argument, nullptr, OPT_FROM},      {"to", required_argument, nullptr, OPT_TO},
    {"lib-idx", required_argument, nullptr, OPT_LIB_IDX}, {"title", required_argument, nullptr, OPT_TITLE},
    {"allow-gaps", no_argument, nullptr, OPT_GAPS},      {"exact", no_argument, nullptr, OPT_EXACT},
    {"token-file", required_argument, nullptr, OPT_TOKEN_FILE},
    {"json", no_argument, nullptr, OPT_JSON},
    {nullptr, 0, nullptr, 0},
};

struct parsed {
    client::server_opts server;
    client::follow_opts follow;
    client::clip_opts clip;
    int wait_ms = 1000;
    std::string file;
    bool help = false;
    bool json = false;
};

int usage_error(const std::string& reason, const char* usage) {
    fprintf(stderr, "BrindlewoodClient: %s\n%s", reason.c_str(), usage);
    return 2;
}

bool to_int(const char* text, int* value) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0') return false;
    *value = static_cast<int>(v);
    return true;
}

// Parses the options after the command word; 0 to go on, else an exit status.
int parse(int argc, char** argv, const char* usage, parsed* p, bool needs_port = true) {
    optind = 1;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", all_options, nullptr)) != -1) {
        int number = 0;
        switch (code) {
            case OPT_HOST: p->server.host = optarg; break;
            case OPT_PORT:
                if (!to_int(optarg, &p->server.port)) return usage_error("--port takes a number", usage);
                break;
            case OPT_HELP: p->help = true; break;
            case OPT_WAIT_MS:
                if (!to_int(optarg, &p->wait_ms)) return usage_error("--wait-ms takes a number", usage);
                break;
            case OPT_WAIT: p->follow.wait = true; break;
            case OPT_TASKS: p->follow.tasks_path = optarg; break;
            case OPT_TIMEOUT:
                if (!to_int(optarg, &number)) return usage_error("--timeout takes a number of seconds", usage);
                p->follow.timeout = std::chrono::seconds(number);
                break;
            case OPT_LIB: p->clip.lib_path = optarg; break;
            case OPT_FROM: p->clip.from = optarg; break;
            case OPT_TO: p->clip.to = optarg; break;
            case OPT_LIB_IDX:
                if (!to_int(optarg, &p->clip.lib_idx) || p->clip.lib_idx < 0 || p->clip.lib_idx > 3) {
                    return usage_error("--lib-idx takes 0 to 3", usage);
                }
                break;
            case OPT_TITLE: p->clip.title = optarg; break;
            case OPT_GAPS: p->clip.allow_gaps = true; break;
            case OPT_EXACT: p->clip.exact = true; break;
            case OPT_TOKEN_FILE: p->server.token_file = optarg; break;
            case OPT_JSON: p->json = true; break;
            default: return usage_error(std::string("unknown or incomplete option ") + argv[optind - 1], usage);
        }
    }
    if (p->help) {
        fputs(usage, stdout);
        exit(0);
    }
    if (optind < argc) p->file = argv[optind++];
    if (optind < argc) return usage_error(std::string("unexpected argument ") + argv[optind], usage);
    if (p->server.port <= 0 && needs_port) return usage_error("--port is needed", usage);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(USAGE, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    // prune reads folders only and has options of its own.
    if (command == "prune") return client::cmd_prune(argc - 1, argv + 1);
    const std::string submit_usage = std::string(SUBMIT_USAGE) + FOLLOW_OPTIONS;
    const std::string clip_usage = std::string(CLIP_USAGE) + FOLLOW_OPTIONS;
    const char* own = command == "list"     ? LIST_USAGE
                      : command == "watch"  ? WATCH_USAGE
                      : command == "submit" ? submit_usage.c_str()
                      : command == "clip"   ? clip_usage.c_str()
                      : command == "status" ? STATUS_USAGE
                                            : nullptr;
    if (own == nullptr) return usage_error("unknown command " + command, USAGE);
    const std::string usage_text = std::string(own) + CONNECT_OPTIONS;
    const char* usage = usage_text.c_str();
    parsed p;
    if (int r = parse(argc - 1, argv + 1, usage, &p, command != "status"); r != 0) return r;
    if (command == "list") return client::cmd_list(p.server, std::chrono::milliseconds(p.wait_ms));
    if (command == "watch") return client::cmd_watch(p.server);
    if (command == "status") {
        if (!p.file.empty()) return usage_error("unexpected argument " + p.file, usage);
        if (p.follow.tasks_path.empty() && p.server.port <= 0) {
            return usage_error("--tasks-path or --port is needed", usage);
        }
        return client::cmd_status(p.server, {p.follow.tasks_path, std::chrono::milliseconds(p.wait_ms), p.json});
    }
    if (command == "submit") {
        if (p.file.empty()) return usage_error("submit needs a FILE or -", usage);
        return client::cmd_submit(p.server, p.file, p.follow);
    }
    if (p.clip.lib_path.empty() || p.clip.from.empty() || p.clip.to.empty()) {
        return usage_error("clip needs --lib-path, --from and --to", usage);
    }
    return client::cmd_clip(p.server, p.clip, p.follow);
}
