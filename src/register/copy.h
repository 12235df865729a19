// Copying a segment: into the library with sendfile, kernel to kernel, and,
// where a hard link into the holding folder is refused, through a hidden name
// that only ever shows the finished copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Copies src to dst (mode 0666, truncated) and syncs dst's data. The bytes
// copied, or the negated errno of the failing step; a copy that ends short is
// -5 (EIO). A copy that fails leaves no dst behind. dst's folder entry is the
// caller's to sync.
int64_t copy_file(const char* src, const char* dst);

// Moves size bytes from offset 0 of in to out with sendfile, at most chunk
// bytes per call, until all are moved. size, or a negative errno.
int64_t copy_fd(int in, int out, int64_t size, size_t chunk);

// Copies src to dst through a hidden name beside dst, then links it there,
// so that nobody ever sees half a copy and an existing dst fails as link()
// does (-EEXIST). The bytes copied, or the negated errno.
int64_t copy_file_hidden(const char* src, const char* dst);

// True for the hidden name copy_file_hidden copies through (".<name>.part"):
// one that a crash left behind is never finished.
bool is_hidden_copy_name(std::string_view name);
