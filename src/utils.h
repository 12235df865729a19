// Directories, files, free space, path sanitising, time differences.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Formats a path into buf like snprintf; false when it does not fit (buf
// then holds a cut path, which must not be used).
__attribute__((format(printf, 3, 4))) bool utils_format_path(char* buf, size_t size, const char* fmt, ...);

// Creates path and its missing parents. 0 when the directory exists
// afterwards (or an entry of that name already existed), else the negated
// error number of the last mkdir. path is cut and restored while walking.
int utils_mkdir_p(char* path, int mode);

// B minus A in microseconds.
int64_t utils_timeval_diff_us(const struct timeval* B, const struct timeval* A);

// Removes a directory tree. Symbolic links are removed as links and never
// followed, so nothing outside the tree is touched.
int utils_rmdir_r(const char* path);

// Reads a whole regular file into a new zero-terminated buffer of its size
// plus one, which the caller releases with free(). -2 for a non-regular file.
int utils_load_file(const char* filename, void** pbuf, int* size);

// Appends the whole content of a file to *text. 0, the negated error number
// when it cannot be opened, or -EIO when reading fails part way.
int utils_read_text(const char* path, std::string* text);

// Bytes available to unprivileged users and total bytes of the file system
// holding path.
int utils_free_space(const char* path, uint64_t* free_space, uint64_t* total_space);

// A sanitised copy of src in dst_origin (4096 bytes), or in a new 4096-byte
// buffer released with free() when dst_origin is null.
char* utils_canonize_filename(const char* src, char* dst_origin);

// The first existing path "<exe dir><rel>/<file>" for the relative
// directories given (ended by a null pointer), else file itself.
char* utils_find_local_file(char* dst, int len, const char* file, ...);
