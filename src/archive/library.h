// The media library's layout, the one home of its rules: the UTC hour and
// day folders of a segment's time, the names of its copy, its thumbnail, the
// hour's index and the day's marker, and the index line, written and read.
// The register daemon writes the library by these rules; the export daemon,
// the console and the client read it by them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace archive {

// Ticks per second of segment durations in the library's indexes.
constexpr double TICKS_PER_SECOND = 90000.0;

// One hour folder's index, and the empty file that marks a day with at
// least one indexed segment.
constexpr const char* INDEX_FILE = "index.cvs";
constexpr const char* DAY_MARKER = "here";

// Room for an hour or day folder's text ("%Y/%m/%d/%H" of any year a
// calendar breakdown gives, and its terminator).
constexpr size_t LAYOUT_DIR_LEN = 64;

// "%Y/%m/%d/%H" and "%Y/%m/%d" of a UTC breakdown.
void format_hour_dir(const struct tm& utc, char (&dir)[LAYOUT_DIR_LEN]);
void format_day_dir(const struct tm& utc, char (&dir)[LAYOUT_DIR_LEN]);

// The hour folder of t in UTC; empty when t has no calendar breakdown.
std::string hour_dir(int64_t t);

// The start of the hour "YYYY/MM/DD/HH" names, in seconds since the epoch;
// nothing when rel is not such a folder.
std::optional<int64_t> hour_dir_start(std::string_view rel);

// The names of the layout's levels: a year is four digits, a month 01 to 12,
// a day 01 to 31, an hour 00 to 23.
bool is_year_dir(std::string_view name);
bool is_month_dir(std::string_view name);
bool is_day_dir(std::string_view name);
bool is_hour_dir(std::string_view name);

// The segment's time from its name: the leading number (leading blanks, an
// optional sign, decimal digits; whatever follows is ignored) and its UTC
// breakdown. False when there is no number, it is out of range, or it has
// no calendar breakdown.
bool segment_time(const char* name, int64_t* t, struct tm* utc);

// True when the first ".ts" in s ends s. Case-sensitive: the test for a
// segment's name, and the thumbnail's naming rule.
bool first_ts_ends(std::string_view s);

// False for a name holding a control character (a tab or a line end among
// them): an index line cannot hold it.
bool segment_name_is_clean(std::string_view name);

// A name the register daemon registers, and the time it files it under:
// its first ".ts" ends it, it holds no control character and no '/', and it
// begins with a number (segment_time). False for any other name.
bool registered_segment_time(std::string_view name, int64_t* t);

// "<t>.ts", the canonical name of the segment of time t: the only name the
// export daemon's playlists can point at.
std::string segment_name(int64_t t);
void append_segment_name(std::string* out, int64_t t);
bool is_canonical_segment_name(std::string_view name, int64_t t);

// A segment copy ("<number>...ts", a name that begins with a number) or its
// thumbnail (".jpg" in place of or after its ".ts").
bool is_segment_or_thumb_name(std::string_view name);

// The thumbnail's path for a library copy: its ".ts" replaced by ".jpg" when
// that ".ts" is the first in the path, else ".jpg" appended. False when the
// result does not fit in size bytes.
bool thumb_name(std::string_view copy, char* out, size_t size);

// Every path a segment's registration writes, for the library root lib, the
// segment's name and its time's UTC breakdown.
struct segment_files {
    char hour[4096];   // the hour folder
    char copy[4096];   // the segment's copy
    char thumb[4096];  // its thumbnail
    char index[4096];  // the hour's index
    char here[4096];   // the day's marker
};

// False when a path does not fit, so that nothing is ever done on a cut one.
bool segment_files_of(const char* lib, const char* name, const struct tm& utc, segment_files* out);

// The hour index that holds the segments of t's hour under lib.
std::string index_path(const std::string& lib, int64_t t);

// One line of an hour's index.
struct index_entry {
    std::string name;
    int64_t t = 0;
    int64_t duration_ts = 0;
    int64_t start_pts = 0;

    double seconds() const { return static_cast<double>(duration_ts) / TICKS_PER_SECOND; }
};

// "name\tt\tduration_ts\tstart_pts\n": the whole line as the index holds it.
std::string index_line(std::string_view name, int64_t t, int64_t duration_ts, int64_t start_pts);

// The four fields of an index line, the name still pointing into the line.
struct index_fields {
    std::string_view name;
    int64_t t = 0;
    int64_t duration_ts = 0;
    int64_t start_pts = 0;
};

// Reads one line, without its line feed (a CR before it is allowed): a
// non-empty name, then three decimal numbers, tab-separated, the duration
// above 0. False for anything else.
bool split_index_line(std::string_view line, index_fields* f);
std::optional<index_entry> parse_index_line(std::string_view line);

// Calls fn(line) for every line of an index's text, numbered from 1, the
// empty ones skipped; stops and returns that number when fn returns false,
// else 0.
template <class LineFn>
int for_each_index_line(std::string_view text, LineFn fn) {
    for (int number = 1; !text.empty(); ++number) {
        const size_t eol = text.find('\n');
        const std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && !fn(line)) return number;
    }
    return 0;
}

}  // namespace archive
