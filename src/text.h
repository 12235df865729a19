// Text from peers, made safe for the places it is written to: log lines and
// fixed-size fields that end up in JSON files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A copy of text fit to quote in a log line: line ends, tabs and the other
// control characters become \n, \r, \t and \xHH, so a peer can never start a
// line of its own. Every other byte, those above 0x7f included, stays as it
// is. The copy stops before max bytes, the most a log line can hold.
std::string text_escape(std::string_view text, size_t max = 128000);

// The length of the longest start of text that holds at most max bytes and
// does not end inside a UTF-8 character.
size_t text_utf8_fit(std::string_view text, size_t max);
