#include "archive/library_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "handles.h"

namespace archive {
namespace {

// The length of the index text up to and including its last line feed: the
// whole lines of a file of size bytes. Negated errno when it cannot be read.
int64_t whole_lines_length(int fd, int64_t size) {
    char block[4096];
    int64_t end = size;
    while (end > 0) {
        const int64_t from = std::max<int64_t>(0, end - static_cast<int64_t>(sizeof block));
        const size_t want = static_cast<size_t>(end - from);
        ssize_t n;
        do {
            n = pread(fd, block, want, from);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return -errno;
        if (static_cast<size_t>(n) != want) return -EIO;
        for (size_t i = want; i > 0; --i) {
            if (block[i - 1] == '\n') return from + static_cast<int64_t>(i);
        }
        end = from;
    }
    return 0;
}

int sync_fd(int fd) {
    int r;
    do {
        r = fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : -errno;
}

}  // namespace

int append_index_line(const char* path, std::string_view line, bool repair_tail, index_append* done, bool* opened) {
    *done = index_append{};
    *opened = false;
    // Told before the open so that a failed append can take away the file it made.
    struct stat before;
    done->created = stat(path, &before) != 0 && errno == ENOENT;
    unique_fd fd(open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return -errno;
    *opened = true;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -errno;
    done->before = st.st_size;
    if (repair_tail && st.st_size > 0) {
        const int64_t whole = whole_lines_length(fd.get(), st.st_size);
        if (whole < 0) return static_cast<int>(whole);
        if (whole < st.st_size) {
            if (ftruncate(fd.get(), whole) != 0) return -errno;
            done->repaired = st.st_size - whole;
            done->before = whole;
        }
    }
    // One write: a reader never sees the line in two pieces, and a failure
    // leaves either all of it or none once cut back.
    const ssize_t n = write(fd.get(), line.data(), line.size());
    int r = n < 0 ? -errno : static_cast<size_t>(n) != line.size() ? -ENOSPC : 0;
    if (r == 0) r = sync_fd(fd.get());
    if (r != 0) {
        if (ftruncate(fd.get(), done->before) == 0) sync_fd(fd.get());
        if (done->created) unlink(path);
    }
    return r;
}

int cut_index_back(const char* path, const index_append& done) {
    if (done.created) return unlink(path) == 0 ? 0 : -errno;
    unique_fd fd(open(path, O_WRONLY | O_CLOEXEC));
    if (!fd) return -errno;
    if (ftruncate(fd.get(), done.before) != 0) return -errno;
    return sync_fd(fd.get());
}

int mark_day(const char* path, bool* created) {
    *created = false;
    struct stat st;
    if (stat(path, &st) == 0) return 0;
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!fd) return -errno;
    *created = true;
    return 0;
}

int sync_path(const char* path) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return -errno;
    return sync_fd(fd.get());
}

}  // namespace archive
