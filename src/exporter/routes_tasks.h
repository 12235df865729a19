// "/tasks/NNNNN/<file>": the files of the task folders, Range requests
// answered.
#pragma once

#include <optional>

#include "exporter/http_transport.h"

std::optional<http_reply> routes_tasks(instance_t* instance, const http_request& request);
