// Times on the client's command line and in its messages.
#pragma once

#include <cstdint>
#include <string>

namespace archive {

// Reads an ISO 8601 date and time ("2026-12-07T13:59:30Z", "...+01:00",
// "2026-12-07 13:59" is UTC) or whole seconds since the epoch. A number
// beyond 64 bits is refused, never thrown about.
bool parse_time(const std::string& text, int64_t* t, std::string* error);

// The times a request from the network may name: 1970-01-01T00:00:00Z to
// 9999-12-31T23:59:59Z, what the library's four-digit year folders hold.
constexpr int64_t TIME_MIN = 0;
constexpr int64_t TIME_MAX = 253402300799;

// "2026-12-07T13:59:30Z"
std::string format_time(int64_t t);
// "2026-12-07"
std::string format_date(int64_t t);

}  // namespace archive
