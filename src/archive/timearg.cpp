#include "archive/timearg.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace archive {
namespace {

std::string strftime_utc(int64_t t, const char* fmt) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm_utc;
    if (gmtime_r(&tt, &tm_utc) == nullptr) return std::to_string(t);
    char buf[64];
    strftime(buf, sizeof buf, fmt, &tm_utc);
    return buf;
}

bool all_digits(const std::string& s, size_t from) {
    if (s.size() <= from) return false;
    for (size_t i = from; i < s.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// Reads "YYYY-MM-DD[T ]HH:MM[:SS][Z|+HH[[:]MM]|-HH[[:]MM]]" from the front.
// Written out by hand: <regex> alone made this file the slowest of the
// programs to compile.
class iso_reader {
public:
    explicit iso_reader(std::string_view text) : rest_(text) {}

    bool read(struct tm* tm, int64_t* offset) {
        int year = 0;
        int month = 0;
        if (!number(4, &year) || !take("-") || !number(2, &month) || !take("-") || !number(2, &tm->tm_mday) ||
            !take("T ") || !number(2, &tm->tm_hour) || !take(":") || !number(2, &tm->tm_min)) {
            return false;
        }
        tm->tm_year = year - 1900;
        tm->tm_mon = month - 1;
        if (take(":") && !number(2, &tm->tm_sec)) return false;
        *offset = 0;
        if (rest_.empty()) return true;
        if (take("Z")) return rest_.empty();
        const int sign = rest_.front() == '-' ? -1 : 1;
        int hours = 0;
        int minutes = 0;
        if (!take("+-") || !number(2, &hours)) return false;
        if (!rest_.empty()) {
            take(":");
            if (!number(2, &minutes)) return false;
        }
        *offset = sign * (hours * 3600 + minutes * 60);
        return rest_.empty();
    }

private:
    // Takes one character if it is one of `chars`.
    bool take(std::string_view chars) {
        if (rest_.empty() || chars.find(rest_.front()) == std::string_view::npos) return false;
        rest_.remove_prefix(1);
        return true;
    }

    // Takes exactly `width` digits.
    bool number(size_t width, int* value) {
        if (rest_.size() < width) return false;
        *value = 0;
        for (size_t i = 0; i < width; ++i) {
            if (!isdigit(static_cast<unsigned char>(rest_[i]))) return false;
            *value = *value * 10 + (rest_[i] - '0');
        }
        rest_.remove_prefix(width);
        return true;
    }

    std::string_view rest_;
};

}  // namespace

bool parse_time(const std::string& text, int64_t* t, std::string* error) {
    if (all_digits(text, !text.empty() && text[0] == '-' ? 1 : 0)) {
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *t);
        if (ec == std::errc() && end == text.data() + text.size()) return true;
        *error = "the time '" + text + "' is out of range";
        return false;
    }
    struct tm tm = {};
    int64_t offset = 0;
    if (!iso_reader(text).read(&tm, &offset)) {
        *error = "cannot read the time '" + text + "' (use 2026-12-07T13:59:30Z, an offset such as +01:00, or seconds "
                 "since the epoch)";
        return false;
    }
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60) {
        *error = "the time '" + text + "' is out of range";
        return false;
    }
    const struct tm asked = tm;
    const time_t local = timegm(&tm);
    // timegm moves 31 February on to March; such a date was never valid.
    if (tm.tm_mday != asked.tm_mday || tm.tm_mon != asked.tm_mon) {
        *error = "the date in '" + text + "' does not exist";
        return false;
    }
    *t = static_cast<int64_t>(local) - offset;
    return true;
}

std::string format_time(int64_t t) { return strftime_utc(t, "%Y-%m-%dT%H:%M:%SZ"); }

std::string format_date(int64_t t) { return strftime_utc(t, "%Y-%m-%d"); }

}  // namespace archive
