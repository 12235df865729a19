// Whether a segment in the watch folder is still being written: a file the
// recorder has open for writing is left to its own close notice.
#pragma once

// True when anyone has path open for writing: a read lease is refused, or,
// where leases are not permitted, register_proc_writer finds a writer.
bool register_open_for_writing(const char* path);

// True when a descriptor of some process we may look at (/proc/*/fd and
// fdinfo) has path open for writing.
bool register_proc_writer(const char* path);
