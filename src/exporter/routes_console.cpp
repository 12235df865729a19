#include "exporter/routes_console.h"

#include <string>
#include <string_view>

#include "exporter/http_parse.h"
#include "exporter/metrics.h"
#include "exporter/peer_log.h"
#include "exporter/web_assets.h"

namespace {

http_reply asset_reply(const web_asset& asset, unsigned status = HTTP_OK) {
    http_reply r = http_text_reply(status, std::string(asset.body), std::string(asset.type));
    r.headers.emplace_back("cache-control:", "no-cache");
    // The player hands the video element a MediaSource, whose address is a
    // blob: URL; its worker is one of our own files, so no worker-src blob:.
    r.headers.emplace_back("content-security-policy:",
                           "default-src 'self'; img-src 'self'; media-src 'self' blob:; connect-src 'self'; "
                           "frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    return r;
}

// The login form, with status 401 where it answers a request without the
// token. After a wrong token the page is told so through its body tag.
http_reply login_page(unsigned status, bool failed = false) {
    const web_asset* page = web_asset_find("/login");
    if (page == nullptr) return http_text_reply(status, "a token is needed\n");
    http_reply r = asset_reply(*page, status);
    if (failed) {
        const size_t at = r.body.find("<body");
        if (at != std::string::npos) r.body.insert(at + 5, " data-login-failed=\"1\"");
        r.length = r.body.size();
    }
    return r;
}

http_reply redirect(const char* location) {
    http_reply r = http_text_reply(HTTP_SEE_OTHER, "");
    r.headers.emplace_back("location:", location);
    return r;
}

http_reply login(const instance_t* instance, const http_request& request) {
    const std::string token = request.body_too_large ? std::string() : http_form_token(request.body);
    if (instance->ws.token[0] == '\0') return redirect("/");  // nothing to log in to
    if (!access_token_equal(instance->ws.token, token)) {
        return routes_console_refusal(request,
                                      token.empty() ? access_verdict::token_missing : access_verdict::token_wrong);
    }
    http_reply r = redirect("/");
    r.headers.emplace_back("set-cookie:", access_cookie_set(instance->ws.token));
    return r;
}

http_reply logout() {
    http_reply r = redirect("/login");
    r.headers.emplace_back("set-cookie:", access_cookie_clear());
    return r;
}

}  // namespace

http_reply routes_console_refusal(const http_request& request, access_verdict verdict) {
    peer_log("http_callback: refused request", 1, "%s: refused the HTTP request [%s] of [%s] with HTTP %u: %s",
             "http_callback", peer_log_quote(request.path).c_str(), request.peer.c_str(), access_status(verdict),
             access_reason(verdict));
    metrics_refused("token");
    return login_page(HTTP_UNAUTHORIZED, verdict == access_verdict::token_wrong);
}

std::optional<http_reply> routes_console_open(instance_t* instance, const http_request& request) {
    if (request.path == "/login") {
        if (request.method == http_method::post) return login(instance, request);
        return login_page(HTTP_OK);
    }
    // The login form's own style, which it needs before it has the token.
    if (request.path == "/login.css" && http_reading(request)) {
        if (const web_asset* style = web_asset_find(request.path)) return asset_reply(*style);
    }
    return std::nullopt;
}

std::optional<http_reply> routes_console(instance_t*, const http_request& request) {
    if (request.path == "/logout") {
        return request.method == http_method::post ? logout() : http_method_not_allowed();
    }
    if (!http_reading(request)) return std::nullopt;
    if (const web_asset* asset = web_asset_find(request.path)) return asset_reply(*asset);
    return std::nullopt;
}
