#include "register/writers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "handles.h"
#include "utils.h"

namespace {

// True when one of the descriptors of process pid is target, open for
// writing. Processes whose descriptors we may not see are passed over.
bool process_writes(long pid, const struct stat& target) {
    char fd_dir[64];
    snprintf(fd_dir, sizeof fd_dir, "/proc/%ld/fd", pid);
    dir_ptr fds(opendir(fd_dir));
    if (!fds) return false;
    while (const dirent* e = readdir(fds.get())) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        if (fstatat(dirfd(fds.get()), e->d_name, &st, 0) != 0 || st.st_dev != target.st_dev ||
            st.st_ino != target.st_ino) {
            continue;
        }
        char info_path[96];
        snprintf(info_path, sizeof info_path, "/proc/%ld/fdinfo/%ld", pid, strtol(e->d_name, nullptr, 10));
        std::string info;
        if (utils_read_text(info_path, &info) != 0) continue;
        const size_t at = info.find("flags:");
        if (at == std::string::npos) continue;
        const unsigned long flags = strtoul(info.c_str() + at + 6, nullptr, 8);
        if ((flags & O_ACCMODE) != O_RDONLY) return true;
    }
    return false;
}

}  // namespace

bool register_open_for_writing(const char* path) {
    unique_fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return false;
    // A read lease is refused (EAGAIN) while anyone has the file open for
    // writing; taken, it is given back at once.
    if (fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN) return true;
    // Not the file's owner, or no leases on this file system.
    return register_proc_writer(path);
}

bool register_proc_writer(const char* path) {
    struct stat target;
    if (stat(path, &target) != 0) return false;
    dir_ptr proc(opendir("/proc"));
    if (!proc) return false;
    while (const dirent* p = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = strtol(p->d_name, &end, 10);
        if (pid > 0 && *end == 0 && process_writes(pid, target)) return true;
    }
    return false;
}
