// Writing the media library's small files so that a crash, a power cut or a
// full disk never leaves half of one: the hour's index gains whole lines
// only, the day's marker is made, and each reaches stable storage before the
// caller goes on. The register daemon is their only writer.
#pragma once

#include <cstdint>
#include <string_view>

namespace archive {

// What one append did to an hour's index.
struct index_append {
    // The index's length before the line: what cut_index_back returns to.
    int64_t before = 0;
    // Bytes of a cut-off last line taken away before the append (0: none).
    int64_t repaired = 0;
    // The index did not exist before.
    bool created = false;
};

// Appends line (one whole index line, its line feed included) to the index
// at path, creating it with mode 0666, in one write, and syncs it. With
// repair_tail, a last line without its line feed (a crash's or a full
// disk's leftover) is first cut back to the previous line end, so the new
// line cannot be glued to it. A write that fails or ends short is cut back,
// leaving the index as it was. 0, or the negated errno of the failing step;
// *opened tells whether it was a later step than opening the index. A short
// write counts as -ENOSPC: space running out is what ends a regular file's
// write short.
int append_index_line(const char* path, std::string_view line, bool repair_tail, index_append* done, bool* opened);

// Takes back an appended line: the index returns to its length before it,
// or is removed when the append created it. 0 or the negated errno.
int cut_index_back(const char* path, const index_append& done);

// Makes the day's empty marker at path when missing. *created tells that it
// was made now (its folder then needs a sync). 0 or the negated errno.
int mark_day(const char* path, bool* created);

// Flushes a file's or a folder's data and entries to stable storage. 0 or
// the negated errno.
int sync_path(const char* path);

}  // namespace archive
