// A whole HTTP request as the export daemon's routes see it: the method and
// the request target with its query, the Range, Cookie and Authorization
// headers and a login form's body, answered by the real routes over a
// scratch library and task store that hold one segment and one ended task.
//
// The input is text: "METHOD TARGET" on the first line, then header lines
// ("range: ...", "cookie: ...", "authorization: ...", "origin: ...",
// "host: ..."), then an empty line and the body.
//
// The properties: every answer has a status the routes give; a reply's
// length is that of its body, or lies within its file; a part of a file is
// what the Range header asks for; nothing guarded is served to a request
// without the token; a file of the task store or the library is served only
// under the name the writers of those files give it; and the login takes
// exactly the token.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "archive/library.h"
#include "archive/task_store.h"
#include "exporter/access.h"
#include "exporter/http_parse.h"
#include "exporter/instance.h"
#include "exporter/routes.h"
#include "fuzz_check.h"
#include "strl.h"

namespace {

constexpr const char* TOKEN = "s3cret-token";
// 2026-12-07T13:00:00Z and a segment half a minute into it.
constexpr int64_t HOUR = 1796648400;
constexpr int64_t SEGMENT = HOUR + 30;

void must_write(const std::string& path, std::string_view text) { FUZZ_CHECK(fuzz::write_file(path, text)); }

void make_dirs(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
    }
}

// One registered segment with its thumbnail in library 0, one ended task.
instance_t* make_instance() {
    const std::string& root = fuzz::scratch_dir();
    const std::string lib = root + "/lib0";
    const std::string tasks = root + "/tasks";
    const std::string hour = lib + "/" + archive::hour_dir(SEGMENT);
    make_dirs(hour);
    make_dirs(tasks);
    const std::string name = archive::segment_name(SEGMENT);
    must_write(hour + "/" + name, std::string(1880, 'G'));
    char thumb[4096];
    FUZZ_CHECK(archive::thumb_name(hour + "/" + name, thumb, sizeof thumb));
    must_write(thumb, std::string(300, 'J'));
    must_write(archive::index_path(lib, SEGMENT), archive::index_line(name, SEGMENT, 6 * 90000, 0));
    FUZZ_CHECK(archive::write_task_state(tasks.c_str(), 1, archive::task_state::done) == 0);
    must_write(archive::task_path(tasks, 1, archive::TASK_CUT), std::string(4000, 'M'));
    must_write(archive::task_path(tasks, 1, archive::TASK_META), "{}");

    instance_t* instance = nullptr;
    FUZZ_CHECK(exporter::instance_init(&instance) == 0 && instance != nullptr);
    keelson::strlcpy(instance->path.libs[0], lib.c_str(), sizeof instance->path.libs[0]);
    keelson::strlcpy(instance->path.tasks, tasks.c_str(), sizeof instance->path.tasks);
    keelson::strlcpy(instance->ws.token, TOKEN, sizeof instance->ws.token);
    return instance;
}

instance_t* the_instance() {
    static instance_t* const instance = make_instance();
    return instance;
}

http_method method_of(std::string_view word) {
    if (word == "GET") return http_method::get;
    if (word == "HEAD") return http_method::head;
    if (word == "POST") return http_method::post;
    return http_method::other;
}

// The URL arguments as the server library hands them: the query split at
// '&', empty ones dropped.
std::vector<std::string> args_of(std::string_view query) {
    std::vector<std::string> args;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        if (amp != 0) args.emplace_back(query.substr(0, amp));
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return args;
}

std::string_view next_line(std::string_view* text) {
    const size_t eol = text->find('\n');
    const std::string_view line = text->substr(0, eol);
    text->remove_prefix(eol == std::string_view::npos ? text->size() : eol + 1);
    return line;
}

http_request request_of(std::string_view input) {
    http_request req;
    req.peer = "127.0.0.1";
    const std::string_view first = next_line(&input);
    const size_t sp = first.find(' ');
    req.method = method_of(first.substr(0, sp));
    const std::string_view target = sp == std::string_view::npos ? std::string_view() : first.substr(sp + 1);
    const size_t q = target.find('?');
    req.path = target.substr(0, q);
    if (q != std::string_view::npos) req.args = args_of(target.substr(q + 1));
    for (std::string_view line = next_line(&input); !line.empty(); line = next_line(&input)) {
        const size_t colon = line.find(": ");
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string value(line.substr(colon + 2));
        if (name == "range") req.range = value;
        if (name == "cookie") req.access.cookie = value;
        if (name == "authorization") req.access.authorization = value;
        if (name == "origin") req.access.origin = value;
        if (name == "host") req.access.host = value;
    }
    req.body = input;
    return req;
}

bool known_status(unsigned s) {
    for (const unsigned k : {HTTP_OK, HTTP_PARTIAL_CONTENT, HTTP_SEE_OTHER, HTTP_BAD_REQUEST, HTTP_UNAUTHORIZED,
                             HTTP_NOT_FOUND, HTTP_METHOD_NOT_ALLOWED, HTTP_CONFLICT, HTTP_RANGE_NOT_SATISFIABLE,
                             HTTP_UNPROCESSABLE}) {
        if (s == k) return true;
    }
    return false;
}

bool has_header(const http_reply& r, std::string_view name) {
    for (const auto& h : r.headers) {
        if (h.first == name) return true;
    }
    return false;
}

void check_length(const http_request& req, const http_reply& r) {
    if (!r.file) {
        FUZZ_CHECK(r.length == r.body.size());
        return;
    }
    struct stat st;
    FUZZ_CHECK(fstat(r.file.get(), &st) == 0 && S_ISREG(st.st_mode));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    FUZZ_CHECK(r.offset <= size && r.length <= size - r.offset);
    const http_range range = http_parse_range(req.range, size);
    if (r.status == HTTP_PARTIAL_CONTENT) {
        FUZZ_CHECK(range.kind == http_range_kind::part && r.offset == range.first &&
                   r.length == range.last - range.first + 1);
    } else {
        FUZZ_CHECK(r.status == HTTP_OK && range.kind == http_range_kind::whole && r.offset == 0 && r.length == size);
    }
}

// A served file's path is one its writer makes.
void check_served_name(std::string_view path) {
    if (path.starts_with("/tasks/")) {
        path.remove_prefix(7);
        const size_t slash = path.find('/');
        FUZZ_CHECK(slash != std::string_view::npos);
        int n = 0;
        FUZZ_CHECK(archive::task_folder_number(path.substr(0, slash), &n));
        FUZZ_CHECK(archive::task_folder(n) == path.substr(0, slash));
        FUZZ_CHECK(archive::is_task_file(path.substr(slash + 1)));
    } else if (path.starts_with("/library/")) {
        path.remove_prefix(9);
        const std::string_view rest = path.substr(2);
        const size_t name = rest.rfind('/');
        FUZZ_CHECK(name != std::string_view::npos);
        const auto start = archive::hour_dir_start(rest.substr(0, name));
        FUZZ_CHECK(start.has_value() && archive::hour_dir(*start) == rest.substr(0, name));
        FUZZ_CHECK(archive::is_segment_or_thumb_name(rest.substr(name + 1)));
    }
}

bool guarded(std::string_view path) {
    return path.starts_with("/tasks/") || path.starts_with("/library/") || path.starts_with("/api/") ||
           path == "/metrics";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    instance_t* instance = the_instance();
    const http_request req = request_of(fuzz::bytes(data, size));
    const http_reply r = routes_answer(instance, req);
    FUZZ_CHECK(known_status(r.status));
    check_length(req, r);
    const bool served = r.status == HTTP_OK || r.status == HTTP_PARTIAL_CONTENT;
    if (guarded(req.path) && served) {
        FUZZ_CHECK(access_check(TOKEN, req.access, false) == access_verdict::allowed);
    }
    if (r.file) check_served_name(req.path);
    if (req.path == "/login" && req.method == http_method::post) {
        const bool right = http_form_token(req.body) == TOKEN;
        FUZZ_CHECK(right == (r.status == HTTP_SEE_OTHER && has_header(r, "set-cookie:")));
    }
    return 0;
}
