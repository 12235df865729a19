// HLS playlists of the media library for players, the one home of their
// format: a span of one library as video on demand, and its live end. The
// export daemon serves them; a client can write the same text.
//
// Segment URIs are relative to the HTTP API's folder and point at the
// library's files ("../library/N/<hour folder>/<t>.ts"). Every stretch of
// continuous recording begins with its wall-clock time, so that a player
// knows the time of every frame; a discontinuity stands only where the
// recording has a gap or its time stamps restart.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "archive/library.h"

namespace archive {

// How far, in 90 kHz ticks, a segment's first time stamp may lie from the
// one before it plus that one's duration and still follow on from it. The
// index's durations are whole frames as ffprobe counts them, so a few frames
// are rounding; a restarted recorder lands anywhere in 26 hours of ticks.
constexpr int64_t PTS_TOLERANCE = 45000;

// MPEG-TS time stamps count 33 bits and wrap to 0.
constexpr uint64_t PTS_WRAP = uint64_t{1} << 33;

// True when b does not follow on from a, the segment before it in time: b
// starts more than GAP_TOLERANCE seconds after a ends, or b's first time
// stamp is not a's plus a's duration (within PTS_TOLERANCE, across a wrap).
bool segments_discontinuous(const index_entry& a, const index_entry& b);

// One entry of a library playlist.
struct playlist_item {
    int64_t t = 0;
    int64_t duration_ts = 0;
    bool discontinuity = false;  // before it; ignored on the first entry
};

// The VOD playlist of library lib's segments (in time order, one per time,
// canonical names): "#EXT-X-TARGETDURATION" the longest rounded up,
// "#EXT-X-MEDIA-SEQUENCE:0", and "#EXT-X-ENDLIST". The segments are pointed
// at, not copied: a day is 14,400 of them.
std::string library_vod_playlist(int lib, std::span<const index_entry* const> segments);

// A window of a library's live end as a player sees it across reloads.
struct live_window {
    int64_t media_sequence = 0;          // the number of the first item
    int64_t discontinuity_sequence = 0;  // the discontinuities before it
    int64_t target_duration = 0;         // seconds, never below any item
    std::vector<playlist_item> items;
};

// The live playlist of that window: no playlist type, no end.
std::string library_live_playlist(int lib, const live_window& window);

// The target duration of segments this long: seconds, rounded up.
int64_t target_duration_of(int64_t duration_ts);

}  // namespace archive
