// The Authorization header, and beside it the Origin and Host a WebSocket
// handshake is judged by. The input is the Authorization header, a NUL,
// the Origin, a NUL, the Host. The properties: a bearer token lies inside
// the header, trimmed; "Bearer <token>" in any case of the scheme gives the
// token back; the verdict lets a request in exactly when its token is the
// secret; the token comparison is plain equality; and whether an Origin
// matches a Host does not depend on the case of the Host's letters.
#include <string>

#include "exporter/access.h"
#include "exporter/http_parse.h"
#include "fuzz_check.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view cut(std::string_view* rest) {
    const size_t nul = rest->find('\0');
    const std::string_view part = rest->substr(0, nul);
    rest->remove_prefix(nul == std::string_view::npos ? rest->size() : nul + 1);
    return part;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest = fuzz::bytes(data, size);
    const std::string_view authorization = cut(&rest);
    const std::string_view origin = cut(&rest);
    const std::string_view host = cut(&rest);

    const std::string_view token = http_bearer_token(authorization);
    if (!token.empty()) {
        FUZZ_CHECK(token.data() >= authorization.data() &&
                   token.data() + token.size() <= authorization.data() + authorization.size());
        FUZZ_CHECK(!is_blank(token.front()) && !is_blank(token.back()));
        FUZZ_CHECK(http_bearer_token("bEaReR " + std::string(token)) == token);
    }

    const std::string secret = "secret";
    access_request req;
    req.authorization = std::string(authorization);
    const access_verdict v = access_check(secret, req, false);
    if (token.empty()) {
        FUZZ_CHECK(v == access_verdict::token_missing);
    } else {
        FUZZ_CHECK((v == access_verdict::allowed) == (token == secret));
    }
    FUZZ_CHECK(access_token_equal(secret, token) == (token == secret));
    FUZZ_CHECK(access_token_equal(token, secret) == (!token.empty() && token == secret));

    const bool matches = access_origin_matches(origin, host);
    FUZZ_CHECK(access_origin_matches(origin, upper(host)) == matches);
    req.origin = std::string(origin);
    req.host = std::string(host);
    const access_verdict ws = access_check("", req, true);
    FUZZ_CHECK((ws == access_verdict::foreign_origin) == (!origin.empty() && !matches));
    return 0;
}
