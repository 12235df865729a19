// Bounded string copy and append for the fixed buffers used throughout.
//
// These differ from the BSD functions of the same name in what they return
// (the count actually copied / the new length), so they live in their own
// namespace and can never collide with a libc declaration.
#pragma once

#include <cstddef>

namespace keelson {

// Copies at most size - 1 characters of src and always terminates dst when
// size is at least 1. Returns the number of characters copied.
size_t strlcpy(char* dst, const char* src, size_t size);

// Appends at most size - strlen(dst) - 1 characters and terminates. Returns the
// new length of dst, or, when there is no room, the existing length (at most
// size) without writing anything.
size_t strlcat(char* dst, const char* src, size_t size);

}  // namespace keelson

// Removes every tab, line feed and carriage return from src in place and
// returns src.
char* utils_cleanup_mediaid(char* src);
