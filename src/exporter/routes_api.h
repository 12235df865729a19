// The API: "/api/recordings" (what a library holds in a span), "/api/clip"
// (the task message that would cut a span), "/healthz" and "/metrics".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "exporter/http_transport.h"

struct json_object;

// "/healthz", served without the token.
std::optional<http_reply> routes_api_open(instance_t* instance, const http_request& request);

// The rest, behind the token.
std::optional<http_reply> routes_api(instance_t* instance, const http_request& request);

// For the routes that answer JSON too.

// A JSON reply that no cache keeps.
http_reply routes_api_json(unsigned status, json_object* o);

// {"error": message}, with "gaps" when gaps is given (taken over).
http_reply routes_api_error(unsigned status, const std::string& message, json_object* gaps = nullptr);

// The lib, from and to arguments of a span request, and the root of the
// library they name.
struct routes_api_span {
    int lib = 0;
    int64_t from = 0;
    int64_t to = 0;
    std::string root;
};

// The longest span a clip or a playlist may cover, and a listing.
constexpr int64_t ROUTES_API_MAX_CLIP_SPAN = 24LL * 3600;
constexpr int64_t ROUTES_API_MAX_LISTING_SPAN = 31LL * 24 * 3600;

// Reads them into *span; the reply that refuses the request when one of
// them is wrong: lib not 0 to 3, a time that is not one between 1970 and
// 9999, to not after from, or a span longer than max_span seconds.
std::optional<http_reply> routes_api_span_of(const instance_t* instance, const http_request& request,
                                             routes_api_span* span,
                                             int64_t max_span = ROUTES_API_MAX_CLIP_SPAN);
