#include "exporter/instance.h"

namespace exporter {

namespace {

const struct option long_options[] = {
    {"ffprobe-path", required_argument, nullptr, 150},
    {"ffmpeg-path", required_argument, nullptr, 151},
    {"tasks-path", required_argument, nullptr, 153},
    {"ws-port", required_argument, nullptr, 155},
    {"lib0-path", required_argument, nullptr, 156},
    {"lib1-path", required_argument, nullptr, 157},
    {"lib2-path", required_argument, nullptr, 158},
    {"lib3-path", required_argument, nullptr, 159},
    // Not in the usage text, which stays as it has always been.
    {"listen", required_argument, nullptr, 160},
    {"access-token-file", required_argument, nullptr, 161},
    DEFAULT_INSTANCE_LONG_OPTS,
    {nullptr, 0, nullptr, 0},
};

bool set_own_opt(instance_t* instance, int code, const char* value) {
    auto& path = instance->path;
    switch (code) {
        case 150: keelson::st_str(path.ffprobe, sizeof path.ffprobe, value); return true;
        case 151: keelson::st_str(path.ffmpeg, sizeof path.ffmpeg, value); return true;
        case 153: keelson::st_str(path.tasks, sizeof path.tasks, value); return true;
        case 155: instance->ws.port = keelson::st_int(value); return true;
        case 156:
        case 157:
        case 158:
        case 159: keelson::st_str(path.libs[code - 156], sizeof path.libs[0], value); return true;
        case 160: keelson::st_str(instance->ws.listen, sizeof instance->ws.listen, value); return true;
        case 161: keelson::st_str(instance->ws.token_file, sizeof instance->ws.token_file, value); return true;
        default: return false;
    }
}

}  // namespace

INSTANCE_FUNCTIONS("    --port=<N>                             xmlrpc control port\n")

}  // namespace exporter
