// The HTTP side of the export port against a real daemon: the files of the
// task folders with their ranges, what is never served, a downloader that
// stops reading, health and metrics, and the token for browsers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

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

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
    }
    return -1;
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
    const long before = rss_kib(ex.process().pid());

    // Asks for the clip and reads nothing, with a small receive buffer.
    unique_fd stalled(tcp_connect("127.0.0.1", ex.port()));
    ASSERT_TRUE(stalled);
    const int small = 16 * 1024;
    setsockopt(stalled.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const std::string request = "GET /tasks/00001/cut.mp4 HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(send(stalled.get(), request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));

    auto client = ex.connect();
    for (int round = 0; round < 2; ++round) {
        const http_answer a = http_get(ex.port(), "/tasks/00001/cut.mp4");
        EXPECT_EQ(a.status, 200);
        EXPECT_TRUE(a.body == clip) << "round " << round << ": " << a.body.size() << " bytes";
        ASSERT_TRUE(client->send(task_request("while stalled")));
        EXPECT_TRUE(receive_until(*client, new_task_message(round + 2), 10s));
    }
    const long during = rss_kib(ex.process().pid());
    EXPECT_LT(during - before, 16 * 1024) << "KiB more resident with a 64 MiB download stalled";
    stalled = unique_fd();
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
