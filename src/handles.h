// Owners for the C resources the daemons use: stdio files, directory
// streams, descriptors and held mutexes, released on every path.
#pragma once

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

// A descriptor closed when the owner goes.
class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ >= 0) close(fd_);
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) close(fd_);
            fd_ = other.release();
        }
        return *this;
    }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// A pthread mutex held for one scope.
class mutex_guard {
public:
    explicit mutex_guard(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~mutex_guard() { pthread_mutex_unlock(m_); }
    mutex_guard(const mutex_guard&) = delete;
    mutex_guard& operator=(const mutex_guard&) = delete;

private:
    pthread_mutex_t* m_;
};
