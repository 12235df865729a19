// Option files: one argument per line, '#' starts a comment line.
#pragma once

#include <limits.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "strl.h"

using opts_callback = int (*)(int argc, char** argv, void* app);

// Deepest nesting of option files that name further option files.
constexpr int MAX_OPTS_FILE_DEPTH = 16;
// Arguments one option file may hold (slot 0 of its vector is its name).
constexpr int MAX_OPTS_FILE_ARGS = 4095;

// 1 when the file cannot be opened or read (or would be read inside itself);
// otherwise the callback's result when the file held an argument, else 0.
int opts_from_file(const char* filename, void* instance, opts_callback cb);

// The arguments an option file's text holds, in order: one per line, blanks
// and tabs around it removed, blank lines and lines starting with '#'
// skipped. A line is read as fgets reads it, at most 4095 bytes at a time,
// and its text ends at a NUL. At most MAX_OPTS_FILE_ARGS are kept; *more
// tells that the text held more.
std::vector<std::string> opts_from_text(std::string_view text, bool* more);

// Generates the daemon's opts_from_file_cb, which parses a file's arguments
// with the daemon's own instance_opts.
#define OPTS_FROM_FILE_CB(parse)                                    \
    int opts_from_file_cb(int argc, char** argv, void* app) {       \
        return parse(static_cast<instance_t*>(app), argc, argv);    \
    }

namespace keelson {

// Reads every argument from first on as an option file, in order; a file
// read successfully becomes last_opts_file. Failed files change nothing.
template <class Instance>
void opts_from_file_process(Instance* instance, int argc, char** argv, int first, opts_callback cb) {
    for (int i = first; i < argc; ++i) {
        if (opts_from_file(argv[i], instance, cb) == 0) {
            keelson::strlcpy(instance->last_opts_file, argv[i], sizeof instance->last_opts_file);
        }
    }
}

}  // namespace keelson
