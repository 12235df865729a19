// The media library as BrindlewoodClient prune sees it: its hour folders in
// time order, and the removal of one hour folder after another with the day,
// month and year folders they leave empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "handles.h"

namespace client::prune {

// An hour folder: its path "YYYY/MM/DD/HH" below the root and when it starts.
struct hour_folder {
    std::string rel;
    int64_t start = 0;
};

struct library_scan {
    std::vector<hour_folder> hours;  // oldest first
    bool has_entries = false;        // the root holds anything at all
    bool has_layout = false;         // a day folder with an hour folder or the day marker
    int folders_visited = 0;
};

// Lists the hour folders of the library open as root, reading the year,
// month and day folders (not the hours). False with a reason naming the
// folder that cannot be read.
bool scan_library(int root, library_scan* scan, std::string* error);

// What removing one hour folder did.
struct hour_removal {
    bool gone = false;                // someone else removed it first
    int files = 0;                    // segments, thumbnails and index removed
    uint64_t bytes = 0;               // given back to the disk
    std::vector<std::string> strays;  // what it holds that prune leaves alone
};

// Removes hour folders one after another, oldest first: each one's segments,
// thumbnails and index, then the folder, and, once it moves on to another
// day, month or year (or finishes), the day, month and year folders it left
// empty, the day marker with them. A dry run removes nothing and counts what
// would go.
class library_pruner {
public:
    library_pruner(int root, bool dry) : root_(root), dry_(dry) {}
    ~library_pruner() { finish(); }
    library_pruner(const library_pruner&) = delete;
    library_pruner& operator=(const library_pruner&) = delete;

    // False with a reason when a file or folder cannot be removed; an hour
    // folder that is gone already is no failure.
    bool remove_hour(const hour_folder& hour, hour_removal* out, std::string* error);
    // Removes the emptied folders still open.
    void finish();

private:
    // A day, month or year folder held open while its hours are removed.
    struct level {
        std::string name;
        std::string rel;
        unique_fd fd;
        bool emptied = false;  // a folder inside it was removed
    };
    int day_fd(std::string_view rel);
    bool enter(int parent, level* l, std::string_view name, std::string_view rel);
    // depth: 1 a year, 2 a month, 3 a day
    void leave(int parent, level* l, level* up, int depth);
    void tidy(int parent, const level& l, level* up, int depth);
    void leave_day();
    void leave_month();
    void leave_year();
    bool empty_hour(int hour_fd, std::string_view rel, hour_removal* out, std::string* error);

    int root_;
    bool dry_;
    level year_, month_, day_;
};

}  // namespace client::prune
