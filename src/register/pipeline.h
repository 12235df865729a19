// The register thread: each queued segment is probed, copied into the media
// library under the UTC hour of the time in its name, thumbnailed, indexed,
// and its day marked; then its link in the holding folder goes.
#pragma once

// The register thread's body; p is the instance_t*. Returns null.
void* register_thread_proc(void* p);
