#include "register/copy.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "handles.h"
#include "utils.h"

namespace {

// The most one sendfile call moves.
constexpr size_t SENDFILE_MAX = 0x7ffff000;

}  // namespace

int64_t copy_file(const char* src, const char* dst) {
    unique_fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (!in) return -errno;
    unique_fd out(open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) return -errno;
    struct stat st;
    int64_t r = fstat(in.get(), &st) == 0 ? copy_fd(in.get(), out.get(), st.st_size, SENDFILE_MAX) : -errno;
    // The copy counts only once it is on stable storage: the caller may
    // then drop the only other link to the segment.
    if (r >= 0 && fsync(out.get()) != 0) r = -errno;
    // Some file systems report a failed write only at close.
    if (close(out.release()) != 0 && r >= 0) r = -errno;
    // A partial copy must not pass for a segment.
    if (r < 0) unlink(dst);
    return r;
}

int64_t copy_fd(int in, int out, int64_t size, size_t chunk) {
    if (chunk == 0) return -EINVAL;
    off_t offset = 0;
    while (offset < size) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(chunk)));
        const ssize_t n = sendfile(out, in, &offset, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        // The source ended before the size it had: the copy is incomplete.
        if (n == 0) return -EIO;
    }
    return offset;
}

int64_t copy_file_hidden(const char* src, const char* dst) {
    char part[PATH_MAX];
    const char* slash = strrchr(dst, '/');
    const int dir_len = slash ? static_cast<int>(slash - dst) : 0;
    if (!slash || !utils_format_path(part, sizeof part, "%.*s/.%s.part", dir_len, dst, slash + 1)) {
        return -ENAMETOOLONG;
    }
    const int64_t copied = copy_file(src, part);
    if (copied < 0) return copied;
    const int r = link(part, dst) == 0 ? 0 : -errno;
    unlink(part);
    return r == 0 ? copied : r;
}

bool is_hidden_copy_name(std::string_view name) {
    constexpr std::string_view suffix = ".part";
    return name.size() > 1 + suffix.size() && name.front() == '.' && name.ends_with(suffix);
}
