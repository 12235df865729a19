#include "logger.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "strl.h"

namespace {

constexpr size_t MSG_SIZE = MAX_MSG_LEN + 32;
// Room for the time stamp, and for stamp plus text (newline included).
constexpr size_t STAMP_ROOM = 127998;
constexpr size_t LINE_ROOM = 127990;
// Lines moved off the queue per hold of the mutex, so that callers never
// wait behind a long drain.
constexpr size_t DRAIN_BATCH = 4096;
constexpr char OVERFLOW_TEXT[] = "ERROR! message queue OVERFLOW!!!\n";

struct queued_line {
    std::unique_ptr<char[]> text;
    size_t len = 0;
};

// The shared formatting buffer and the queue, guarded by the mutex.
char MSG[MSG_SIZE];
std::unique_ptr<queued_line[]> msg_q_list;
size_t msg_q_head = 0;  // ring index of the oldest line
int msg_q_tail = 0;     // number of queued lines

// Time stamp of the last second formatted, so that a burst of lines in one
// second converts the time once.
time_t stamp_sec = -1;
char stamp_text[64];
size_t stamp_len = 0;

pthread_mutex_t lock_static = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t* lock = &lock_static;

std::unique_ptr<std::thread> th_h;
std::atomic<bool> f_exit{false};
std::atomic<bool> f_released{false};
std::atomic<void (*)()> pass_hook{nullptr};

// Set before the writer starts, then read by the writer only.
time_t rot_last = 0;
time_t rot_period = 0;
char log_file_name[4096];
int dup_to_stderr = 1;
int _log_level = 20;

static_assert(std::atomic<bool>::is_always_lock_free);

int lock_logger() {
    if (lock == nullptr) return -1;
    return pthread_mutex_lock(lock) == 0 ? 0 : -1;
}

void unlock_logger() { pthread_mutex_unlock(lock); }

void write_all(int fd, const char* data, size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

// Appends a formatted piece at MSG + *len with the given total room.
void append_v(size_t* len, size_t room, const char* fmt, va_list ap) {
    if (*len + 1 >= room) return;
    const int n = vsnprintf(MSG + *len, room - *len, fmt, ap);
    if (n > 0) *len += std::min(static_cast<size_t>(n), room - *len - 1);
}

void append(size_t* len, size_t room, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void append(size_t* len, size_t room, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    append_v(len, room, fmt, ap);
    va_end(ap);
}

// Queues a copy of MSG[0, len). Called with the mutex held.
void queue_msg(size_t len) {
    if (!msg_q_list || f_released.load()) {
        write_all(STDERR_FILENO, MSG, len);
        return;
    }
    if (msg_q_tail >= MAX_MSG_CNT) {
        write_all(STDERR_FILENO, OVERFLOW_TEXT, sizeof OVERFLOW_TEXT - 1);
        return;
    }
    auto copy = std::make_unique_for_overwrite<char[]>(len + 1);
    memcpy(copy.get(), MSG, len + 1);
    queued_line& slot = msg_q_list[(msg_q_head + msg_q_tail) % MAX_MSG_CNT];
    slot.text = std::move(copy);
    slot.len = len;
    ++msg_q_tail;
}

// Without the mutex a line still reaches standard error, unqueued.
void emit_unlocked(const char* prefix, const char* fmt, va_list ap) {
    char line[4096];
    int n = snprintf(line, sizeof line, "%s", prefix);
    if (n < 0) n = 0;
    vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
    size_t len = strlen(line);
    if (len + 1 < sizeof line) line[len++] = '\n';
    write_all(STDERR_FILENO, line, len);
}

// Takes up to max lines off the queue in order.
void fetch_msgs(std::vector<queued_line>* out, size_t max) {
    out->clear();
    if (lock_logger() != 0) return;
    while (msg_q_tail > 0 && out->size() < max) {
        out->push_back(std::move(msg_q_list[msg_q_head]));
        msg_q_head = (msg_q_head + 1) % MAX_MSG_CNT;
        --msg_q_tail;
    }
    unlock_logger();
}

// Creates every parent directory of name; failures are left to the open.
void make_parents(const char* name) {
    std::string dir(name);
    for (size_t pos = dir.find('/'); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
        if (pos == 0) continue;
        mkdir(dir.substr(0, pos).c_str(), 0777);
    }
}

// Appends data to the log file, creating the file (and its directories) when
// it is missing, so a file removed from outside comes back at the next write.
void write_file(const std::string& data) {
    if (data.empty()) return;
    struct stat st;
    if (stat(log_file_name, &st) != 0) make_parents(log_file_name);
    const int fd = open(log_file_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    write_all(fd, data.data(), data.size());
    close(fd);
}

void rotate(time_t now) {
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    char suffix[32];
    strftime(suffix, sizeof suffix, "-%Y%m%d_%H%M%S", &tm_now);
    // The new name is cut to 4096 bytes like every path.
    char moved[sizeof log_file_name + sizeof suffix];
    snprintf(moved, sizeof moved, "%s%s", log_file_name, suffix);
    moved[sizeof log_file_name - 1] = '\0';
    rename(log_file_name, moved);  // no file yet is the normal first case
    rot_last = now;
}

// Writes one batch: standard error in one write, the log file with one open
// per batch, rotation still decided line by line.
void output_msgs(const std::vector<queued_line>& lines, std::string* err_buf, std::string* file_buf) {
    err_buf->clear();
    file_buf->clear();
    const bool to_file = log_file_name[0] != '\0';
    for (const queued_line& line : lines) {
        if (dup_to_stderr) err_buf->append(line.text.get(), line.len);
        if (!to_file) continue;
        const time_t now = time(nullptr);
        if (rot_last + rot_period < now) {
            write_file(*file_buf);
            file_buf->clear();
            rotate(now);
        }
        file_buf->append(line.text.get(), line.len);
    }
    if (!err_buf->empty()) write_all(STDERR_FILENO, err_buf->data(), err_buf->size());
    if (to_file) write_file(*file_buf);
}

void process_queue() {
    std::vector<queued_line> batch;
    batch.reserve(DRAIN_BATCH);
    std::string err_buf;
    std::string file_buf;
    for (;;) {
        fetch_msgs(&batch, DRAIN_BATCH);
        if (batch.empty()) return;
        output_msgs(batch, &err_buf, &file_buf);
    }
}

void run_pass_hook() {
    if (auto hook = pass_hook.load()) hook();
}

void logger_queue_proc() {
    while (!f_exit.load()) {
        run_pass_hook();
        process_queue();
        usleep(1000);
    }
    run_pass_hook();
    process_queue();
}

// Formats the "[%Y-%m-%d %H:%M:%S" stamp of sec into MSG + 2. Mutex held.
size_t put_stamp(time_t sec) {
    if (sec != stamp_sec) {
        struct tm tm_now;
        localtime_r(&sec, &tm_now);
        stamp_len = strftime(stamp_text, sizeof stamp_text, "[%Y-%m-%d %H:%M:%S", &tm_now);
        stamp_sec = sec;
    }
    const size_t n = std::min(stamp_len, STAMP_ROOM - 1);
    memcpy(MSG + 2, stamp_text, n);
    return 2 + n;
}

char marker_of(int type) {
    switch (type) {
        case 1: return '!';
        case 2: return '?';
        default: return ' ';
    }
}

}  // namespace

uint64_t timeGetTime() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

int logger_init(const char* log_file, int rotate_interval) {
    rot_period = rotate_interval;
    rot_last = 0;
    keelson::strlcpy(log_file_name, log_file != nullptr ? log_file : "", sizeof log_file_name);
    if (lock_logger() == 0) {
        msg_q_list = std::make_unique<queued_line[]>(MAX_MSG_CNT);
        msg_q_head = 0;
        msg_q_tail = 0;
        f_released = false;
        unlock_logger();
    }
    f_exit = false;
    th_h = std::make_unique<std::thread>(logger_queue_proc);
    return 0;
}

int logger_release() {
    if (!th_h || lock == nullptr || !msg_q_list) return -1;
    f_exit = true;
    th_h->join();
    th_h.reset();
    if (lock_logger() != 0) return -2;
    // Lines queued after the writer's last drain are dropped; later calls
    // go straight to standard error instead of waiting on a dead queue.
    f_released = true;
    msg_q_list.reset();
    msg_q_head = 0;
    msg_q_tail = 0;
    unlock_logger();
    return 0;
}

int logger_dup(int f) {
    dup_to_stderr = f;
    return f;
}

void logger_set_pass_hook(void (*hook)()) { pass_hook = hook; }

int logger_printf(int type, const char* message, ...) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const int ms = static_cast<int>(ts.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, message);
    if (lock_logger() != 0) {
        const char prefix[3] = {marker_of(type), ' ', '\0'};
        emit_unlocked(prefix, message, ap);
        va_end(ap);
        return 0;
    }
    MSG[0] = marker_of(type);
    MSG[1] = ' ';
    size_t len = put_stamp(ts.tv_sec);
    append(&len, LINE_ROOM, ".%.03d] ", ms);
    append_v(&len, LINE_ROOM, message, ap);
    va_end(ap);
    MSG[len++] = '\n';
    MSG[len] = '\0';
    queue_msg(len);
    unlock_logger();
    return 0;
}

int logger_message_v(int level, const char* file, int line, const char* function, const char* fmt,
                     va_list ap) {
    (void)level;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm_now;
    localtime_r(&ts.tv_sec, &tm_now);
    char date[64];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm_now);
    if (lock_logger() != 0) {
        emit_unlocked("", fmt, ap);
        return 0;
    }
    size_t len = 0;
    append(&len, MSG_SIZE - 1, "%s.%.3d [%s:%d:%s] ", date, static_cast<int>(ts.tv_nsec / 1000000), file,
           line, function);
    append_v(&len, MSG_SIZE - 1, fmt, ap);
    MSG[len++] = '\n';
    MSG[len] = '\0';
    queue_msg(len);
    unlock_logger();
    return 0;
}

int logger_message_send(int level, const char* file, int line, const char* function, const char* fmt, ...) {
    if (level > _log_level) return 0;
    va_list ap;
    va_start(ap, fmt);
    const int r = logger_message_v(level, file, line, function, fmt, ap);
    va_end(ap);
    return r;
}

int logger_message_level(int level) {
    _log_level = level;
    return level;
}
