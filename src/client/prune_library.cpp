#include "client/prune_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "archive/library.h"
#include "client/prune_fs.h"

namespace client::prune {
namespace {

using name_rule = bool (*)(std::string_view);
// What the folders below the root, by depth, hold: the root years, a year
// months, a month days, a day hours.
constexpr name_rule CHILD_RULE[] = {archive::is_year_dir, archive::is_month_dir, archive::is_day_dir,
                                    archive::is_hour_dir};
constexpr int DAY_DEPTH = 3;

std::string join(const std::string& rel, const std::string& name) { return rel.empty() ? name : rel + "/" + name; }

std::string unreadable(const std::string& rel, int err) {
    return "the library's folder " + (rel.empty() ? std::string(".") : rel) + " cannot be read (" + strerror(err) + ")";
}

// Whether a folder entry that the listing showed as a folder is, on
// opening, a link, something else by now, or gone: all left alone.
bool not_there(int err) { return err == ELOOP || err == ENOTDIR || err == ENOENT; }

void add_hours(const std::vector<entry>& entries, const std::string& day_rel, library_scan* scan) {
    for (const auto& e : entries) {
        if (e.regular && e.name == archive::DAY_MARKER) scan->has_layout = true;
        if (!e.folder || !archive::is_hour_dir(e.name)) continue;
        scan->has_layout = true;
        const std::string rel = join(day_rel, e.name);
        // The walk took only folders named by the layout's rules.
        scan->hours.push_back({rel, archive::hour_dir_start(rel).value_or(0)});
    }
}

// Reads the folder fd at `depth` below the root (0 the root, 3 a day) and
// the layout's folders below it down to the days.
bool walk(int fd, const std::string& rel, int depth, library_scan* scan, std::string* error) {
    std::vector<entry> entries;
    if (!list_folder(fd, &entries)) {
        const int err = errno;
        *error = unreadable(rel, err);
        return false;
    }
    ++scan->folders_visited;
    if (depth == 0) scan->has_entries = !entries.empty();
    if (depth == DAY_DEPTH) {
        add_hours(entries, rel, scan);
        return true;
    }
    for (const auto& e : entries) {
        if (!e.folder || !CHILD_RULE[depth](e.name)) continue;
        const unique_fd sub = open_folder(fd, e.name.c_str());
        if (!sub && not_there(errno)) continue;
        if (!sub) {
            const int err = errno;
            *error = unreadable(join(rel, e.name), err);
            return false;
        }
        if (!walk(sub.get(), join(rel, e.name), depth + 1, scan, error)) return false;
    }
    return true;
}

}  // namespace

bool scan_library(int root, library_scan* scan, std::string* error) {
    if (!walk(root, "", 0, scan, error)) return false;
    std::sort(scan->hours.begin(), scan->hours.end(),
              [](const hour_folder& a, const hour_folder& b) { return a.rel < b.rel; });
    return true;
}

bool library_pruner::enter(int parent, level* l, std::string_view name, std::string_view rel) {
    l->fd = open_folder(parent, std::string(name).c_str());
    if (!l->fd) return false;
    l->name = name;
    l->rel = rel;
    return true;
}

// The day folder an hour lies in, opening the year, month and day as they
// change and tidying up the ones left behind. -1 with errno set.
int library_pruner::day_fd(std::string_view rel) {
    if (year_.rel != rel.substr(0, 4)) {
        leave_year();
        if (!enter(root_, &year_, rel.substr(0, 4), rel.substr(0, 4))) return -1;
    }
    if (month_.rel != rel.substr(0, 7)) {
        leave_month();
        if (!enter(year_.fd.get(), &month_, rel.substr(5, 2), rel.substr(0, 7))) return -1;
    }
    if (day_.rel != rel.substr(0, 10)) {
        leave_day();
        if (!enter(month_.fd.get(), &day_, rel.substr(8, 2), rel.substr(0, 10))) return -1;
    }
    return day_.fd.get();
}

// Removes a folder that a removal inside it left empty; a day's marker goes
// with it. Anything outside the layout keeps it, and says so; a folder that
// still holds layout folders, or that the register daemon has just written
// into, stays without a word.
void library_pruner::tidy(int parent, const level& l, level* up, int depth) {
    std::vector<entry> entries;
    if (!list_folder(l.fd.get(), &entries)) {
        const int err = errno;
        say(unreadable(l.rel, err));
        return;
    }
    bool marker = false;
    std::vector<std::string> strays;
    for (const auto& e : entries) {
        if (e.folder && CHILD_RULE[depth](e.name)) return;
        if (depth == DAY_DEPTH && e.regular && e.name == archive::DAY_MARKER) {
            marker = true;
        } else {
            strays.push_back(e.name);
        }
    }
    if (!strays.empty()) {
        say(l.rel + " holds " + name_list(strays) + ", which prune leaves alone; the folder stays");
        return;
    }
    if (marker && unlinkat(l.fd.get(), archive::DAY_MARKER, 0) != 0 && errno != ENOENT) {
        const int err = errno;
        say("cannot remove " + l.rel + "/" + archive::DAY_MARKER + ": " + strerror(err));
        return;
    }
    if (unlinkat(parent, l.name.c_str(), AT_REMOVEDIR) == 0) {
        if (up != nullptr) up->emptied = true;
    } else if (errno != ENOTEMPTY && errno != EEXIST) {
        const int err = errno;
        say("cannot remove the emptied folder " + l.rel + ": " + strerror(err));
    }
}

void library_pruner::leave(int parent, level* l, level* up, int depth) {
    if (l->fd && l->emptied && !dry_) tidy(parent, *l, up, depth);
    l->fd = unique_fd();
    l->name.clear();
    l->rel.clear();
    l->emptied = false;
}

void library_pruner::leave_day() { leave(month_.fd.get(), &day_, &month_, DAY_DEPTH); }

void library_pruner::leave_month() {
    leave_day();
    leave(year_.fd.get(), &month_, &year_, DAY_DEPTH - 1);
}

void library_pruner::leave_year() {
    leave_month();
    leave(root_, &year_, nullptr, DAY_DEPTH - 2);
}

void library_pruner::finish() { leave_year(); }

// Removes the hour's index first, so that no reader finds lines for
// segments already gone, then its segments and thumbnails.
bool library_pruner::empty_hour(int hour_fd, std::string_view rel, hour_removal* out, std::string* error) {
    std::vector<entry> entries;
    if (!list_folder(hour_fd, &entries)) {
        const int err = errno;
        *error = unreadable(std::string(rel), err);
        return false;
    }
    std::stable_partition(entries.begin(), entries.end(), [](const entry& e) { return e.name == archive::INDEX_FILE; });
    for (const auto& e : entries) {
        if (!e.regular || (e.name != archive::INDEX_FILE && !archive::is_segment_or_thumb_name(e.name))) {
            out->strays.push_back(e.name);
            continue;
        }
        if (!remove_file(hour_fd, e.name.c_str(), dry_, &out->bytes)) {
            const int err = errno;
            *error = "cannot remove " + std::string(rel) + "/" + e.name + ": " + strerror(err);
            return false;
        }
        ++out->files;
    }
    return true;
}

bool library_pruner::remove_hour(const hour_folder& hour, hour_removal* out, std::string* error) {
    const int day = day_fd(hour.rel);
    if (day < 0 && not_there(errno)) return out->gone = true;
    if (day < 0) {
        const int err = errno;
        *error = "cannot open " + hour.rel.substr(0, 10) + ": " + strerror(err);
        return false;
    }
    const std::string name = hour.rel.substr(11);
    unique_fd fd = open_folder(day, name.c_str());
    if (!fd && not_there(errno)) return out->gone = true;
    if (!fd) {
        const int err = errno;
        *error = "cannot open " + hour.rel + ": " + strerror(err);
        return false;
    }
    if (!empty_hour(fd.get(), hour.rel, out, error)) return false;
    if (!out->strays.empty()) {
        say(hour.rel + " holds " + name_list(out->strays) + ", which prune leaves alone; the folder stays");
        return true;
    }
    struct stat st;
    if (fstat(fd.get(), &st) == 0) out->bytes += static_cast<uint64_t>(st.st_blocks) * 512;
    fd = unique_fd();
    if (dry_) return true;
    if (unlinkat(day, name.c_str(), AT_REMOVEDIR) == 0) {
        day_.emptied = true;
    } else if (errno == ENOTEMPTY || errno == EEXIST) {
        say(hour.rel + " gained files while prune emptied it; the folder stays");
    } else {
        const int err = errno;
        *error = "cannot remove the folder " + hour.rel + ": " + strerror(err);
        return false;
    }
    return true;
}

}  // namespace client::prune
