// Folders read and emptied through descriptors for BrindlewoodClient prune:
// each level is opened relative to its parent without following a symbolic
// link, and each file is removed relative to its folder's descriptor, so no
// link and no path string can lead a removal outside the tree.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "handles.h"

namespace client::prune {

// One folder entry and its kind; a symbolic link is neither a folder nor a
// regular file.
struct entry {
    std::string name;
    bool folder = false;
    bool regular = false;
};

// Opens the folder a path names, following a link in the path itself: the
// operator chose it. Empty with errno set on failure.
unique_fd open_root(const std::string& path);

// Opens the folder `name` inside the folder `parent`, never through a link
// (errno ELOOP or ENOTDIR then).
unique_fd open_folder(int parent, const char* name);

// The entries of the folder open as fd, without "." and ".."; false with
// errno set when it cannot be read.
bool list_folder(int fd, std::vector<entry>* out);

// Reads the whole file `name` of the folder fd (only reading, so through a
// link too) and its status. False with errno set.
bool read_file_at(int fd, const char* name, std::string* text, struct stat* st);

// What removing the file gives back to the disk, from its blocks: nothing
// while another name still links it.
uint64_t freed_bytes(const struct stat& st);

// Removes the regular file `name` of the folder fd (unless dry) and adds what
// it gives back to *bytes. False with errno set when it is not a regular file
// or cannot be removed; one that is gone already counts as removed.
bool remove_file(int fd, const char* name, bool dry, uint64_t* bytes);

// "what was left: a, b, c and 2 more", names escaped, for a one-line note.
std::string name_list(const std::vector<std::string>& names);

// One line on standard error, "BrindlewoodClient: " first.
void say(std::string_view line);

}  // namespace client::prune
