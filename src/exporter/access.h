// Who may use the export port. A WebSocket handshake sent by a web page of
// another site (its Origin names a host other than the one it asked for) is
// refused, and when the daemon holds an access token nothing is served to a
// request that does not carry it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct lws;

// The longest token a file may hold: it travels in a request header, whose
// room the server library bounds.
constexpr size_t ACCESS_TOKEN_MAX = 1024;

// The cookie a browser may carry the token in instead of the header.
constexpr const char* ACCESS_TOKEN_COOKIE = "brindlewood_token";

// What one request shows of itself; an empty field is a header it lacks.
struct access_request {
    std::string origin;         // Origin
    std::string host;           // Host
    std::string authorization;  // Authorization
    std::string cookie;         // Cookie
};

enum class access_verdict {
    allowed,
    foreign_origin,  // HTTP 403
    token_missing,   // HTTP 401
    token_wrong,     // HTTP 401
};

// A request header (a WSI_TOKEN_ index of the library) as the library
// assembled it; empty when absent.
std::string access_header(struct lws* wsi, int token);

// The headers of a request that the decision looks at.
access_request access_request_of(struct lws* wsi);

// The Set-Cookie values that give a browser the token, and that take it
// back (HttpOnly, SameSite=Strict, for the whole port).
std::string access_cookie_set(std::string_view token);
std::string access_cookie_clear();

// Reads the token from the first line of a file: the line end and trailing
// blanks go, and what is left must be a non-empty bearer token of at most
// ACCESS_TOKEN_MAX characters. 0, or -22 with the reason in *why.
int access_token_load(const char* path, std::string* token, std::string* why);

// Whether an Origin ("scheme://host[:port]") names the host and port of a
// Host header ("host[:port]"). A missing port is the default of the
// Origin's scheme; anything that is not such an origin ("null") matches
// nothing.
bool access_origin_matches(std::string_view origin, std::string_view host);

// Compares a presented token with the secret in time that depends only on
// the length of what was presented.
bool access_token_equal(std::string_view secret, std::string_view given);

// The decision for one request. token is the secret (empty: none is asked
// for); the Origin rule applies to WebSocket handshakes only.
access_verdict access_check(std::string_view token, const access_request& request, bool websocket);

// The HTTP status that answers a refusal (403 or 401).
unsigned access_status(access_verdict verdict);

// Why a request was refused, for the log line.
const char* access_reason(access_verdict verdict);
