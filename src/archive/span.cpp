#include "archive/span.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <numeric>
#include <string_view>

#include "archive/timearg.h"
#include "utils.h"

namespace archive {
namespace {

bool parse_int64(std::string_view text, int64_t* value) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

// The next tab-separated field of line, taken off its front.
std::string_view next_field(std::string_view* line) {
    const size_t tab = line->find('\t');
    const std::string_view field = line->substr(0, tab);
    line->remove_prefix(tab == std::string_view::npos ? line->size() : tab + 1);
    return field;
}

std::optional<index_entry> parse_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::count(line.begin(), line.end(), '\t') != 3) return std::nullopt;
    const std::string_view name = next_field(&line);
    const std::string_view t = next_field(&line);
    const std::string_view d = next_field(&line);
    index_entry e;
    if (name.empty() || !parse_int64(t, &e.t) || !parse_int64(d, &e.duration_ts) || !parse_int64(line, &e.start_pts) ||
        e.duration_ts <= 0) {
        return std::nullopt;
    }
    e.name = name;
    return e;
}

bool overlaps(const index_entry& e, int64_t from, int64_t to) {
    return e.t < to && static_cast<double>(e.t) + e.seconds() > static_cast<double>(from);
}

// Holes in the coverage of [from, to) by segments in time order.
std::vector<gap> find_gaps(const std::vector<index_entry>& segs, int64_t from, int64_t to) {
    std::vector<gap> gaps;
    double covered_to = static_cast<double>(from);
    for (const auto& s : segs) {
        const double start = static_cast<double>(s.t);
        if (start - covered_to > GAP_TOLERANCE) gaps.push_back({covered_to, start});
        covered_to = std::max(covered_to, start + s.seconds());
    }
    if (static_cast<double>(to) - covered_to > GAP_TOLERANCE) gaps.push_back({covered_to, static_cast<double>(to)});
    return gaps;
}

// Appends the entries of one index file; false with a reason naming the
// file and line of the first malformed line.
bool read_index(const std::string& file, std::vector<index_entry>* out, std::string* error) {
    std::string text;
    if (utils_read_text(file.c_str(), &text) != 0) return true;  // an hour without an index
    std::string_view rest(text);
    for (int number = 1; !rest.empty(); ++number) {
        const size_t eol = rest.find('\n');
        const std::string_view line = rest.substr(0, eol);
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
        if (line.empty()) continue;
        auto e = parse_line(line);
        if (!e) {
            *error = "malformed index line " + std::to_string(number) + " in " + file + ": " + std::string(line);
            return false;
        }
        out->push_back(std::move(*e));
    }
    return true;
}

}  // namespace

std::optional<index_entry> parse_index_line(const std::string& line) { return parse_line(line); }

std::string hour_dir(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm_utc;
    if (gmtime_r(&tt, &tm_utc) == nullptr) return {};
    char buf[64] = {0};
    strftime(buf, sizeof buf, "%Y/%m/%d/%H", &tm_utc);
    return buf;
}

bool read_indexes(const std::string& lib, int64_t from, int64_t to, std::vector<index_entry>* out,
                  std::string* error) {
    const int64_t first_hour = (from - 3600) - ((from - 3600) % 3600 + 3600) % 3600;
    for (int64_t hour = first_hour; hour <= to; hour += 3600) {
        if (!read_index(lib + "/" + hour_dir(hour) + "/index.cvs", out, error)) return false;
    }
    return true;
}

std::vector<index_entry> playable_segments(std::vector<index_entry> entries, int64_t from, int64_t to,
                                           std::vector<std::string>* skipped) {
    // By time, and for one time the newest line (the last in index order)
    // first: the first of each time is the one kept.
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return entries[a].t != entries[b].t ? entries[a].t < entries[b].t : a > b;
    });
    std::vector<index_entry> out;
    for (size_t k = 0; k < order.size(); ++k) {
        index_entry& e = entries[order[k]];
        if (k > 0 && entries[order[k - 1]].t == e.t) continue;  // times stay valid after a move
        if (!overlaps(e, from, to)) continue;
        if (e.name != std::to_string(e.t) + ".ts") {
            if (skipped != nullptr) skipped->push_back(e.name);
            continue;
        }
        out.push_back(std::move(e));
    }
    return out;
}

coverage find_coverage(std::vector<index_entry> entries, int64_t from, int64_t to) {
    coverage c;
    const auto segs = playable_segments(std::move(entries), from, to, nullptr);
    for (const auto& s : segs) {
        const double start = static_cast<double>(s.t);
        if (c.runs.empty() || start - c.runs.back().to > GAP_TOLERANCE) {
            c.runs.push_back({start, start + s.seconds(), 1});
        } else {
            c.runs.back().to = std::max(c.runs.back().to, start + s.seconds());
            ++c.runs.back().segments;
        }
    }
    c.gaps = find_gaps(segs, from, to);
    return c;
}

bool plan_clip(std::vector<index_entry> entries, int64_t from, int64_t to, clip_plan* plan, std::string* error) {
    *plan = clip_plan{};
    plan->segments = playable_segments(std::move(entries), from, to, &plan->skipped);
    if (plan->segments.empty()) {
        *error = "no segment covers the span " + format_time(from) + " to " + format_time(to);
        return false;
    }
    const auto& segs = plan->segments;
    plan->gaps = find_gaps(segs, from, to);

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
