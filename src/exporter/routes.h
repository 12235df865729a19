// Who answers which path of the HTTP side. Each area of routes (tasks, API,
// console) lives in a module of its own; this one checks the token, as the
// WebSocket side does, and hands the request to the areas in turn.
#pragma once

#include <optional>

#include "exporter/http_transport.h"

// The reply of one area to a request, or nothing when the path is not one
// of its own. An area answers its paths whatever the method, refusing those
// it does not take with 405.
using routes_fn = std::optional<http_reply> (*)(instance_t* instance, const http_request& request);

struct routes_area {
    routes_fn open;     // paths served without the token; null when none
    routes_fn guarded;  // paths served only to a request that carries it
};

// The reply to a whole request.
http_reply routes_answer(instance_t* instance, const http_request& request);
