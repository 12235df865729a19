#include "archive/span.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <string_view>

#include "archive/timearg.h"
#include "utils.h"

namespace archive {
namespace {

double seconds_of(int64_t duration_ts) { return static_cast<double>(duration_ts) / TICKS_PER_SECOND; }

bool overlaps(int64_t t, double seconds, int64_t from, int64_t to) {
    return t < to && static_cast<double>(t) + seconds > static_cast<double>(from);
}

// Calls line_fn(fields) for every line of one index file; false with a
// reason naming the file and line of the first malformed line. An hour
// without an index has no line.
template <class LineFn>
bool for_each_line(const std::string& file, std::string* error, LineFn line_fn) {
    std::string text;
    if (utils_read_text(file.c_str(), &text) != 0) return true;
    std::string_view bad;
    const int number = for_each_index_line(text, [&](std::string_view line) {
        index_fields f;
        if (!split_index_line(line, &f)) {
            bad = line;
            return false;
        }
        line_fn(f);
        return true;
    });
    if (number == 0) return true;
    *error = "malformed index line " + std::to_string(number) + " in " + file + ": " + std::string(bad);
    return false;
}

// The seconds from `from` to `to`, which may not fit in a signed difference.
uint64_t seconds_between(int64_t from, int64_t to) {
    return static_cast<uint64_t>(to) - static_cast<uint64_t>(from);
}

// Calls hour_fn(hour's index file, hour's start) for every hour from the one
// before `from` (a segment that starts there may run into the span) to the
// one holding `to`, in time order. The span must be walkable.
template <class HourFn>
bool for_each_hour(const std::string& lib, int64_t from, int64_t to, HourFn hour_fn) {
    const int64_t first_hour = (from - 3600) - ((from - 3600) % 3600 + 3600) % 3600;
    for (int64_t hour = first_hour; hour <= to; hour += 3600) {
        if (!hour_fn(index_path(lib, hour), hour)) return false;
    }
    return true;
}

// Sorts by time, keeping the order of equal times: for one time the newest
// line (the last in index order) wins. Indexes are written in the order
// segments close, nearly always time order already, so the sort is mostly
// spared.
template <class T>
void sort_by_time(std::vector<T>* v) {
    const auto by_time = [](const T& a, const T& b) { return a.t < b.t; };
    if (!std::is_sorted(v->begin(), v->end(), by_time)) std::stable_sort(v->begin(), v->end(), by_time);
}

// Runs and gaps of segments given in time order.
class coverage_builder {
public:
    coverage_builder(int64_t from, int64_t to) : from_(from), to_(to), covered_to_(static_cast<double>(from)) {}

    void add(int64_t t, double seconds) {
        if (!overlaps(t, seconds, from_, to_)) return;
        const double start = static_cast<double>(t);
        if (start - covered_to_ > GAP_TOLERANCE) {
            c_.gaps.push_back({covered_to_, start, c_.runs.empty() ? gap::edge::before_first : gap::edge::inside});
        }
        covered_to_ = std::max(covered_to_, start + seconds);
        if (c_.runs.empty() || start - c_.runs.back().to > GAP_TOLERANCE) {
            c_.runs.push_back({start, start + seconds, 1});
        } else {
            c_.runs.back().to = std::max(c_.runs.back().to, start + seconds);
            ++c_.runs.back().segments;
        }
    }

    coverage finish() {
        if (static_cast<double>(to_) - covered_to_ > GAP_TOLERANCE) {
            c_.gaps.push_back({covered_to_, static_cast<double>(to_), gap::edge::after_last});
        }
        return std::move(c_);
    }

private:
    int64_t from_;
    int64_t to_;
    double covered_to_;
    coverage c_;
};

// What the coverage of an hour needs of a line.
struct timed_segment {
    int64_t t;
    int64_t duration_ts;
    bool playable;
};

// Why no segment covers [from, to): where the recording ends before the
// span and begins again after it, as far as the entries read show.
std::string uncovered_text(const std::vector<index_entry>& entries, int64_t from, int64_t to) {
    std::optional<double> ends;
    std::optional<int64_t> begins;
    for (const auto& e : entries) {
        const double end = static_cast<double>(e.t) + e.seconds();
        if (end <= static_cast<double>(from) && (!ends || end > *ends)) ends = end;
        if (e.t >= to && (!begins || e.t < *begins)) begins = e.t;
    }
    std::string text = "no segment covers the span " + format_time(from) + " to " + format_time(to);
    if (ends && begins) {
        return text + ": the library has no video from " + describe_gap({*ends, static_cast<double>(*begins)});
    }
    if (ends) return text + ": the recording ends at " + format_time(static_cast<int64_t>(std::floor(*ends)));
    if (begins) return text + ": the recording begins at " + format_time(*begins);
    return text;
}

}  // namespace

bool span_walkable(int64_t from, int64_t to, std::string* error) {
    // An hour before `from` is read, and the walk steps an hour past `to`.
    constexpr int64_t MARGIN = 2 * 3600;
    if (from < std::numeric_limits<int64_t>::min() + MARGIN || to > std::numeric_limits<int64_t>::max() - MARGIN) {
        *error = "the span " + std::to_string(from) + " to " + std::to_string(to) + " is out of range";
        return false;
    }
    if (to > from && seconds_between(from, to) > static_cast<uint64_t>(MAX_SPAN_SECONDS)) {
        *error = "the span " + format_time(from) + " to " + format_time(to) + " is longer than " +
                 std::to_string(MAX_SPAN_SECONDS / 86400) + " days";
        return false;
    }
    return true;
}

bool read_indexes(const std::string& lib, int64_t from, int64_t to, std::vector<index_entry>* out,
                  std::string* error) {
    if (!span_walkable(from, to, error)) return false;
    return for_each_hour(lib, from, to, [&](const std::string& file, int64_t) {
        return for_each_line(file, error, [&](const index_fields& f) {
            out->push_back(index_entry{std::string(f.name), f.t, f.duration_ts, f.start_pts});
        });
    });
}

std::vector<index_entry> playable_segments(std::vector<index_entry> entries, int64_t from, int64_t to,
                                           std::vector<std::string>* skipped) {
    sort_by_time(&entries);
    std::vector<index_entry> out;
    for (size_t k = 0; k < entries.size(); ++k) {
        index_entry& e = entries[k];
        if (k + 1 < entries.size() && entries[k + 1].t == e.t) continue;
        if (!overlaps(e.t, e.seconds(), from, to)) continue;
        if (!is_canonical_segment_name(e.name, e.t)) {
            if (skipped != nullptr) skipped->push_back(e.name);
            continue;
        }
        out.push_back(std::move(e));
    }
    return out;
}

coverage find_coverage(std::vector<index_entry> entries, int64_t from, int64_t to) {
    coverage_builder b(from, to);
    for (const auto& s : playable_segments(std::move(entries), from, to, nullptr)) b.add(s.t, s.seconds());
    return b.finish();
}

bool read_coverage(const std::string& lib, int64_t from, int64_t to, coverage* c, std::string* error) {
    if (!span_walkable(from, to, error)) return false;
    coverage_builder b(from, to);
    // A segment lies in the hour of its time, so hours come in time order and
    // only the lines of one hour are ever held.
    std::vector<timed_segment> hour;
    const bool ok = for_each_hour(lib, from, to, [&](const std::string& file, int64_t start) {
        hour.clear();
        const bool read = for_each_line(file, error, [&](const index_fields& f) {
            // A line of another hour names a file that is not where the
            // export daemon looks for it.
            const bool in_hour = f.t >= start && f.t < start + 3600;
            hour.push_back({f.t, f.duration_ts, in_hour && is_canonical_segment_name(f.name, f.t)});
        });
        sort_by_time(&hour);
        for (size_t k = 0; k < hour.size(); ++k) {
            if (k + 1 < hour.size() && hour[k + 1].t == hour[k].t) continue;
            if (hour[k].playable) b.add(hour[k].t, seconds_of(hour[k].duration_ts));
        }
        return read;
    });
    if (ok) *c = b.finish();
    return ok;
}

bool plan_clip(std::vector<index_entry> entries, int64_t from, int64_t to, clip_plan* plan, std::string* error) {
    *plan = clip_plan{};
    if (!span_walkable(from, to, error)) return false;
    plan->segments = playable_segments(entries, from, to, &plan->skipped);
    if (plan->segments.empty()) {
        *error = uncovered_text(entries, from, to);
        return false;
    }
    const auto& segs = plan->segments;
    coverage_builder b(from, to);
    for (const auto& s : segs) b.add(s.t, s.seconds());
    plan->gaps = b.finish().gaps;

    double before_last = 0;  // playlist time at which the last segment starts
    for (size_t i = 0; i + 1 < segs.size(); ++i) before_last += segs[i].seconds();
    plan->length = before_last + segs.back().seconds();
    plan->head_offs = static_cast<double>(std::max<int64_t>(0, from - segs.front().t));
    const double end_pos = before_last + std::min(static_cast<double>(to - segs.back().t), segs.back().seconds());
    const double wanted = end_pos - plan->head_offs;
    // The daemon cuts trunc(length) - (trunc(tail_rem) + trunc(head_offs))
    // seconds; a whole tail_rem makes that the wanted length to the second.
    plan->tail_rem = std::max(0.0, std::trunc(plan->length) - plan->head_offs - std::round(wanted));
    return true;
}

std::string describe_gap(const gap& g) {
    return format_time(static_cast<int64_t>(std::floor(g.from))) + " to " +
           format_time(static_cast<int64_t>(std::ceil(g.to)));
}

}  // namespace archive
