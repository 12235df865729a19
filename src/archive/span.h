// What the media library holds over a wall-clock span, read from its hour
// indexes: the segments that cover it, the runs and gaps of the recording,
// and the trims of an export task that cuts exactly that span.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/library.h"

namespace archive {

// The longest span whose hour indexes are read in one go: a month of them.
// Every hour of a span is looked at, so a longer one is refused rather than
// walked.
constexpr int64_t MAX_SPAN_SECONDS = 31LL * 24 * 3600;

// Whether [from, to) may be walked hour by hour: no longer than
// MAX_SPAN_SECONDS, and clear of the ends of the 64-bit range by more than
// the hour read before it. False with a reason otherwise. A reversed or empty
// span passes: it holds no hour to walk.
bool span_walkable(int64_t from, int64_t to, std::string* error);

// Reads the indexes of every hour from the one before `from` (a segment that
// starts there may run into the span) to the one holding `to`. Hours without
// an index are skipped. A malformed line is an error naming file and line, and
// a span that is not walkable is refused.
bool read_indexes(const std::string& lib, int64_t from, int64_t to, std::vector<index_entry>* out,
                  std::string* error);

// A hole in the library's coverage of the span.
struct gap {
    double from;
    double to;
    // Before the span's first segment the recording has not begun yet, after
    // its last it has ended; only between two is it a hole in the library.
    enum class edge { inside, before_first, after_last } at = edge::inside;
};

// The segments chosen for a span and the task's trims, in seconds.
struct clip_plan {
    std::vector<index_entry> segments;  // in time order
    double head_offs = 0;
    double length = 0;
    double tail_rem = 0;
    std::vector<gap> gaps;
    std::vector<std::string> skipped;  // index names the export daemon cannot play
};

// How far apart, in seconds, two segments may lie before the space between
// them counts as a gap. Segment times are whole seconds, so one second of
// slack is rounding, not missing video.
constexpr double GAP_TOLERANCE = 1.0;

// The segments an export task can play ("<t>.ts", which is how the export
// daemon names a segment's file) that overlap [from, to), one per time (the
// newest index line of a time wins: a segment registered again has its copy
// overwritten), in time order. Names it cannot play go to *skipped.
std::vector<index_entry> playable_segments(std::vector<index_entry> entries, int64_t from, int64_t to,
                                           std::vector<std::string>* skipped);

// A stretch of recording without a gap: from the start of its first segment
// to the end of its last, in seconds since the epoch.
struct run {
    double from;
    double to;
    int segments;
};

// The runs of playable segments that overlap [from, to), and the gaps of the
// span between and around them (the same gap rule as a clip's).
struct coverage {
    std::vector<run> runs;
    std::vector<gap> gaps;
};
coverage find_coverage(std::vector<index_entry> entries, int64_t from, int64_t to);

// The same, read from library lib's indexes hour by hour without keeping
// every line: a month is some 400,000 of them. False with a reason when an
// index line is malformed or the span is not walkable.
bool read_coverage(const std::string& lib, int64_t from, int64_t to, coverage* c, std::string* error);

// Chooses the segments that overlap [from, to), in time order, one per time
// (a segment indexed twice counts once), and computes head_offs, length and
// tail_rem so that the cut runs from `from` to `to`. The export daemon keeps
// the three trims as whole seconds, so tail_rem is chosen to make that cut
// come out right to the second. False with a reason when no segment covers
// the span, saying where the recording ends before it or begins after it
// when the entries show that.
bool plan_clip(std::vector<index_entry> entries, int64_t from, int64_t to, clip_plan* plan, std::string* error);

// "12:00:06 to 12:00:09" style description of a gap, in UTC.
std::string describe_gap(const gap& g);

}  // namespace archive
