#include "exporter/library_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

#include "handles.h"

namespace {

// Hours kept per library: the 26 a day's VOD playlist reads, the newest two
// for the live playlist and the freshness figure, and a few more for the
// segments players fetch. An hour of 6 s segments takes some 50 KiB.
constexpr size_t HOURS_KEPT = 32;

// Times beyond this many seconds from the epoch name no hour of the layout.
constexpr int64_t FARTHEST_TIME = int64_t{1} << 55;

// Hour folders without an index line passed over, newest first, before a
// library counts as holding no segment: hour folders are made just before a
// segment's copy, so such a run is registrations that failed, never the
// whole of a library.
constexpr int NEWEST_SEARCH = 48;

// An index changed within this many seconds of its reading may change again
// with the same size and time stamp (file times are coarser than a second
// on some file systems): it is read again until it has been quiet longer.
constexpr time_t RACY_SECONDS = 2;

struct index_stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime = {};

    bool operator==(const index_stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

index_stamp stamp_of(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

struct cached_hour {
    index_stamp stamp;
    bool racy = false;
    uint64_t used = 0;
    std::shared_ptr<const archive::hour_index> index;
};

struct library_hours {
    std::string root;  // the hours below belong to this root
    std::map<int64_t, cached_hour> hours;
};

struct hour_cache {
    std::mutex lock;
    std::array<library_hours, LIBRARY_COUNT> libs;
    uint64_t uses = 0;
};

hour_cache& hour_cache_registry() {
    static hour_cache c;
    return c;
}

const std::shared_ptr<const archive::hour_index>& no_index() {
    static const auto empty = std::make_shared<const archive::hour_index>();
    return empty;
}

// Reads the index open as fd; false when it cannot be read whole.
bool read_index(int fd, off_t size, std::string* text) {
    text->reserve(static_cast<size_t>(size));
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

void forget_least_used(library_hours* lib) {
    while (lib->hours.size() > HOURS_KEPT) {
        auto oldest = lib->hours.begin();
        for (auto it = lib->hours.begin(); it != lib->hours.end(); ++it) {
            if (it->second.used < oldest->second.used) oldest = it;
        }
        lib->hours.erase(oldest);
    }
}

std::shared_ptr<const archive::hour_index> hour_locked(hour_cache* c, int lib, const char* root, int64_t start) {
    library_hours& l = c->libs[lib];
    if (l.root != root) {
        l.hours.clear();
        l.root = root;
    }
    const unique_fd fd = library_open(root, archive::hour_dir(start), archive::INDEX_FILE);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        l.hours.erase(start);
        return no_index();
    }
    cached_hour& h = l.hours[start];
    h.used = ++c->uses;
    const index_stamp now_stamp = stamp_of(st);
    if (h.index && !h.racy && h.stamp == now_stamp) return h.index;
    std::string text;
    if (!read_index(fd.get(), st.st_size, &text)) {
        l.hours.erase(start);
        return no_index();
    }
    h.stamp = now_stamp;
    h.racy = st.st_mtim.tv_sec + RACY_SECONDS >= time(nullptr);
    h.index = std::make_shared<const archive::hour_index>(archive::read_hour_index(text, start));
    auto index = h.index;
    forget_least_used(&l);
    return index;
}

}  // namespace

unique_fd library_open(const char* root, std::string_view hour, std::string_view name) {
    unique_fd dir(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t at = 0; dir && at <= hour.size();) {
        const size_t slash = std::min(hour.find('/', at), hour.size());
        const std::string level(hour.substr(at, slash - at));
        dir = unique_fd(openat(dir.get(), level.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        at = slash + 1;
    }
    if (!dir) return unique_fd();
    const std::string file(name);
    return unique_fd(openat(dir.get(), file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
}

const char* library_root(const instance_t* instance, int lib) {
    if (lib < 0 || lib >= LIBRARY_COUNT || instance->path.libs[lib][0] == '\0') return nullptr;
    return instance->path.libs[lib];
}

std::shared_ptr<const archive::hour_index> library_cache_hour(const instance_t* instance, int lib, int64_t start) {
    const char* root = library_root(instance, lib);
    if (root == nullptr) return no_index();
    hour_cache& c = hour_cache_registry();
    std::lock_guard<std::mutex> guard(c.lock);
    return hour_locked(&c, lib, root, start);
}

std::optional<library_newest_hour> library_cache_newest(const instance_t* instance, int lib) {
    const char* root = library_root(instance, lib);
    if (root == nullptr) return std::nullopt;
    std::optional<library_newest_hour> found;
    int passed = 0;
    // The folders are listed afresh each time: four small listings, and a
    // new hour is seen at once.
    archive::for_each_hour_newest_first(root, [&](const std::string&, int64_t start) {
        auto index = library_cache_hour(instance, lib, start);
        if (index->newest) {
            found = library_newest_hour{start, std::move(index)};
            return false;
        }
        return ++passed < NEWEST_SEARCH;
    });
    return found;
}

library_span library_cache_span(const instance_t* instance, int lib, int64_t from, int64_t to) {
    library_span out;
    if (from < -FARTHEST_TIME || to > FARTHEST_TIME || to <= from) return out;
    // From the hour before `from`: a segment that starts there may run into
    // the span.
    const int64_t first_hour = from - ((from % 3600) + 3600) % 3600 - 3600;
    for (int64_t hour = first_hour; hour < to; hour += 3600) {
        out.hours.push_back(library_cache_hour(instance, lib, hour));
        for (const archive::index_entry& e : out.hours.back()->playable) {
            if (e.t < to && static_cast<double>(e.t) + e.seconds() > static_cast<double>(from)) {
                out.segments.push_back(&e);
            }
        }
    }
    return out;
}

std::optional<int64_t> library_cache_last_segment(const instance_t* instance, int lib) {
    const auto newest = library_cache_newest(instance, lib);
    return newest ? newest->index->newest : std::nullopt;
}
