// A task's HLS playlist ("playlist.m3u8"), the one home of its format: the
// export daemon writes it, its ffmpeg runs play it, and prune reads which
// library hours an unfinished task still plays from.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace archive {

// A VOD playlist's text is its header, one entry per segment, and its end:
//   playlist_begin(&text); playlist_add(&text, lib, t, d); playlist_end(&text);
// An entry is a discontinuity, the duration d (90 kHz ticks) in seconds, and
// the segment's path: the library root lib as given, t's UTC hour folder and
// t's canonical name.
void playlist_begin(std::string* text);
void playlist_add(std::string* text, std::string_view lib, int64_t t, int64_t d);
void playlist_end(std::string* text);

// The hour "YYYY/MM/DD/HH" a playlist line's segment path lies in, whatever
// the root before it; nothing for a tag line or a path that names no hour.
std::optional<std::string> playlist_entry_hour(std::string_view line);

// Adds the hours of every entry of a playlist's text to *hours.
void playlist_hours(std::string_view text, std::set<std::string>* hours);

}  // namespace archive
