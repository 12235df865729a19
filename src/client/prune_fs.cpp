#include "client/prune_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "text.h"

namespace client::prune {

unique_fd open_root(const std::string& path) {
    return unique_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

unique_fd open_folder(int parent, const char* name) {
    return unique_fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

namespace {

// The kind the folder reports, asked of the file itself only when the file
// system does not say.
void set_kind(int fd, const struct dirent* d, entry* e) {
    unsigned char type = d->d_type;
    if (type == DT_UNKNOWN) {
        struct stat st;
        if (fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
        type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    e->folder = type == DT_DIR;
    e->regular = type == DT_REG;
}

}  // namespace

bool list_folder(int fd, std::vector<entry>* out) {
    // fdopendir owns the descriptor it is given: hand it a copy.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    dir_ptr dir(fdopendir(copy));
    if (!dir) {
        const int saved = errno;
        close(copy);
        errno = saved;
        return false;
    }
    rewinddir(dir.get());
    errno = 0;
    while (const struct dirent* d = readdir(dir.get())) {
        if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
        entry e;
        e.name = d->d_name;
        set_kind(fd, d, &e);
        out->push_back(std::move(e));
        errno = 0;
    }
    return errno == 0;
}

bool read_file_at(int fd, const char* name, std::string* text, struct stat* st) {
    const unique_fd file(openat(fd, name, O_RDONLY | O_CLOEXEC));
    if (!file || fstat(file.get(), st) != 0) return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(file.get(), buf, sizeof buf)) > 0) text->append(buf, static_cast<size_t>(n));
    return n == 0;
}

uint64_t freed_bytes(const struct stat& st) { return st.st_nlink > 1 ? 0 : static_cast<uint64_t>(st.st_blocks) * 512; }

bool remove_file(int fd, const char* name, bool dry, uint64_t* bytes) {
    struct stat st;
    if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    if (!dry && unlinkat(fd, name, 0) != 0 && errno != ENOENT) return false;
    *bytes += freed_bytes(st);
    return true;
}

std::string name_list(const std::vector<std::string>& names) {
    constexpr size_t SHOWN = 3;
    std::string text;
    for (size_t i = 0; i < names.size() && i < SHOWN; ++i) {
        if (i > 0) text += ", ";
        text += text_escape(names[i], 256);
    }
    if (names.size() > SHOWN) text += " and " + std::to_string(names.size() - SHOWN) + " more";
    return text;
}

void say(std::string_view line) {
    fprintf(stderr, "BrindlewoodClient: %.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace client::prune
