#include "archive/playlist.h"

#include <cstdio>
#include <vector>

#include "archive/library.h"

namespace archive {

void playlist_begin(std::string* text) {
    text->append("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n#EXT-X-MEDIA-SEQUENCE:0\n"
                 "#EXT-X-PLAYLIST-TYPE:VOD\n");
}

void playlist_add(std::string* text, std::string_view lib, int64_t t, int64_t d) {
    char duration[64];
    snprintf(duration, sizeof duration, "%f", static_cast<double>(d) / TICKS_PER_SECOND);
    text->append("#EXT-X-DISCONTINUITY\n#EXTINF: ").append(duration).append("\n");
    // A time without a calendar breakdown leaves the hour empty, as it always
    // did; such a path names no segment.
    text->append(lib).append("/").append(hour_dir(t)).append("/").append(segment_name(t)).append("\n");
}

void playlist_end(std::string* text) { text->append("#EXT-X-ENDLIST\n"); }

std::optional<std::string> playlist_entry_hour(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty() || line.front() == '#') return std::nullopt;
    std::vector<std::string_view> parts;
    for (size_t at = 0; at <= line.size();) {
        const size_t end = std::min(line.find('/', at), line.size());
        if (end > at) parts.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    if (parts.size() < 5) return std::nullopt;
    const size_t y = parts.size() - 5;
    if (!is_year_dir(parts[y]) || !is_month_dir(parts[y + 1]) || !is_day_dir(parts[y + 2]) ||
        !is_hour_dir(parts[y + 3])) {
        return std::nullopt;
    }
    return std::string(parts[y]) + "/" + std::string(parts[y + 1]) + "/" + std::string(parts[y + 2]) + "/" +
           std::string(parts[y + 3]);
}

void playlist_hours(std::string_view text, std::set<std::string>* hours) {
    while (!text.empty()) {
        const size_t eol = std::min(text.find('\n'), text.size());
        if (auto hour = playlist_entry_hour(text.substr(0, eol))) hours->insert(std::move(*hour));
        text.remove_prefix(std::min(eol + 1, text.size()));
    }
}

}  // namespace archive
