#include "register/instance.h"

namespace brindlewood {

namespace {

const struct option long_options[] = {
    {"ffprobe-path", required_argument, nullptr, 150},
    {"ffmpeg-path", required_argument, nullptr, 151},
    {"lib-path", required_argument, nullptr, 152},
    {"watch-path", required_argument, nullptr, 153},
    {"tmp-path", required_argument, nullptr, 154},
    DEFAULT_INSTANCE_LONG_OPTS,
    {nullptr, 0, nullptr, 0},
};

bool set_own_opt(instance_t* instance, int code, const char* value) {
    auto& path = instance->path;
    switch (code) {
        case 150: keelson::st_str(path.ffprobe, sizeof path.ffprobe, value); return true;
        case 151: keelson::st_str(path.ffmpeg, sizeof path.ffmpeg, value); return true;
        case 152: keelson::st_str(path.lib, sizeof path.lib, value); return true;
        case 153: keelson::st_str(path.watch, sizeof path.watch, value); return true;
        case 154: keelson::st_str(path.tmp, sizeof path.tmp, value); return true;
        default: return false;
    }
}

}  // namespace

INSTANCE_FUNCTIONS("    --port=<N>                             xmlrpc control port\n")

}  // namespace brindlewood
