// Times on the client's command line and in its messages.
#pragma once

#include <cstdint>
#include <string>

namespace archive {

// Reads an ISO 8601 date and time ("2026-12-07T13:59:30Z", "...+01:00",
// "2026-12-07 13:59" is UTC) or whole seconds since the epoch.
bool parse_time(const std::string& text, int64_t* t, std::string* error);

// "2026-12-07T13:59:30Z"
std::string format_time(int64_t t);
// "2026-12-07"
std::string format_date(int64_t t);

}  // namespace archive
