#include "client/span.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>

#include "client/timearg.h"

namespace client {
namespace {

bool parse_int64(const std::string& text, int64_t* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = v;
    return true;
}

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        fields.push_back(line.substr(start, tab - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

// One entry per segment time, the last line winning: a segment registered
// again has its copy overwritten, so its newest line describes the file.
std::vector<index_entry> one_per_time(std::vector<index_entry> entries) {
    std::map<int64_t, index_entry> by_time;
    for (auto& e : entries) by_time[e.t] = std::move(e);
    std::vector<index_entry> out;
    for (auto& [t, e] : by_time) out.push_back(std::move(e));
    return out;
}

bool overlaps(const index_entry& e, int64_t from, int64_t to) {
    return e.t < to && static_cast<double>(e.t) + e.seconds() > static_cast<double>(from);
}

// Holes in the coverage of [from, to) by the chosen segments.
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

}  // namespace

std::optional<index_entry> parse_index_line(const std::string& line) {
    std::string text = line;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const auto fields = split_tabs(text);
    if (fields.size() != 4 || fields[0].empty()) return std::nullopt;
    index_entry e;
    e.name = fields[0];
    if (!parse_int64(fields[1], &e.t) || !parse_int64(fields[2], &e.duration_ts) ||
        !parse_int64(fields[3], &e.start_pts) || e.duration_ts <= 0) {
        return std::nullopt;
    }
    return e;
}

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
        const std::string file = lib + "/" + hour_dir(hour) + "/index.cvs";
        std::ifstream in(file);
        if (!in) continue;
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (line.empty()) continue;
            auto e = parse_index_line(line);
            if (!e) {
                *error = "malformed index line " + std::to_string(number) + " in " + file + ": " + line;
                return false;
            }
            out->push_back(std::move(*e));
        }
    }
    return true;
}

bool plan_clip(std::vector<index_entry> entries, int64_t from, int64_t to, clip_plan* plan, std::string* error) {
    *plan = clip_plan{};
    for (auto& e : one_per_time(std::move(entries))) {
        if (!overlaps(e, from, to)) continue;
        // The export daemon names a segment's file from its time alone.
        if (e.name != std::to_string(e.t) + ".ts") {
            plan->skipped.push_back(e.name);
            continue;
        }
        plan->segments.push_back(std::move(e));
    }
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

}  // namespace client
