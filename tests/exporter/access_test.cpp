// Who may use the export port, and where it listens: a real export daemon,
// real WebSocket clients, the real client program, and a raw TCP client
// that reads the status lines of refusals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <regex>

#include "exporter/access.h"
#include "exporter_fixture.h"
#include "http_client.h"
#include "handles.h"

using namespace exporter_test;

namespace {

const std::string TOKEN = "Zm9vYmFy-s3cret_token+/==";

bool accepts(const std::string& addr, int port) { return unique_fd(tcp_connect(addr, port)).get() >= 0; }

// A WebSocket handshake as a browser sends it, with more header lines.
std::string handshake(int port, const std::string& headers) {
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: http-only\r\n" +
           headers + "\r\n";
}

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

std::string last_line_with(const std::string& text, const std::string& piece) {
    std::string found;
    for (const auto& line : split_lines(text))
        if (line.find(piece) != std::string::npos) found = line;
    return found;
}

// Sends a plain HTTP request, which the daemon refuses without a token; once
// its line is in the log, so is everything the service logged before it.
std::string mark(Exporter& ex) {
    static int n = 0;
    const std::string uri = "/mark-" + std::to_string(++n);
    raw_request(ex.port(), "GET " + uri + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string line = "refused the HTTP request [" + uri + "]";
    EXPECT_TRUE(ex.wait_log_count(line, 1));
    return line;
}

// The log lines after the one holding `from` and before the one holding `to`.
std::vector<std::string> lines_between(const std::string& log, const std::string& from, const std::string& to) {
    std::vector<std::string> lines;
    bool inside = false;
    for (const auto& line : split_lines(log)) {
        if (line.find(to) != std::string::npos) break;
        if (inside) lines.push_back(line);
        inside = inside || line.find(from) != std::string::npos;
    }
    return lines;
}

// Runs one attempt that must be refused, and checks that all it left in the
// log is one refusal line (with `piece` in it, the '!' marker and the peer's
// address): no ESTABLISHED line, no slot.
void expect_refused(Exporter& ex, const std::string& piece, const std::function<void()>& attempt) {
    const std::string before = mark(ex);
    attempt();
    const auto lines = lines_between(ex.log(), before, mark(ex));
    ASSERT_EQ(lines.size(), 1u) << ex.log();
    EXPECT_NE(lines[0].find(piece), std::string::npos) << lines[0];
    EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"(^! .* of \[(::ffff:)?127\.0\.0\.1\])"))) << lines[0];
}

const std::regex unauthorized(R"(HTTP/1\.1 401 Unauthorized)");
const std::regex forbidden(R"(HTTP/1\.1 403 Forbidden)");

}  // namespace

TEST(ExportAccess, OriginsTokensAndTokenFiles) {
    const std::string here = "127.0.0.1:4464";
    struct origin_case {
        const char* origin;
        const char* host;
        bool same;
    };
    for (const auto& c : std::vector<origin_case>{{"http://127.0.0.1:4464", "127.0.0.1:4464", true},
                                                   {"HTTP://LocalHost", "localhost:80", true},
                                                   {"https://example.org", "example.org:443", true},
                                                   {"https://example.org", "example.org", true},
                                                   {"http://[::1]:4464", "[::1]:4464", true},
                                                   {"http://127.0.0.1", "127.0.0.1:4464", false},
                                                   {"http://127.0.0.1:4465", "127.0.0.1:4464", false},
                                                   {"https://example.org", "example.org:80", false},
                                                   {"http://evil.example:4464", "127.0.0.1:4464", false},
                                                   {"null", "127.0.0.1:4464", false},
                                                   {"file://127.0.0.1:4464", "127.0.0.1:4464", false},
                                                   {"http://user@127.0.0.1:4464", "127.0.0.1:4464", false},
                                                   {"http://127.0.0.1:4464/", "127.0.0.1:4464", false},
                                                   {"http://[::1]:4464", "[::2]:4464", false}}) {
        EXPECT_EQ(access_origin_matches(c.origin, c.host), c.same) << c.origin << " for " << c.host;
    }
    EXPECT_TRUE(access_token_equal(TOKEN, TOKEN));
    for (const std::string& other : std::vector<std::string>{"", TOKEN.substr(1), TOKEN + "x", "x" + TOKEN.substr(1), TOKEN + TOKEN})
        EXPECT_FALSE(access_token_equal(TOKEN, other)) << other;

    TempDir tmp;
    struct file_case {
        std::string text;
        std::string token;  // empty: refused
    };
    for (const auto& c : std::vector<file_case>{{TOKEN + " \t\r\n", TOKEN},
                                                 {TOKEN + "\nsecond line\n", TOKEN},
                                                 {"\n" + TOKEN + "\n", ""},
                                                 {" \t\n", ""},
                                                 {"two words\n", ""},
                                                 {"a=b\n", ""},
                                                 {std::string(ACCESS_TOKEN_MAX, 't') + "\n", std::string(ACCESS_TOKEN_MAX, 't')},
                                                 {std::string(ACCESS_TOKEN_MAX + 1, 't'), ""}}) {
        write_file(tmp / "token", c.text);
        std::string token;
        std::string why;
        EXPECT_EQ(access_token_load((tmp / "token").c_str(), &token, &why), c.token.empty() ? -22 : 0) << c.text;
        EXPECT_EQ(token, c.token);
        EXPECT_EQ(why.empty(), !c.token.empty()) << why;
    }
    std::string token;
    std::string why;
    EXPECT_EQ(access_token_load((tmp / "missing").c_str(), &token, &why), -22);
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
}

TEST(ExportAccess, TheRoadOfATokenAndAnOrigin) {
    Exporter ex;
    write_file(ex.dir() / "token", TOKEN + "\n");
    std::filesystem::create_directories(task_folder(ex.tasks(), 7));
    ws_link_options with_token;
    with_token.token = TOKEN;
    ex.start("true", {"--access-token-file=" + ex.dir() / "token"}, with_token);
    EXPECT_NE(ex.log().find("ws_init: listening on "), std::string::npos);
    const int port = ex.port();
    const std::string host = "127.0.0.1:" + std::to_string(port);

    expect_refused(ex, "(Origin [], Host [" + host + "]) with HTTP 401: it carries no token", [&] {
        const std::string answer = raw_request(port, handshake(port, ""));
        EXPECT_TRUE(std::regex_match(status_line(answer), unauthorized)) << answer;
        EXPECT_TRUE(std::regex_search(answer, std::regex("\r\nWWW-Authenticate: Bearer\r\n", std::regex::icase)))
            << answer;
    });
    expect_refused(ex, "with HTTP 401: its token is wrong", [&] {
        std::string error;
        ws_link_options wrong;
        wrong.token = TOKEN + "x";
        EXPECT_EQ(ws_link::open("127.0.0.1", port, 5s, &error, wrong), nullptr);
        EXPECT_EQ(error, "the server refused the connection: HTTP 401, a token is needed or it is wrong (--token-file)");
    });
    expect_refused(ex, "refused the HTTP request [/tasks] of [", [&] {
        const std::string answer = raw_request(port, "GET /tasks HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_TRUE(std::regex_match(status_line(answer), unauthorized)) << answer;
    });
    // A page of another site, its Origin with a tab that must not reach the
    // log as one.
    expect_refused(ex, "(Origin [http://evil\\t.example], Host [" + host + "]) with HTTP 403: its Origin is not", [&] {
        const std::string answer =
            raw_request(port, handshake(port, "Origin: http://evil\t.example\r\nAuthorization: Bearer " + TOKEN + "\r\n"));
        EXPECT_TRUE(std::regex_match(status_line(answer), forbidden)) << answer;
    });
    expect_refused(ex, "(Origin [http://127.0.0.1], Host [" + host + "]) with HTTP 403", [&] {
        std::string error;
        ws_link_options other_port = with_token;
        other_port.origin = "http://127.0.0.1";
        EXPECT_EQ(ws_link::open("127.0.0.1", port, 5s, &error, other_port), nullptr);
        EXPECT_NE(error.find("refused the connection: HTTP 403"), std::string::npos) << error;
    });
    expect_refused(ex, "with HTTP 401: it carries no token", [&] {
        const RunResult r = run(BRINDLEWOOD_CLIENT_BIN, {"list", "--port", std::to_string(port)});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "BrindlewoodClient: the server refused the connection: HTTP 401, a token is needed or it is wrong "
                  "(--token-file)\n");
    });

    // A page of this host, a cookie in place of the header, and a program
    // that sends no Origin are let in.
    ws_link_options same_host = with_token;
    same_host.origin = "http://" + host;
    std::string error;
    auto page = ws_link::open("127.0.0.1", port, 5s, &error, same_host);
    ASSERT_NE(page, nullptr) << error;
    EXPECT_EQ(page->receive(5s), "{ \"tasks\": [ 7 ] }");
    const std::string cookie = raw_request(port, handshake(port, "Cookie: a=b; brindlewood_token=" + TOKEN + "\r\n"));
    EXPECT_EQ(status_line(cookie), "HTTP/1.1 101 Switching Protocols") << cookie;
    auto program = ex.connect();
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(program->receive(5s), "{ \"tasks\": [ 7 ] }");
    ASSERT_TRUE(program->send(task_request("behind a token")));
    EXPECT_TRUE(receive_until(*program, new_task_message(8), 10s));
    EXPECT_TRUE(receive_until(*page, new_task_message(8), 10s)) << "the same-host page hears announcements";

    write_file(ex.dir() / "client-token", TOKEN + "\r\n");
    const RunResult listed =
        run(BRINDLEWOOD_CLIENT_BIN,
            {"list", "--port", std::to_string(port), "--token-file", ex.dir() / "client-token", "--wait-ms", "20000"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, "7\n8\n");
    EXPECT_EQ(ex.stop(), 0);
}

// A client of the WebSocket protocol reads only an HTTP/1.1 answer to its
// handshake: each refusal is one, with the status, headers and empty body
// it always had.
TEST(ExportAccess, RefusedHandshakesAreAnsweredInHttp11) {
    Exporter ex;
    write_file(ex.dir() / "token", TOKEN + "\n");
    ws_link_options with_token;
    with_token.token = TOKEN;
    ex.start("true", {"--access-token-file=" + ex.dir() / "token"}, with_token);
    const std::string unauthorized_answer =
        "HTTP/1.1 401 Unauthorized\r\nwww-authenticate: Bearer\r\ncontent-length: 0\r\n\r\n";
    struct refusal {
        const char* what;
        std::string headers;
        std::string answer;
    };
    for (const refusal& r : std::vector<refusal>{
             {"a wrong token", "Authorization: Bearer " + TOKEN + "x\r\n", unauthorized_answer},
             {"no token", "", unauthorized_answer},
             {"a foreign Origin", "Origin: http://evil.example\r\nAuthorization: Bearer " + TOKEN + "\r\n",
              "HTTP/1.1 403 Forbidden\r\ncontent-length: 0\r\n\r\n"}}) {
        const http_answer a = http_exchange(ex.port(), handshake(ex.port(), r.headers));
        EXPECT_EQ(a.head + "\r\n" + a.body, r.answer) << r.what;
    }
    EXPECT_EQ(ex.stop(), 0);
}

TEST(ExportListen, AddressesPortsAndStartsThatFail) {
    // Starts the daemon on --ws-port=0 and the address given; the port the
    // log names, or -1 when it did not start.
    TempDir tmp;
    const std::string log = tmp / "e.log";
    auto listen_on = [&](const std::string& addr, std::unique_ptr<Process>* proc) {
        std::filesystem::remove(log);
        *proc = std::make_unique<Process>(BRINDLEWOOD_EXPORTER_BIN,
                                          std::vector<std::string>{"--ws-port=0", "--listen=" + addr,
                                                                   "--log-file-name=" + log},
                                          tmp.path());
        const std::regex line(R"(\] ws_init: listening on (\S+) port (\d+)\n)");
        std::smatch m;
        std::string text;
        if (!wait_until([&] { return std::regex_search(text = read_file(log), m, line); })) return -1;
        EXPECT_EQ(m[1].str(), addr);
        return std::stoi(m[2]);
    };
    std::unique_ptr<Process> v4;
    const int port4 = listen_on("127.0.0.1", &v4);
    ASSERT_GT(port4, 0) << read_file(log);
    std::string error;
    EXPECT_NE(ws_link::open("127.0.0.1", port4, 5s, &error), nullptr) << error;
    EXPECT_FALSE(accepts("127.0.0.2", port4)) << "bound to 127.0.0.1 alone";
    v4->signal(SIGTERM);
    EXPECT_EQ(v4->wait_exit(20s).value_or(-1), 0);

    std::unique_ptr<Process> v6;
    const int port6 = listen_on("::1", &v6);
    ASSERT_GT(port6, 0) << read_file(log);
    EXPECT_NE(ws_link::open("::1", port6, 5s, &error), nullptr) << error;
    EXPECT_FALSE(accepts("127.0.0.1", port6));
    v6->signal(SIGTERM);
    EXPECT_EQ(v6->wait_exit(20s).value_or(-1), 0);

    write_file(tmp / "empty-token", "\n");
    struct failed_start {
        std::string arg;
        std::string why;
    };
    for (const auto& c : std::vector<failed_start>{
             {"--ws-port=70000", "ws_init: --ws-port=70000 is out of range (0 to 65535"},
             {"--ws-port=-1", "ws_init: --ws-port=-1 is out of range"},
             {"--listen=localhost", "ws_init: the address to listen on [localhost] is not an IPv4 or IPv6 address"},
             {"--listen=192.0.2.1", "ws_init: not listening on [192.0.2.1] port 0"},
             {"--access-token-file=" + tmp / "missing", "ws_init: no access token from [" + tmp / "missing" + "]"},
             {"--access-token-file=" + tmp / "empty-token", "]: its first line is empty"}}) {
        std::filesystem::remove(log);
        const RunResult r = run(BRINDLEWOOD_EXPORTER_BIN, {"--ws-port=0", c.arg, "--log-file-name=" + log}, 20s);
        EXPECT_EQ(r.status, 242) << c.arg;
        const std::string text = read_file(log);
        EXPECT_NE(last_line_with(text, c.why).rfind("! [", 0), std::string::npos) << c.arg << "\n" << text;
        EXPECT_EQ(text.find("ws_init: listening on"), std::string::npos) << c.arg;
        EXPECT_NE(text.find("main: finished register"), std::string::npos) << c.arg;
        EXPECT_NE(split_lines(text).back().find("] Bye!"), std::string::npos) << c.arg;
    }
}
