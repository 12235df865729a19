// The media library over HTTP against a real daemon: the segment and
// thumbnail files with what is never served, the token, ranges and the cache
// header; the VOD playlist of a span with a gap, a time stamp restart, a
// wrap and an hour change; freshness; and the live playlist's numbers across
// new segments, an hour change and a restart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "archive/library.h"
#include "exporter_fixture.h"
#include "http_client.h"

using namespace exporter_test;
namespace fs = std::filesystem;

namespace {

// 2021-05-01 10:59:48 UTC: twelve seconds before an hour change.
constexpr long long S0 = 1619866788;
constexpr long long SIX = 540000;  // six seconds of ticks
constexpr long long WRAP = 1LL << 33;

void append_line(const std::string& lib, long long t, const std::string& line) {
    std::ofstream(lib + "/" + archive::hour_dir(t) + "/index.cvs", std::ios::app) << line;
}

// The thumbnail's name for a segment copy in lib: its ".ts" replaced by
// ".jpg", unless the root's path holds a ".ts" of its own.
std::string thumb_of(const std::string& lib, const std::string& name) {
    char thumb[4096];
    EXPECT_TRUE(archive::thumb_name(lib + "/" + name, thumb, sizeof thumb));
    return fs::path(thumb).filename();
}

// Adds a segment to lib: its bytes (a file that tells which segment it is),
// its thumbnail, and its index line.
std::string add_segment(const std::string& lib, const std::string& name, long long t, long long d, long long pts,
                        bool with_line = true) {
    const std::string hour = lib + "/" + archive::hour_dir(t);
    fs::create_directories(hour);
    std::string bytes;
    for (int i = 0; bytes.size() < 1000; ++i) bytes += name + " " + std::to_string(i) + "\n";
    write_file(hour + "/" + name, bytes);
    write_file(hour + "/" + thumb_of(lib, name), "jpeg of " + name);
    if (with_line) append_line(lib, t, archive::index_line(name, t, d, pts));
    return bytes;
}

std::string seg_uri(long long t) { return "../library/0/" + archive::hour_dir(t) + "/" + std::to_string(t) + ".ts"; }

std::string play_url(long long from, long long to, int lib = 0) {
    return "/api/play.m3u8?lib=" + std::to_string(lib) + "&from=" + std::to_string(from) + "&to=" + std::to_string(to);
}

}  // namespace

TEST(LibraryHttp, FilesPlaylistsAndFreshnessFollowTheLayoutBehindTheToken) {
    Exporter ex;  // its lib0 holds three segment copies without index lines
    const std::string lib = ex.lib();
    // A continuous run across the hour change (one segment 6.04 s long, one
    // indexed twice: the newer line counts), a 6 s gap, a time stamp restart
    // without a gap, then time stamps that wrap at 2^33 and follow on.
    const std::string first = add_segment(lib, std::to_string(S0) + ".ts", S0, SIX, 900000);
    add_segment(lib, std::to_string(S0 + 6) + ".ts", S0 + 6, SIX, 1440000);
    add_segment(lib, std::to_string(S0 + 12) + ".ts", S0 + 12, 543600, 1980000);
    add_segment(lib, std::to_string(S0 + 18) + ".ts", S0 + 18, 270000, 0);
    append_line(lib, S0 + 18, archive::index_line(std::to_string(S0 + 18) + ".ts", S0 + 18, SIX, 2523600));
    add_segment(lib, std::to_string(S0 + 30) + ".ts", S0 + 30, SIX, 3600000);
    add_segment(lib, std::to_string(S0 + 36) + ".ts", S0 + 36, SIX, WRAP - 270000);
    add_segment(lib, std::to_string(S0 + 42) + ".ts", S0 + 42, SIX, 270000);
    add_segment(lib, std::to_string(S0 + 48) + ".ts", S0 + 48, SIX, 810000);
    // A name the recorder gave, not the time alone: served all the same.
    add_segment(lib, std::to_string(S0 + 62) + "-cam.ts", S0 + 62, SIX, 0);
    // Named by a time of the hour before: in hour 11 and indexed there, but
    // not where the layout puts it.
    const std::string hour11 = lib + "/2021/05/01/11/";
    fs::copy_file(lib + "/2021/05/01/10/" + std::to_string(S0) + ".ts", hour11 + std::to_string(S0) + ".ts");
    append_line(lib, S0 + 12, archive::index_line(std::to_string(S0) + ".ts", S0, SIX, 0));
    // A copy whose registration has not written its line yet.
    add_segment(lib, std::to_string(S0 + 72) + ".ts", S0 + 72, SIX, 0, false);
    // Links: a segment, and a whole hour folder, to files outside.
    const std::string outside = ex.dir() / "outside";
    fs::create_directories(outside);
    write_file(outside + "/secret.ts", "secret");
    fs::create_symlink(outside + "/secret.ts", hour11 + std::to_string(S0 + 54) + ".ts");
    append_line(lib, S0 + 54, archive::index_line(std::to_string(S0 + 54) + ".ts", S0 + 54, SIX, 0));
    const long long h12 = S0 + 12 + 3600;
    write_file(outside + "/" + std::to_string(h12) + ".ts", "secret");
    write_file(outside + "/index.cvs", archive::index_line(std::to_string(h12) + ".ts", h12, SIX, 0));
    fs::create_directory_symlink(outside, lib + "/2021/05/01/12");
    // Library 1 is configured and empty.
    fs::create_directories(ex.dir() / "lib1");
    const std::string token = "library-token";
    write_file(ex.dir() / "token", token + "\n");
    ws_link_options with_token;
    with_token.token = token;
    ex.start("true", {"--access-token-file=" + ex.dir() / "token", "--lib1-path=" + ex.dir() / "lib1"}, with_token);
    const int port = ex.port();
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    const auto get = [&](const std::string& path, const std::string& more = "") {
        return http_get(port, path, bearer + more);
    };

    // The token, as everywhere.
    const std::string dir10 = "/library/0/2021/05/01/10/";
    const std::string file10 = dir10 + std::to_string(S0);
    // The thumbnail's name, and the other spelling, which is not it.
    const std::string thumb10 = dir10 + thumb_of(lib, std::to_string(S0) + ".ts");
    const std::string not_thumb10 = thumb10 == file10 + ".jpg" ? file10 + ".ts.jpg" : file10 + ".jpg";
    for (const std::string& path :
         std::vector<std::string>{file10 + ".ts", thumb10, play_url(S0, S0 + 60), "/api/live.m3u8"}) {
        EXPECT_EQ(http_get(port, path).status, 401) << path;
        EXPECT_EQ(get(path).status, 200) << path;
    }

    // A segment whole, in part and by HEAD, and its thumbnail, for a year.
    const http_answer whole = get(file10 + ".ts");
    EXPECT_EQ(whole.header("content-type"), "video/mp2t");
    EXPECT_EQ(whole.header("cache-control"), "public, max-age=31536000, immutable");
    EXPECT_EQ(whole.header("accept-ranges"), "bytes");
    EXPECT_EQ(whole.body, first);
    const http_answer part = get(file10 + ".ts", "Range: bytes=100-199\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.header("content-range"), "bytes 100-199/" + std::to_string(first.size()));
    EXPECT_EQ(part.body, first.substr(100, 100));
    EXPECT_EQ(get(file10 + ".ts", "Range: bytes=5000-\r\n").status, 416);
    const http_answer head = http_exchange(
        port, "HEAD " + file10 + ".ts HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + bearer + "\r\n", true);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-length"), std::to_string(first.size()));
    const http_answer thumb = get(thumb10);
    EXPECT_EQ(thumb.header("content-type"), "image/jpeg");
    EXPECT_EQ(thumb.header("cache-control"), "public, max-age=31536000, immutable");
    EXPECT_EQ(thumb.body, "jpeg of " + std::to_string(S0) + ".ts");
    const std::string cam = std::to_string(S0 + 62) + "-cam.ts";
    EXPECT_EQ(get("/library/0/2021/05/01/11/" + cam).status, 200);
    EXPECT_EQ(get("/library/0/2021/05/01/11/" + thumb_of(lib, cam)).body, "jpeg of " + cam);

    // Nothing else: out of the layout, through a link, beyond the library,
    // not yet registered, or of a library not given.
    const std::string in11 = "/library/0/2021/05/01/11/";
    for (const std::string& path : std::vector<std::string>{
             in11 + std::to_string(S0) + ".ts", in11 + thumb_of(lib, std::to_string(S0) + ".ts"),
          in11 + std::to_string(S0 + 54) + ".ts",
          "/library/0/2021/05/01/12/" + std::to_string(h12) + ".ts", in11 + std::to_string(S0 + 72) + ".ts",
          in11 + thumb_of(lib, std::to_string(S0 + 72) + ".ts"), in11 + "index.cvs", in11 + "abc.ts",
          in11 + "x1619866800.ts", file10 + ".mp4", not_thumb10, file10 + ".ts.txt", file10, "/library/0/2021/5/01/10/1619866788.ts",
          "/library/0/2021/05/01/10/", "/library/0/2021/05/01/10", "/library/0//..//..//outside/secret.ts",
          "//library//0//2021//05//01//..//..//..//..//..//outside/secret.ts", "/library/0/../../outside/secret.ts", "/library/0/%2e%2e/%2e%2e/outside/secret.ts",
          "/library/%2E%2E/outside/secret.ts", "/library/0/2021/05/01/10/..%2f..%2f..%2f..%2f..%2foutside/secret.ts",
          "/library/0/2021/05/01/10/1619863200.ts", "/library/1/2021/05/01/10/1619866788.ts",
          "/library/2/2021/05/01/10/1619866788.ts", "/library/3/2021/05/01/10/1619866788.jpg",
          "/library/4/2021/05/01/10/1619866788.ts", "/library/9/2021/05/01/10/1619866788.ts",
          "/library/00/2021/05/01/10/1619866788.ts", "/library/-1/2021/05/01/10/1619866788.ts", "/library/",
          "/library"}) {
        const http_answer a = get(path);
        EXPECT_EQ(a.status, 404) << path;
        EXPECT_EQ(a.body.find("secret"), std::string::npos) << path;
    }
    // Doubled slashes reach the server collapsed: the same file, no other.
    EXPECT_EQ(get("/library//0//2021/05/01//10//" + std::to_string(S0) + ".ts").body, first);
    EXPECT_EQ(http_exchange(port, "POST " + file10 + ".ts HTTP/1.1\r\nHost: x\r\n" + bearer +
                                      "Content-Length: 0\r\nConnection: close\r\n\r\n")
                  .status,
              405);

    // The span's first segment starts before it and runs into it; the one
    // that starts at its end is out.
    const http_answer play = get(play_url(S0 + 3, S0 + 48));
    EXPECT_EQ(play.status, 200);
    EXPECT_EQ(play.header("content-type"), "application/vnd.apple.mpegurl");
    EXPECT_EQ(play.header("cache-control"), "no-store");
    const std::vector<std::string> expected = {
        "#EXTM3U",
        "#EXT-X-VERSION:3",
        "#EXT-X-TARGETDURATION:7",
        "#EXT-X-MEDIA-SEQUENCE:0",
        "#EXT-X-PLAYLIST-TYPE:VOD",
        "#EXT-X-PROGRAM-DATE-TIME:2021-05-01T10:59:48.000Z",
        "#EXTINF:6.000000,",
        seg_uri(S0),
        "#EXTINF:6.000000,",
        seg_uri(S0 + 6),
        "#EXTINF:6.040000,",
        seg_uri(S0 + 12),
        "#EXTINF:6.000000,",
        seg_uri(S0 + 18),
        "#EXT-X-DISCONTINUITY",
        "#EXT-X-PROGRAM-DATE-TIME:2021-05-01T11:00:18.000Z",
        "#EXTINF:6.000000,",
        seg_uri(S0 + 30),
        "#EXT-X-DISCONTINUITY",
        "#EXT-X-PROGRAM-DATE-TIME:2021-05-01T11:00:24.000Z",
        "#EXTINF:6.000000,",
        seg_uri(S0 + 36),
        "#EXTINF:6.000000,",
        seg_uri(S0 + 42),
        "#EXT-X-ENDLIST",
    };
    const std::vector<std::string> lines = split_lines(play.body);
    for (size_t i = 0; i < std::max(lines.size(), expected.size()); ++i) {
        EXPECT_EQ(i < lines.size() ? lines[i] : "(none)", i < expected.size() ? expected[i] : "(none)")
            << "line " << i + 1 << " of\n" << play.body;
    }
    EXPECT_EQ(play.body.back(), '\n');
    // Times as the client reads them; the playlist's URIs are relative to
    // /api/ and fetch the segments.
    EXPECT_EQ(get("/api/play.m3u8?lib=0&from=2021-05-01T10:59:51Z&to=2021-05-01T11:00:36Z").body, play.body);
    EXPECT_EQ(get("/api/" + seg_uri(S0 + 12)).status, 200);

    // A day at most; a span without a segment, or a library not given.
    const auto error_of = [&](const std::string& path, int status, const std::string& body) {
        const http_answer a = get(path);
        EXPECT_EQ(a.status, status) << path;
        EXPECT_EQ(a.header("content-type"), "application/json") << path;
        EXPECT_EQ(a.body, body) << path;
    };
    EXPECT_EQ(get(play_url(S0, S0 + 86400)).status, 200);
    error_of(play_url(S0, S0 + 86401), 400, R"({"error":"the span is longer than 24 hours"})");
    error_of(play_url(S0 - 7200, S0 - 3600), 404,
             R"({"error":"no segment covers the span 2021-05-01T08:59:48Z to 2021-05-01T09:59:48Z"})");
    error_of(play_url(S0, S0 + 60, 2), 404, R"({"error":"library 2 is not configured"})");
    error_of("/api/live.m3u8?lib=1", 404, R"({"error":"library 1 holds no segment"})");
    error_of("/api/live.m3u8?lib=3", 404, R"({"error":"library 3 is not configured"})");
    error_of("/api/live.m3u8?lib=7", 400, R"({"error":"lib is 0 to 3"})");

    // Freshness: the newest line of the newest hour (the linked folder of
    // hour 12 is not the library's).
    const std::string newest = std::to_string(S0 + 62);
    const http_answer rec0 = get("/api/recordings?lib=0&from=" + std::to_string(S0) + "&to=" + std::to_string(S0 + 6));
    EXPECT_NE(rec0.body.find(",\"last_segment_timestamp\":" + newest + "}"), std::string::npos) << rec0.body;
    const http_answer rec1 = get("/api/recordings?lib=1&from=" + std::to_string(S0) + "&to=" + std::to_string(S0 + 6));
    EXPECT_NE(rec1.body.find(",\"last_segment_timestamp\":null}"), std::string::npos) << rec1.body;
    const std::string metrics = get("/metrics").body;
    EXPECT_NE(metrics.find("\nbrindlewood_library_last_segment_timestamp_seconds{library=\"0\"} " + newest + "\n"),
              std::string::npos)
        << metrics;
    EXPECT_EQ(metrics.find("{library=\"1\"}"), std::string::npos) << metrics;
    EXPECT_EQ(ex.stop(), 0);
}

namespace {

// 2021-05-01 11:59:00 UTC: the live library's first segment.
constexpr long long L0 = 1619870340;

struct live_reply {
    long long media_sequence = -1;
    long long discontinuity_sequence = -1;
    std::map<std::string, long long> numbers;  // segment URI -> its sequence number
    std::vector<std::string> uris;             // in order
    std::vector<std::string> after_discontinuity;
    std::string text;
};

live_reply get_live(int port) {
    live_reply r;
    const http_answer a = http_get(port, "/api/live.m3u8?lib=0");
    EXPECT_EQ(a.status, 200) << a.body;
    r.text = a.body;
    bool discontinuity = false;
    for (const std::string& line : split_lines(a.body)) {
        if (line.rfind("#EXT-X-MEDIA-SEQUENCE:", 0) == 0) r.media_sequence = std::stoll(line.substr(22));
        if (line.rfind("#EXT-X-DISCONTINUITY-SEQUENCE:", 0) == 0) r.discontinuity_sequence = std::stoll(line.substr(30));
        if (line == "#EXT-X-DISCONTINUITY") discontinuity = true;
        if (line.empty() || line[0] == '#') continue;
        r.numbers[line] = r.media_sequence + static_cast<long long>(r.uris.size());
        r.uris.push_back(line);
        if (discontinuity) r.after_discontinuity.push_back(line);
        discontinuity = false;
    }
    EXPECT_EQ(a.body.find("#EXT-X-ENDLIST"), std::string::npos);
    return r;
}

// Every segment the two replies share has one number.
void expect_same_numbers(const live_reply& before, const live_reply& after, const char* when) {
    int shared = 0;
    for (const auto& [uri, n] : before.numbers) {
        const auto it = after.numbers.find(uri);
        if (it == after.numbers.end()) continue;
        ++shared;
        EXPECT_EQ(it->second, n) << when << ": " << uri << "\n" << before.text << "---\n" << after.text;
    }
    EXPECT_GT(shared, 0) << when;
    EXPECT_GE(after.media_sequence, before.media_sequence) << when;
}

// Segment k of the live library: six seconds each from L0, indexed in its
// hour; its first time stamp follows on, or restarts at 0 after `restart_k`.
void register_live(const std::string& lib, int k, int restart_k = 1000) {
    const long long t = L0 + 6LL * k;
    const long long pts = k < restart_k ? 900000 + SIX * k : SIX * (k - restart_k);
    add_segment(lib, std::to_string(t) + ".ts", t, SIX, pts);
}

}  // namespace

TEST(LibraryHttp, LiveSegmentsKeepTheirNumbersAcrossReloadsAnHourChangeAndARestart) {
    Exporter ex;
    const std::string lib = ex.lib();
    for (int k = 0; k < 8; ++k) register_live(lib, k);
    ex.start("true");

    // A fresh start takes the newest 30 s and numbers from the first's time.
    const live_reply first = get_live(ex.port());
    const std::string expected_head = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:6\n"
                                      "#EXT-X-MEDIA-SEQUENCE:1619870358\n#EXT-X-DISCONTINUITY-SEQUENCE:1619870358\n"
                                      "#EXT-X-PROGRAM-DATE-TIME:2021-05-01T11:59:18.000Z\n";
    std::string expected = expected_head;
    for (int k = 3; k < 8; ++k) expected += "#EXTINF:6.000000,\n" + seg_uri(L0 + 6LL * k) + "\n";
    EXPECT_EQ(first.text, expected);

    // A segment registered now is there at the next reload.
    register_live(lib, 8);
    const live_reply second = get_live(ex.port());
    EXPECT_EQ(second.uris.back(), seg_uri(L0 + 48));
    EXPECT_EQ(second.media_sequence, first.media_sequence + 1);
    expect_same_numbers(first, second, "a new segment");

    // The hour changes, and the recorder restarts with it.
    register_live(lib, 9, 10);
    register_live(lib, 10, 10);
    const live_reply third = get_live(ex.port());
    EXPECT_EQ(third.uris.back(), seg_uri(L0 + 60));
    EXPECT_EQ(third.after_discontinuity, std::vector<std::string>{seg_uri(L0 + 60)});
    EXPECT_NE(third.text.find("#EXT-X-DISCONTINUITY\n#EXT-X-PROGRAM-DATE-TIME:2021-05-01T12:00:00.000Z\n"),
              std::string::npos)
        << third.text;
    expect_same_numbers(second, third, "the hour change");

    // A restart, with a segment registered while the daemon was away.
    EXPECT_EQ(ex.stop(), 0);
    register_live(lib, 11, 10);
    ex.start("true");
    const live_reply fourth = get_live(ex.port());
    EXPECT_EQ(fourth.uris.back(), seg_uri(L0 + 66));
    expect_same_numbers(third, fourth, "the restart");

    // The discontinuity slides out and is counted in the sequence.
    for (int k = 12; k < 16; ++k) register_live(lib, k, 10);
    const live_reply fifth = get_live(ex.port());
    EXPECT_TRUE(fifth.after_discontinuity.empty()) << fifth.text;
    EXPECT_EQ(fifth.discontinuity_sequence, first.discontinuity_sequence + 1);
    expect_same_numbers(fourth, fifth, "the discontinuity sliding out");
    EXPECT_EQ(fifth.numbers.at(seg_uri(L0 + 6LL * 15)), first.media_sequence + 12);
    EXPECT_EQ(ex.stop(), 0);
}
