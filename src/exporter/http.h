// The HTTP side of the export port: the console page, the files of the task
// folders, what the media library holds, the clip a span asks for, health
// and metrics. It runs in the service loop like the WebSocket side, so no
// request waits on the disk for long: files go out in pieces, one per
// writable callback, and a slow downloader holds one piece at a time.
#pragma once

#include <cstddef>

#include "exporter/instance.h"

struct lws;

// One HTTP response in progress on a connection.
struct http_transfer;

// True for the library callback reasons that belong to the HTTP side.
bool http_handles(int reason);

// Handles one of those reasons. *transfer is the connection's response in
// progress: null between requests, made and freed here (also when the
// connection closes). Returns what the protocol callback returns; non-zero
// closes the connection.
int http_callback(instance_t* instance, struct lws* wsi, int reason, http_transfer** transfer, void* in, size_t len);
