// The HTTP side of the export port against a real daemon: the files of the
// task folders with their ranges, what is never served, a downloader that
// stops reading, health and metrics, the token for browsers, and what an
// attacker sends.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "exporter/peer_log.h"
#include "exporter_fixture.h"
#include "http_client.h"

using namespace exporter_test;
namespace fs = std::filesystem;

namespace {

// A finished task folder with a clip of `size` known bytes.
std::string done_task(const Exporter& ex, int n, size_t size, const std::string& state = "2") {
    const std::string folder = task_folder(ex.tasks(), n);
    fs::create_directories(folder);
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    write_file(folder + "/cut.mp4", bytes);
    write_file(folder + "/state", state);
    write_file(folder + "/index.json", "{ \"title\": \"t\" }");
    write_file(folder + "/cut.log", "ffmpeg said\n");
    return bytes;
}

std::string range(const std::string& header_value) { return "Range: " + header_value + "\r\n"; }

// What the daemon holds for the HTTP replies in progress, by its own count
// on /metrics; -1 when it cannot be read.
long long buffered_bytes(int port) {
    const http_answer m = http_get(port, "/metrics");
    std::smatch v;
    if (!std::regex_search(m.body, v, std::regex(R"(\nbrindlewood_http_buffered_bytes (\d+)\n)"))) return -1;
    return std::stoll(v[1]);
}

// Sends a request and reads everything that comes until the daemon closes
// the connection; *closed says whether it did before the deadline.
std::string answer_to_close(int port, const std::string& request, bool* closed) {
    unique_fd fd(tcp_connect("127.0.0.1", port));
    std::string got;
    *closed = false;
    if (!fd || send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return got;
    read_until(fd.get(), &got, std::chrono::steady_clock::now() + ANSWER_DEADLINE,
               [](const std::string&) { return false; }, closed);
    return got;
}

// Whether the daemon has closed a connection that sent no complete request.
bool dropped(int fd) {
    pollfd p{fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 0) == 1 && recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) <= 0;
}

}  // namespace

TEST(ExportHttp, TaskFilesRangesAndNothingBeyondTheTasksFolder) {
    Exporter ex;
    const std::string clip = done_task(ex, 1, 100000);
    write_file(task_folder(ex.tasks(), 1) + "/thumb.jpg", "jpeg");
    done_task(ex, 2, 1000, "1");  // still being cut
    // A folder named like a task that is a link out of the tasks folder.
    const std::string outside = ex.dir() / "outside";
    fs::create_directories(outside);
    write_file(outside + "/state", "2");
    write_file(outside + "/cut.mp4", "secret");
    fs::create_directory_symlink(outside, task_folder(ex.tasks(), 3));
    ex.start("true");
    const int port = ex.port();

    const http_answer whole = http_get(port, "/tasks/00001/cut.mp4");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.header("content-type"), "video/mp4");
    EXPECT_EQ(whole.header("accept-ranges"), "bytes");
    EXPECT_TRUE(whole.body == clip) << whole.body.size() << " bytes";
    for (const auto& [file, type] : std::vector<std::pair<std::string, std::string>>{
             {"thumb.jpg", "image/jpeg"},
             {"index.json", "application/json"},
             {"state", "text/plain; charset=utf-8"},
             {"cut.log", "text/plain; charset=utf-8"}}) {
        const http_answer a = http_get(port, "/tasks/00001/" + file);
        EXPECT_EQ(a.status, 200) << file;
        EXPECT_EQ(a.header("content-type"), type) << file;
        EXPECT_EQ(a.body, read_file(task_folder(ex.tasks(), 1) + "/" + file)) << file;
    }

    // Ranges: a part, an open end, the last bytes, past the end, and what
    // is not a single byte range (ignored: the whole file).
    struct part {
        std::string header_value;
        int status;
        std::string content_range;
        size_t from;
        size_t length;
    };
    for (const part& p : std::vector<part>{{"bytes=10-19", 206, "bytes 10-19/100000", 10, 10},
                                           {"bytes=99000-", 206, "bytes 99000-99999/100000", 99000, 1000},
                                           {"bytes=-300", 206, "bytes 99700-99999/100000", 99700, 300},
                                           {"bytes=99990-200000", 206, "bytes 99990-99999/100000", 99990, 10},
                                           {"bytes=-200000", 206, "bytes 0-99999/100000", 0, 100000},
                                           {"bytes=100000-", 416, "bytes */100000", 0, 0},
                                           {"bytes=-0", 416, "bytes */100000", 0, 0},
                                           {"bytes=1-2,5-6", 200, "", 0, 100000},
                                           {"bytes=9-3", 200, "", 0, 100000}}) {
        const http_answer a = http_get(port, "/tasks/00001/cut.mp4", range(p.header_value));
        EXPECT_EQ(a.status, p.status) << p.header_value;
        EXPECT_EQ(a.header("content-range"), p.content_range) << p.header_value;
        EXPECT_TRUE(a.body == clip.substr(p.from, p.length)) << p.header_value << ": " << a.body.size() << " bytes";
    }

    // A clip still being cut is not served as if whole; its log is.
    EXPECT_EQ(http_get(port, "/tasks/00002/cut.mp4").status, 409);
    EXPECT_EQ(http_get(port, "/tasks/00002/thumb.jpg").status, 409);
    EXPECT_EQ(http_get(port, "/tasks/00002/cut.log").status, 200);

    // Nothing else, and nothing outside the tasks folder, however named.
    for (const std::string path :
         {"/tasks/00003/cut.mp4", "/tasks/00003/state", "/tasks/../outside/state", "/tasks/%2e%2e/outside/state",
          "/tasks/%2E%2E/%2e%2e/outside/cut.mp4", "/tasks/00001/../../outside/state",
          "/tasks/0001/state", "/tasks/000001/state", "/tasks/00001/playlist.m3u8", "/tasks/00001/", "/tasks/00001",
          "/tasks/00001/state/x", "/tasks/00009/state", "/tasks", "/etc/passwd", "/index.html", "/api/nothing"}) {
        const http_answer a = http_get(port, path);
        EXPECT_EQ(a.status, 404) << path;
        EXPECT_EQ(a.body.find("secret"), std::string::npos) << path;
    }
    EXPECT_EQ(http_exchange(port, "POST /tasks/00001/state HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n").status,
              405);
    EXPECT_EQ(ex.stop(), 0);
}

// A downloader that stops reading holds one piece of the file in the
// daemon, not the file, and everybody else goes on being served.
TEST(ExportHttp, AStalledDownloaderHoldsABoundedBufferWhileOthersGoOn) {
    Exporter ex;
    constexpr size_t SIZE = 64 << 20;
    const std::string clip = done_task(ex, 1, SIZE);
    ex.start("true");
    EXPECT_EQ(buffered_bytes(ex.port()), 0);

    // Asks for the clip and reads nothing, with a small receive buffer.
    unique_fd stalled(tcp_connect("127.0.0.1", ex.port()));
    ASSERT_TRUE(stalled);
    const int small = 16 * 1024;
    setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = "GET /tasks/00001/cut.mp4 HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(stalled.get(), request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(wait_until([&] { return buffered_bytes(ex.port()) > 0; }, 60s)) << "the stalled reply is counted";

    auto client = ex.connect();
    for (int round = 0; round < 2; ++round) {
        const http_answer a = http_get(ex.port(), "/tasks/00001/cut.mp4");
        EXPECT_EQ(a.status, 200);
        EXPECT_TRUE(a.body == clip) << "round " << round << ": " << a.body.size() << " bytes";
        ASSERT_TRUE(client->send(task_request("while stalled")));
        EXPECT_TRUE(receive_until(*client, new_task_message(round + 2)));
    }
    // The stalled reply alone: a piece of the file and what the socket has
    // not taken of the last one, never the file. (Unless it has stalled for
    // so long that the daemon dropped it.)
    const long long held = buffered_bytes(ex.port());
    if (!dropped(stalled.get())) {
        EXPECT_GT(held, 0);
    }
    EXPECT_LE(held, 1 << 20) << "bytes held for a stalled 64 MiB download";
    stalled = unique_fd();
    EXPECT_TRUE(wait_until([&] { return buffered_bytes(ex.port()) == 0; }, 60s)) << "given back when it ends";
    EXPECT_EQ(ex.stop(), 0);
}

TEST(ExportHttp, HealthMetricsAndTheTokenOfABrowser) {
    Exporter ex;
    const std::string token = "c2VjcmV0-token";
    write_file(ex.dir() / "token", token + "\n");
    ws_link_options with_token;
    with_token.token = token;
    ex.start("ffmpeg", {"--access-token-file=" + ex.dir() / "token"}, with_token);
    const int port = ex.port();
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";

    auto client = ex.connect();
    ASSERT_TRUE(client->send(task_request("measured")));
    ASSERT_TRUE(receive_until(*client, state_message(1, 2)));

    // Health needs no token.
    const http_answer health = http_get(port, "/healthz");
    EXPECT_EQ(health.status, 200);
    EXPECT_TRUE(std::regex_match(health.body, std::regex(R"(\{"status":"ok","uptime_s":\d+,"queue":0,)"
                                                         R"("task_in_hand":null,"connections":1,"pooled":1\})")))
        << health.body;

    // Everything else does: 401 and the login form, one line in the log.
    const http_answer refused = http_get(port, "/metrics");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.header("www-authenticate"), "Bearer");
    EXPECT_TRUE(ex.wait_log_count("http_callback: refused the HTTP request [/metrics] of [", 1));
    EXPECT_EQ(http_get(port, "/", "Cookie: brindlewood_token=wrong\r\n").status, 401);
    EXPECT_EQ(http_get(port, "/tasks/00001/state", bearer).body, "2");

    // The login form sets the cookie, which then opens the page and the
    // WebSocket; a wrong token is refused.
    const auto post_login = [&](const std::string& body) {
        return http_exchange(port, "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                       "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    };
    EXPECT_EQ(post_login("token=nope").status, 401);
    const http_answer login = post_login("token=" + token);
    EXPECT_EQ(login.status, 303);
    EXPECT_EQ(login.header("location"), "/");
    EXPECT_EQ(login.header("set-cookie"), "brindlewood_token=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    const std::string cookie = "Cookie: other=1; brindlewood_token=" + token + "\r\n";
    EXPECT_EQ(http_get(port, "/tasks/00001/state", cookie).status, 200);

    const http_answer metrics = http_get(port, "/metrics", bearer);
    EXPECT_EQ(metrics.status, 200);
    for (const std::string line :
         {"brindlewood_tasks{state=\"done\"} 1\n", "brindlewood_tasks{state=\"queued\"} 0\n",
          "brindlewood_queue_length 0\n", "brindlewood_connections{kind=\"pooled\"} 1\n",
          "brindlewood_connections{kind=\"total\"} 1\n", "brindlewood_ffmpeg_run_seconds_count{run=\"thumb\"} 1\n",
          "brindlewood_ffmpeg_run_seconds_count{run=\"cut\"} 1\n",
          "brindlewood_ffmpeg_run_seconds_bucket{run=\"cut\",le=\"+Inf\"} 1\n",
          "brindlewood_refused_handshakes_total{reason=\"token\"} 3\n",
          "brindlewood_refused_handshakes_total{reason=\"origin\"} 0\n"}) {
        EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
    }
    std::smatch sent;
    ASSERT_TRUE(std::regex_search(metrics.body, sent, std::regex(R"(brindlewood_http_sent_bytes_total (\d+))")));
    EXPECT_GT(std::stoll(sent[1]), 0);
    EXPECT_EQ(ex.stop(), 0);
}

// Requests an attacker sends: numbers past any range, spans of centuries,
// bodies nobody reads and bodies framed twice, sockets that never finish a
// request, and floods of refusals. Each is answered (or dropped) and leaves
// nothing behind: the service still answers, the descriptors come back, and
// the log grows by a bounded number of lines.
TEST(ExportHttp, HostileRequestsLeaveTheServiceAsItWas) {
    Exporter ex;
    done_task(ex, 1, 4 << 20);
    const std::string token = "hostile-T0ken";
    write_file(ex.dir() / "token", token + "\n");
    ws_link_options with_token;
    with_token.token = token;
    ex.start("true", {"--access-token-file=" + ex.dir() / "token"}, with_token);
    const auto started = std::chrono::steady_clock::now();
    const int port = ex.port();
    const pid_t pid = ex.process().pid();
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    ASSERT_EQ(http_get(port, "/healthz").status, 200);
    // What it holds with no connection open.
    const descriptor_count at_start = process_descriptors(pid);
    const int resting = at_start.all - at_start.connections;
    const size_t lines_before = split_lines(ex.log()).size();

    // Every number is checked, never thrown about: a 400 with the reason.
    const std::string t0 = std::to_string(T0);
    struct api_case {
        std::string query;
        int status;
        std::string error;
    };
    for (const api_case& c : std::vector<api_case>{
             {"recordings?lib=0&from=0&to=99999999999999999999", 400, "is out of range"},
             {"clip?lib=0&from=99999999999999999999&to=1", 400, "is out of range"},
             {"clip?lib=0&from=0&to=9223372036854775807", 400, "is not between 1970 and 9999"},
             {"clip?lib=0&from=-9223372036854775808&to=0", 400, "is not between 1970 and 9999"},
             {"recordings?lib=0&from=-9223372036854775808&to=9223372036854775807", 400, "is not between"},
             {"recordings?lib=0&from=9223372036854770000&to=9223372036854775807", 400, "is not between"},
             {"clip?lib=0&from=0&to=99999999999", 400, "the span is longer than 24 hours"},
             {"clip?lib=0&from=0&to=1796835600", 400, "the span is longer than 24 hours"},
             {"recordings?lib=0&from=" + t0 + "&to=" + std::to_string(T0 + 31 * 86400 + 1), 400, "longer than 31 days"},
             {"recordings?lib=99999999999999999999&from=" + t0 + "&to=" + t0 + "1", 400, "lib is 0 to 3"},
             {"recordings?lib=0&from=" + t0 + "&to=" + std::to_string(T0 + 31 * 86400), 200, ""},
             // A day is walked hour by hour and answered (this library has no index).
             {"clip?lib=0&from=" + t0 + "&to=" + std::to_string(T0 + 86400), 422, "no segment covers the span"}}) {
        const http_answer a = http_get(port, "/api/" + c.query, bearer);
        EXPECT_EQ(a.status, c.status) << c.query << ": " << a.body;
        EXPECT_EQ(a.header("content-type"), "application/json") << c.query;
        if (!c.error.empty()) {
            EXPECT_EQ(a.body.rfind("{\"error\":\"", 0), 0u) << a.body;
            EXPECT_NE(a.body.find(c.error), std::string::npos) << c.query << ": " << a.body;
        }
    }

    // A body that nothing reads: the answer, whole and once, then the close.
    // Framed by both headers, or by a length that is no number: 400.
    const std::string healthz = "GET /healthz HTTP/1.1\r\nHost: x\r\n";
    struct body_case {
        std::string request;
        std::string status_line;
        bool json_error;  // the transport's own refusal
    };
    for (const body_case& c : std::vector<body_case>{
             {healthz + "Content-Length: 4\r\n\r\nabcd", "HTTP/1.1 200 OK", false},
             {healthz + "Content-Length: 4\r\n\r\nabcdGET /healthz HTTP/1.1\r\n\r\nmore bytes", "HTTP/1.1 200 OK",
              false},
             {healthz + "Transfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n", "HTTP/1.1 200 OK", false},
             {healthz + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
              "HTTP/1.1 400 Bad Request", true},
             {healthz + "Content-Length: 4x\r\n\r\nabcd", "HTTP/1.1 400 Bad Request", true},
             {"POST /login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
              "HTTP/1.1 411 Length Required", true},
             {"POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\ntoken=nopeGET / HTTP/1.1\r\n\r\n",
              "HTTP/1.1 401 Unauthorized", false}}) {
        bool closed = false;
        const std::string got = answer_to_close(port, c.request, &closed);
        EXPECT_TRUE(closed) << c.request;
        http_answer a;
        const size_t head_end = got.find("\r\n\r\n");
        ASSERT_NE(head_end, std::string::npos) << c.request << " got " << got;
        a.head = got.substr(0, head_end + 2);
        a.body = got.substr(head_end + 4);
        parse_head(&a);
        EXPECT_EQ(a.head.substr(0, a.head.find("\r\n")), c.status_line) << c.request;
        EXPECT_EQ(a.header("connection"), "close") << got;
        EXPECT_EQ(std::to_string(a.body.size()), a.header("content-length")) << "answered whole and once: " << got;
        if (c.json_error) {
            EXPECT_EQ(a.body.rfind("{\"error\":\"", 0), 0u) << got;
        }
    }

    // Sockets that send nothing or half a header do not keep a complete
    // request waiting, and are dropped in time although they never close.
    std::vector<unique_fd> idle;
    for (int i = 0; i < 40; ++i) {
        idle.emplace_back(tcp_connect("127.0.0.1", port));
        ASSERT_TRUE(idle.back());
        if (i % 2 == 1) send(idle.back().get(), healthz.data(), healthz.size() - 2, MSG_NOSIGNAL);
    }
    EXPECT_EQ(http_get(port, "/healthz").status, 200);
    EXPECT_EQ(std::count_if(idle.begin(), idle.end(), [](const unique_fd& fd) { return dropped(fd.get()); }), 0)
        << "the request was answered only once idle sockets were dropped";
    EXPECT_TRUE(wait_until(
        [&] { return std::all_of(idle.begin(), idle.end(), [](const unique_fd& fd) { return dropped(fd.get()); }); },
        60s));
    idle.clear();

    // A download left unread, then given up.
    {
        unique_fd stalled(tcp_connect("127.0.0.1", port));
        const std::string get = "GET /tasks/00001/cut.mp4 HTTP/1.1\r\nHost: x\r\n" + bearer + "\r\n";
        ASSERT_EQ(send(stalled.get(), get.data(), get.size(), MSG_NOSIGNAL), static_cast<ssize_t>(get.size()));
        ASSERT_TRUE(wait_until([&] { return process_descriptors(pid).connections > 0; }, 60s));
    }

    // Floods of refusals and of messages that do not parse: a few lines a
    // second each, and a line that says how many were left out.
    for (int i = 0; i < 300; ++i) EXPECT_EQ(http_get(port, "/metrics").status, 401);
    auto client = ex.connect();
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(client->send("not json " + std::to_string(i)));
    client.reset();

    EXPECT_EQ(http_get(port, "/healthz").status, 200);
    EXPECT_TRUE(wait_until(
        [&] {
            const descriptor_count now = process_descriptors(pid);
            return now.all == resting && now.connections == 0;
        },
        60s))
        << process_descriptors(pid).all << " descriptors, " << resting << " before: "
        << run("/bin/ls", {"-l", "/proc/" + std::to_string(pid) + "/fd"}).out;
    ASSERT_TRUE(wait_until([&] { return ex.log_count("more such lines left out") >= 1; }, 60s)) << ex.log();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double allowed = PEER_LOG_RATE.burst + PEER_LOG_RATE.per_second * (seconds + 1);
    EXPECT_LE(ex.log_count("refused the HTTP request"), allowed);
    EXPECT_LE(ex.log_count("ws_cb_recv: failed to parse"), allowed);
    EXPECT_LE(ex.log_count("ws_cb_recv: recieved"), allowed);
    // Beside those, the summaries and a few lines for the WebSocket client.
    EXPECT_LE(split_lines(ex.log()).size() - lines_before, 2 * allowed + 2 * (seconds + 1) + 20) << ex.log();
    EXPECT_EQ(ex.stop(), 0);
}
