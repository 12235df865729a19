// Asynchronous logger: any thread formats and queues a line; one writer
// thread puts the lines on standard error and into a rotating log file.
#pragma once

#include <cstdarg>
#include <cstdint>

constexpr int MAX_MSG_LEN = 128000;
constexpr int MAX_MSG_CNT = 500000;

// Starts the writer thread. Called once, after option parsing and detaching.
int logger_init(const char* log_file, int rotate_interval);

// Stops the writer after it has written out every queued line. -1 when the
// logger never ran, -2 when its mutex cannot be taken, else 0.
int logger_release();

// Non-zero: every line is also written to standard error (the default).
int logger_dup(int f);

// One line: marker ('!' for type 1, '?' for type 2, else blank), local time
// stamp with milliseconds, then the text. The logger adds the newline.
int logger_printf(int type, const char* message, ...) __attribute__((format(printf, 2, 3)));

// Levelled lines with the source position; dropped above the level threshold.
int logger_message_send(int level, const char* file, int line, const char* function, const char* fmt,
                        ...) __attribute__((format(printf, 5, 6)));
int logger_message_v(int level, const char* file, int line, const char* function, const char* fmt,
                     va_list ap) __attribute__((format(printf, 5, 0)));
int logger_message_level(int level);

// Milliseconds since the epoch.
uint64_t timeGetTime();

// A function the writer thread calls before every drain, outside the logger's
// mutex. It lets code that must not log itself (a signal handler) have its
// lines written promptly from a normal thread.
void logger_set_pass_hook(void (*hook)());

#define LOG_MESSAGE(level, fmt, ...) \
    logger_message_send(level, __FILE__, __LINE__, __FUNCTION__, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_E(fmt, ...) LOG_MESSAGE(0, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_N(fmt, ...) LOG_MESSAGE(10, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_D(fmt, ...) LOG_MESSAGE(20, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_T(fmt, ...) LOG_MESSAGE(30, fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_NP LOG_E("%s", "NOT IMPLEMENTED")
#define LOG_PL LOG_E("%s", "")
#define LOG_TD LOG_T("%s", "TODO")
