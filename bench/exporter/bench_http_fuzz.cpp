// The export port under random and mutated requests, as an attacker would
// send them, from several clients at once against the real daemon with its
// access token on: methods, targets, queries with huge and negative numbers,
// headers, bodies, chunked encodings, pauses, half requests, idle sockets,
// WebSocket handshakes and frames. After every request its client asks for
// /healthz and times the answer, and checks that the daemon lives; a prober
// asks for it without pause besides. At the end: the daemon's descriptors
// back to where they started, its memory, and what its log grew by.
//
//   bench_http_fuzz [--seconds N] [--seed N] [--clients N] [--daemon PATH]
//
// --daemon runs another build of the daemon (one under a sanitizer). Prints
// figures; the exit status is 1 when the daemon died, a /healthz went
// unanswered for HEALTH_GIVE_UP, or the descriptors did not come back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "handles.h"
#include "service_support.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using bench::clock_type;

const std::string TOKEN = "fuzz-T0ken";
// A /healthz slower than this counts as the service held.
constexpr double HEALTH_BOUND_MS = 100;
// A /healthz not answered in this long counts as the service gone.
constexpr auto HEALTH_GIVE_UP = 5s;
// What one case may pause in all between its pieces.
constexpr int MAX_PAUSE_MS = 1200;
// What a client reads of one answer at most.
constexpr size_t MAX_READ = 1 << 20;

struct options {
    int seconds = 60;
    int quiet_seconds = -1;  // before the cases, /healthz alone: the machine's own delays
    uint64_t seed = 0;
    int clients = 4;
    std::string daemon = BRINDLEWOOD_EXPORTER_BIN;
};

// Bytes fit to print: control and high bytes as \xHH.
std::string printable(const std::string& s) {
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f) {
            out.push_back(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02x", u);
            out += esc;
        }
    }
    return out;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

// ---------------------------------------------------------------------------
// Randomness.

class rng {
public:
    explicit rng(uint64_t seed) : g_(seed) {}
    uint64_t below(uint64_t n) { return n == 0 ? 0 : std::uniform_int_distribution<uint64_t>(0, n - 1)(g_); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(g_) < p; }
    template <class T>
    const T& pick(const std::vector<T>& v) {
        return v[below(v.size())];
    }
    std::string bytes(size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(below(256));
        return s;
    }

private:
    std::mt19937_64 g_;
};

// ---------------------------------------------------------------------------
// Requests.

const std::vector<std::string> METHODS = {
    "GET", "GET", "GET", "HEAD", "POST", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "CONNECT", "TRACE", "get",
    "G\x01T", "", std::string(300, 'G')};
const std::vector<std::string> PATHS = {
    "/healthz", "/metrics", "/api/recordings", "/api/clip", "/api/nothing", "/tasks/00001/cut.mp4",
    "/tasks/00001/state", "/tasks/00001/thumb.jpg", "/tasks/00002/index.json", "/tasks/00003/cut.log",
    "/tasks/../../etc/passwd", "/tasks/%2e%2e/x", "/", "/index.html", "/login", "/login.css", "/logout", "/app.js",
    "*", "http://127.0.0.1/healthz", "//healthz", "/%00", "/healthz%", "/healthz?"};
const std::vector<std::string> NUMBERS = {
    "0", "1", "-1", "1619863200", "1619866800", "1619949600", "1622541600", "1796835600", "99999999999",
    "253402300799", "253402300800", "9223372036854775807", "-9223372036854775808", "9223372036854770000",
    "99999999999999999999", "-99999999999999999999", "1e9", "0x10", "", "abc", "2021-05-01T10:00:00Z",
    "2021-05-01T10:00:00+01:00", "2021-02-29T00:00:00Z", "9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z",
    "2021-05-01 10:00", "1619863200.5", "+1619863200", " 1619863200", "1619863200 ", "%31%36"};
const std::vector<std::string> LIBS = {"0", "1", "3", "4", "-1", "00", "99999999999999999999", "x", ""};
const std::vector<std::string> RANGES = {
    "bytes=0-0", "bytes=10-", "bytes=-5", "bytes=5-1", "bytes=0-99999999999999999999", "bytes=-99999999999999999999",
    "bytes=1-2,3-4", "bytes=", "items=0-1", "bytes=18446744073709551615-", "bytes=--1"};
const std::vector<std::string> LENGTHS = {"0", "1", "4", "16", "4096", "4097", "100000", "-1", "x",
                                          "99999999999999999999", "18446744073709551616", "4, 4", " 4"};
const std::vector<std::string> CODINGS = {"chunked", "gzip", "gzip, chunked", "chunked, chunked", "identity", "x"};

std::string number(rng& r) { return r.pick(NUMBERS); }

std::string query(rng& r) {
    std::string q;
    const int n = static_cast<int>(r.below(r.chance(0.05) ? 40 : 5));
    const std::vector<std::string> names = {"lib", "from", "to", "from", "to", "title", "exact", "allow_gaps", "x"};
    for (int i = 0; i < n; ++i) {
        const std::string& name = r.pick(names);
        std::string value = name == "lib" ? r.pick(LIBS) : name == "title" ? r.bytes(r.below(8)) : number(r);
        q += (q.empty() ? "?" : "&") + name + "=" + value;
    }
    return q;
}

std::string target(rng& r) {
    std::string path = r.pick(PATHS);
    if (r.chance(0.05)) path += std::string(r.below(9000), 'a');
    return path + (r.chance(0.6) ? query(r) : "");
}

std::string token_header(rng& r) {
    switch (r.below(5)) {
        case 0: return "Authorization: Bearer " + TOKEN + "\r\n";
        case 1: return "Cookie: brindlewood_token=" + TOKEN + "\r\n";
        case 2: return "Authorization: Bearer wrong\r\n";
        case 3: return "Authorization: Basic " + r.bytes(r.below(40)) + "\r\n";
        default: return "";
    }
}

// A body and the headers that frame it (or misframe it).
struct body_choice {
    std::string headers;
    std::string body;
};

std::string chunked(rng& r, const std::string& data) {
    std::string out;
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min<size_t>(data.size() - at, 1 + r.below(64));
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", n);
        out += size + data.substr(at, n) + "\r\n";
        at += n;
    }
    return out + (r.chance(0.8) ? "0\r\n\r\n" : "ffffffffffffffff\r\n");
}

body_choice body(rng& r) {
    const std::string data =
        r.chance(0.5) ? "token=" + (r.chance(0.5) ? TOKEN : r.bytes(r.below(20))) : r.bytes(r.below(300));
    switch (r.below(7)) {
        case 0: return {};
        case 1: return {"Content-Length: " + std::to_string(data.size()) + "\r\n", data};
        case 2: return {"Content-Length: " + std::to_string(data.size() + 1 + r.below(100)) + "\r\n", data};  // short
        case 3: return {"Content-Length: " + std::to_string(data.size() / 2) + "\r\n", data};  // more than it says
        case 4: return {"Transfer-Encoding: " + r.pick(CODINGS) + "\r\n", chunked(r, data)};
        case 5:
            return {"Content-Length: " + std::to_string(data.size()) + "\r\nTransfer-Encoding: chunked\r\n",
                    chunked(r, data)};
        default: return {"Content-Length: " + r.pick(LENGTHS) + "\r\n", data};
    }
}

std::string headers(rng& r, const std::string& host) {
    std::string h;
    if (!r.chance(0.1)) h += "Host: " + (r.chance(0.9) ? host : r.bytes(r.below(30))) + "\r\n";
    h += token_header(r);
    if (r.chance(0.2)) h += "Range: " + r.pick(RANGES) + "\r\n";
    if (r.chance(0.2)) h += std::string("Connection: ") + (r.chance(0.5) ? "close" : "keep-alive") + "\r\n";
    if (r.chance(0.1)) h += "Origin: http://" + (r.chance(0.5) ? host : "evil.example") + "\r\n";
    if (r.chance(0.05)) h += "X-Long: " + std::string(r.below(10000), 'x') + "\r\n";
    if (r.chance(0.05)) {
        for (int i = 0, n = static_cast<int>(r.below(200)); i < n; ++i) h += "X-" + std::to_string(i) + ": y\r\n";
    }
    if (r.chance(0.03)) h += " folded: line\r\n";
    if (r.chance(0.03)) h += "Bad Header\x01: \x7f\r\n";
    return h;
}

std::string version(rng& r) {
    if (r.chance(0.85)) return " HTTP/1.1";
    const std::vector<std::string> v = {" HTTP/1.0", " HTTP/2.0", "", " HTTP/1.1 extra", " http/1.1", " HTTP/9.9"};
    return r.pick(v);
}

// Changes a few bytes of a request: flips, insertions, deletions, a cut.
std::string mutate(rng& r, std::string s) {
    for (int i = 0, n = 1 + static_cast<int>(r.below(4)); i < n && !s.empty(); ++i) {
        const size_t at = r.below(s.size());
        switch (r.below(5)) {
            case 0: s[at] = static_cast<char>(r.below(256)); break;
            case 1: s.insert(at, r.bytes(1 + r.below(8))); break;
            case 2: s.erase(at, 1 + r.below(8)); break;
            case 3: s.insert(at, s.substr(at, r.below(64))); break;
            default: s.resize(at); break;
        }
    }
    return s;
}

std::string ws_handshake(rng& r, const std::string& host) {
    std::string h = "GET / HTTP/1.1\r\nHost: " + host +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                    "Sec-WebSocket-Version: 13\r\n";
    if (r.chance(0.7)) h += "Sec-WebSocket-Protocol: http-only\r\n";
    if (r.chance(0.3)) h += "Origin: http://" + (r.chance(0.5) ? host : "evil.example") + "\r\n";
    h += r.chance(0.6) ? "Authorization: Bearer " + TOKEN + "\r\n" : token_header(r);
    return h + "\r\n";
}

// One masked client frame.
std::string ws_frame(rng& r, const std::string& payload, unsigned opcode) {
    std::string f;
    f.push_back(static_cast<char>((r.chance(0.9) ? 0x80 : 0) | opcode));
    const size_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(0x80 | n));
    } else {
        f.push_back(static_cast<char>(0x80 | 126));
        f.push_back(static_cast<char>(n >> 8));
        f.push_back(static_cast<char>(n & 0xff));
    }
    const std::string mask = r.bytes(4);
    f += mask;
    for (size_t i = 0; i < n; ++i) f.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return f;
}

std::string ws_messages(rng& r) {
    std::string out;
    for (int i = 0, n = 1 + static_cast<int>(r.below(4)); i < n; ++i) {
        switch (r.below(5)) {
            case 0: out += ws_frame(r, "not json " + r.bytes(r.below(40)), 1); break;
            case 1: out += ws_frame(r, "{ \"other\": " + number(r) + " }", 1); break;
            case 2: out += ws_frame(r, "{ \"new_task\": { \"length\": " + number(r) + " } }", 1); break;
            case 3: out += ws_frame(r, r.bytes(r.below(200)), static_cast<unsigned>(r.below(16))); break;
            default: out += r.bytes(r.below(64)); break;
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Cases.

struct piece {
    std::string bytes;
    int pause_ms = 0;  // before it is sent
};

enum class then_do { read, read_slowly, close_at_once, hold };

struct fuzz_case {
    std::string kind;
    std::vector<piece> pieces;
    then_do then = then_do::read;
    int hold_ms = 0;
    int idle_sockets = 0;  // sockets opened beside it that send `idle_text` and nothing more
    std::string idle_text;
};

// Splits text into pieces with pauses, a total of at most MAX_PAUSE_MS.
std::vector<piece> deliver(rng& r, const std::string& text) {
    if (r.chance(0.7) || text.size() < 2) return {{text, 0}};
    std::vector<piece> out;
    int budget = static_cast<int>(r.below(MAX_PAUSE_MS));
    size_t at = 0;
    const bool bytewise = r.chance(0.2);
    while (at < text.size()) {
        const size_t n = bytewise && at < 64 ? 1 : 1 + r.below(text.size() - at);
        const int pause = budget > 0 ? static_cast<int>(r.below(std::min(budget, 200) + 1)) : 0;
        budget -= pause;
        out.push_back({text.substr(at, n), out.empty() ? 0 : pause});
        at += n;
    }
    return out;
}

fuzz_case make_case(rng& r, const std::string& host) {
    fuzz_case c;
    const uint64_t roll = r.below(100);
    std::string text;
    if (roll < 60) {
        c.kind = "request";
        const body_choice b = body(r);
        text = r.pick(METHODS) + " " + target(r) + version(r) + "\r\n" + headers(r, host) + b.headers + "\r\n" + b.body;
        if (r.chance(0.15)) {
            c.kind = "mutated request";
            text = mutate(r, text);
        }
        if (r.chance(0.1)) {
            c.kind = "pipelined requests";
            text += "GET " + target(r) + " HTTP/1.1\r\nHost: " + host + "\r\n" + token_header(r) + "\r\n";
        }
    } else if (roll < 70) {
        c.kind = "half request";
        text = "GET " + target(r) + " HTTP/1.1\r\nHost: " + host + "\r\n";
        text.resize(r.below(text.size() + 1));
        c.then = r.chance(0.5) ? then_do::hold : then_do::close_at_once;
        c.hold_ms = static_cast<int>(r.below(1500));
    } else if (roll < 78) {
        c.kind = "idle sockets";
        c.idle_sockets = 1 + static_cast<int>(r.below(40));
        c.idle_text = r.chance(0.5) ? "" : std::string("GET /healthz HTTP/1.1\r\nHost: ").substr(0, r.below(30));
        text = "GET /healthz HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        c.hold_ms = static_cast<int>(r.below(1500));
    } else if (roll < 88) {
        c.kind = "websocket";
        text = ws_handshake(r, host);
        if (r.chance(0.2)) text = mutate(r, text);
        c.pieces = deliver(r, text);
        c.pieces.push_back({ws_messages(r), static_cast<int>(r.below(100))});
        c.then = then_do::read;
        return c;
    } else if (roll < 94) {
        c.kind = "stalled download";
        text = "GET /tasks/00001/cut.mp4 HTTP/1.1\r\nHost: " + host + "\r\n" + token_header(r) +
               (r.chance(0.5) ? "Range: " + r.pick(RANGES) + "\r\n" : "") + "\r\n";
        if (r.chance(0.3)) text += r.bytes(r.below(2000));  // and more while it stalls
        c.then = r.chance(0.5) ? then_do::read_slowly : then_do::hold;
        c.hold_ms = static_cast<int>(r.below(1500));
    } else {
        c.kind = "random bytes";
        text = r.bytes(1 + r.below(r.chance(0.1) ? 20000 : 300));
    }
    c.pieces = deliver(r, text);
    if (c.then == then_do::read && r.chance(0.1)) c.then = then_do::close_at_once;
    return c;
}

// ---------------------------------------------------------------------------
// Running a case.

unique_fd connect_to_port(int port) {
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in addr = bench::loopback(port);
    if (!fd || connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return unique_fd();
    return fd;
}

// Reads until the peer closes, `limit` bytes came or `deadline` passes;
// what came. Slowly: a little at a time with pauses, as a stalled reader.
std::string read_answer(int fd, clock_type::time_point deadline, bool slowly, bool* closed) {
    std::string got;
    char buf[65536];
    *closed = false;
    while (got.size() < MAX_READ) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        const ssize_t n = recv(fd, buf, slowly ? 1024 : sizeof buf, 0);
        if (n <= 0) {
            *closed = true;
            break;
        }
        got.append(buf, static_cast<size_t>(n));
        if (slowly) std::this_thread::sleep_for(100ms);
    }
    return got;
}

struct case_result {
    std::string status_line;  // empty: no answer
    bool closed = false;
};

case_result run_case(int port, const fuzz_case& c) {
    std::vector<unique_fd> idle;
    for (int i = 0; i < c.idle_sockets; ++i) {
        unique_fd fd = connect_to_port(port);
        if (!fd) break;
        if (!c.idle_text.empty()) send(fd.get(), c.idle_text.data(), c.idle_text.size(), MSG_NOSIGNAL);
        idle.push_back(std::move(fd));
    }
    case_result res;
    unique_fd fd = connect_to_port(port);
    if (!fd) return res;
    const int small = 16 * 1024;
    if (c.kind == "stalled download") setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    for (const piece& p : c.pieces) {
        if (p.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(p.pause_ms));
        if (send(fd.get(), p.bytes.data(), p.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) break;
    }
    std::string got;
    switch (c.then) {
        case then_do::read: got = read_answer(fd.get(), clock_type::now() + 2s, false, &res.closed); break;
        case then_do::read_slowly:
            got = read_answer(fd.get(), clock_type::now() + std::chrono::milliseconds(c.hold_ms), true, &res.closed);
            break;
        case then_do::hold: std::this_thread::sleep_for(std::chrono::milliseconds(c.hold_ms)); break;
        case then_do::close_at_once: break;
    }
    if (c.idle_sockets > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.hold_ms));
    res.status_line = got.substr(0, std::min(got.find("\r\n"), size_t{40}));
    return res;
}

// Milliseconds from connect to the whole /healthz answer; -1 when it did
// not come within HEALTH_GIVE_UP.
double health_ms(int port) {
    const auto t0 = clock_type::now();
    unique_fd fd = connect_to_port(port);
    if (!fd) return -1;
    static const std::string request = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return -1;
    bool closed = false;
    const std::string got = read_answer(fd.get(), t0 + HEALTH_GIVE_UP, false, &closed);
    if (got.rfind("HTTP/1.1 200", 0) != 0 || got.find("\"status\":\"ok\"") == std::string::npos) return -1;
    return bench::us_between(t0, clock_type::now()) / 1000;
}

// ---------------------------------------------------------------------------
// What a run found.

enum class probe_kind { quiet, after_case, continuous };

class findings {
public:
    void add_case(const std::string& kind, const std::string& text, const case_result& r) {
        std::lock_guard<std::mutex> g(lock_);
        ++cases_[kind];
        ++statuses_[r.status_line.empty() ? "(no answer)" : r.status_line.substr(0, r.status_line.find(' ', 9))];
        if (!r.status_line.empty() && r.status_line.rfind("HTTP/1.1 ", 0) != 0) {
            if (other_versions_[r.status_line]++ == 0) example_[r.status_line] = text;
        }
    }
    void add_health(double ms, probe_kind kind) {
        std::lock_guard<std::mutex> g(lock_);
        if (ms < 0) {
            ++unanswered_;
            return;
        }
        if (ms > HEALTH_BOUND_MS && kind != probe_kind::quiet) {
            for (const auto& [client, k] : in_flight_) ++slow_while_[k];
        }
        (kind == probe_kind::quiet ? quiet_ : kind == probe_kind::after_case ? after_case_ : continuous_)
            .push_back(ms * 1000);
    }
    // The case a client is running now; its text is kept for a report.
    void running(int client, const std::string& kind, const std::string& text) {
        std::lock_guard<std::mutex> g(lock_);
        in_flight_[client] = kind;
        last_[client] = text;
    }
    int unanswered() {
        std::lock_guard<std::mutex> g(lock_);
        return unanswered_;
    }
    void print() {
        std::lock_guard<std::mutex> g(lock_);
        size_t total = 0;
        for (const auto& [k, n] : cases_) total += n;
        printf("   %zu cases:", total);
        for (const auto& [k, n] : cases_) printf(" %s %zu;", k.c_str(), n);
        printf("\n   first lines of the answers:");
        for (const auto& [s, n] : statuses_) printf(" [%s] %zu;", s.c_str(), n);
        printf("\n   answers whose status line is not HTTP/1.1: %zu kinds", other_versions_.size());
        for (const auto& [s, n] : other_versions_) {
            printf(" [%s] %zu, first to %s;", printable(s).c_str(), n, printable(example_[s].substr(0, 80)).c_str());
        }
        printf("\n");
        print_health("/healthz with no case running:", quiet_);
        print_health("/healthz right after each case:", after_case_);
        print_health("/healthz asked without pause:", continuous_);
        printf("   cases running while a /healthz took over %.0f ms:", HEALTH_BOUND_MS);
        for (const auto& [k, n] : slow_while_) printf(" %s %zu;", k.c_str(), n);
        printf("\n");
        printf("   /healthz unanswered within %lld s: %d\n",
               static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(HEALTH_GIVE_UP).count()),
               unanswered_);
    }
    void print_last() {
        std::lock_guard<std::mutex> g(lock_);
        for (const auto& [client, text] : last_) {
            printf("   last case of client %d: %s\n", client, printable(text.substr(0, 400)).c_str());
        }
    }

private:
    static void print_health(const char* what, const std::vector<double>& us) {
        const bench::summary s = bench::summarize(us);
        const auto over = std::count_if(us.begin(), us.end(), [](double v) { return v > HEALTH_BOUND_MS * 1000; });
        printf("   %-34s %zu answers, median %.2f ms, p99 %.2f ms, p99.9 %.2f ms, max %.2f ms; %zd over %.0f ms\n",
               what, s.n, s.median / 1000, s.p99 / 1000, percentile(us, 0.999) / 1000, s.max / 1000, over,
               HEALTH_BOUND_MS);
    }
    static double percentile(std::vector<double> v, double q) {
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return v[std::min(v.size() - 1, static_cast<size_t>(static_cast<double>(v.size()) * q))];
    }

    std::mutex lock_;
    std::map<std::string, size_t> cases_;
    std::map<std::string, size_t> statuses_;
    std::map<std::string, size_t> other_versions_;
    std::map<std::string, std::string> example_;
    std::vector<double> quiet_;
    std::vector<double> after_case_;
    std::vector<double> continuous_;
    int unanswered_ = 0;
    std::map<int, std::string> last_;
    std::map<int, std::string> in_flight_;
    std::map<std::string, size_t> slow_while_;
};

// ---------------------------------------------------------------------------
// The daemon's side.

struct log_size {
    size_t lines = 0;
    size_t bytes = 0;
    size_t left_out_lines = 0;
};

log_size measure_log(const std::string& path) {
    const std::string text = bench::read_file(path);
    log_size s;
    s.bytes = text.size();
    s.lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    for (size_t at = text.find("more such lines left out"); at != std::string::npos;
         at = text.find("more such lines left out", at + 1)) {
        ++s.left_out_lines;
    }
    return s;
}

// The library: a day of hour indexes; the tasks: three done ones, the first
// with a clip of 8 MiB and a thumbnail.
void make_fixture(const bench::scratch_dir& dir) {
    bench::write_hour_indexes(dir / "lib", 1);
    bench::make_finished_tasks(dir / "tasks", 3, dir / "lib");
    rng r(1);
    const std::string folder = bench::task_folder(dir / "tasks", 1);
    write_file(folder + "/cut.mp4", r.bytes(8 << 20));
    write_file(folder + "/thumb.jpg", r.bytes(3000));
    write_file(dir / "token", TOKEN + "\n");
}

options parse(int argc, char** argv) {
    options o;
    o.seed = static_cast<uint64_t>(clock_type::now().time_since_epoch().count());
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--seconds") {
            o.seconds = atoi(value);
        } else if (name == "--quiet-seconds") {
            o.quiet_seconds = atoi(value);
        } else if (name == "--seed") {
            o.seed = strtoull(value, nullptr, 10);
        } else if (name == "--clients") {
            o.clients = std::max(1, atoi(value));
        } else if (name == "--daemon") {
            o.daemon = value;
        } else {
            fprintf(stderr, "usage: %s [--seconds N] [--quiet-seconds N] [--seed N] [--clients N] [--daemon PATH]\n",
                    argv[0]);
            exit(2);
        }
    }
    if (o.quiet_seconds < 0) o.quiet_seconds = std::min(10, o.seconds / 6);
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const options o = parse(argc, argv);
    bench::scratch_dir dir("bench_http_fuzz");
    make_fixture(dir);
    bench::daemon_options d_opts;
    d_opts.program = o.daemon;
    d_opts.extra = {"--access-token-file=" + dir / "token"};
    d_opts.as.token = TOKEN;
    bench::daemon_run d(dir, "daemon", dir / "tasks", dir / "lib", "/bin/true", d_opts);
    const int port = d.port();
    const std::string host = "127.0.0.1:" + std::to_string(port);
    printf("HTTP fuzzing of %s for %d s, %d clients, seed %llu, on %u CPUs [load average %s]\n", o.daemon.c_str(),
           o.seconds, o.clients, static_cast<unsigned long long>(o.seed), std::thread::hardware_concurrency(),
           bench::load_average().c_str());
    fflush(stdout);

    // Settled: one answer of each kind given, so that what the first ones
    // allocate for good is not counted as growth.
    for (int i = 0; i < 3; ++i) health_ms(port);
    const testsupport::descriptor_count at_start = testsupport::process_descriptors(d.pid());
    const int resting_fds = at_start.all - at_start.connections;
    const long rss_before = d.rss_kib();
    const log_size log_before = measure_log(d.log());

    findings f;
    const auto quiet_end = clock_type::now() + std::chrono::seconds(o.quiet_seconds);
    while (clock_type::now() < quiet_end) {
        f.add_health(health_ms(port), probe_kind::quiet);
        std::this_thread::sleep_for(10ms);
    }
    std::atomic<bool> stop{false};
    std::atomic<bool> dead{false};
    const auto end = clock_type::now() + std::chrono::seconds(o.seconds);
    std::vector<std::thread> clients;
    for (int c = 0; c < o.clients; ++c) {
        clients.emplace_back([&, c] {
            rng r(o.seed + static_cast<uint64_t>(c));
            while (!stop && clock_type::now() < end) {
                const fuzz_case fc = make_case(r, host);
                std::string text;
                for (const piece& p : fc.pieces) text += p.bytes;
                f.running(c, fc.kind, fc.kind + ": " + text);
                f.add_case(fc.kind, text, run_case(port, fc));
                f.running(c, "(between cases)", fc.kind + ": " + text);
                f.add_health(health_ms(port), probe_kind::after_case);
                if (kill(d.pid(), 0) != 0) dead = true;
            }
        });
    }
    std::thread prober([&] {
        while (!stop && clock_type::now() < end) {
            f.add_health(health_ms(port), probe_kind::continuous);
            std::this_thread::sleep_for(10ms);
        }
    });
    long rss_peak = rss_before;
    std::optional<int> exit_status;
    while (clock_type::now() < end) {
        std::this_thread::sleep_for(200ms);
        rss_peak = std::max(rss_peak, d.rss_kib());
        if ((exit_status = d.ended())) break;
    }
    stop = true;
    for (auto& t : clients) t.join();
    prober.join();
    if (!exit_status) exit_status = d.ended();

    printf("[load average %s]\n", bench::load_average().c_str());
    f.print();
    int status = 0;
    if (exit_status || dead) {
        printf("   the daemon ended, status %d; its log: %s\n", exit_status.value_or(-1), d.log().c_str());
        f.print_last();
        return 1;
    }
    // Every connection of the run is closed: the daemon's descriptors come
    // back to where they were, within the idle time-outs.
    testsupport::descriptor_count after = testsupport::process_descriptors(d.pid());
    const auto fd_deadline = clock_type::now() + 60s;
    while ((after.all != resting_fds || after.connections != 0) && clock_type::now() < fd_deadline) {
        std::this_thread::sleep_for(100ms);
        after = testsupport::process_descriptors(d.pid());
    }
    const double health_after = health_ms(port);
    const log_size log_after = measure_log(d.log());
    printf("   daemon alive; /healthz after the run %.2f ms; descriptors with no connection open %d before, %d after "
           "(%d of them connections)\n",
           health_after, resting_fds, after.all, after.connections);
    if (after.all != resting_fds) {
        std::error_code ec;
        printf("   the daemon's descriptors now:");
        for (std::filesystem::directory_iterator it("/proc/" + std::to_string(d.pid()) + "/fd", ec), end;
             !ec && it != end; it.increment(ec)) {
            printf(" %s -> %s;", it->path().filename().c_str(), std::filesystem::read_symlink(it->path(), ec).c_str());
        }
        printf("\n");
    }
    printf("   resident memory: %ld KiB before, %ld KiB at the most, %ld KiB after\n", rss_before, rss_peak,
           d.rss_kib());
    printf("   log: %zu lines (%zu bytes) more, %.1f lines a second; %zu of them say how many were left out\n",
           log_after.lines - log_before.lines, log_after.bytes - log_before.bytes,
           static_cast<double>(log_after.lines - log_before.lines) / o.seconds,
           log_after.left_out_lines - log_before.left_out_lines);
    printf("   target: no case ends the daemon, every /healthz answered within %.0f ms, descriptors back\n",
           HEALTH_BOUND_MS);
    if (f.unanswered() > 0 || health_after < 0 || after.all != resting_fds) status = 1;
    return status;
}
