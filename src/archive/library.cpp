#include "archive/library.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "utils.h"

namespace archive {
namespace {

bool digits(std::string_view s, size_t n) {
    return s.size() == n && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int two_digits(std::string_view s) { return (s[0] - '0') * 10 + (s[1] - '0'); }

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

// A text that does not fit leaves the folder empty rather than cut.
void format_dir(const struct tm& utc, const char* format, char (&dir)[LAYOUT_DIR_LEN]) {
    if (strftime(dir, LAYOUT_DIR_LEN, format, &utc) == 0) std::fill(dir, dir + LAYOUT_DIR_LEN, '\0');
}

}  // namespace

void format_hour_dir(const struct tm& utc, char (&dir)[LAYOUT_DIR_LEN]) { format_dir(utc, "%Y/%m/%d/%H", dir); }

void format_day_dir(const struct tm& utc, char (&dir)[LAYOUT_DIR_LEN]) { format_dir(utc, "%Y/%m/%d", dir); }

std::string hour_dir(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm utc;
    if (gmtime_r(&tt, &utc) == nullptr) return {};
    char dir[LAYOUT_DIR_LEN];
    format_hour_dir(utc, dir);
    return dir;
}

bool is_year_dir(std::string_view s) { return digits(s, 4); }
bool is_month_dir(std::string_view s) { return digits(s, 2) && two_digits(s) >= 1 && two_digits(s) <= 12; }
bool is_day_dir(std::string_view s) { return digits(s, 2) && two_digits(s) >= 1 && two_digits(s) <= 31; }
bool is_hour_dir(std::string_view s) { return digits(s, 2) && two_digits(s) <= 23; }

std::optional<int64_t> hour_dir_start(std::string_view rel) {
    if (rel.size() != 13 || rel[4] != '/' || rel[7] != '/' || rel[10] != '/' || !is_year_dir(rel.substr(0, 4)) ||
        !is_month_dir(rel.substr(5, 2)) || !is_day_dir(rel.substr(8, 2)) || !is_hour_dir(rel.substr(11, 2))) {
        return std::nullopt;
    }
    struct tm tm = {};
    tm.tm_year = (two_digits(rel.substr(0, 2)) * 100 + two_digits(rel.substr(2, 2))) - 1900;
    tm.tm_mon = two_digits(rel.substr(5, 2)) - 1;
    tm.tm_mday = two_digits(rel.substr(8, 2));
    tm.tm_hour = two_digits(rel.substr(11, 2));
    return static_cast<int64_t>(timegm(&tm));
}

bool segment_time(const char* name, int64_t* t, struct tm* utc) {
    errno = 0;
    char* end = nullptr;
    const long long v = strtoll(name, &end, 10);
    if (end == name || errno == ERANGE) return false;
    const time_t tt = static_cast<time_t>(v);
    if (gmtime_r(&tt, utc) == nullptr) return false;
    *t = v;
    return true;
}

bool first_ts_ends(std::string_view s) {
    const size_t at = s.find(".ts");
    return at != std::string_view::npos && at + 3 == s.size();
}

bool segment_name_is_clean(std::string_view name) {
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

bool registered_segment_time(std::string_view name, int64_t* t) {
    if (!first_ts_ends(name) || !segment_name_is_clean(name) || name.find('/') != std::string_view::npos) return false;
    struct tm utc;
    return segment_time(std::string(name).c_str(), t, &utc);
}

std::string segment_name(int64_t t) {
    std::string name;
    append_segment_name(&name, t);
    return name;
}

void append_segment_name(std::string* out, int64_t t) {
    char number[24];
    const auto [end, ec] = std::to_chars(number, number + sizeof number, t);
    out->append(number, ec == std::errc() ? static_cast<size_t>(end - number) : 0).append(".ts");
}

bool is_canonical_segment_name(std::string_view name, int64_t t) {
    char number[24];
    const auto [end, ec] = std::to_chars(number, number + sizeof number, t);
    const std::string_view digits_of_t(number, ec == std::errc() ? static_cast<size_t>(end - number) : 0);
    return name.size() == digits_of_t.size() + 3 && name.starts_with(digits_of_t) && name.ends_with(".ts");
}

bool is_segment_or_thumb_name(std::string_view name) {
    std::string_view rest = name;
    if (!rest.empty() && rest.front() == '-') rest.remove_prefix(1);
    if (rest.empty() || rest.front() < '0' || rest.front() > '9') return false;
    return name.ends_with(".ts") || name.ends_with(".jpg");
}

bool thumb_name(std::string_view copy, char* out, size_t size) {
    const std::string_view stem = first_ts_ends(copy) ? copy.substr(0, copy.size() - 3) : copy;
    return utils_format_path(out, size, "%.*s.jpg", static_cast<int>(stem.size()), stem.data());
}

bool segment_files_of(const char* lib, const char* name, const struct tm& utc, segment_files* out) {
    char hour[LAYOUT_DIR_LEN];
    char day[LAYOUT_DIR_LEN];
    format_hour_dir(utc, hour);
    format_day_dir(utc, day);
    return utils_format_path(out->hour, sizeof out->hour, "%s/%s", lib, hour) &&
           utils_format_path(out->copy, sizeof out->copy, "%s/%s/%s", lib, hour, name) &&
           thumb_name(out->copy, out->thumb, sizeof out->thumb) &&
           utils_format_path(out->index, sizeof out->index, "%s/%s/%s", lib, hour, INDEX_FILE) &&
           utils_format_path(out->here, sizeof out->here, "%s/%s/%s", lib, day, DAY_MARKER);
}

std::string index_path(const std::string& lib, int64_t t) { return lib + "/" + hour_dir(t) + "/" + INDEX_FILE; }

std::string index_line(std::string_view name, int64_t t, int64_t duration_ts, int64_t start_pts) {
    std::string line(name);
    for (const int64_t v : {t, duration_ts, start_pts}) line.append("\t").append(std::to_string(v));
    line.push_back('\n');
    return line;
}

bool split_index_line(std::string_view line, index_fields* f) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Exactly four fields: a tab in the last one fails its number.
    f->name = next_field(&line);
    const std::string_view t = next_field(&line);
    const std::string_view d = next_field(&line);
    return !f->name.empty() && parse_int64(t, &f->t) && parse_int64(d, &f->duration_ts) &&
           parse_int64(line, &f->start_pts) && f->duration_ts > 0;
}

std::optional<index_entry> parse_index_line(std::string_view line) {
    index_fields f;
    if (!split_index_line(line, &f)) return std::nullopt;
    return index_entry{std::string(f.name), f.t, f.duration_ts, f.start_pts};
}

}  // namespace archive
