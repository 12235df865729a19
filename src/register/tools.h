// The register thread's runs of the outside tools: ffprobe for a segment's
// duration and first time stamp, ffmpeg for its thumbnail.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

// Probes path with ffprobe; writes the values of the keys found. Negative on
// failure, else the number of key lines found (normally 2). A probe without
// progress is killed (execute_watched); exit_flag shortens that at a stop.
int register_ffprobe(const char* ffprobe, const char* path, int64_t* duration_ts, int64_t* start_pts,
                     const std::atomic<int>* exit_flag = nullptr);

// The key lines of ffprobe's ini output: "duration_ts=" and "start_pts=" at
// a line start, CR or LF ended. A key seen twice keeps its last value and
// counts twice; a value that is not a number reads as 0.
int register_parse_probe(std::string_view text, int64_t* duration_ts, int64_t* start_pts);

// Makes the 96x54 thumbnail dst from the first frame of src, watched like
// the probe. The launcher's result.
int register_thumb(const char* ffmpeg, const char* src, const char* dst, const std::atomic<int>* exit_flag = nullptr);
