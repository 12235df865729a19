// The newest end of a media library, found without listing all of it: its
// hour folders newest first, and what one hour's index says. The export
// daemon's live playlists and its freshness figure read it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/library.h"

namespace archive {

// Calls fn(hour folder "YYYY/MM/DD/HH", the hour's start) for the hour
// folders of library lib, newest first by name, until fn returns false. Only
// the year, month and day folders it descends into are listed; names outside
// the layout and links are passed over.
void for_each_hour_newest_first(const std::string& lib,
                                const std::function<bool(const std::string& rel, int64_t start)>& fn);

// What the index of one hour says.
struct hour_index {
    // The segments with canonical names that start in the hour, one per
    // time (the newest line wins), in time order.
    std::vector<index_entry> playable;
    // Every name a line registers, sorted.
    std::vector<std::string> names;
    // The latest time of any line.
    std::optional<int64_t> newest;
};

// Reads the index text of the hour that starts at hour_start. Only whole
// lines count (the last, without its line feed yet, may be half written);
// malformed lines are passed over.
hour_index read_hour_index(std::string_view text, int64_t hour_start);

// Whether a line of the index registers a segment of that name.
bool hour_index_registers(const hour_index& index, std::string_view name);

}  // namespace archive
