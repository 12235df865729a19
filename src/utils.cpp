#include "utils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "handles.h"
#include "logger.h"
#include "strl.h"

namespace {

constexpr size_t PATH_LEN = 4096;

// Pattern and replacement pairs of the sanitiser, applied in this order.
const char* const tokens[] = {"/../", "/", "/./", "/", "\\", "", "\"", "", "<", "", ">", "", "&", "", "//", "/",
                              nullptr};

void replace_all(char* s, const char* pattern, const char* replacement) {
    const size_t plen = strlen(pattern);
    const size_t rlen = strlen(replacement);
    for (char* at = strstr(s, pattern); at != nullptr; at = strstr(s, pattern)) {
        memmove(at + rlen, at + plen, strlen(at + plen) + 1);
        memcpy(at, replacement, rlen);
    }
}

}  // namespace

bool utils_format_path(char* buf, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n >= 0 && static_cast<size_t>(n) < size;
}

int utils_mkdir_p(char* path, int mode) {
    if (path == nullptr || path[0] == '\0') return 0;
    for (char* p = path + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        mkdir(path, static_cast<mode_t>(mode));
        *p = '/';
    }
    if (mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST) return 0;
    return -errno;
}

int64_t utils_timeval_diff_us(const struct timeval* B, const struct timeval* A) {
    return static_cast<int64_t>(B->tv_sec - A->tv_sec) * 1000000 + (B->tv_usec - A->tv_usec);
}

int utils_rmdir_r(const char* path) {
    dir_ptr dir(opendir(path));
    if (!dir) {
        const int r = -errno;
        logger_printf(1, "utils_rmdir_r: opendir(%s) failed, errno=%d (%s)", path, r, strerror(-r));
        return r;
    }
    while (const struct dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        char child[PATH_LEN];
        snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
        struct stat st;
        if (lstat(child, &st) != 0) {
            logger_printf(1, "utils_rmdir_r: stat(%s) failed, errno=%d", child, -errno);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            utils_rmdir_r(child);
        } else if (remove(child) != 0) {
            logger_printf(1, "utils_rmdir_r: remove(%s) failed, errno=%d (%s)", child, -errno, strerror(errno));
        } else {
            logger_printf(1, "utils_rmdir_r: remove(%s)", child);
        }
    }
    dir.reset();
    if (rmdir(path) != 0) {
        const int r = -errno;
        logger_printf(1, "utils_rmdir_r: rmdir(%s) failed, errno=%d (%s)", path, r, strerror(-r));
        return r;
    }
    logger_printf(1, "utils_rmdir_r: rmdir(%s)", path);
    return 0;
}

int utils_load_file(const char* filename, void** pbuf, int* size) {
    struct stat st;
    if (stat(filename, &st) != 0) {
        const int e = errno;
        logger_printf(1, "utils_load_file: stat(%s) failed, r=%d: %s", filename, e, strerror(e));
        return -e;
    }
    if (!S_ISREG(st.st_mode)) return -2;
    file_ptr f(fopen(filename, "rb"));
    if (!f) {
        const int e = errno;
        logger_printf(1, "utils_load_file: failed to open '%s'", filename);
        return -e;
    }
    const size_t len = static_cast<size_t>(st.st_size);
    // Handed to the caller, who releases it with free().
    void* buf = calloc(len + 1, 1);
    if (buf == nullptr) return -12;
    // A short read is not detected: what was not read stays zero.
    const size_t got = fread(buf, 1, len, f.get());
    (void)got;
    *pbuf = buf;
    *size = static_cast<int>(len);
    return 0;
}

int utils_read_text(const char* path, std::string* text) {
    file_ptr f(fopen(path, "rb"));
    if (!f) return -errno;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text->append(buf, n);
    return ferror(f.get()) ? -EIO : 0;
}

int utils_free_space(const char* path, uint64_t* free_space, uint64_t* total_space) {
    struct statvfs vfs;
    if (statvfs(path, &vfs) != 0) return -errno;
    *free_space = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_bsize;
    *total_space = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    return 0;
}

char* utils_canonize_filename(const char* src, char* dst_origin) {
    // Handed to the caller, who releases it with free().
    char* dst = dst_origin ? dst_origin : static_cast<char*>(calloc(PATH_LEN, 1));
    if (dst == nullptr) return nullptr;
    keelson::strlcpy(dst, src, PATH_LEN - 1);
    if (dst[0] != '/') {
        memmove(dst + 1, dst, strlen(dst) + 1);
        dst[0] = '/';
    }
    for (int i = 0; tokens[i] != nullptr; i += 2) replace_all(dst, tokens[i], tokens[i + 1]);
    return dst;
}

char* utils_find_local_file(char* dst, int len, const char* file, ...) {
    char exe[PATH_LEN] = {0};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) exe[n] = '\0';
    char* slash = strrchr(exe, '/');
    if (slash != nullptr) {
        slash[1] = '\0';
    } else {
        exe[0] = '\0';
    }
    va_list ap;
    va_start(ap, file);
    while (const char* rel = va_arg(ap, const char*)) {
        snprintf(dst, static_cast<size_t>(len), "%s%s/%s", exe, rel, file);
        if (access(dst, F_OK) == 0) {
            va_end(ap);
            return dst;
        }
    }
    va_end(ap);
    keelson::strlcpy(dst, file, static_cast<size_t>(len));
    return dst;
}
