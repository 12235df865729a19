#include "register/tools.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <string>

#include "execute.h"
#include "logger.h"
#include "register/register.h"
#include "text.h"
#include "utils.h"

namespace {

constexpr const char* PROBE = "register_ffprobe";
constexpr const char* THUMB = "register_thumb";

constexpr const char* PROBE_ERR = "/tmp/Brindlewood.ffprobe.err";

// execute's vectors are never written through; posix_spawn just wants char*.
char* arg(const char* s) { return const_cast<char*>(s); }

// Reports a tool killed for hanging on the file what.
void log_stalled(const char* who, const char* what, int seconds) {
    logger_printf(1, "%s: [%s] made no progress for %d s, killed", who, text_escape(what).c_str(), seconds);
}

// The shared error file, unless another user's daemon made it: /tmp is
// sticky, so we could never open it and every probe would fail. Then a name
// of our own process.
void probe_err_path(char (&path)[PATH_MAX]) {
    const int why = access(PROBE_ERR, W_OK) == 0 ? 0 : errno;
    if (why == 0 || why == ENOENT) {
        snprintf(path, sizeof path, "%s", PROBE_ERR);
        return;
    }
    snprintf(path, sizeof path, "%s.%d", PROBE_ERR, getpid());
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        logger_printf(1, "%s: [%s] is not ours to write (%s); ffprobe writes its errors into [%s]", PROBE, PROBE_ERR,
                      register_errno_text(why), path);
    }
}

int64_t probe_number(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    if (s.starts_with('+')) s.remove_prefix(1);
    int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    (void)end;
    return ec == std::errc() ? v : 0;
}

int probe_key(std::string_view line, std::string_view key, int64_t* value) {
    if (!line.starts_with(key)) return 0;
    *value = probe_number(line.substr(key.size()));
    return 1;
}

}  // namespace

int register_ffprobe(const char* ffprobe, const char* path, int64_t* duration_ts, int64_t* start_pts,
                     const std::atomic<int>* exit_flag) {
    char* args[] = {arg(ffprobe), arg("-i"), arg(path), arg("-select_streams"), arg("v:0"),
                    arg("-show_streams"), arg("-of"), arg("ini"), nullptr};
    char* envs[] = {nullptr};
    char log[PATH_MAX];
    snprintf(log, sizeof log, "/tmp/Brindlewood.ffprobe.%d", getpid());
    unlink(log);
    char err[PATH_MAX];
    probe_err_path(err);
    int pid = 0;
    execute_watch watch{exit_flag, {log, err}};
    int r = execute_watched(ffprobe, &pid, args, envs, log, err, &watch);
    if (watch.stalled) log_stalled(PROBE, path, watch.stalled);
    if (r != 0) {
        logger_printf(0, "%s: ffprobe(%s)=%d", PROBE, path, r);
        return r;
    }
    std::string text;
    r = utils_read_text(log, &text);
    if (r < 0) {
        logger_printf(0, "%s: fopen(%s)=%d", PROBE, log, r);
        return r;
    }
    return register_parse_probe(text, duration_ts, start_pts);
}

int register_parse_probe(std::string_view text, int64_t* duration_ts, int64_t* start_pts) {
    int count = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        line = line.substr(0, line.find('\r'));
        count += probe_key(line, "start_pts=", start_pts);
        count += probe_key(line, "duration_ts=", duration_ts);
    }
    return count;
}

int register_thumb(const char* ffmpeg, const char* src, const char* dst, const std::atomic<int>* exit_flag) {
    char* args[] = {arg(ffmpeg), arg("-i"), arg(src), arg("-vframes"), arg("1"), arg("-vf"), arg("scale=96:54"),
                    arg("-y"), arg(dst), nullptr};
    char* envs[] = {nullptr};
    logger_printf(0, "%s: building thumb (%s)...", THUMB, dst);
    int pid = 0;
    execute_watch watch{exit_flag, {dst}};
    const int r = execute_watched(ffmpeg, &pid, args, envs, nullptr, nullptr, &watch);
    if (watch.stalled) log_stalled(THUMB, dst, watch.stalled);
    return r;
}
