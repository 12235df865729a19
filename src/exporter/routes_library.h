// The media library over HTTP, for players: a segment or its thumbnail
// ("/library/N/YYYY/MM/DD/HH/NAME"), a span as an HLS VOD playlist
// ("/api/play.m3u8") and the live end of a library ("/api/live.m3u8").
#pragma once

#include <optional>

#include "exporter/http_transport.h"

// Behind the token, as every route but health and the login.
std::optional<http_reply> routes_library(instance_t* instance, const http_request& request);
