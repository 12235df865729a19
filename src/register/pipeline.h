// The register thread: each queued segment is probed, copied into the media
// library under the UTC hour of the time in its name, thumbnailed, indexed,
// and its day marked; once all of that is on stable storage, its link in the
// holding folder goes. Without room for any of it, nothing of the segment
// stays in the library and the link waits for the next start.
#pragma once

// The register thread's body; p is the instance_t*. Returns null.
void* register_thread_proc(void* p);
