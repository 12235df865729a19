// The start-up recovery: what a stop, a crash or a kill left undone is
// queued again before any new close.
#pragma once

#include "register/instance.h"

// Queues, oldest time first, every segment that the library does not hold
// yet: links an earlier run left in path.tmp and, with scan_watch, segments
// in path.watch (closed while no daemon ran; linked here first). A segment
// whose copy (of the same size) and index line are in the library is passed
// over, its leftover link removed (and its day's marker made, if the kill
// came before it); one still open for writing is left to its close notice.
// Hidden copies that a crash left unfinished in path.tmp are removed first.
// Call it with the watch in place, so that no close goes unseen. The number
// queued, or the negated errno of opening path.tmp.
int register_recover(instance_t* instance, bool scan_watch = true);
