// The register daemon's pipeline, by concern: the queue and its hard links
// (queue.h), the start-up recovery (recover.h) and its detection of writers
// (writers.h), the register thread's steps (pipeline.h), the runs of ffprobe
// and ffmpeg (tools.h) and the copying (copy.h). The library's own rules
// are archive/library's.
#pragma once

#include <cstring>

#include "register/copy.h"
#include "register/pipeline.h"
#include "register/queue.h"
#include "register/recover.h"
#include "register/tools.h"
#include "register/writers.h"

// The text of an error number; safe to call from any thread.
inline const char* register_errno_text(int err) {
    const char* text = strerrordesc_np(err);
    return text ? text : "Unknown error";
}
