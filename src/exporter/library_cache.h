// What the export daemon keeps of its libraries' hour indexes between
// requests: each hour it read, until its index changes, and through them the
// newest registered segment. Up to 32 hours per library are kept, the least
// recently used going first, so nothing grows with the library; a reload
// every few seconds costs a stat of the newest index. Nothing below a
// library's root is read through a link, as nothing there is served through
// one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "archive/library_tail.h"
#include "exporter/instance.h"
#include "handles.h"

// The libraries served: --lib0-path to --lib3-path.
constexpr int LIBRARY_COUNT = 4;

// The root of library lib, or null when lib is not one the daemon was given.
const char* library_root(const instance_t* instance, int lib);

// The file `name` in hour folder `hour` ("YYYY/MM/DD/HH") below a library
// root, every level below the root opened without following a link; it may
// be something other than a regular file.
unique_fd library_open(const char* root, std::string_view hour, std::string_view name);

// The index of the hour that starts at `start` in library lib, as it is on
// disk now; empty when the hour has none.
std::shared_ptr<const archive::hour_index> library_cache_hour(const instance_t* instance, int lib, int64_t start);

// The playable segments of library lib that overlap [from, to), one per
// time, in time order, from the indexes of the hours they start in; the
// hours are held as long as the segments are pointed at.
struct library_span {
    std::vector<std::shared_ptr<const archive::hour_index>> hours;
    std::vector<const archive::index_entry*> segments;
};
library_span library_cache_span(const instance_t* instance, int lib, int64_t from, int64_t to);

// The newest hour folder whose index holds a line, and that index.
struct library_newest_hour {
    int64_t start = 0;
    std::shared_ptr<const archive::hour_index> index;
};
std::optional<library_newest_hour> library_cache_newest(const instance_t* instance, int lib);

// The start time of the newest segment registered in library lib.
std::optional<int64_t> library_cache_last_segment(const instance_t* instance, int lib);
