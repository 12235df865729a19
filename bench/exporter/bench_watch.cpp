// The console's watch view against the real export daemon over 127.0.0.1,
// on libraries of a whole day of 6 s segments (14,400): one real segment
// made by ffmpeg, written again under every name with its time stamps moved
// on, so that the day plays as one recorder's output would.
//  1. seek: a click on the timeline of the day, in headless Chromium, to the
//     frame of the moment clicked painted (requestVideoFrameCallback), at
//     random moments; the first click after the page opened apart;
//  2. gaps: a day with 50 gaps and 50 time-stamp restarts (half of them at a
//     gap), played at 16x in a window around each one: the stall at it, the
//     clock beside the player against the frame's time, player errors;
//  3. playlist: GET /api/play.m3u8 of the whole day, connect to first and
//     last byte, on both libraries;
//  4. live: the register daemon registers a segment every 6 s of real time
//     while the page plays the live edge: how far the frame on screen is
//     behind real time; then one segment comes late, and how the view
//     gets back;
//  5. serving: players at 8x at once (HTTP clients that fetch as the page's
//     player does, 30 s ahead): the daemon's CPU time per second of video
//     served and the stalls; then the same load on the service in this
//     process while announcements are timed as bench_service times them.
// Prints figures; asserts nothing. Options: --parts=seek,gaps,playlist,live,
// serving --seeks=N --gap-events=N --live-seconds=N --live-phase=S
// --live-late=S --serve-seconds=N --players=N.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/library.h"
#include "bench_support.h"
// The tests' plain HTTP client (tests/exporter/http_client.h).
#include "exporter/http_client.h"
#include "handles.h"
#include "logger.h"
#include "service_support.h"
#include "timed_get.h"
#include "support/browser.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using bench::clock_type;
using bench::us_between;

// 2021-05-01 00:00:00 UTC: the day of the libraries.
constexpr int64_t DAY_T0 = 1619827200;
constexpr int DAY_SEGMENTS = 14400;
constexpr int64_t SIX = 540000;  // 6 s in 90 kHz ticks
constexpr int GAP_SLOTS = 50;
constexpr int SEGMENTS_PER_SLOT = DAY_SEGMENTS / GAP_SLOTS;

struct options {
    std::set<std::string> parts{"seek", "gaps", "playlist", "live", "serving"};
    int seeks = 30;
    int cold = 3;
    int gap_events = 20;
    int live_seconds = 60;
    int live_late = 4;           // s the late segment is held back
    int live_phase_ms = 4000;    // the page opens this long after a registration
    int serve_seconds = 30;
    int players = 16;
};

struct figures {
    size_t n = 0;
    double median = 0;
    double p95 = 0;
    double min = 0;
    double max = 0;
};

figures figures_of(std::vector<double> v) {
    figures f;
    if (v.empty()) return f;
    std::sort(v.begin(), v.end());
    f.n = v.size();
    f.median = v.size() % 2 != 0 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    f.p95 = v[std::min(v.size() - 1, v.size() * 95 / 100)];
    f.min = v.front();
    f.max = v.back();
    return f;
}

void print_figures(const char* what, const figures& f, const char* unit) {
    printf("   %-44s n %3zu, median %7.1f %s, p95 %7.1f %s, min %7.1f, max %7.1f\n", what, f.n, f.median, unit, f.p95,
           unit, f.min, f.max);
}

// ---------------------------------------------------------------------------
// A segment written again with its time stamps moved on.

uint64_t read_pts(const unsigned char* p) {
    return (static_cast<uint64_t>((p[0] >> 1) & 7) << 30) | (static_cast<uint64_t>(p[1]) << 22) |
           (static_cast<uint64_t>(p[2] >> 1) << 15) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
}

void write_pts(unsigned char* p, uint64_t v) {
    p[0] = static_cast<unsigned char>((p[0] & 0xF0) | ((v >> 29) & 0x0E) | 1);
    p[1] = static_cast<unsigned char>(v >> 22);
    p[2] = static_cast<unsigned char>(((v >> 14) & 0xFE) | 1);
    p[3] = static_cast<unsigned char>(v >> 7);
    p[4] = static_cast<unsigned char>(((v << 1) & 0xFE) | 1);
}

// An MPEG-TS file held in memory; copies of it have every PTS, DTS and PCR
// moved on by a number of 90 kHz ticks (modulo 2^33, as the stream keeps
// them), as if the recorder had made them that much later.
class shifted_segment {
public:
    explicit shifted_segment(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        data_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (data_.empty() || data_.size() % 188 != 0) throw std::runtime_error("not an MPEG-TS file: " + path);
    }

    std::vector<char> moved(int64_t ticks) const {
        constexpr uint64_t wrap = 1ULL << 33;
        const uint64_t by = static_cast<uint64_t>(ticks) % wrap;
        std::vector<char> out = data_;
        for (size_t at = 0; at + 188 <= out.size(); at += 188) {
            auto* p = reinterpret_cast<unsigned char*>(out.data() + at);
            if (p[0] != 0x47) continue;
            const bool start = (p[1] & 0x40) != 0;
            const int control = (p[3] >> 4) & 3;
            size_t payload = 4;
            if (control & 2) {
                const size_t len = p[4];
                if (len > 0 && (p[5] & 0x10) != 0 && len >= 7) {
                    unsigned char* pcr = p + 6;
                    uint64_t base = (static_cast<uint64_t>(pcr[0]) << 25) | (static_cast<uint64_t>(pcr[1]) << 17) |
                                    (static_cast<uint64_t>(pcr[2]) << 9) | (static_cast<uint64_t>(pcr[3]) << 1) |
                                    (pcr[4] >> 7);
                    base = (base + by) % wrap;
                    pcr[0] = static_cast<unsigned char>(base >> 25);
                    pcr[1] = static_cast<unsigned char>(base >> 17);
                    pcr[2] = static_cast<unsigned char>(base >> 9);
                    pcr[3] = static_cast<unsigned char>(base >> 1);
                    pcr[4] = static_cast<unsigned char>(((base & 1) << 7) | (pcr[4] & 0x7F));
                }
                payload = 5 + len;
            }
            if (!start || (control & 1) == 0 || payload + 14 > 188) continue;
            unsigned char* pes = p + payload;
            // A PES packet (tables start with a pointer field, never 00 00 01).
            if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) continue;
            const int flags = pes[7] >> 6;
            if (flags & 2) write_pts(pes + 9, (read_pts(pes + 9) + by) % wrap);
            if (flags == 3 && payload + 19 <= 188) write_pts(pes + 14, (read_pts(pes + 14) + by) % wrap);
        }
        return out;
    }

private:
    std::vector<char> data_;
};

void write_bytes(const std::string& path, const std::vector<char>& bytes) {
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        throw std::runtime_error("cannot write " + path);
    }
}

// The first value of "key=" in ffprobe's output.
int64_t probe_value(const std::string& text, const std::string& key) {
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) throw std::runtime_error("ffprobe gave no " + key);
    return atoll(text.c_str() + at + key.size() + 1);
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The recorder's material: one 6 s segment (H.264 320x180, 25 fps, a
// keyframe every 2 s, AAC), its thumbnail, and its first video time stamp.
struct material {
    std::string segment;
    std::string thumb;
    int64_t first_pts = 0;
    int64_t duration_ts = 0;
    uint64_t bytes = 0;
    std::unique_ptr<shifted_segment> shifter;

    explicit material(const bench::scratch_dir& dir) : segment(dir / "segment.ts"), thumb(dir / "segment.jpg") {
        const std::string ffmpeg = bench::which("ffmpeg");
        bench::child gen(ffmpeg,
                         {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          "testsrc=size=320x180:rate=25:duration=6", "-f", "lavfi", "-i",
                          "sine=frequency=440:sample_rate=48000:duration=6", "-c:v", "libx264", "-preset", "ultrafast",
                          "-g", "50", "-pix_fmt", "yuv420p", "-c:a", "aac", "-b:a", "64k", "-f", "mpegts", segment},
                         "", dir / "segment.log", bench::current_env());
        bench::child shot(ffmpeg,
                          {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                           "testsrc=size=96x54:rate=1:duration=1", "-vframes", "1", thumb},
                          "", dir / "thumb.log", bench::current_env());
        if (gen.wait() != 0 || shot.wait() != 0) throw std::runtime_error("ffmpeg failed; see " + dir / "segment.log");
        bench::child probe(bench::which("ffprobe"),
                           {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=duration_ts,start_pts",
                            "-of", "default=noprint_wrappers=1", segment},
                           dir / "probe.out", "", bench::current_env());
        if (probe.wait() != 0) throw std::runtime_error("ffprobe failed");
        const std::string out = read_text(dir / "probe.out");
        first_pts = probe_value(out, "start_pts");
        duration_ts = probe_value(out, "duration_ts");
        bytes = fs::file_size(segment);
        shifter = std::make_unique<shifted_segment>(segment);
    }
};

// One segment of a library: its time and the number of segments its
// recorder had made before it (its time stamps are that many 6 s on).
struct placed {
    int64_t t;
    int64_t k;
};

// Writes a library from the segments given, in time order: each copy, its
// thumbnail (a link to one), the hour indexes through the archive's rules
// (dated when their hour ended, as a recorded day's are) and the day
// markers. A copy whose k another library holds already is a link to it.
void write_library(const std::string& lib, const material& m, const std::vector<placed>& segments,
                   std::map<int64_t, std::string>* copies) {
    std::map<std::string, std::string> indexes;  // index path -> text
    std::map<std::string, int64_t> hour_of;
    for (const placed& s : segments) {
        const std::string name = archive::segment_name(s.t);
        const time_t tt = static_cast<time_t>(s.t);
        struct tm utc = {};
        gmtime_r(&tt, &utc);
        archive::segment_files files;
        if (!archive::segment_files_of(lib.c_str(), name.c_str(), utc, &files)) throw std::runtime_error("path too long");
        fs::create_directories(files.hour);
        const auto held = copies->find(s.k);
        if (held != copies->end()) {
            fs::create_hard_link(held->second, files.copy);
        } else {
            write_bytes(files.copy, m.shifter->moved(s.k * SIX));
            copies->emplace(s.k, files.copy);
        }
        fs::create_hard_link(m.thumb, files.thumb);
        if (!fs::exists(files.here)) write_bytes(files.here, {});
        indexes[files.index] += archive::index_line(name, s.t, m.duration_ts, m.first_pts + s.k * SIX);
        hour_of[files.index] = s.t - s.t % 3600;
    }
    for (const auto& [path, text] : indexes) {
        std::ofstream(path, std::ios::binary) << text;
        const int64_t end = hour_of[path] + 3600;
        const timespec written[2] = {{static_cast<time_t>(end), 0}, {static_cast<time_t>(end), 0}};
        utimensat(AT_FDCWD, path.c_str(), written, 0);
    }
}

// What happens in the gaps library at one point of the day.
struct event {
    int64_t from;  // the gap's start, or the restart's time
    int64_t to;    // the gap's end (== from for a restart without a gap)
    bool restart;
};

// The libraries, made when first needed.
class libraries {
public:
    explicit libraries(const bench::scratch_dir& dir) : dir_(dir) {}

    const material& media() {
        if (!material_) material_ = std::make_unique<material>(dir_);
        return *material_;
    }

    // A whole day, one recorder without a stop.
    const std::string& day() {
        if (day_.empty()) {
            const auto t0 = clock_type::now();
            std::vector<placed> segments;
            for (int i = 0; i < DAY_SEGMENTS; ++i) segments.push_back({DAY_T0 + 6LL * i, i});
            write_library(dir_ / "day", media(), segments, &copies_);
            day_ = dir_ / "day";
            printf("   [the day's library: %d segments of %ju bytes written in %.1f s]\n", DAY_SEGMENTS,
                   static_cast<uintmax_t>(media().bytes), us_between(t0, clock_type::now()) / 1e6);
        }
        return day_;
    }

    // The day with a gap in each of 50 equal slots; after the gaps of even
    // slots the recorder starts again (its time stamps from the start), and
    // in odd slots it starts again later without a gap.
    const std::string& gaps() {
        if (gaps_.empty()) {
            day();  // its copies are linked
            std::mt19937 random(20210501);
            std::vector<placed> segments;
            int64_t k = 0;
            for (int slot = 0; slot < GAP_SLOTS; ++slot) {
                const int base = slot * SEGMENTS_PER_SLOT;
                const int gap_at = base + 20 + static_cast<int>(random() % 100);
                const int gap_len = 2 + static_cast<int>(random() % 59);  // 12 s to 6 min
                const int lone_restart = slot % 2 != 0 ? gap_at + gap_len + 40 + static_cast<int>(random() % 60) : -1;
                events_.push_back({DAY_T0 + 6LL * gap_at, DAY_T0 + 6LL * (gap_at + gap_len), slot % 2 == 0});
                if (lone_restart >= 0) events_.push_back({DAY_T0 + 6LL * lone_restart, DAY_T0 + 6LL * lone_restart, true});
                for (int i = base; i < base + SEGMENTS_PER_SLOT; ++i) {
                    if (i >= gap_at && i < gap_at + gap_len) {
                        ++k;  // the recorder runs on through a gap that is not a restart
                        continue;
                    }
                    if ((i == gap_at + gap_len && slot % 2 == 0) || i == lone_restart) k = 0;
                    segments.push_back({DAY_T0 + 6LL * i, k++});
                }
            }
            write_library(dir_ / "gaps", media(), segments, &copies_);
            gaps_ = dir_ / "gaps";
        }
        return gaps_;
    }

    const std::vector<event>& events() {
        gaps();
        return events_;
    }

private:
    const bench::scratch_dir& dir_;
    std::unique_ptr<material> material_;
    std::map<int64_t, std::string> copies_;
    std::string day_;
    std::string gaps_;
    std::vector<event> events_;
};

// ---------------------------------------------------------------------------
// The page.

// Installed in the page once it has loaded: the playlist of the day read
// apart from the page's own code, so that the wall-clock time of every frame
// painted (from requestVideoFrameCallback's media time) is known
// independently; every frame painted with the clock shown beside the player
// at that moment; the clicks on the timeline and the moment each one asked
// for; the video's "waiting" and "error" events.
const char* PAGE_PROBE = R"JS(
window.__bw = (() => {
  const S = { segs: [], frames: [], clicks: [], waiting: 0, errors: 0, video: null, tileErrors: 0 };
  S.load = async (url) => {
    const text = await (await fetch(url)).text();
    let at = null, len = null, media = 0;
    const segs = [];
    for (const raw of text.split('\n')) {
      const l = raw.trim();
      if (l.startsWith('#EXT-X-PROGRAM-DATE-TIME:')) at = Date.parse(l.slice(25));
      else if (l.startsWith('#EXTINF:')) len = parseFloat(l.slice(8));
      else if (l && !l.startsWith('#')) { segs.push({ media, wall: at, dur: len }); media += len; at += len * 1000; }
    }
    S.segs = segs;
    return segs.length;
  };
  S.wallOf = (t) => {
    let lo = 0, hi = S.segs.length - 1, f = null;
    while (lo <= hi) { const mid = (lo + hi) >> 1; if (S.segs[mid].media <= t + 1e-4) { f = S.segs[mid]; lo = mid + 1; } else hi = mid - 1; }
    return f ? f.wall + Math.min(t - f.media, f.dur) * 1000 : null;
  };
  S.watch = () => {
    const v = document.querySelector('#player-0 video');
    if (!v || S.video === v) return !!v;
    S.video = v;
    v.addEventListener('waiting', () => S.waiting++);
    v.addEventListener('error', () => S.errors++);
    const clock = document.getElementById('watch-clock');
    const tile = document.getElementById('player-0');
    const cb = (now, m) => {
      if (tile.dataset.state === 'error') S.tileErrors++;
      S.frames.push({ now, shown: m.expectedDisplayTime, media: m.mediaTime, wall: S.wallOf(m.mediaTime),
                      clock: clock.dataset.ms ? Number(clock.dataset.ms) : null });
      if (S.frames.length > 40000) S.frames.splice(0, 20000);
      v.requestVideoFrameCallback(cb);
    };
    v.requestVideoFrameCallback(cb);
    return true;
  };
  addEventListener('pointerup', (e) => {
    const box = document.getElementById('scrub');
    const r = document.getElementById('scrub-lanes').getBoundingClientRect();
    const f = Math.min(1, Math.max(0, (e.clientX - r.left) / r.width));
    const a = Number(box.dataset.from), b = Number(box.dataset.to);
    S.clicks.push({ at: e.timeStamp, ms: (a + f * (b - a)) * 1000 });
  }, true);
  // Where on the screen the timeline shows ms, in library 0's lane.
  S.pointAt = (ms) => {
    const box = document.getElementById('scrub');
    const r = document.getElementById('scrub-lanes').getBoundingClientRect();
    const a = Number(box.dataset.from), b = Number(box.dataset.to);
    return { x: r.left + ((ms / 1000 - a) / (b - a)) * r.width, y: r.top + Math.min(r.height / 2, 10) };
  };
  // Resolves when a frame of [lo, hi] (wall ms) is painted after the last
  // click: from the click to that frame's display, the first frame after the
  // click, how many others came before it, and the page's own figure.
  S.seekResult = (lo, hi, timeoutMs) => new Promise((done) => {
    const click = S.clicks[S.clicks.length - 1];
    const t0 = performance.now();
    const look = () => {
      const after = S.frames.filter((f) => f.now > click.at);
      const i = after.findIndex((f) => f.wall !== null && f.wall >= lo && f.wall <= hi);
      if (i >= 0) {
        done({ ms: after[i].shown - click.at, target: click.ms, off: after[i].wall - click.ms, before: i,
               page: Number(document.getElementById('watch').dataset.seekMs || -1) });
      } else if (performance.now() - t0 > timeoutMs) {
        done(null);
      } else {
        setTimeout(look, 5);
      }
    };
    look();
  });
  return S;
})();
)JS";

json_object* number(double v) { return json_object_new_double(v); }

// A click (press and release of the left button) at x, y of the viewport.
void click_at(testsupport::Browser& browser, double x, double y) {
    for (const char* type : {"mousePressed", "mouseReleased"}) {
        json_ptr p(json_object_new_object());
        json_object_object_add(p.get(), "type", json_object_new_string(type));
        json_object_object_add(p.get(), "x", number(x));
        json_object_object_add(p.get(), "y", number(y));
        json_object_object_add(p.get(), "button", json_object_new_string("left"));
        json_object_object_add(p.get(), "buttons", json_object_new_int(type[5] == 'P' ? 1 : 0));
        json_object_object_add(p.get(), "clickCount", json_object_new_int(1));
        browser.call("Input.dispatchMouseEvent", std::move(p));
    }
}

double get_number(json_object* o, const char* key) {
    json_object* v = nullptr;
    return json_object_object_get_ex(o, key, &v) ? json_object_get_double(v) : NAN;
}

// Opens the console on a daemon whose library 0 is the day from DAY_T0, in
// UTC (the timeline's day is the library's), and waits until the timeline
// of that day is drawn and the probe installed.
void open_console(testsupport::Browser& browser, int port, const std::string& query = "") {
    browser.set_timezone("UTC");
    browser.open("http://127.0.0.1:" + std::to_string(port) + "/" + query);
    if (!browser.wait_for("document.getElementById('player-0') && document.getElementById('scrub').dataset.state === "
                          "'ready'",
                          30s)) {
        throw std::runtime_error("the watch view did not get ready");
    }
    browser.evaluate(PAGE_PROBE);
    browser.evaluate("__bw.watch()");
}

void load_day_playlist(testsupport::Browser& browser) {
    const std::string url =
        "/api/play.m3u8?lib=0&from=" + std::to_string(DAY_T0) + "&to=" + std::to_string(DAY_T0 + 86400);
    const std::string n = browser.evaluate_json("__bw.load('" + url + "')");
    if (atoi(n.c_str()) <= 0) throw std::runtime_error("the day's playlist is empty");
}

// The day shown on the timeline must be the library's day (the view opens on
// the newest recording's day).
void show_library_day(testsupport::Browser& browser) {
    const std::string from = browser.evaluate_json("Number(document.getElementById('scrub').dataset.from)");
    if (atoll(from.c_str()) != DAY_T0) throw std::runtime_error("the timeline shows another day (" + from + ")");
}

// ---------------------------------------------------------------------------
// 1. Seek.

struct seek_sample {
    double ms = -1;       // click to the right frame displayed
    double off = 0;       // the right frame's wall-clock time against the moment clicked (ms)
    int before = 0;       // frames painted after the click before the right one
    double page = -1;     // the page's own seek figure
};

std::optional<seek_sample> seek_once(testsupport::Browser& browser, int64_t target_ms) {
    json_ptr pt = browser.evaluate("__bw.pointAt(" + std::to_string(target_ms) + ")");
    click_at(browser, get_number(pt.get(), "x"), get_number(pt.get(), "y"));
    // The frame that holds the moment asked for is up to a frame before it;
    // the player plays on, so a frame shortly after is the same moment.
    json_ptr r = browser.evaluate(
        "(() => { const c = __bw.clicks[__bw.clicks.length - 1]; return __bw.seekResult(c.ms - 80, c.ms + 500, "
        "10000); })()",
        15s);
    if (!r) return std::nullopt;
    seek_sample s;
    s.ms = get_number(r.get(), "ms");
    s.off = get_number(r.get(), "off");
    s.before = static_cast<int>(get_number(r.get(), "before"));
    s.page = get_number(r.get(), "page");
    return s;
}

void bench_seek(libraries& libs, const bench::scratch_dir& dir, const options& o) {
    const std::string lib = libs.day();
    fs::create_directories(dir / "seek_tasks");
    bench::daemon_run d(dir, "seek", dir / "seek_tasks", lib, "/bin/true");
    testsupport::Browser browser;
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> moment(DAY_T0 * 1000 + 1000, (DAY_T0 + 86400 - 60) * 1000);

    std::vector<double> cold;
    std::vector<double> warm;
    std::vector<double> page;
    std::vector<double> off;
    int stale = 0;
    int missed = 0;
    for (int round = 0; round < std::max(1, o.cold); ++round) {
        open_console(browser, d.port());
        show_library_day(browser);
        load_day_playlist(browser);
        const auto s = seek_once(browser, moment(random));
        if (s) {
            cold.push_back(s->ms);
        } else {
            ++missed;
        }
    }
    for (int i = 0; i < o.seeks; ++i) {
        const auto s = seek_once(browser, moment(random));
        if (!s) {
            ++missed;
            continue;
        }
        warm.push_back(s->ms);
        if (s->page >= 0) page.push_back(s->page);
        off.push_back(s->off);
        stale += s->before > 0;
        std::this_thread::sleep_for(300ms);  // it plays a moment, as after a click
    }
    printf("1. seek: a click on the day's timeline (14,400 segments of 6 s, 320x180 25 fps, a keyframe every 2 s) to "
           "the frame of the moment clicked displayed, headless Chromium over 127.0.0.1\n");
    print_figures("first click after the page opened (hls.js, day):", figures_of(cold), "ms");
    print_figures("clicks at random moments of the day:", figures_of(warm), "ms");
    print_figures("  the page's own figure (data-seek-ms):", figures_of(page), "ms");
    print_figures("  that frame's time less the moment clicked:", figures_of(off), "ms");
    printf("   clicks whose first frame painted was another moment: %d; no right frame within 10 s: %d\n", stale,
           missed);
    printf("   target: median under 400 ms, p95 under 800 ms\n");
}

// ---------------------------------------------------------------------------
// 2. Gaps.

// After a click before the event, resolves once a frame 6 s past its end is
// painted (or the time is up): the real time between the last frame before
// it and the first at or after its end, the typical time between frames, the
// clock beside the player against the frame's time, frames that went back.
const char* GAP_RESULT = R"JS(
((from, to, timeoutMs) => new Promise((done) => {
  const click = __bw.clicks[__bw.clicks.length - 1];
  const t0 = performance.now();
  const look = () => {
    const after = __bw.frames.filter((f) => f.now > click.at && f.wall !== null);
    const settled = after.findIndex((f) => Math.abs(f.wall - click.ms) < 1000);
    const end = after.findIndex((f) => f.wall >= to + 6000);
    if (settled >= 0 && end > settled) {
      const w = after.slice(settled, end + 1);
      let a = null, b = null, back = 0;
      const steps = [], offs = [];
      for (let i = 0; i < w.length; i++) {
        if (w[i].wall < from) a = w[i];
        if (b === null && w[i].wall >= to) b = w[i];
        if (i > 0) {
          steps.push(w[i].shown - w[i - 1].shown);
          if (w[i].wall < w[i - 1].wall - 1) back++;
        }
        if (w[i].clock !== null) offs.push(w[i].wall - w[i].clock);
      }
      const bi = b === null ? -1 : w.indexOf(b);
      const caught = bi < 0 ? null : w.slice(bi).find((f) => f.clock !== null && f.clock >= to - 1000);
      const longest = steps.length ? Math.max(...steps) : 0;
      steps.sort((x, y) => x - y);
      done({ across: a && b ? b.shown - a.shown : -1, step: steps.length ? steps[steps.length >> 1] : 0,
             offs, back, frames: w.length, longest, follow: caught ? caught.shown - b.shown : -1,
             gapsTold: Number(document.getElementById('watch-notice').dataset.gaps || 0) });
    } else if (performance.now() - t0 > timeoutMs) {
      done(null);
    } else {
      setTimeout(look, 20);
    }
  };
  look();
}))
)JS";

void bench_gaps(libraries& libs, const bench::scratch_dir& dir, const options& o) {
    const std::string lib = libs.gaps();
    const std::vector<event> events = libs.events();
    fs::create_directories(dir / "gaps_tasks");
    bench::daemon_run d(dir, "gaps", dir / "gaps_tasks", lib, "/bin/true");
    testsupport::Browser browser;
    open_console(browser, d.port());
    show_library_day(browser);
    load_day_playlist(browser);
    browser.evaluate("document.querySelector('#watch-speeds [data-rate=\"16\"]').click()");

    // The events in the order of the day: gaps, and in every other slot a
    // restart after the gap.
    const int count = std::min<int>(o.gap_events, static_cast<int>(events.size()));
    std::vector<double> stall_gap;
    std::vector<double> stall_restart;
    std::vector<double> clock_off;     // every frame painted: how far the clock is behind its time, ms
    std::vector<double> clock_follow;  // from the first frame past a gap to the clock past it too
    std::vector<double> longest;       // the longest time between two frames painted in a window
    std::vector<double> steps;
    int back = 0;
    int stuck = 0;
    int played = 0;
    for (int i = 0; i < count; ++i) {
        const event& e = events[static_cast<size_t>(i)];
        const int64_t start_ms = e.from * 1000 - 20000;
        json_ptr pt = browser.evaluate("__bw.pointAt(" + std::to_string(start_ms) + ")");
        click_at(browser, get_number(pt.get(), "x"), get_number(pt.get(), "y"));
        json_ptr r = browser.evaluate(std::string(GAP_RESULT) + "(" + std::to_string(e.from * 1000) + ", " +
                                          std::to_string(e.to * 1000) + ", 30000)",
                                      40s);
        if (!r || get_number(r.get(), "across") < 0) {
            ++stuck;
            continue;
        }
        ++played;
        const double stall = std::max(0.0, get_number(r.get(), "across") - get_number(r.get(), "step"));
        (e.to > e.from ? stall_gap : stall_restart).push_back(stall);
        longest.push_back(get_number(r.get(), "longest"));
        const double follow = get_number(r.get(), "follow");
        if (e.to > e.from && follow >= 0) clock_follow.push_back(follow);
        json_object* offs = nullptr;
        if (json_object_object_get_ex(r.get(), "offs", &offs)) {
            for (size_t k = 0; k < json_object_array_length(offs); ++k) {
                clock_off.push_back(json_object_get_double(json_object_array_get_idx(offs, k)));
            }
        }
        steps.push_back(get_number(r.get(), "step"));
        back += static_cast<int>(get_number(r.get(), "back"));
    }
    const int gaps_told = atoi(browser.evaluate_json("Number(document.getElementById('watch-notice').dataset.gaps "
                                                     "|| 0)")
                                   .c_str());
    const int waiting = atoi(browser.evaluate_json("__bw.waiting").c_str());
    const int errors = atoi(browser.evaluate_json("__bw.errors + __bw.tileErrors").c_str());
    printf("2. gaps: a day with 50 gaps (12 s to 6 min; the recorder starts again after half of them) and 25 "
           "restarts of its time stamps without a gap, played at 16x from 20 s before each of the first %d (gaps "
           "and restarts in turn) to 6 s past it\n",
           count);
    print_figures("stall at a gap (real time across, less a frame):", figures_of(stall_gap), "ms");
    print_figures("stall at a restart without a gap:", figures_of(stall_restart), "ms");
    print_figures("longest time between frames in a window:", figures_of(longest), "ms");
    print_figures("clock beside the player behind the frame's time:", figures_of(clock_off), "ms");
    print_figures("  the first frame past a gap to the clock past it:", figures_of(clock_follow), "ms");
    const auto over = std::count_if(clock_off.begin(), clock_off.end(), [](double v) { return std::fabs(v) > 1000; });
    printf("   frames painted with the clock more than 1 s off: %td of %zu; a frame painted every %.1f ms at the "
           "median\n",
           over, clock_off.size(), figures_of(steps).median);
    printf("   windows played through: %d of %d (not through within 30 s: %d); frames whose time went back: %d\n",
           played, count, stuck, back);
    printf("   player errors: %d (video error events and tiles in the error state); \"waiting\" events: %d; page "
           "errors: %zu; gaps told by the page: %d\n",
           errors, waiting, browser.page_errors().size(), gaps_told);
    for (size_t i = 0; i < browser.page_errors().size() && i < 3; ++i) {
        printf("     %.200s\n", browser.page_errors()[i].c_str());
    }
    printf("   target: no player error, at most 500 ms of stall per gap, the clock within 1000 ms of the frame\n");
}

// ---------------------------------------------------------------------------
// 3. Playlist.

// The reply's body and how long it took, for a GET of path.
bench::timed_get get_path(int port, const std::string& path, std::string* body) {
    return bench::time_get(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", body);
}

void playlist_of(const char* what, const std::string& lib, const bench::scratch_dir& dir, const std::string& name) {
    fs::create_directories(dir / (name + "_tasks"));
    bench::daemon_run d(dir, name, dir / (name + "_tasks"), lib, "/bin/true");
    const std::string path =
        "/api/play.m3u8?lib=0&from=" + std::to_string(DAY_T0) + "&to=" + std::to_string(DAY_T0 + 86400);
    std::string body;
    const bench::timed_get cold = get_path(d.port(), path, &body);
    const size_t bytes = body.size();
    std::vector<double> first;
    std::vector<double> last;
    int failed = 0;
    for (int i = 0; i < 30; ++i) {
        const bench::timed_get g = get_path(d.port(), path, &body);
        first.push_back(g.first_us / 1000);
        last.push_back(g.last_us / 1000);
        failed += g.status != 200;
    }
    printf("   %s: %zu bytes of playlist, status %d; the first request (indexes read) %.2f ms to the last byte\n",
           what, bytes, cold.status, cold.last_us / 1000);
    print_figures("  connect to the first byte (built):", figures_of(first), "ms");
    print_figures("  connect to the last byte:", figures_of(last), "ms");
    if (failed) printf("   requests not answered 200: %d\n", failed);
}

void bench_playlist(libraries& libs, const bench::scratch_dir& dir) {
    printf("3. playlist: GET /api/play.m3u8 for the whole day from the real daemon, 30 requests after a first\n");
    playlist_of("the day (14,400 segments)", libs.day(), dir, "play_day");
    playlist_of("the day with 50 gaps and 50 restarts", libs.gaps(), dir, "play_gaps");
    printf("   target: under 20 ms in the daemon\n");
}

// ---------------------------------------------------------------------------
// 4. Live.

double now_s() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A recorder in real time: at the end of each 6 s of the clock, the segment
// that began then is closed in the register daemon's watch folder, its time
// stamps running on from the one before; the time from its close to its
// line in the library's index is kept. After hold_one(), the next segment
// is closed late_s later, as by a recorder that hung.
class recorder {
public:
    recorder(const material& m, std::string watch, std::string lib, int late_s)
        : m_(m), watch_(std::move(watch)), lib_(std::move(lib)), late_s_(late_s) {
        thread_ = std::thread([this] { run(); });
    }
    ~recorder() {
        stop_ = true;
        thread_.join();
    }
    recorder(const recorder&) = delete;
    recorder& operator=(const recorder&) = delete;

    int registered() const { return registered_; }
    void hold_one() { hold_ = true; }
    std::vector<double> delays() {
        std::lock_guard<std::mutex> hold(lock_);
        return delays_;
    }

private:
    void run() {
        // The last half minute at once, as a recorder that had been running.
        int64_t t = static_cast<int64_t>(now_s()) / 6 * 6 - 30;
        int64_t k = 0;
        while (!stop_) {
            double close_at = static_cast<double>(t + 6);
            if (hold_.exchange(false)) close_at += late_s_;
            while (!stop_ && now_s() < close_at) std::this_thread::sleep_for(5ms);
            if (stop_) break;
            const std::string name = archive::segment_name(t);
            write_bytes(watch_ + "/" + name, m_.shifter->moved(k * SIX));
            const auto closed = clock_type::now();
            const std::string index = archive::index_path(lib_, t);
            while (!stop_ && read_text(index).find(name + "\t") == std::string::npos &&
                   now_s() < close_at + 6) {
                std::this_thread::sleep_for(10ms);
            }
            if (read_text(index).find(name + "\t") != std::string::npos) {
                ++registered_;
                std::lock_guard<std::mutex> hold(lock_);
                delays_.push_back(us_between(closed, clock_type::now()) / 1000);
            }
            t += 6;
            ++k;
        }
    }

    const material& m_;
    std::string watch_;
    std::string lib_;
    int late_s_;
    std::atomic<bool> hold_{false};
    std::atomic<bool> stop_{false};
    std::atomic<int> registered_{0};
    std::mutex lock_;
    std::vector<double> delays_;
    std::thread thread_;
};

struct live_samples {
    std::vector<double> at;      // s since the first sample
    std::vector<double> behind;  // s, the frame on screen behind real time
    std::vector<double> shown;   // s, as the page says it
    int not_playing = 0;
};

// The live view every 250 ms for that long, while it plays.
live_samples sample_live(testsupport::Browser& browser, int seconds) {
    live_samples got;
    const auto start = clock_type::now();
    const auto until = start + std::chrono::seconds(seconds);
    while (clock_type::now() < until) {
        json_ptr r;
        try {
            r = browser.evaluate(
                "({ behind: Date.now() - Number(document.getElementById('watch-clock').dataset.ms), "
                "shown: Number(document.getElementById('watch-lag').dataset.ms || -1), "
                "state: document.getElementById('watch').dataset.state })");
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string("reading the live view after ") + std::to_string(got.behind.size()) +
                                     " samples: " + e.what());
        }
        json_object* state = nullptr;
        const bool playing = json_object_object_get_ex(r.get(), "state", &state) &&
                             strcmp(json_object_get_string(state), "playing") == 0;
        if (playing) {
            got.at.push_back(us_between(start, clock_type::now()) / 1e6);
            got.behind.push_back(get_number(r.get(), "behind") / 1000);
            got.shown.push_back(get_number(r.get(), "shown") / 1000);
        } else {
            ++got.not_playing;
        }
        std::this_thread::sleep_for(250ms);
    }
    return got;
}

// After a late segment: how far behind the view was at worst, how long it
// took to get within 0.5 s of where it played before, and where it settled.
void print_late_segment(const live_samples& steady, const live_samples& late, const options& o) {
    const double before = figures_of(steady.behind).median;
    const auto peak = std::max_element(late.behind.begin(), late.behind.end());
    double back_s = -1;
    for (auto at = peak; at != late.behind.end(); ++at) {
        if (*at <= before + 0.5) {
            back_s = late.at[static_cast<size_t>(at - late.behind.begin())] -
                     late.at[static_cast<size_t>(peak - late.behind.begin())];
            break;
        }
    }
    const std::vector<double> last_third(late.behind.end() - static_cast<long>(late.behind.size() / 3),
                                         late.behind.end());
    char back[64] = "not within the run";
    if (back_s >= 0) snprintf(back, sizeof back, "%.1f s after it", back_s);
    printf("   then one segment closed %d s late, for %d s more:\n", o.live_late, o.live_seconds);
    printf("     behind real time at the worst: %.1f s; back within 0.5 s of the median above: %s\n",
           peak == late.behind.end() ? 0.0 : *peak, back);
    print_figures("  behind real time, the last third:", figures_of(last_third), "s");
    printf("     samples not playing: %d\n", late.not_playing);
}

void bench_live(libraries& libs, const bench::scratch_dir& dir, const options& o) {
    const material& m = libs.media();
    const std::string lib = dir / "live_lib";
    const std::string watch = dir / "live_watch";
    const std::string hold = dir / "live_hold";
    for (const auto& f : {lib, watch, hold, dir / "live_tasks"}) fs::create_directories(f);
    bench::child reg(BRINDLEWOOD_BIN,
                     {"--ffprobe-path=" + bench::which("ffprobe"), "--ffmpeg-path=" + bench::which("ffmpeg"),
                      "--lib-path=" + lib, "--watch-path=" + watch, "--tmp-path=" + hold,
                      "--log-file-name=" + dir / "register.log", "--nodemonize"},
                     dir / "register.out", dir / "register.err", bench::current_env());
    // The files of fixed names the register daemon's probe leaves in /tmp.
    struct probe_files {
        pid_t pid;
        ~probe_files() { unlink(("/tmp/Brindlewood.ffprobe." + std::to_string(pid)).c_str()); }
    } cleanup{reg.pid()};
    const auto up_by = clock_type::now() + 30s;
    while (read_text(dir / "register.log").find("waiting...") == std::string::npos) {
        if (clock_type::now() > up_by || reg.wait_exit(0ms)) throw std::runtime_error("the register daemon did not start");
        std::this_thread::sleep_for(20ms);
    }
    bench::daemon_run d(dir, "live", dir / "live_tasks", lib, "/bin/true");
    recorder rec(m, watch, lib, o.live_late);
    const auto some_by = clock_type::now() + 60s;
    while (rec.registered() < 3 && clock_type::now() < some_by) std::this_thread::sleep_for(50ms);
    if (rec.registered() < 3) throw std::runtime_error("segments were not registered");
    // The page opens this long after a registration: where its first load
    // falls between two of them decides when it sees each next one.
    const int seen = rec.registered();
    while (rec.registered() == seen && clock_type::now() < some_by + 12s) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.live_phase_ms));

    std::optional<testsupport::Browser> started;
    try {
        started.emplace();
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("starting the browser: ") + e.what());
    }
    testsupport::Browser& browser = *started;
    browser.set_timezone("UTC");
    const auto t_open = clock_type::now();
    try {
        browser.open("http://127.0.0.1:" + std::to_string(d.port()) + "/?lib=0&live=1", 60s);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("opening the live view: ") + e.what());
    }
    // Polled with a long answer time: the page may be slow to answer on a
    // loaded machine.
    const char* state_js =
        "[document.getElementById('watch').dataset.state, document.getElementById('watch').dataset.mode, "
        "document.getElementById('player-0') && document.getElementById('player-0').dataset.state, "
        "document.getElementById('watch-notice').textContent, document.getElementById('watch-clock').dataset.ms || ''"
        "].join(' | ')";
    std::string state;
    std::string last_state;
    std::string states;  // how it went, for the report when it does not play
    const auto play_by = clock_type::now() + 60s;
    for (;;) {
        try {
            state = browser.evaluate_string(state_js, 5s);
        } catch (const testsupport::PageError&) {
            state = "not ready";
        } catch (const std::exception& e) {
            state = std::string("no answer: ") + e.what();
        }
        if (state != last_state) {
            states += (states.empty() ? "" : "; ") + std::to_string(us_between(t_open, clock_type::now()) / 1e6) +
                      " s: " + state;
            last_state = state;
        }
        if (state.rfind("playing | live", 0) == 0 && state.back() != ' ') break;
        if (clock_type::now() > play_by) throw std::runtime_error("the live view did not play within 60 s: " + states);
        std::this_thread::sleep_for(100ms);
    }
    const double to_play = us_between(t_open, clock_type::now()) / 1e6;
    const live_samples steady = sample_live(browser, o.live_seconds);
    printf("4. live: the register daemon registers a 6 s segment at the end of every 6 s of real time; the page, "
           "opened %.1f s after a registration, plays the live edge for %d s (sampled every 250 ms)\n",
           o.live_phase_ms / 1000.0, o.live_seconds);
    printf("   from opening the page to playing: %.1f s\n", to_play);
    print_figures("frame on screen behind real time:", figures_of(steady.behind), "s");
    print_figures("  as the page says it (#watch-lag):", figures_of(steady.shown), "s");
    printf("   samples not playing: %d\n", steady.not_playing);
    printf("   target: median at most 8 s (a segment and 2 s)\n");

    // One segment late: the view stalls at the edge, then should win the
    // time back once segments come on time again.
    rec.hold_one();
    print_late_segment(steady, sample_live(browser, o.live_seconds), o);
    print_figures("segment closed to its index line:", figures_of(rec.delays()), "ms");
    printf("   page errors: %zu\n", browser.page_errors().size());
    reg.signal(SIGTERM);
    reg.wait_exit(20s);
}

// ---------------------------------------------------------------------------
// 5. Serving.

struct served {
    std::atomic<int> segments{0};
    std::atomic<int> failed{0};
    std::atomic<int> stalls{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<int64_t> video_ms{0};
    std::atomic<int64_t> stall_ms{0};
};

struct segment_ref {
    std::string path;
    double seconds;
};

// The segments of a VOD playlist, their paths resolved from /api/.
std::vector<segment_ref> segments_of(const std::string& text) {
    std::vector<segment_ref> out;
    double length = 0;
    size_t at = 0;
    while (at < text.size()) {
        const size_t eol = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, eol - at);
        at = eol + 1;
        if (line.rfind("#EXTINF:", 0) == 0) {
            length = atof(line.c_str() + 8);
        } else if (!line.empty() && line[0] != '#') {
            out.push_back({line.rfind("../", 0) == 0 ? line.substr(2) : "/api/" + line, length});
        }
    }
    return out;
}

// A player as the page's: the day's playlist, then one segment after
// another while less than 30 s of media is ahead of the position, which
// moves at `rate` once the first segment is in; the position catching up
// with what is loaded is a stall.
void play(int port, size_t first, double rate, const std::atomic<bool>& stop, served* f) {
    const std::string path =
        "/api/play.m3u8?lib=0&from=" + std::to_string(DAY_T0) + "&to=" + std::to_string(DAY_T0 + 86400);
    const exporter_test::http_answer list = exporter_test::http_get(port, path);
    const std::vector<segment_ref> segs = segments_of(list.body);
    if (list.status != 200 || segs.empty()) {
        ++f->failed;
        return;
    }
    double loaded = 0;    // media seconds loaded from the start
    double position = 0;  // media seconds played
    bool started = false;
    bool stalled = false;
    auto last = clock_type::now();
    size_t next = first % segs.size();
    while (!stop) {
        const auto now = clock_type::now();
        if (started) {
            position += rate * std::chrono::duration<double>(now - last).count();
            if (position > loaded) {
                f->stall_ms += static_cast<int64_t>((position - loaded) / rate * 1000);
                if (!stalled) ++f->stalls;
                stalled = true;
                position = loaded;
            }
        }
        last = now;
        if (loaded - position >= 30) {
            std::this_thread::sleep_for(20ms);
            continue;
        }
        const exporter_test::http_answer a = exporter_test::http_get(port, segs[next].path);
        if (a.status != 200 || a.body.size() != strtoull(a.header("content-length").c_str(), nullptr, 10)) {
            ++f->failed;
            continue;
        }
        ++f->segments;
        f->bytes += a.body.size();
        f->video_ms += static_cast<int64_t>(segs[next].seconds * 1000);
        loaded += segs[next].seconds;
        if (position < loaded) stalled = false;
        if (!started) last = clock_type::now();
        started = true;
        next = (next + 1) % segs.size();
    }
}

class player_load {
public:
    player_load(int port, int players, double rate) {
        for (int p = 0; p < players; ++p) {
            const size_t first = static_cast<size_t>(p) * (DAY_SEGMENTS / std::max(1, players));
            threads_.emplace_back([this, port, first, rate] { play(port, first, rate, stop_, &f_); });
        }
    }
    ~player_load() { stop(); }
    player_load(const player_load&) = delete;
    player_load& operator=(const player_load&) = delete;
    void stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    const served& figures() const { return f_; }

private:
    std::atomic<bool> stop_{false};
    served f_;
    std::vector<std::thread> threads_;
};

// User and system CPU seconds of a process so far.
double cpu_seconds(pid_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // Fields after the name: state is the 3rd field; utime and stime the 14th and 15th.
    if (sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) !=
        2) {
        return -1;
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void bench_serving(libraries& libs, const bench::scratch_dir& dir, const options& o) {
    const std::string lib = libs.day();
    fs::create_directories(dir / "serve_tasks");
    printf("5. serving: %d players at 8x at once, each from another moment of the day, fetching as the page's "
           "player does (30 s of media ahead, one segment at a time)\n",
           o.players);
    {
        bench::daemon_run d(dir, "serve", dir / "serve_tasks", lib, "/bin/true");
        const double cpu0 = cpu_seconds(d.pid());
        const auto t0 = clock_type::now();
        player_load load(d.port(), o.players, 8.0);
        std::this_thread::sleep_for(std::chrono::seconds(o.serve_seconds));
        load.stop();
        const double wall = us_between(t0, clock_type::now()) / 1e6;
        const double cpu = cpu_seconds(d.pid()) - cpu0;
        const served& f = load.figures();
        const double video = static_cast<double>(f.video_ms) / 1000;
        printf("   real daemon, %.1f s: %d segments (%.0f s of video, %.1f MB) served, %d failed\n", wall,
               f.segments.load(), video, static_cast<double>(f.bytes) / 1e6, f.failed.load());
        printf("   daemon CPU: %.3f s in all, %.2f ms per second of video served, %.1f%% of one CPU\n", cpu,
               video > 0 ? 1000 * cpu / video : 0, 100 * cpu / wall);
        printf("   stalls: %d (%.0f ms in all) among %d players\n", f.stalls.load(),
               static_cast<double>(f.stall_ms), o.players);
    }
    bench::in_process_service service(dir / "serve_tasks", lib);
    player_load load(service.port(), o.players, 8.0);
    std::this_thread::sleep_for(1s);
    const auto a = bench::measure_announcements(service, 32, 2000, 2ms);
    load.stop();
    const served& f = load.figures();
    printf("   announcements meanwhile: the service in this process serving the same players, 32 clients, 2000 "
           "announcements every 2 ms\n");
    bench::print_arrivals(a);
    printf("   players meanwhile: %d segments, %d stalls, %d failed\n", f.segments.load(), f.stalls.load(),
           f.failed.load());
    printf("   target: no stall; announcement p99 under 5000 us\n");
}

// ---------------------------------------------------------------------------

std::set<std::string> split_parts(const std::string& s) {
    std::set<std::string> out;
    size_t at = 0;
    while (at <= s.size()) {
        const size_t end = std::min(s.find(',', at), s.size());
        if (end > at) out.insert(s.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

bool parse_options(int argc, char** argv, options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const size_t eq = a.find('=');
        const std::string key = a.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : a.substr(eq + 1);
        if (key == "--parts") {
            o->parts = split_parts(value);
        } else if (key == "--seeks") {
            o->seeks = atoi(value.c_str());
        } else if (key == "--cold") {
            o->cold = atoi(value.c_str());
        } else if (key == "--gap-events") {
            o->gap_events = atoi(value.c_str());
        } else if (key == "--live-seconds") {
            o->live_seconds = atoi(value.c_str());
        } else if (key == "--live-phase") {
            o->live_phase_ms = static_cast<int>(atof(value.c_str()) * 1000);
        } else if (key == "--live-late") {
            o->live_late = atoi(value.c_str());
        } else if (key == "--serve-seconds") {
            o->serve_seconds = atoi(value.c_str());
        } else if (key == "--players") {
            o->players = atoi(value.c_str());
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse_options(argc, argv, &o)) {
        fprintf(stderr,
                "usage: bench_watch [--parts=seek,gaps,playlist,live,serving] [--seeks=N] [--cold=N] "
                "[--gap-events=N] [--live-seconds=N] [--live-phase=S] [--live-late=S] "
                "[--serve-seconds=N] [--players=N]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    bench::scratch_dir dir("bench_watch");
    // The in-process service logs as the daemon does; into a scratch file.
    logger_dup(0);
    logger_init((dir / "service.log").c_str(), 86400);
    printf("watch view benchmark on %u CPUs, scratch folders on %s\n", std::thread::hardware_concurrency(),
           bench::fs_kind(dir.path()).c_str());
    libraries libs(dir);
    const std::pair<const char*, std::function<void()>> parts[] = {
        {"seek", [&] { bench_seek(libs, dir, o); }},
        {"gaps", [&] { bench_gaps(libs, dir, o); }},
        {"playlist", [&] { bench_playlist(libs, dir); }},
        {"live", [&] { bench_live(libs, dir, o); }},
        {"serving", [&] { bench_serving(libs, dir, o); }},
    };
    int status = 0;
    for (const auto& [name, run] : parts) {
        if (o.parts.count(name) == 0) continue;
        printf("[load average %s]\n", bench::load_average().c_str());
        const auto t0 = clock_type::now();
        try {
            run();
        } catch (const std::exception& e) {
            printf("   %s: not measured: %s\n", name, e.what());
            status = 1;
        }
        printf("   [%s took %.0f s]\n", name, us_between(t0, clock_type::now()) / 1e6);
        fflush(stdout);
    }
    logger_release();
    return status;
}
