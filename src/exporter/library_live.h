// The live end of each library as an HLS live playlist: its newest
// segments, about the last 30 seconds, numbered so that a player's reloads
// line up.
//
// A player matches the segments of two reloads by their media sequence
// numbers, and the numbers of one playlist are consecutive, so a number
// cannot be computed from a segment's time alone: the daemon hands them out.
// Per library it keeps the window it served last, each segment with its
// number and its discontinuity sequence number. A reload takes the segments
// of the newest hour (and of the hour before when the newest is short) that
// start after the window's last one, numbers them on from it, and lets the
// oldest slide out. A segment registered late, older than the window's last,
// is left to the VOD playlists: numbering it would move every number after
// it. The discontinuity sequence counts each discontinuity as it is added,
// so it stays right as they slide out.
//
// The windows are written to LIVE_SEQUENCE_FILE in the tasks folder (the
// one folder the daemon writes) each time a number is handed out, before the
// playlist goes out, and read back at the first live request after a
// start, so a restart changes no number. Nothing is read from or sent to the
// register daemon.
//
// The first number a library gets is its first segment's time in seconds,
// and each later segment starts at least a second after the one before (they
// are one per time) while its number grows by one: a number never exceeds
// its segment's time. So when the file is lost, unreadable or belongs to
// another library root, numbering starts again from a segment's time, and a
// segment's number can then only grow, never go back; the discontinuity
// sequence starts the same way.
#pragma once

#include <optional>
#include <string>

#include "exporter/instance.h"

// The live playlist of library lib; nothing when it holds no segment.
std::optional<std::string> library_live_text(const instance_t* instance, int lib);
