// Log lines that peers cause: refusals, messages that do not parse, the
// networking library's complaints, what escaped a callback. A peer can ask
// for them as fast as it can send, so each reason gets a few lines a second
// (after a burst, such as a page's first requests make) and then one line
// that says how many were left out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// How many lines of one reason are written: a burst at once, and then so
// many each second.
struct peer_log_rate {
    int burst;
    int per_second;
};

// Refusals, messages that do not parse, the library's complaints.
constexpr peer_log_rate PEER_LOG_RATE{20, 5};

// Connections that come and go, and what is sent to them: a page load or a
// full announcement pool makes dozens at once.
constexpr peer_log_rate PEER_LOG_CONNECTION_RATE{100, 20};

// Peer text quoted in such a line is cut to this many bytes.
constexpr size_t PEER_LOG_QUOTE_MAX = 1024;

// Writes one line with logger_printf of this type, unless `reason` (a
// string literal that names the line's kind) has used up its lines at
// PEER_LOG_RATE; then the line is counted instead. Any thread.
void peer_log(const char* reason, int type, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The same at another rate; a reason keeps the rate of its first line.
void peer_log_at(const peer_log_rate& rate, const char* reason, int type, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Writes the "left out" line of every reason that has left lines out for a
// second. The service calls it often, so a flood that stops is summarised
// without waiting for the next line of its kind.
void peer_log_flush();

// In a catch block: one line, limited as the others are, naming the
// exception that escaped the callback `where` (its type and message), the
// request it was answering (empty: none), the callback's reason, and what
// was done about it.
void peer_log_escaped(const char* where, const std::string& request, int reason, const char* outcome);

// Peer text fit to quote in a log line (escaped, as text_escape does), cut
// to PEER_LOG_QUOTE_MAX bytes with a note of its whole length.
std::string peer_log_quote(std::string_view text);
