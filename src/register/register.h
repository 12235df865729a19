// The register thread and its queue: every segment name the watcher hands
// over is probed, copied into the media library under the UTC hour of the
// time in its name, thumbnailed, indexed, and its day marked.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <utility>

#include "handles.h"
#include "register/instance.h"

// Hard-links name from path.watch into path.tmp and queues a copy of the
// name. The queue's new length, -12 when it is full (the link stays for the
// next start), -36 when a path does not fit, or the negated errno of the link.
int register_enqueue(instance_t* instance, const char* name);

// Queues, oldest time first, every segment that the library does not hold
// yet: links an earlier run left in path.tmp and, with scan_watch, segments
// in path.watch (closed while no daemon ran; linked here first). A segment
// whose copy (of the same size) and index line are in the library is passed
// over, its leftover link removed; one still open for writing is left to its
// close notice. Call it with the watch in place, so that no close goes
// unseen. The number queued, or the negated errno of opening path.tmp.
int register_recover(instance_t* instance, bool scan_watch = true);

// True when anyone has path open for writing: a read lease is refused, or,
// where leases are not permitted, register_proc_writer finds a writer.
bool register_open_for_writing(const char* path);

// True when a descriptor of some process we may look at (/proc/*/fd and
// fdinfo) has path open for writing.
bool register_proc_writer(const char* path);

// The register thread's body; p is the instance_t*. Returns null.
void* register_thread_proc(void* p);

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

// Copies src to dst (mode 0666, truncated). The bytes copied, or the negated
// errno of the failing step; a copy that ends short is -5 (EIO).
int64_t copy_file(const char* src, const char* dst);

// Moves size bytes from offset 0 of in to out with sendfile, at most chunk
// bytes per call, until all are moved. size, or a negative errno.
int64_t copy_fd(int in, int out, int64_t size, size_t chunk);

// The text of an error number; safe to call from any thread.
const char* register_errno_text(int err);

