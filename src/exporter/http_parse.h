// The parts of an HTTP request that are read byte by byte: the Range header,
// the login form's body, URL arguments, the Cookie and Authorization headers.
// Plain text in, a value out, with nothing of the server library, so that
// each can be run on any bytes at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

enum class http_range_kind { whole, part, unsatisfiable };

// What a Range header asks of a body of some size: all of it, the bytes
// first to last (both within the body), or nothing it can give.
struct http_range {
    http_range_kind kind = http_range_kind::whole;
    uint64_t first = 0;
    uint64_t last = 0;
};

// One byte range of a Range header ("bytes=a-b", "bytes=a-", "bytes=-n").
// Several ranges, other units and malformed values ask for the whole body,
// as a server may answer them.
http_range http_parse_range(std::string_view header, uint64_t size);

// The token of a login form body ("token=..."), decoded; empty when there is
// none or its escapes are broken.
std::string http_form_token(std::string_view body);

// The value of the URL argument name among args, each one "name=value" as
// the server library split and decoded them; nothing when it is absent.
std::optional<std::string> http_url_arg(std::span<const std::string> args, std::string_view name);

// The value of one cookie of a Cookie header ("a=1; b=2"); empty when it is
// not there.
std::string_view http_cookie_value(std::string_view header, std::string_view name);

// The token of an Authorization header "Bearer TOKEN"; empty for another
// scheme.
std::string_view http_bearer_token(std::string_view authorization);

// Whether two header texts are equal ignoring the case of ASCII letters, as
// schemes and host names compare.
bool http_same_nocase(std::string_view a, std::string_view b);
