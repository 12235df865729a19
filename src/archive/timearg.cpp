#include "archive/timearg.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <regex>

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

}  // namespace

bool parse_time(const std::string& text, int64_t* t, std::string* error) {
    if (all_digits(text, text[0] == '-' ? 1 : 0)) {
        *t = std::stoll(text);
        return true;
    }
    static const std::regex iso(
        R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2})(?::(\d{2}))?(Z|[+-]\d{2}(?::?\d{2})?)?$)");
    std::smatch m;
    if (!std::regex_match(text, m, iso)) {
        *error = "cannot read the time '" + text + "' (use 2026-12-07T13:59:30Z, an offset such as +01:00, or seconds "
                 "since the epoch)";
        return false;
    }
    struct tm tm = {};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60) {
        *error = "the time '" + text + "' is out of range";
        return false;
    }
    int64_t offset = 0;
    const std::string zone = m[7].matched ? m[7].str() : "Z";
    if (zone != "Z") {
        const int sign = zone[0] == '-' ? -1 : 1;
        const int hours = std::stoi(zone.substr(1, 2));
        const std::string rest = zone.size() > 3 ? zone.substr(zone.size() - 2) : "00";
        offset = sign * (hours * 3600 + std::stoi(rest) * 60);
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
