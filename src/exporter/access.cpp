#include "exporter/access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <libwebsockets.h>

#include "exporter/http_parse.h"
#include "handles.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A bearer token: letters, digits and -._~+/, then any number of '=', so
// that it travels unchanged in a header and in a cookie.
bool is_bearer_token(std::string_view t) {
    size_t i = 0;
    for (; i < t.size(); ++i) {
        const char c = t[i];
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && strchr("-._~+/", c) == nullptr) break;
    }
    if (i == 0) return false;
    while (i < t.size() && t[i] == '=') ++i;
    return i == t.size();
}

// The default port of the schemes a WebSocket's Origin can name; 0 for
// any other.
int default_port(std::string_view scheme) {
    if (http_same_nocase(scheme, "http") || http_same_nocase(scheme, "ws")) return 80;
    if (http_same_nocase(scheme, "https") || http_same_nocase(scheme, "wss")) return 443;
    return 0;
}

struct authority {
    std::string_view host;  // without the brackets of an IPv6 literal
    int port;               // 0 when none was given
};

std::optional<int> parse_port(std::string_view s) {
    if (s.empty() || s.size() > 5) return std::nullopt;
    int port = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

// "host", "host:port", "[v6]" or "[v6]:port", and nothing else.
std::optional<authority> parse_authority(std::string_view s) {
    constexpr auto npos = std::string_view::npos;
    authority a{{}, 0};
    std::string_view rest;
    if (!s.empty() && s.front() == '[') {
        const size_t close = s.find(']');
        if (close == npos) return std::nullopt;
        a.host = s.substr(1, close - 1);
        if (a.host.empty() || a.host.find_first_not_of("0123456789abcdefABCDEF:.") != npos) return std::nullopt;
        rest = s.substr(close + 1);
    } else {
        const size_t colon = s.find(':');
        a.host = s.substr(0, colon);
        if (a.host.empty() || a.host.find_first_of("[]@/\\?#% \t") != npos) return std::nullopt;
        if (colon != npos) rest = s.substr(colon);
    }
    if (!rest.empty()) {
        if (rest.front() != ':') return std::nullopt;
        const auto port = parse_port(rest.substr(1));
        if (!port) return std::nullopt;
        a.port = *port;
    }
    return a;
}

}  // namespace

int access_token_load(const char* path, std::string* token, std::string* why) {
    file_ptr f(fopen(path, "rb"));
    if (!f) {
        *why = std::string("cannot open it: ") + strerror(errno);
        return -22;
    }
    // Room for the longest token, its line end and a sign that more follows.
    char buf[ACCESS_TOKEN_MAX + 4];
    const size_t n = fread(buf, 1, sizeof buf, f.get());
    if (ferror(f.get())) {
        *why = std::string("cannot read it: ") + strerror(errno);
        return -22;
    }
    std::string_view text(buf, n);
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    if (text.empty()) {
        *why = "its first line is empty";
        return -22;
    }
    if (text.size() > ACCESS_TOKEN_MAX) {
        *why = "the token is longer than " + std::to_string(ACCESS_TOKEN_MAX) + " characters";
        return -22;
    }
    if (!is_bearer_token(text)) {
        *why = "the token may hold only letters, digits and -._~+/ (and = at its end), no blanks";
        return -22;
    }
    token->assign(text);
    return 0;
}

bool access_origin_matches(std::string_view origin, std::string_view host) {
    const size_t sep = origin.find("://");
    if (sep == std::string_view::npos) return false;
    const int scheme_port = default_port(origin.substr(0, sep));
    if (scheme_port == 0) return false;
    const auto from = parse_authority(origin.substr(sep + 3));
    const auto to = parse_authority(host);
    if (!from || !to) return false;
    const int from_port = from->port != 0 ? from->port : scheme_port;
    const int to_port = to->port != 0 ? to->port : scheme_port;
    return from_port == to_port && http_same_nocase(from->host, to->host);
}

bool access_token_equal(std::string_view secret, std::string_view given) {
    if (secret.empty()) return false;
    // Every byte given is compared, whichever differs first, against the
    // secret read round and round: the loop runs as long as the presented
    // text, whatever the secret's length and content.
    unsigned diff = secret.size() == given.size() ? 0u : 1u;
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(secret[i % secret.size()]);
    return diff == 0;
}

access_verdict access_check(std::string_view token, const access_request& request, bool websocket) {
    if (websocket && !request.origin.empty() && !access_origin_matches(request.origin, request.host))
        return access_verdict::foreign_origin;
    if (token.empty()) return access_verdict::allowed;
    // Each place a token may come from; a further one is one more entry.
    const std::string_view presented[] = {http_bearer_token(request.authorization),
                                          http_cookie_value(request.cookie, ACCESS_TOKEN_COOKIE)};
    bool any = false;
    bool match = false;
    for (const auto given : presented) {
        if (given.empty()) continue;
        any = true;
        match |= access_token_equal(token, given);
    }
    if (match) return access_verdict::allowed;
    return any ? access_verdict::token_wrong : access_verdict::token_missing;
}

unsigned access_status(access_verdict verdict) { return verdict == access_verdict::foreign_origin ? 403 : 401; }

const char* access_reason(access_verdict verdict) {
    switch (verdict) {
        case access_verdict::foreign_origin: return "its Origin is not the host it asked for";
        case access_verdict::token_missing: return "it carries no token";
        case access_verdict::token_wrong: return "its token is wrong";
        case access_verdict::allowed: break;
    }
    return "allowed";
}

std::string access_header(struct lws* wsi, int token) {
    const auto h = static_cast<enum lws_token_indexes>(token);
    const int n = lws_hdr_total_length(wsi, h);
    if (n <= 0) return {};
    std::string value(static_cast<size_t>(n) + 1, '\0');
    const int got = lws_hdr_copy(wsi, value.data(), n + 1, h);
    value.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return value;
}

access_request access_request_of(struct lws* wsi) {
    access_request r;
    r.origin = access_header(wsi, WSI_TOKEN_ORIGIN);
    r.host = access_header(wsi, WSI_TOKEN_HOST);
    r.authorization = access_header(wsi, WSI_TOKEN_HTTP_AUTHORIZATION);
    r.cookie = access_header(wsi, WSI_TOKEN_HTTP_COOKIE);
    return r;
}

std::string access_cookie_set(std::string_view token) {
    return std::string(ACCESS_TOKEN_COOKIE) + "=" + std::string(token) + "; Path=/; HttpOnly; SameSite=Strict";
}

std::string access_cookie_clear() {
    return std::string(ACCESS_TOKEN_COOKIE) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict";
}
