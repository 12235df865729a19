// What the export daemon reports about itself on /healthz and /metrics: the
// state of every stored task, the task in hand, the durations of the ffmpeg
// runs, refused handshakes and the bytes served over HTTP. Any thread may
// record; the module's own mutex is taken only for the moment of a record.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/task_store.h"

// The state of a task, at start for every stored one and at each change.
void metrics_task_state(int sys_id, archive::task_state state);

// The task the worker has in hand, or -1 when it is idle.
void metrics_task_in_hand(int sys_id);
int metrics_task_in_hand();

// One ffmpeg run of the worker ("thumb" or "cut") and how long it took.
void metrics_ffmpeg_run(const char* run, double seconds);

// A handshake or request refused, by reason ("origin" or "token").
void metrics_refused(const char* reason);

// Body bytes sent to HTTP clients.
void metrics_bytes_served(uint64_t n);

// Bytes the HTTP side holds for the replies in progress grew (or, below
// zero, shrank) by delta; and what it holds now.
void metrics_http_buffered(int64_t delta);
int64_t metrics_http_buffered();

// Seconds since the first call of any metrics function (the daemon's start).
double metrics_uptime();

// What the service knows at the moment of a scrape.
struct metrics_gauges {
    int queue_length;
    int pooled_connections;
    int total_connections;
    // The start time of the newest registered segment of each configured
    // library that holds one: (library, seconds since the epoch).
    std::vector<std::pair<int, int64_t>> last_segments = {};
};

// The Prometheus text exposition of everything above.
std::string metrics_prometheus_text(const metrics_gauges& gauges);
