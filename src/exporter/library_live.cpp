#include "exporter/library_live.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <vector>

#include "archive/library_playlist.h"
#include "archive/task_store.h"
#include "exporter/library_cache.h"
#include "handles.h"
#include "logger.h"
#include "utils.h"

namespace {

constexpr const char* LIVE = "library_live_text";

// Seconds of recording a window holds at least...
constexpr int64_t LIVE_SPAN = 30;
// ...and at least three target durations, as HLS asks of a live playlist.
constexpr int64_t TARGETS_HELD = 3;

constexpr int64_t TICKS = static_cast<int64_t>(archive::TICKS_PER_SECOND);

// Numbers read back beyond this are not ours; below it they can go on
// growing for longer than anything records.
constexpr int64_t MAX_SEQUENCE = int64_t{1} << 62;

struct numbered_segment {
    archive::index_entry seg;
    int64_t seq = 0;   // media sequence number
    int64_t disc = 0;  // discontinuity sequence number
};

struct live_library {
    std::string root;  // the library the numbers were handed out for
    std::deque<numbered_segment> window;
    int64_t target = 0;  // seconds; never lowered, as a player expects
};

struct live_state {
    std::mutex lock;
    bool restored = false;
    bool saving_fails = false;  // logged once until a save works again
    std::array<live_library, LIBRARY_COUNT> libs;
};

live_state& live_registry() {
    static live_state s;
    return s;
}

int64_t span_needed(int64_t target) { return std::max(LIVE_SPAN, TARGETS_HELD * target) * TICKS; }

int64_t longest_target(const std::vector<archive::index_entry>& segments, int64_t target) {
    for (const auto& s : segments) target = std::max(target, archive::target_duration_of(s.duration_ts));
    return target;
}

int64_t ticks_of(const std::vector<archive::index_entry>& segments) {
    int64_t sum = 0;
    for (const auto& s : segments) sum += s.duration_ts;
    return sum;
}

// ---------------------------------------------------------------------------
// The file: for each library with a window, "lib\tN\tROOT", then each of its
// segments, oldest first, "seg\tN\tT\tDURATION_TS\tSTART_PTS\tSEQ\tDISC".

std::string live_file_text(const live_state& s) {
    std::string text;
    for (int lib = 0; lib < LIBRARY_COUNT; ++lib) {
        const live_library& l = s.libs[lib];
        // A root a line cannot hold is not kept; that library starts afresh.
        if (l.window.empty() || !archive::segment_name_is_clean(l.root)) continue;
        text += "lib\t" + std::to_string(lib) + "\t" + l.root + "\n";
        for (const auto& n : l.window) {
            text += "seg\t" + std::to_string(lib);
            for (const int64_t v : {n.seg.t, n.seg.duration_ts, n.seg.start_pts, n.seq, n.disc}) {
                text += "\t" + std::to_string(v);
            }
            text += "\n";
        }
    }
    return text;
}

bool write_whole(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Written beside and renamed over the file, so that a stop half way leaves
// the last whole one.
void save_live_file(const instance_t* instance, live_state* s) {
    char path[4096];
    char fresh[4096];
    if (!utils_format_path(path, sizeof path, "%s/%s", instance->path.tasks, archive::LIVE_SEQUENCE_FILE) ||
        !utils_format_path(fresh, sizeof fresh, "%s/%s", instance->path.tasks, archive::LIVE_SEQUENCE_NEW)) {
        return;
    }
    const std::string text = live_file_text(*s);
    unique_fd fd(open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    const char* step = "open";
    bool ok = static_cast<bool>(fd);
    if (ok && !(ok = write_whole(fd.get(), text))) step = "write";
    if (ok && !(ok = close(fd.release()) == 0)) step = "close";
    if (ok && !(ok = rename(fresh, path) == 0)) step = "rename";
    if (ok) {
        if (s->saving_fails) logger_printf(0, "%s: the live sequence numbers are saved in [%s] again", LIVE, path);
        s->saving_fails = false;
        return;
    }
    const int err = errno;
    if (fd) fd = unique_fd();
    unlink(fresh);
    if (!s->saving_fails) {
        logger_printf(1, "%s: %s of [%s] failed (%s): a restart will number the live playlists afresh", LIVE, step,
                      fresh, strerror(err));
    }
    s->saving_fails = true;
}

std::vector<std::string_view> tab_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (size_t at = 0;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
        if (tab == std::string_view::npos) return fields;
        at = tab + 1;
    }
}

bool int64_of(std::string_view s, int64_t* v) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

bool lib_of(std::string_view s, int* lib) {
    if (s.size() != 1 || s[0] < '0' || s[0] >= '0' + LIBRARY_COUNT) return false;
    *lib = s[0] - '0';
    return true;
}

// One line of the file into roots or windows; false when it is none.
bool read_live_line(std::string_view line, std::array<std::string, LIBRARY_COUNT>* roots,
                    std::array<std::deque<numbered_segment>, LIBRARY_COUNT>* windows) {
    const std::vector<std::string_view> f = tab_fields(line);
    int lib = 0;
    if (f.size() == 3 && f[0] == "lib" && lib_of(f[1], &lib)) {
        (*roots)[lib] = std::string(f[2]);
        return true;
    }
    numbered_segment n;
    if (f.size() != 7 || f[0] != "seg" || !lib_of(f[1], &lib) || !int64_of(f[2], &n.seg.t) ||
        !int64_of(f[3], &n.seg.duration_ts) || !int64_of(f[4], &n.seg.start_pts) || !int64_of(f[5], &n.seq) ||
        !int64_of(f[6], &n.disc) || n.seg.duration_ts <= 0 || n.seq < 0 || n.seq > MAX_SEQUENCE || n.disc < 0 ||
        n.disc > MAX_SEQUENCE) {
        return false;
    }
    n.seg.name = archive::segment_name(n.seg.t);
    (*windows)[lib].push_back(std::move(n));
    return true;
}

// Numbers one after another, times rising, discontinuities counted one at
// a time: a window this daemon could have handed out.
bool window_holds_together(const std::deque<numbered_segment>& w) {
    for (size_t i = 1; i < w.size(); ++i) {
        const numbered_segment& a = w[i - 1];
        const numbered_segment& b = w[i];
        if (b.seq != a.seq + 1 || b.seg.t <= a.seg.t || (b.disc != a.disc && b.disc != a.disc + 1)) return false;
    }
    return true;
}

void restore_live_file(const instance_t* instance, live_state* s) {
    char path[4096];
    if (!utils_format_path(path, sizeof path, "%s/%s", instance->path.tasks, archive::LIVE_SEQUENCE_FILE)) return;
    std::string text;
    const int r = utils_read_text(path, &text);
    if (r == -ENOENT) return;
    std::array<std::string, LIBRARY_COUNT> roots;
    std::array<std::deque<numbered_segment>, LIBRARY_COUNT> windows;
    const int bad = r != 0 ? -1 : archive::for_each_index_line(text, [&](std::string_view line) {
        return read_live_line(line, &roots, &windows);
    });
    if (bad != 0) {
        logger_printf(1, "%s: [%s] cannot be read (%s): the live playlists are numbered afresh", LIVE, path,
                      r != 0 ? strerror(-r) : ("line " + std::to_string(bad) + " is malformed").c_str());
        return;
    }
    for (int lib = 0; lib < LIBRARY_COUNT; ++lib) {
        const char* root = library_root(instance, lib);
        if (root == nullptr || roots[lib] != root || windows[lib].empty()) continue;
        if (!window_holds_together(windows[lib])) {
            logger_printf(1, "%s: the numbers of library %d in [%s] do not follow on: its live playlist is "
                          "numbered afresh", LIVE, lib, path);
            continue;
        }
        live_library& l = s->libs[lib];
        l.root = root;
        l.window = std::move(windows[lib]);
        for (const auto& n : l.window) l.target = std::max(l.target, archive::target_duration_of(n.seg.duration_ts));
    }
}

// ---------------------------------------------------------------------------
// Numbering.

// The newest hour's playable segments, after the previous hour's when the
// newest alone is short of a window.
std::vector<archive::index_entry> live_candidates(const instance_t* instance, int lib,
                                                  const library_newest_hour& newest, int64_t target) {
    std::vector<archive::index_entry> c = newest.index->playable;
    if (ticks_of(c) < span_needed(longest_target(c, target))) {
        const auto before = library_cache_hour(instance, lib, newest.start - 3600);
        c.insert(c.begin(), before->playable.begin(), before->playable.end());
    }
    return c;
}

// Numbers the candidates (in time order) that start after the window's
// last segment; a new window takes only the newest that fill it. True when
// one was added.
bool number_new_segments(live_library* l, const std::vector<archive::index_entry>& c) {
    auto first = c.end();
    if (!l->window.empty()) {
        first = std::upper_bound(c.begin(), c.end(), l->window.back().seg.t,
                                 [](int64_t t, const archive::index_entry& e) { return t < e.t; });
    } else {
        const int64_t need = span_needed(longest_target(c, l->target));
        for (int64_t held = 0; first != c.begin() && held < need;) held += (--first)->duration_ts;
    }
    const bool grew = first != c.end();
    for (; first != c.end(); ++first) {
        numbered_segment n{*first, first->t, first->t};
        if (!l->window.empty()) {
            const numbered_segment& last = l->window.back();
            n.seq = last.seq + 1;
            n.disc = last.disc + (archive::segments_discontinuous(last.seg, n.seg) ? 1 : 0);
        }
        l->target = std::max(l->target, archive::target_duration_of(n.seg.duration_ts));
        l->window.push_back(std::move(n));
    }
    return grew;
}

// The oldest go while the rest still fill the window.
void slide_window(live_library* l) {
    const int64_t need = span_needed(l->target);
    int64_t held = 0;
    for (const auto& n : l->window) held += n.seg.duration_ts;
    while (l->window.size() > 1 && held - l->window.front().seg.duration_ts >= need) {
        held -= l->window.front().seg.duration_ts;
        l->window.pop_front();
    }
}

archive::live_window window_of(const live_library& l) {
    archive::live_window w;
    w.media_sequence = l.window.front().seq;
    w.discontinuity_sequence = l.window.front().disc;
    w.target_duration = l.target;
    for (size_t i = 0; i < l.window.size(); ++i) {
        const numbered_segment& n = l.window[i];
        w.items.push_back({n.seg.t, n.seg.duration_ts, i > 0 && n.disc != l.window[i - 1].disc});
    }
    return w;
}

}  // namespace

std::optional<std::string> library_live_text(const instance_t* instance, int lib) {
    const char* root = library_root(instance, lib);
    if (root == nullptr) return std::nullopt;
    const auto newest = library_cache_newest(instance, lib);
    if (!newest) return std::nullopt;
    live_state& s = live_registry();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.restored) {
        restore_live_file(instance, &s);
        s.restored = true;
    }
    live_library& l = s.libs[lib];
    if (l.root != root) {
        l = live_library{};
        l.root = root;
    }
    const bool grew = number_new_segments(&l, live_candidates(instance, lib, *newest, l.target));
    if (l.window.empty()) return std::nullopt;
    slide_window(&l);
    // Saved before the playlist goes out: no number is seen that a restart
    // could hand out again.
    if (grew) save_live_file(instance, &s);
    return archive::library_live_playlist(lib, window_of(l));
}
