#include "exporter/routes_api.h"

#include <json-c/json.h>

#include <charconv>
#include <string_view>
#include <vector>

#include "archive/clip.h"
#include "archive/timearg.h"
#include "exporter/http_parse.h"
#include "exporter/library_cache.h"
#include "exporter/metrics.h"
#include "exporter/ws.h"
#include "json_handle.h"

namespace {

static_assert(ROUTES_API_MAX_LISTING_SPAN <= archive::MAX_SPAN_SECONDS, "a listing walks every hour of its span");

std::string json_text(json_object* o) {
    return json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

json_object* interval(double from, double to) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "from", json_object_new_double(from));
    json_object_object_add(o, "to", json_object_new_double(to));
    return o;
}

json_object* gap_list(const std::vector<archive::gap>& gaps) {
    json_object* list = json_object_new_array();
    for (const auto& g : gaps) json_object_array_add(list, interval(g.from, g.to));
    return list;
}

http_reply recordings(const instance_t* instance, const http_request& request) {
    routes_api_span a;
    if (auto bad = routes_api_span_of(instance, request, &a, ROUTES_API_MAX_LISTING_SPAN)) return std::move(*bad);
    archive::coverage c;
    std::string error;
    if (!archive::read_coverage(a.root, a.from, a.to, &c, &error)) {
        return routes_api_error(HTTP_SERVER_ERROR, error);
    }
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "lib", json_object_new_int(a.lib));
    json_object_object_add(o.get(), "from", json_object_new_int64(a.from));
    json_object_object_add(o.get(), "to", json_object_new_int64(a.to));
    json_object* runs = json_object_new_array();
    for (const auto& r : c.runs) {
        json_object* run = interval(r.from, r.to);
        json_object_object_add(run, "segments", json_object_new_int(r.segments));
        json_object_array_add(runs, run);
    }
    json_object_object_add(o.get(), "runs", runs);
    json_object_object_add(o.get(), "gaps", gap_list(c.gaps));
    const std::optional<int64_t> last = library_cache_last_segment(instance, a.lib);
    json_object_object_add(o.get(), "last_segment_timestamp", last ? json_object_new_int64(*last) : nullptr);
    return routes_api_json(HTTP_OK, o.get());
}

bool flag_arg(const http_request& request, std::string_view name) {
    const auto v = http_url_arg(request.args, name);
    return v && (*v == "1" || *v == "true");
}

http_reply clip(const instance_t* instance, const http_request& request) {
    routes_api_span a;
    if (auto bad = routes_api_span_of(instance, request, &a)) return std::move(*bad);
    archive::clip_request ask{a.root,   a.lib, a.from, a.to, http_url_arg(request.args, "title").value_or(""),
                              flag_arg(request, "exact")};
    archive::clip_plan plan;
    std::string error;
    if (!archive::plan_span(ask, &plan, &error)) return routes_api_error(HTTP_UNPROCESSABLE, error);
    if (!plan.gaps.empty() && !flag_arg(request, "allow_gaps")) {
        return routes_api_error(HTTP_UNPROCESSABLE, archive::gap_text(plan), gap_list(plan.gaps));
    }
    http_reply r = http_text_reply(HTTP_OK, archive::new_task_message(archive::request_for(ask, plan)),
                                   "application/json");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

int queue_length(instance_t* instance) {
    mutex_guard guard(&instance->lock);
    return instance->reg_queue.len;
}

http_reply healthz(instance_t* instance) {
    int pooled = 0;
    int total = 0;
    ws_connection_counts(instance, &pooled, &total);
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "status", json_object_new_string("ok"));
    json_object_object_add(o.get(), "uptime_s", json_object_new_int64(static_cast<int64_t>(metrics_uptime())));
    json_object_object_add(o.get(), "queue", json_object_new_int(queue_length(instance)));
    const int in_hand = metrics_task_in_hand();
    json_object_object_add(o.get(), "task_in_hand", in_hand >= 0 ? json_object_new_int(in_hand) : nullptr);
    json_object_object_add(o.get(), "connections", json_object_new_int(total));
    json_object_object_add(o.get(), "pooled", json_object_new_int(pooled));
    return routes_api_json(HTTP_OK, o.get());
}

http_reply metrics(instance_t* instance) {
    metrics_gauges g{queue_length(instance), 0, 0};
    for (int lib = 0; lib < LIBRARY_COUNT; ++lib) {
        if (const auto t = library_cache_last_segment(instance, lib)) g.last_segments.emplace_back(lib, *t);
    }
    ws_connection_counts(instance, &g.pooled_connections, &g.total_connections);
    http_reply r =
        http_text_reply(HTTP_OK, metrics_prometheus_text(g), "text/plain; version=0.0.4; charset=utf-8");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

}  // namespace

http_reply routes_api_json(unsigned status, json_object* o) {
    http_reply r = http_text_reply(status, json_text(o), "application/json");
    r.headers.emplace_back("cache-control:", "no-store");
    return r;
}

http_reply routes_api_error(unsigned status, const std::string& message, json_object* gaps) {
    json_ptr o(json_object_new_object());
    json_object_object_add(o.get(), "error", json_object_new_string(message.c_str()));
    if (gaps != nullptr) json_object_object_add(o.get(), "gaps", gaps);
    return routes_api_json(status, o.get());
}

namespace {

// A time argument: one that parses and lies between 1970 and 9999; the
// reason otherwise.
bool time_arg(const std::string& text, int64_t* t, std::string* error) {
    if (!archive::parse_time(text, t, error)) return false;
    if (*t >= archive::TIME_MIN && *t <= archive::TIME_MAX) return true;
    *error = "the time '" + text + "' is not between 1970 and 9999";
    return false;
}

std::string span_text(int64_t seconds) {
    if (seconds > 86400 && seconds % 86400 == 0) return std::to_string(seconds / 86400) + " days";
    return std::to_string(seconds / 3600) + " hours";
}

}  // namespace

std::optional<http_reply> routes_api_span_of(const instance_t* instance, const http_request& request,
                                             routes_api_span* a, int64_t max_span) {
    const auto lib = http_url_arg(request.args, "lib");
    const auto from = http_url_arg(request.args, "from");
    const auto to = http_url_arg(request.args, "to");
    if (!from || !to) return routes_api_error(HTTP_BAD_REQUEST, "from and to are needed");
    if (lib) {
        const auto [end, ec] = std::from_chars(lib->data(), lib->data() + lib->size(), a->lib);
        if (ec != std::errc() || end != lib->data() + lib->size() || a->lib < 0 || a->lib > 3) {
            return routes_api_error(HTTP_BAD_REQUEST, "lib is 0 to 3");
        }
    }
    std::string error;
    if (!time_arg(*from, &a->from, &error) || !time_arg(*to, &a->to, &error)) {
        return routes_api_error(HTTP_BAD_REQUEST, error);
    }
    // Both lie between 1970 and 9999: their difference fits.
    if (a->to <= a->from) return routes_api_error(HTTP_BAD_REQUEST, "to must be after from");
    if (a->to - a->from > max_span) {
        return routes_api_error(HTTP_BAD_REQUEST, "the span is longer than " + span_text(max_span));
    }
    a->root = instance->path.libs[a->lib];
    if (a->root.empty()) {
        return routes_api_error(HTTP_NOT_FOUND, "library " + std::to_string(a->lib) + " is not configured");
    }
    return std::nullopt;
}

std::optional<http_reply> routes_api_open(instance_t* instance, const http_request& request) {
    if (request.path != "/healthz") return std::nullopt;
    return http_reading(request) ? healthz(instance) : http_method_not_allowed();
}

std::optional<http_reply> routes_api(instance_t* instance, const http_request& request) {
    const std::string_view path = request.path;
    const bool reading = http_reading(request);
    if (path == "/api/recordings") return reading ? recordings(instance, request) : http_method_not_allowed();
    if (path == "/api/clip") return reading ? clip(instance, request) : http_method_not_allowed();
    if (path == "/metrics") return reading ? metrics(instance) : http_method_not_allowed();
    return std::nullopt;
}
