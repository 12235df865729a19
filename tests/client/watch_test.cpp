// The watch view in a real headless Chromium against real daemons and real
// ffmpeg segments that carry their wall-clock time and frame number in the
// picture. One road through a recorded day: a link to a moment, the frame on
// screen matched by its pixels, two libraries in step across an hour change,
// a gap and a time stamp restart, and a clip of what was watched. Another
// through now: the live edge while a register daemon files new segments.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "support/browser.h"

using namespace clienttest;
namespace fs = std::filesystem;

namespace {

constexpr int FPS = 25;
constexpr int SEGMENT_S = 6;
constexpr int WIDTH = 320;
constexpr int HEIGHT = 180;
const std::string FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
// 5:30 ahead of UTC all year: the local clock differs from UTC in its minutes too.
const std::string ZONE = "Asia/Kolkata";
constexpr long long ZONE_OFFSET_S = 5 * 3600 + 30 * 60;

// A recorder's continuous encode that starts at wall-clock time t0, cut into
// six-second MPEG-TS segments at keyframes. The time (from the encode's own
// time stamps) and the frame number are drawn in, so every frame looks
// different from its neighbours. Returns the segment files in order.
std::vector<std::string> record(const std::string& dir, const std::string& pattern, long long t0, int seconds) {
    fs::create_directories(dir);
    const std::string clock = "%{pts\\:gmtime\\:" + std::to_string(t0) + "\\:%H\\\\\\:%M\\\\\\:%S} UTC";
    const std::string filter = "drawtext=fontfile=" + FONT + ":fontsize=15:fontcolor=white:box=1:boxcolor=black@0.6:"
                               "x=6:y=6:text='" + clock + "',drawtext=fontfile=" + FONT +
                               ":fontsize=56:fontcolor=white:box=1:boxcolor=black:x=8:y=60:text='%{frame_num}'";
    const std::string length = std::to_string(seconds);
    const RunResult r = run(
        "/usr/bin/env",
        {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
         pattern + "=size=" + std::to_string(WIDTH) + "x" + std::to_string(HEIGHT) + ":rate=" + std::to_string(FPS) +
             ":duration=" + length,
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=" + length, "-vf", filter, "-c:v",
         "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-colorspace", "smpte170m", "-color_primaries",
         "smpte170m", "-color_trc", "smpte170m", "-color_range", "tv", "-g", "150", "-force_key_frames",
         "expr:gte(t,n_forced*6)", "-c:a", "aac", "-b:a", "64k", "-f", "segment", "-segment_time", "6",
         "-segment_format", "mpegts", "-reset_timestamps", "0", dir + "/%d.ts"},
        180s);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> files;
    for (int i = 0; file_exists(dir + "/" + std::to_string(i) + ".ts"); ++i) files.push_back(dir + "/" + std::to_string(i) + ".ts");
    EXPECT_EQ(files.size(), static_cast<size_t>(seconds / SEGMENT_S)) << r.err;
    return files;
}

// Gray levels of a picture, weighted as the page weighs its canvas's RGB.
using Gray = std::vector<uint8_t>;

uint8_t gray_of(int r, int g, int b) { return static_cast<uint8_t>(std::lround(0.299 * r + 0.587 * g + 0.114 * b)); }

// Every frame of a segment as ffmpeg decodes it, in order.
std::vector<Gray> decode(const std::string& segment, const std::string& scratch) {
    const RunResult r = run("/usr/bin/env",
                            {"ffmpeg", "-nostdin", "-v", "error", "-i", segment, "-map", "0:v:0", "-fps_mode",
                             "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-y", scratch},
                            60s);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string rgb = read_file(scratch);
    const size_t size = static_cast<size_t>(WIDTH) * HEIGHT;
    std::vector<Gray> frames;
    for (size_t at = 0; at + 3 * size <= rgb.size(); at += 3 * size) {
        Gray g(size);
        for (size_t i = 0; i < size; ++i) {
            const auto c = [&](size_t k) { return static_cast<unsigned char>(rgb[at + 3 * i + k]); };
            g[i] = gray_of(c(0), c(1), c(2));
        }
        frames.push_back(std::move(g));
    }
    fs::remove(scratch);
    return frames;
}

double mean_difference(const Gray& a, const Gray& b) {
    if (a.size() != b.size() || a.empty()) return 255;
    long long sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
    return static_cast<double>(sum) / static_cast<double>(a.size());
}

// One library's segments by their start time, as the test filed them.
struct Filed {
    long long t;
    std::string file;
};

// A real export daemon serving the given libraries (lib0, lib1, ...).
class Exporter {
public:
    Exporter(const TempDir& dir, const std::string& name, const std::vector<std::string>& libs)
        : tasks_(dir / (name + "-tasks")), log_(dir / (name + ".log")), port_(free_port()) {
        fs::create_directories(tasks_);
        std::vector<std::string> args{"--ws-port=" + std::to_string(port_), "--tasks-path=" + tasks_,
                                      "--ffmpeg-path=ffmpeg", "--log-file-name=" + log_};
        for (size_t i = 0; i < libs.size(); ++i) args.push_back("--lib" + std::to_string(i) + "-path=" + libs[i]);
        proc_ = std::make_unique<Process>(BRINDLEWOOD_EXPORTER_BIN, args, dir.path());
    }
    ~Exporter() { stop(); }

    bool ready() const {
        return wait_until([&] { return read_file(log_).find("ws_init: listening") != std::string::npos; }, 30s);
    }
    int stop() {
        if (!proc_) return -1;
        proc_->signal(SIGTERM);
        const int status = proc_->wait_exit(60s).value_or(-1);
        proc_.reset();
        return status;
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::string task(int n, const std::string& file) const { return task_folder(tasks_, n) + "/" + file; }
    std::string log() const { return read_file(log_); }

private:
    std::string tasks_;
    std::string log_;
    int port_;
    std::unique_ptr<Process> proc_;
};

// A real register daemon filing what lands in its watch folder into lib.
class Register {
public:
    Register(const TempDir& dir, const std::string& lib)
        : watch_(dir / "watch"), log_(dir / "register.log") {
        fs::create_directories(watch_);
        fs::create_directories(dir / "hold");
        proc_ = std::make_unique<Process>(
            BRINDLEWOOD_BIN,
            std::vector<std::string>{"--ffprobe-path=ffprobe", "--ffmpeg-path=ffmpeg", "--lib-path=" + lib,
                                     "--watch-path=" + watch_, "--tmp-path=" + dir / "hold", "--log-file-name=" + log_},
            dir.path());
    }
    // Its probe runs leave files named by its process id in /tmp.
    ~Register() {
        const pid_t pid = proc_->pid();
        proc_->signal(SIGTERM);
        proc_->wait_exit(30s);
        unlink(("/tmp/Brindlewood.ffprobe." + std::to_string(pid)).c_str());
        unlink(("/tmp/Brindlewood.ffprobe.err." + std::to_string(pid)).c_str());
    }
    bool watching() const {
        return wait_until([&] { return log().find("watcher_thread_proc: waiting") != std::string::npos; }, 30s);
    }
    // Hands a finished segment over as a recorder does: written in place
    // under its start time, then closed.
    void hand_over(const std::string& segment, long long t) const {
        write_file(watch_ + "/" + std::to_string(t) + ".ts", read_file(segment));
    }
    std::string log() const { return read_file(log_); }

private:
    std::string watch_;
    std::string log_;
    std::unique_ptr<Process> proc_;
};

// The index lines of a library, all hours.
size_t index_lines(const std::string& lib) {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(lib)) {
        if (e.path().filename() == "index.cvs") n += split_lines(read_file(e.path())).size();
    }
    return n;
}

// A key pressed and let go on the page, as a keyboard does.
void press(testsupport::Browser& b, const std::string& key, const std::string& code, int key_code) {
    for (const char* type : {"keyDown", "keyUp"}) {
        json_ptr p(json_object_new_object());
        json_object_object_add(p.get(), "type", json_object_new_string(type));
        json_object_object_add(p.get(), "key", json_object_new_string(key.c_str()));
        json_object_object_add(p.get(), "code", json_object_new_string(code.c_str()));
        json_object_object_add(p.get(), "windowsVirtualKeyCode", json_object_new_int(key_code));
        if (std::string(type) == "keyDown" && key.size() == 1) {
            json_object_object_add(p.get(), "text", json_object_new_string(key.c_str()));
        }
        b.call("Input.dispatchKeyEvent", std::move(p));
    }
}
void press_space(testsupport::Browser& b) { press(b, " ", "Space", 32); }

long long number(testsupport::Browser& b, const std::string& expression) {
    const std::string v = b.evaluate_json("Number(" + expression + ")");
    return v == "null" ? -1 : std::llround(std::stod(v));
}

const std::string CLOCK_MS = "document.getElementById('watch-clock').dataset.ms";
std::string clock_past(long long ms) { return "+" + CLOCK_MS + " > " + std::to_string(ms); }
std::string watch_is(const std::string& state) {
    return "document.getElementById('watch').dataset.state === '" + state + "'";
}

// The picture a tile's video shows now, drawn onto a canvas at its own size,
// and the frame's time the page shows beside the players, read in one go.
struct Screen {
    Gray gray;
    long long ms = -1;          // #watch-clock's data-ms
    std::string utc;            // #watch-clock-utc's text
    std::string local;          // #watch-clock-local's text
};

Screen screen_of(testsupport::Browser& b, int lib) {
    const json_ptr got = b.evaluate(
        "(() => { const v = document.querySelector('#player-" + std::to_string(lib) + " video');"
        " const c = document.createElement('canvas'); c.width = v.videoWidth; c.height = v.videoHeight;"
        " const g = c.getContext('2d'); g.drawImage(v, 0, 0);"
        " const d = g.getImageData(0, 0, c.width, c.height).data; const gray = [];"
        " for (let i = 0; i < d.length; i += 4) gray.push(Math.round(0.299 * d[i] + 0.587 * d[i + 1] + 0.114 * d[i + 2]));"
        " return { w: c.width, h: c.height, gray, ms: Number(document.getElementById('watch-clock').dataset.ms),"
        " utc: document.getElementById('watch-clock-utc').textContent,"
        " local: document.getElementById('watch-clock-local').textContent }; })()");
    Screen s;
    json_object* v = nullptr;
    if (!got) return s;
    if (json_object_object_get_ex(got.get(), "w", &v) && json_object_get_int(v) == WIDTH &&
        json_object_object_get_ex(got.get(), "h", &v) && json_object_get_int(v) == HEIGHT &&
        json_object_object_get_ex(got.get(), "gray", &v)) {
        for (size_t i = 0; i < json_object_array_length(v); ++i) {
            s.gray.push_back(static_cast<uint8_t>(json_object_get_int(json_object_array_get_idx(v, i))));
        }
    }
    s.ms = json_int(got.get(), "ms").value_or(-1);
    s.utc = json_string(got.get(), "utc").value_or("");
    s.local = json_string(got.get(), "local").value_or("");
    return s;
}

// Paused: the frame on screen in the library's player is the library's own
// frame at the time the page shows for it. The frame is found among every
// frame of the segment that holds that time by its pixels; its time is the
// segment's start plus its place in it. Returns the frame's time (ms).
long long expect_frame_shown(testsupport::Browser& b, int lib, const std::vector<Filed>& segments,
                             const std::string& scratch, const std::string& where) {
    SCOPED_TRACE(where);
    // Still: the same frame and the same time twice in a row.
    Screen s;
    EXPECT_TRUE(wait_until(
        [&] {
            if (!b.wait_for(watch_is("paused") + " && !document.querySelector('#player-" + std::to_string(lib) +
                                " video').seeking",
                            1s)) {
                return false;
            }
            Screen again = screen_of(b, lib);
            const bool same = again.ms == s.ms && again.gray == s.gray && !again.gray.empty();
            s = std::move(again);
            return same;
        },
        30s))
        << "the paused picture did not settle";
    if (s.gray.empty() || s.ms < 0) {
        ADD_FAILURE() << "no picture or no time on the page";
        return -1;
    }
    const Filed* holder = nullptr;
    for (const Filed& f : segments) {
        if (f.t * 1000 <= s.ms && s.ms < (f.t + SEGMENT_S) * 1000) holder = &f;
    }
    if (holder == nullptr) {
        ADD_FAILURE() << "the page shows " << s.ms << ", which no segment of library " << lib << " holds";
        return -1;
    }
    const std::vector<Gray> frames = decode(holder->file, scratch);
    EXPECT_EQ(frames.size(), static_cast<size_t>(SEGMENT_S * FPS));
    size_t best = 0;
    double best_difference = 256;
    for (size_t k = 0; k < frames.size(); ++k) {
        const double d = mean_difference(s.gray, frames[k]);
        if (d < best_difference) {
            best_difference = d;
            best = k;
        }
    }
    const long long frame_ms = holder->t * 1000 + static_cast<long long>(best) * 1000 / FPS;
    // Within a tolerance for the two decoders and their colour conversions:
    // another picture (the other library's, a black one) is far off, and
    // which of the segment's frames it is, the closest one tells.
    EXPECT_LT(best_difference, 4.0) << "the picture on screen is none of the segment's frames";
    // The time shown is the frame's, to the frame.
    EXPECT_LE(std::llabs(frame_ms - s.ms), 1000 / FPS)
        << "the page says " << s.ms << ", the picture is the frame at " << frame_ms;
    // And so is the text: UTC to the second, local time with tenths.
    const long long shown_s = s.ms / 1000;
    EXPECT_EQ(s.utc, "UTC " + utc_text(shown_s, "%Y-%m-%d %H:%M:%S"));
    EXPECT_EQ(s.local, utc_text(shown_s + ZONE_OFFSET_S, "%H:%M:%S") + "." + std::to_string(s.ms % 1000 / 100));
    return frame_ms;
}

}  // namespace

TEST(Watch, LinkToAMomentThenGapRestartHourInStepAndClip) {
    TempDir dir;
    const std::string scratch = dir / "frames.rgb";

    // Library 0: one encode from 10:59:36 to 11:00:30 UTC across the hour,
    // its segment at 11:00:12 missing (a gap), then the recorder restarted:
    // a second encode from 11:00:30, its time stamps from the start again.
    // Library 1: another picture at the same times, with a gap of its own at
    // 11:00:24 where library 0 records.
    const long long A = HOUR - 24;
    const long long GAP = HOUR + 12;
    const long long RESTART = HOUR + 30;
    const long long OWN_GAP = HOUR + 24;
    const long long END = HOUR + 42;
    std::vector<std::vector<Filed>> filed(2);
    for (int lib = 0; lib < 2; ++lib) {
        const std::string pattern = lib == 0 ? "testsrc" : "testsrc2";
        const auto first = record(dir / ("rec" + std::to_string(lib) + "a"), pattern, A, 54);
        const auto second = record(dir / ("rec" + std::to_string(lib) + "b"), pattern, RESTART, 12);
        ASSERT_EQ(first.size() + second.size(), 11u);
        Library library(dir / ("lib" + std::to_string(lib)));
        for (size_t i = 0; i < first.size() + second.size(); ++i) {
            const long long t = A + SEGMENT_S * static_cast<long long>(i);
            if (t == GAP || (lib == 1 && t == OWN_GAP)) continue;
            const std::string& file = i < first.size() ? first[i] : second[i - first.size()];
            ASSERT_NO_FATAL_FAILURE(library.add(t, file));
            filed[lib].push_back({t, file});
        }
    }
    Exporter vod(dir, "vod", {dir / "lib0", dir / "lib1"});
    ASSERT_TRUE(vod.ready()) << vod.log();

    testsupport::Browser browser;
    browser.set_timezone(ZONE);

    // A link to a moment ten seconds before the hour: it opens playing there.
    const long long T = HOUR - 10;
    browser.open(vod.url("/?lib=0&t=" + utc_text(T, "%Y-%m-%dT%H:%M:%SZ")));
    ASSERT_TRUE(browser.wait_for("document.getElementById('watch').dataset.libs === '0,1' && " + watch_is("playing"),
                                 60s))
        << browser.evaluate_json("document.getElementById('watch').dataset.state") << "\n"
        << browser.browser_log();
    const long long opened = number(browser, CLOCK_MS);
    EXPECT_GE(opened, T * 1000 - 1000 / FPS);
    EXPECT_LT(opened, (T + SEGMENT_S) * 1000) << "it plays from far past the moment linked to";
    EXPECT_EQ(browser.evaluate_json("document.getElementById('player-0').dataset.primary"), "\"1\"");
    ASSERT_TRUE(browser.wait_for(clock_past(opened + 500), 30s)) << "the clock does not run";

    // Paused, the frame on screen is the library's frame at the time shown.
    press_space(browser);
    const long long paused_at = expect_frame_shown(browser, 0, filed[0], scratch, "at the moment linked to");
    EXPECT_GE(paused_at, T * 1000 - 1000 / FPS);
    EXPECT_LT(paused_at, HOUR * 1000) << "paused after the hour already";

    // Mark in here; play on across the hour in step with library 1.
    press(browser, "i", "KeyI", 73);
    ASSERT_TRUE(browser.wait_for("document.getElementById('mark-in').dataset.ms !== undefined"));
    const long long mark_in = number(browser, "document.getElementById('mark-in').dataset.ms");
    EXPECT_EQ(mark_in % 1000, 0) << "marks are whole seconds";
    EXPECT_LE(std::llabs(mark_in - paused_at), 500);
    press_space(browser);
    int samples = 0;
    long long last = paused_at;
    while (samples < 8 && browser.wait_for(clock_past(last + 400), 30s)) {
        last = number(browser, CLOCK_MS);
        const std::string pair = browser.evaluate_json(
            "(() => { const a = document.getElementById('player-0'), b = document.getElementById('player-1');"
            " return a.dataset.state === 'playing' && b.dataset.state === 'playing' ?"
            " [Number(a.dataset.ms), Number(b.dataset.ms)] : null; })()");
        if (pair == "null") continue;
        const long long ms0 = std::stoll(pair.substr(1));
        const long long ms1 = std::stoll(pair.substr(pair.find(',') + 1));
        EXPECT_LE(std::llabs(ms0 - ms1), 500) << "the libraries drift apart at " << ms0;
        ++samples;
    }
    EXPECT_EQ(samples, 8) << "the two players did not both play";
    ASSERT_TRUE(browser.wait_for(clock_past(HOUR * 1000 + 3000), 60s)) << "stalled at the hour change";
    EXPECT_EQ(browser.evaluate_json("document.getElementById('watch').dataset.state"), "\"playing\"");
    press(browser, "o", "KeyO", 79);
    ASSERT_TRUE(browser.wait_for("document.getElementById('mark-out').dataset.ms !== undefined"));
    const long long mark_out = number(browser, "document.getElementById('mark-out').dataset.ms");
    EXPECT_EQ(mark_out % 1000, 0);
    EXPECT_GT(mark_out, HOUR * 1000);

    // Clip what was watched: the form is filled; one click asks for it.
    ASSERT_TRUE(browser.wait_for("document.getElementById('conn-status').dataset.state === 'open' && "
                                 "!document.getElementById('watch-clip').disabled"));
    EXPECT_EQ(browser.evaluate_json("document.getElementById('clip-lib').value"), "\"0\"");
    browser.evaluate("document.getElementById('watch-clip').click()");

    // At 4x across the gap: the clock jumps it and says so.
    browser.evaluate("document.querySelector('#watch-speeds [data-rate=\"4\"]').click()");
    ASSERT_TRUE(browser.wait_for("document.getElementById('watch-notice').dataset.gaps === '1'", 60s))
        << "no gap jumped; the clock is at " << browser.evaluate_json(CLOCK_MS);
    const std::string notice = browser.evaluate_json(
        "(n => [n.dataset.kind, n.dataset.from, n.dataset.to, n.textContent])(document.getElementById('watch-notice'))");
    EXPECT_EQ(notice.substr(0, notice.find(",\"Gap")),
              "[\"gap\",\"" + std::to_string(GAP * 1000) + "\",\"" + std::to_string((GAP + SEGMENT_S) * 1000) + "\"")
        << notice;
    EXPECT_NE(notice.find("(6 s) skipped"), std::string::npos) << notice;
    ASSERT_TRUE(browser.wait_for(clock_past((GAP + SEGMENT_S) * 1000 + 500), 30s));
    press_space(browser);
    const long long after_gap = expect_frame_shown(browser, 0, filed[0], scratch, "after the gap");
    EXPECT_GE(after_gap, (GAP + SEGMENT_S) * 1000);

    // Library 1's own gap: its tile says so, library 0 plays on through it.
    browser.evaluate("document.querySelector('#watch-speeds [data-rate=\"1\"]').click()");
    press_space(browser);
    ASSERT_TRUE(browser.wait_for(
        "(t => t.dataset.state === 'gap' && t.querySelector('[data-role=note]').dataset.from === '" +
            std::to_string(OWN_GAP * 1000) + "' && t.querySelector('[data-role=note]').dataset.to === '" +
            std::to_string((OWN_GAP + SEGMENT_S) * 1000) + "')(document.getElementById('player-1')) && " +
            "document.getElementById('player-0').dataset.state === 'playing'",
        60s))
        << browser.evaluate_json("document.getElementById('player-1').dataset.state");

    // Across the time stamp restart, and paused after it: the frame is
    // still the one at the time shown.
    browser.evaluate("document.querySelector('#watch-speeds [data-rate=\"4\"]').click()");
    ASSERT_TRUE(browser.wait_for(clock_past(RESTART * 1000 + 1000), 60s)) << "stalled at the time stamp restart";
    press_space(browser);
    const long long after_restart = expect_frame_shown(browser, 0, filed[0], scratch, "after the restart");
    EXPECT_GE(after_restart, RESTART * 1000);
    EXPECT_EQ(browser.evaluate_json("document.getElementById('watch-notice').dataset.gaps"), "\"1\"")
        << "only the gap that no library recorded is jumped";
    press_space(browser);
    ASSERT_TRUE(browser.wait_for(watch_is("ended"), 60s)) << browser.evaluate_json(CLOCK_MS);
    EXPECT_EQ(browser.evaluate_json("document.getElementById('watch-notice').dataset.kind"), "\"end\"");
    EXPECT_GE(number(browser, "document.getElementById('player-0').dataset.ms"), (END - 1) * 1000);

    // The clip's task: its span is the marks.
    ASSERT_TRUE(browser.wait_for("document.querySelector('#task-list li[data-mine=\"1\"]')?.dataset.state === '2'", 120s))
        << browser.evaluate_json("document.getElementById('clip-message').textContent");
    const int task = static_cast<int>(number(browser, "document.querySelector('#task-list li[data-mine=\"1\"]').dataset.task"));
    const json_ptr meta = parse_json_file(vod.task(task, "index.json"));
    EXPECT_EQ(json_int(meta.get(), "lib_idx"), 0);
    EXPECT_EQ(json_string(meta.get(), "from"), utc_text(mark_in / 1000, "%Y-%m-%dT%H:%M:%SZ"));
    EXPECT_EQ(json_string(meta.get(), "to"), utc_text(mark_out / 1000, "%Y-%m-%dT%H:%M:%SZ"));
    EXPECT_NEAR(probe_duration(vod.task(task, "cut.mp4")), static_cast<double>(mark_out - mark_in) / 1000, 6.5);
    EXPECT_TRUE(browser.page_errors().empty()) << browser.page_errors().front();
    EXPECT_EQ(vod.stop(), 0);
}

TEST(Watch, LiveEdgeAdvancesAsTheRegisterDaemonFilesSegments) {
    TempDir dir;
    testsupport::Browser browser;
    browser.set_timezone(ZONE);

    // A register daemon files a recording that goes on while the page plays
    // its live edge. The first three segments are there at the start.
    constexpr int SEGMENTS = 11;
    constexpr int LATE_S = 4;
    const long long B = static_cast<long long>(time(nullptr)) - 3 * SEGMENT_S;
    const auto live = record(dir / "reclive", "testsrc", B, SEGMENTS * SEGMENT_S);
    ASSERT_EQ(live.size(), static_cast<size_t>(SEGMENTS));
    const std::string live_lib = dir / "livelib";
    fs::create_directories(live_lib);
    Register recorder(dir, live_lib);
    ASSERT_TRUE(recorder.watching()) << recorder.log();
    for (int i = 0; i < 3; ++i) recorder.hand_over(live[i], B + SEGMENT_S * i);
    Exporter now(dir, "live", {live_lib});
    ASSERT_TRUE(now.ready()) << now.log();
    ASSERT_TRUE(wait_until([&] { return index_lines(live_lib) >= 3; }, 60s)) << recorder.log();
    browser.open(now.url("/"));
    ASSERT_TRUE(browser.wait_for("document.getElementById('watch').dataset.libs === '0'", 30s));
    browser.evaluate("document.getElementById('watch-live').click()");
    ASSERT_TRUE(browser.wait_for("document.getElementById('watch').dataset.mode === 'live' && " + watch_is("playing") +
                                     " && !document.getElementById('watch-lag').hidden",
                                 60s))
        << browser.evaluate_json("document.getElementById('watch').dataset.state");
    EXPECT_TRUE(browser.wait_for(clock_past((B + 2 * SEGMENT_S) * 1000), 60s));
    // Each next segment is handed over once its end has passed, as a
    // recorder hands it; the page plays into it.
    for (int i = 3; i < 5; ++i) {
        const long long t = B + SEGMENT_S * i;
        ASSERT_TRUE(wait_until([&] { return time(nullptr) >= t + SEGMENT_S; }, 60s));
        recorder.hand_over(live[i], t);
        EXPECT_TRUE(browser.wait_for(clock_past(t * 1000 + 1000) + " && " + watch_is("playing"), 60s))
            << "the live edge did not reach the segment of " << t << "; the clock is at "
            << browser.evaluate_json(CLOCK_MS) << "\n" << recorder.log();
    }
    // A segment handed over late stalls the view at the edge. Once the next
    // ones come on time again, it wins that time back rather than staying
    // that much further behind for good.
    const std::string lag = "Number(document.getElementById('watch-lag').dataset.ms)";
    long long t = B + SEGMENT_S * 5;
    ASSERT_TRUE(wait_until([&] { return time(nullptr) >= t + SEGMENT_S + LATE_S; }, 60s));
    recorder.hand_over(live[5], t);
    ASSERT_TRUE(browser.wait_for(clock_past(t * 1000 + 1000) + " && " + watch_is("playing"), 60s));
    const long long stalled = number(browser, lag);
    const std::string won_back = lag + " < " + std::to_string(stalled - 2000);
    for (int i = 6; i < SEGMENTS && browser.evaluate_json(won_back) != "true"; ++i) {
        t = B + SEGMENT_S * i;
        ASSERT_TRUE(wait_until([&] { return time(nullptr) >= t + SEGMENT_S; }, 60s));
        recorder.hand_over(live[i], t);
    }
    EXPECT_TRUE(browser.wait_for(won_back, 60s))
        << "behind real time: " << stalled << " ms after the late segment, " << browser.evaluate_json(lag)
        << " ms at the end";
    EXPECT_EQ(browser.evaluate_json("new URLSearchParams(location.search).get('live')"), "\"1\"");
    EXPECT_TRUE(browser.page_errors().empty()) << browser.page_errors().front();
    EXPECT_EQ(now.stop(), 0);
}
