#include "exporter/routes_library.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "archive/library_playlist.h"
#include "archive/timearg.h"
#include "exporter/http_parse.h"
#include "exporter/library_cache.h"
#include "exporter/library_live.h"
#include "exporter/routes_api.h"

namespace {

// A registered segment never changes, nor does its thumbnail.
constexpr const char* IMMUTABLE = "public, max-age=31536000, immutable";
constexpr const char* PLAYLIST_TYPE = "application/vnd.apple.mpegurl";
// The longest span of a VOD playlist: a day is 14,400 segments of 6 s.
constexpr uint64_t MAX_PLAY_SPAN = 24 * 3600;

// "N/YYYY/MM/DD/HH/NAME" taken apart: library, year, month, day, hour, name.
using library_path = std::array<std::string_view, 6>;

bool split_library_path(std::string_view rest, library_path* parts) {
    for (size_t i = 0; i < parts->size(); ++i) {
        const size_t slash = rest.find('/');
        const bool last = i + 1 == parts->size();
        if ((slash == std::string_view::npos) != last) return false;
        (*parts)[i] = rest.substr(0, slash);
        if ((*parts)[i].empty()) return false;
        rest.remove_prefix(last ? rest.size() : slash + 1);
    }
    return true;
}

// A file of the layout that the path names.
struct library_file {
    int lib = 0;
    std::string hour;     // "YYYY/MM/DD/HH"
    std::string segment;  // the registered name of the segment
    const char* type = nullptr;
};

// The segment a name stands for: itself, or the one whose thumbnail it is
// (its ".ts" replaced by ".jpg", or ".jpg" appended when the library root
// holds a ".ts" of its own).
bool segment_of_name(std::string_view name, library_file* f) {
    if (name.ends_with(".ts")) {
        f->segment = name;
        f->type = "video/mp2t";
        return true;
    }
    if (!name.ends_with(".jpg")) return false;
    const std::string_view stem = name.substr(0, name.size() - 4);
    f->segment = stem.ends_with(".ts") ? std::string(stem) : std::string(stem) + ".ts";
    f->type = "image/jpeg";
    return true;
}

// Only a name the layout gives a registered segment: the hour folder of the
// time its name begins with, a name the register daemon takes, a thumbnail
// by the thumbnail rule, and a line in the hour's index for it (its copy and
// thumbnail are whole once that is written; before, a player would keep
// half a file for a year).
bool follows_layout(const instance_t* instance, const library_path& p, library_file* f) {
    if (p[0].size() != 1 || p[0][0] < '0' || p[0][0] >= '0' + LIBRARY_COUNT) return false;
    f->lib = p[0][0] - '0';
    const char* root = library_root(instance, f->lib);
    if (root == nullptr || !archive::is_year_dir(p[1]) || !archive::is_month_dir(p[2]) ||
        !archive::is_day_dir(p[3]) || !archive::is_hour_dir(p[4]) || !segment_of_name(p[5], f)) {
        return false;
    }
    f->hour = std::string(p[1]) + "/" + std::string(p[2]) + "/" + std::string(p[3]) + "/" + std::string(p[4]);
    int64_t t = 0;
    if (!archive::registered_segment_time(f->segment, &t) || archive::hour_dir(t) != f->hour) return false;
    if (f->segment != p[5]) {
        char thumb[4096];
        const std::string copy = std::string(root) + "/" + f->hour + "/" + f->segment;
        const std::string asked = std::string(root) + "/" + f->hour + "/" + std::string(p[5]);
        if (!archive::thumb_name(copy, thumb, sizeof thumb) || asked != thumb) return false;
    }
    const auto start = archive::hour_dir_start(f->hour);
    return start && archive::hour_index_registers(*library_cache_hour(instance, f->lib, *start), f->segment);
}

http_reply library_file_reply(const instance_t* instance, const http_request& request, std::string_view rest) {
    library_path p;
    library_file f;
    if (!split_library_path(rest, &p) || !follows_layout(instance, p, &f)) return http_not_found();
    unique_fd fd = library_open(library_root(instance, f.lib), f.hour, p[5]);
    if (!fd) return http_not_found();
    // A regular file only, or 404.
    return http_file_reply(request, std::move(fd), f.type, IMMUTABLE);
}

http_reply playlist_reply(std::string text) {
    http_reply r = http_text_reply(HTTP_OK, std::move(text), PLAYLIST_TYPE);
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

http_reply play_reply(const instance_t* instance, const http_request& request) {
    routes_api_span a;
    if (auto bad = routes_api_span_of(instance, request, &a)) return std::move(*bad);
    // to > from, so the difference fits unsigned whatever the two are.
    if (static_cast<uint64_t>(a.to) - static_cast<uint64_t>(a.from) > MAX_PLAY_SPAN) {
        return routes_api_error(HTTP_BAD_REQUEST, "the span is longer than 24 hours");
    }
    const library_span span = library_cache_span(instance, a.lib, a.from, a.to);
    if (span.segments.empty()) {
        return routes_api_error(HTTP_NOT_FOUND, "no segment covers the span " + archive::format_time(a.from) +
                                                    " to " + archive::format_time(a.to));
    }
    return playlist_reply(archive::library_vod_playlist(a.lib, span.segments));
}

http_reply live_reply(const instance_t* instance, const http_request& request) {
    const auto arg = http_url_arg(request.args, "lib");
    if (arg && (arg->size() != 1 || (*arg)[0] < '0' || (*arg)[0] >= '0' + LIBRARY_COUNT)) {
        return routes_api_error(HTTP_BAD_REQUEST, "lib is 0 to 3");
    }
    const int lib = arg ? (*arg)[0] - '0' : 0;
    const std::string name = "library " + std::to_string(lib);
    if (library_root(instance, lib) == nullptr) return routes_api_error(HTTP_NOT_FOUND, name + " is not configured");
    auto text = library_live_text(instance, lib);
    if (!text) return routes_api_error(HTTP_NOT_FOUND, name + " holds no segment");
    return playlist_reply(std::move(*text));
}

}  // namespace

std::optional<http_reply> routes_library(instance_t* instance, const http_request& request) {
    const std::string_view path = request.path;
    const bool reading = http_reading(request);
    if (path.starts_with("/library/")) {
        return reading ? library_file_reply(instance, request, path.substr(9)) : http_method_not_allowed();
    }
    if (path == "/api/play.m3u8") return reading ? play_reply(instance, request) : http_method_not_allowed();
    if (path == "/api/live.m3u8") return reading ? live_reply(instance, request) : http_method_not_allowed();
    return std::nullopt;
}
