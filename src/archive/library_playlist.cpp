#include "archive/library_playlist.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "archive/span.h"

namespace archive {
namespace {

constexpr int64_t TICKS = static_cast<int64_t>(TICKS_PER_SECOND);

void append_number(std::string* out, int64_t v) {
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out->append(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0);
}

// "%f" of the duration in seconds: to_chars gives the same six decimals,
// correctly rounded, several times faster, which counts at 14,400 entries.
void append_seconds(std::string* out, int64_t duration_ts) {
    char buf[64];
    const double seconds = static_cast<double>(duration_ts) / TICKS_PER_SECOND;
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed, 6);
    out->append(buf, ec == std::errc() ? static_cast<size_t>(end - buf) : 0);
}

// "2026-12-09T16:00:00.000Z": segment times are whole seconds.
void append_date_time(std::string* out, int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm utc;
    char buf[64] = "";
    if (gmtime_r(&tt, &utc) != nullptr) strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &utc);
    out->append("#EXT-X-PROGRAM-DATE-TIME:").append(buf).append(".000Z\n");
}

int64_t floor_hour(int64_t t) { return t - ((t % 3600) + 3600) % 3600; }

// Writes the entries of a playlist one by one: each
// "../library/<lib>/<hour folder>/<t>.ts" with its duration, the wall-clock
// time before the first and after every discontinuity.
class item_writer {
public:
    item_writer(std::string* out, int lib) : out_(out), lib_(lib) {}

    void add(const playlist_item& it) {
        if (!first_ && it.discontinuity) out_->append("#EXT-X-DISCONTINUITY\n");
        if (first_ || it.discontinuity) append_date_time(out_, it.t);
        first_ = false;
        // Durations repeat; the text of the last is kept.
        if (it.duration_ts != duration_ts_ || duration_.empty()) {
            duration_ts_ = it.duration_ts;
            duration_ = "#EXTINF:";
            append_seconds(&duration_, it.duration_ts);
            duration_.append(",\n");
        }
        out_->append(duration_);
        // One hour folder is formatted once, not once per segment.
        if (prefix_.empty() || floor_hour(it.t) != prefix_hour_) {
            prefix_hour_ = floor_hour(it.t);
            prefix_ = "../library/" + std::to_string(lib_) + "/" + hour_dir(it.t) + "/";
        }
        out_->append(prefix_);
        append_segment_name(out_, it.t);
        out_->push_back('\n');
    }

private:
    std::string* out_;
    int lib_;
    bool first_ = true;
    int64_t duration_ts_ = 0;
    std::string duration_;  // "#EXTINF:<seconds>,\n" of duration_ts_
    int64_t prefix_hour_ = 0;
    std::string prefix_;  // "../library/<lib>/<hour folder>/" of prefix_hour_
};

void append_head(std::string* out, int64_t target, int64_t media_sequence) {
    out->append("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:");
    append_number(out, target);
    out->append("\n#EXT-X-MEDIA-SEQUENCE:");
    append_number(out, media_sequence);
    out->append("\n");
}

}  // namespace

bool segments_discontinuous(const index_entry& a, const index_entry& b) {
    if (static_cast<double>(b.t) - (static_cast<double>(a.t) + a.seconds()) > GAP_TOLERANCE) return true;
    // Unsigned arithmetic wraps where signed would overflow; modulo 2^33 a
    // wrapped time stamp follows on like any other.
    const uint64_t expected = static_cast<uint64_t>(a.start_pts) + static_cast<uint64_t>(a.duration_ts);
    const uint64_t off = (static_cast<uint64_t>(b.start_pts) - expected) & (PTS_WRAP - 1);
    const uint64_t distance = off > PTS_WRAP / 2 ? PTS_WRAP - off : off;
    return distance > static_cast<uint64_t>(PTS_TOLERANCE);
}

int64_t target_duration_of(int64_t duration_ts) {
    return duration_ts <= 0 ? 1 : duration_ts / TICKS + (duration_ts % TICKS != 0 ? 1 : 0);
}

std::string library_vod_playlist(int lib, std::span<const index_entry* const> segments) {
    int64_t longest = 0;
    for (const index_entry* s : segments) longest = std::max(longest, s->duration_ts);
    std::string out;
    // Some 60 bytes an entry.
    out.reserve(200 + 64 * segments.size());
    append_head(&out, target_duration_of(longest), 0);
    out.append("#EXT-X-PLAYLIST-TYPE:VOD\n");
    item_writer w(&out, lib);
    for (size_t i = 0; i < segments.size(); ++i) {
        const index_entry& s = *segments[i];
        w.add({s.t, s.duration_ts, i > 0 && segments_discontinuous(*segments[i - 1], s)});
    }
    out.append("#EXT-X-ENDLIST\n");
    return out;
}

std::string library_live_playlist(int lib, const live_window& window) {
    std::string out;
    out.reserve(200 + 64 * window.items.size());
    append_head(&out, window.target_duration, window.media_sequence);
    out.append("#EXT-X-DISCONTINUITY-SEQUENCE:");
    append_number(&out, window.discontinuity_sequence);
    out.append("\n");
    item_writer w(&out, lib);
    for (const playlist_item& it : window.items) w.add(it);
    return out;
}

}  // namespace archive
