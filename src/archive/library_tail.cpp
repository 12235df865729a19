#include "archive/library_tail.h"

#include <dirent.h>

#include <algorithm>
#include <functional>

#include "archive/span.h"
#include "handles.h"

namespace archive {
namespace {

using level_rule = bool (*)(std::string_view);

// The levels below the root, from the year down to the hour.
constexpr level_rule LEVELS[] = {is_year_dir, is_month_dir, is_day_dir, is_hour_dir};
constexpr int HOUR_LEVEL = 3;

// The folders in dir whose names the level's rule takes, newest first.
std::vector<std::string> level_names_newest_first(const std::string& dir, level_rule rule) {
    std::vector<std::string> names;
    const dir_ptr d(opendir(dir.c_str()));
    if (!d) return names;
    while (const struct dirent* e = readdir(d.get())) {
        const bool folder = e->d_type == DT_DIR || e->d_type == DT_UNKNOWN;
        if (folder && rule(e->d_name)) names.emplace_back(e->d_name);
    }
    std::sort(names.begin(), names.end(), std::greater<>());
    return names;
}

// False once fn asked to stop.
bool descend(const std::string& lib, const std::string& rel, int level,
             const std::function<bool(const std::string&, int64_t)>& fn) {
    for (const std::string& name : level_names_newest_first(rel.empty() ? lib : lib + "/" + rel, LEVELS[level])) {
        const std::string sub = rel.empty() ? name : rel + "/" + name;
        if (level < HOUR_LEVEL) {
            if (!descend(lib, sub, level + 1, fn)) return false;
            continue;
        }
        // 2021/02/31 reads as a name of the layout but is no hour of the
        // calendar, so no segment's time files under it.
        const std::optional<int64_t> start = hour_dir_start(sub);
        if (start && hour_dir(*start) == sub && !fn(sub, *start)) return false;
    }
    return true;
}

}  // namespace

void for_each_hour_newest_first(const std::string& lib,
                                const std::function<bool(const std::string& rel, int64_t start)>& fn) {
    descend(lib, "", 0, fn);
}

hour_index read_hour_index(std::string_view text, int64_t hour_start) {
    const size_t last_feed = text.rfind('\n');
    text = last_feed == std::string_view::npos ? std::string_view() : text.substr(0, last_feed + 1);
    hour_index out;
    std::vector<index_entry> in_hour;
    for_each_index_line(text, [&](std::string_view line) {
        index_fields f;
        if (!split_index_line(line, &f)) return true;
        out.names.emplace_back(f.name);
        out.newest = std::max(out.newest.value_or(f.t), f.t);
        if (f.t >= hour_start && f.t - hour_start < 3600) {
            in_hour.push_back(index_entry{std::string(f.name), f.t, f.duration_ts, f.start_pts});
        }
        return true;
    });
    std::sort(out.names.begin(), out.names.end());
    out.names.erase(std::unique(out.names.begin(), out.names.end()), out.names.end());
    out.playable = playable_segments(std::move(in_hour), hour_start, hour_start + 3600, nullptr);
    return out;
}

bool hour_index_registers(const hour_index& index, std::string_view name) {
    return std::binary_search(index.names.begin(), index.names.end(), name, std::less<>());
}

}  // namespace archive
