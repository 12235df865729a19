// What both daemons' instance records and option parsers share: the common
// tail of the record, the common options, the usage tail and the parse loop.
#pragma once

#include <getopt.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "common/opts.h"
#include "strl.h"
#include "version.h"

// The fields every instance_t ends with, in this order.
#define DEFAULT_INSTANCE_PARAMS        \
    int cpu_affinity;                  \
    int f_realtime_io;                 \
    int realtime_cpu;                  \
    std::atomic<int>* p_exit;          \
    int f_debug;                       \
    int f_demonize;                    \
    int f_nodemonize;                  \
    char last_opts_file[PATH_MAX];     \
    char log_file_name[PATH_MAX];      \
    int log_rotate_interval;

// The common rows of every option table, after the daemon's own rows.
#define DEFAULT_INSTANCE_LONG_OPTS                           \
    {"log-file-name", required_argument, nullptr, '6'},      \
        {"log-rotate-interval", required_argument, nullptr, '7'}, \
        {"demonize", no_argument, nullptr, 'd'},             \
        {"nodemonize", no_argument, nullptr, 'n'},           \
        {"help", no_argument, nullptr, 'h'},                 \
        {"realtime-io", no_argument, nullptr, 250},          \
        {"cpu-affinity", required_argument, nullptr, 249},   \
        {"debug", no_argument, nullptr, 248},                \
        {"realtime-cpu", required_argument, nullptr, 247}

#define DEFAULT_INSTANCE_USAGE                                         \
    "    --demonize                         Become daemon on executing\n" \
    "\n"                                                               \
    "                                       Log file operation\n"      \
    "    --log-file-name=<STR>\n"                                      \
    "    --log-rotate-interval=<INT>\n"                                \
    "\n"                                                               \
    "    -h, --help                         Show this help and usage\n"

#define COPYRIGHT_STRING "Copyright (c) 2026 the Brindlewood developers"
#define PRODUCT_BANNER(name) name "-" GITVERSION ", " COPYRIGHT_STRING

namespace keelson {

constexpr int DEFAULT_LOG_ROTATE_INTERVAL = 86400;

// String options always end NUL-terminated: a longer value is cut to
// PATH_MAX - 1 bytes, the rest of the field zero-filled.
inline void st_str(char* field, size_t max, const char* value) {
    memset(field, 0, max);
    keelson::strlcpy(field, value, max);
}

inline int st_int(const char* value) { return atoi(value); }

// Applies one of the common options; false when code is not one of them.
template <class Instance>
bool instance_set_common_opt(Instance* instance, int code, const char* value) {
    switch (code) {
        case '6': st_str(instance->log_file_name, sizeof instance->log_file_name, value); return true;
        case '7': instance->log_rotate_interval = st_int(value); return true;
        case 'd': instance->f_demonize = 1; return true;
        case 'n': instance->f_nodemonize = 1; return true;
        case 250: instance->f_realtime_io = 1; return true;
        case 249: instance->cpu_affinity = st_int(value); return true;
        case 248: instance->f_debug++; return true;
        case 247: instance->realtime_cpu = st_int(value); return true;
        default: return false;
    }
}

// Writes the whole usage text to standard error in one write.
inline int write_usage(std::string_view banner, std::string_view program, std::string_view own_lines) {
    std::string text;
    text.append(banner).append("\nUsage:\n    ").append(program).append(" [args]\nWhere args:\n");
    text.append(own_lines).append(DEFAULT_INSTANCE_USAGE);
    ssize_t n = write(STDERR_FILENO, text.data(), text.size());
    (void)n;
    return 0;
}

// What a daemon's instance_opts plugs into the shared parse loop.
struct opts_table {
    const struct option* long_options;
    const char* default_log_file_name;
    int (*usage)();
    opts_callback file_cb;
};

// The parse routine of both daemons. own(instance, code, value) applies the
// daemon's own rows and returns false for a code it does not know. Returns 0
// when parsing ran to the end, -1 after help or an incorrect argument.
template <class Instance, class OwnOpts>
int instance_parse(Instance* instance, int argc, char** argv, const opts_table& table, OwnOpts own) {
    optind = 0;  // 0 makes getopt_long start afresh, also inside option files
    opterr = 0;
    optopt = 0;
    st_str(instance->log_file_name, sizeof instance->log_file_name, table.default_log_file_name);
    instance->log_rotate_interval = DEFAULT_LOG_ROTATE_INTERVAL;

    int index = 0;
    int code;
    while ((code = getopt_long(argc, argv, "h", table.long_options, &index)) != -1) {
        if (code == 'h') {
            table.usage();
            return -1;
        }
        if (own(instance, code, optarg) || instance_set_common_opt(instance, code, optarg)) continue;
        fprintf(stderr, "ERROR: Incorrect argument! [%s]\n", argv[optind - 1]);
        table.usage();
        return -1;
    }
    opts_from_file_process(instance, argc, argv, optind, table.file_cb);
    return 0;
}

// A zero-filled record in *pinstance: -22 without a place to put it, -12 when
// it cannot be allocated.
template <class Instance>
int instance_create(Instance** pinstance) {
    if (pinstance == nullptr) return -22;
    try {
        *pinstance = std::make_unique<Instance>().release();
    } catch (const std::bad_alloc&) {
        return -12;
    }
    return 0;
}

// Frees the record and clears the pointer; -12 when there was none.
template <class Instance>
int instance_destroy(Instance** pinstance) {
    if (pinstance == nullptr) return -22;
    std::unique_ptr<Instance> owned(std::exchange(*pinstance, nullptr));
    return owned ? 0 : -12;
}

}  // namespace keelson

// The instance functions every daemon has, around its own long_options
// table, set_own_opt and the usage lines of its own options; expanded in the
// daemon's own namespace, where its instance.h declares them.
#define INSTANCE_FUNCTIONS(own_usage_lines)                                                                    \
    namespace {                                                                                                \
    int usage() { return instance_usage(nullptr); }                                                            \
    }                                                                                                          \
    const struct option* instance_long_options() { return long_options; }                                      \
    OPTS_FROM_FILE_CB(instance_opts)                                                                           \
    int instance_init(instance_t** pinstance) { return keelson::instance_create(pinstance); }                 \
    int instance_release(instance_t** pinstance) { return keelson::instance_destroy(pinstance); }             \
    int instance_usage(instance_t* instance) {                                                                 \
        (void)instance;                                                                                        \
        return keelson::write_usage(PRODUCT_STRING, PRODUCT_NAME, own_usage_lines);                            \
    }                                                                                                          \
    int instance_opts(instance_t* instance, int argc, char** argv) {                                           \
        static const keelson::opts_table table{long_options, PRODUCT_NAME ".log", usage, opts_from_file_cb};  \
        return keelson::instance_parse(instance, argc, argv, table, set_own_opt);                              \
    }
