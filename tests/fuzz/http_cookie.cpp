// The Cookie header, and the token a browser carries in it. The input is a
// cookie name, a NUL, then the header. The properties: a value found lies
// inside the header, trimmed of blanks and holding no ';'; the token cookie
// the daemon sets is read back from a header that carries it among the
// input's; and a request carrying a cookie value as its only token is let
// in exactly when that value is the secret.
#include <string>

#include "exporter/access.h"
#include "exporter/http_parse.h"
#include "fuzz_check.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = fuzz::bytes(data, size);
    const size_t nul = input.find('\0');
    const std::string_view name = nul == std::string_view::npos ? std::string_view(ACCESS_TOKEN_COOKIE)
                                                                : input.substr(0, nul);
    const std::string_view header = nul == std::string_view::npos ? input : input.substr(nul + 1);

    const std::string_view value = http_cookie_value(header, name);
    FUZZ_CHECK(inside(value, header));
    FUZZ_CHECK(value.find(';') == std::string_view::npos);
    if (!value.empty()) FUZZ_CHECK(!is_blank(value.front()) && !is_blank(value.back()));

    // The daemon's own cookie, set first, then whatever the input held.
    const std::string token = "tok-" + std::to_string(size);
    const std::string set = access_cookie_set(token);
    const std::string carried = set.substr(0, set.find(';')) + "; " + std::string(header);
    FUZZ_CHECK(http_cookie_value(carried, ACCESS_TOKEN_COOKIE) == token);

    const std::string_view own = http_cookie_value(header, ACCESS_TOKEN_COOKIE);
    access_request req;
    req.cookie = std::string(header);
    const access_verdict v = access_check(token, req, false);
    if (own.empty()) {
        FUZZ_CHECK(v == access_verdict::token_missing);
    } else {
        FUZZ_CHECK((v == access_verdict::allowed) == (own == token));
        FUZZ_CHECK(v != access_verdict::token_missing);
    }
    // Without a secret nothing is asked for.
    FUZZ_CHECK(access_check("", req, false) == access_verdict::allowed);
    return 0;
}
