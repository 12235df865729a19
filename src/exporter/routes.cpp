#include "exporter/routes.h"

#include <utility>

#include "exporter/routes_api.h"
#include "exporter/routes_console.h"
#include "exporter/routes_library.h"
#include "exporter/routes_tasks.h"

namespace {

// An area is one line here; their paths do not overlap.
const routes_area AREAS[] = {
    {routes_api_open, routes_api},
    {nullptr, routes_tasks},
    {nullptr, routes_library},
    {routes_console_open, routes_console},
};

}  // namespace

http_reply routes_answer(instance_t* instance, const http_request& request) {
    for (const auto& area : AREAS) {
        if (area.open == nullptr) continue;
        if (auto r = area.open(instance, request)) return std::move(*r);
    }
    // Every other route asks for the token, as the WebSocket side does.
    const access_verdict verdict = access_check(instance->ws.token, request.access, false);
    if (verdict != access_verdict::allowed) return routes_console_refusal(request, verdict);
    for (const auto& area : AREAS) {
        if (auto r = area.guarded(instance, request)) return std::move(*r);
    }
    return http_reading(request) ? http_not_found() : http_method_not_allowed();
}
