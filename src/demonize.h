// Detaching from the terminal, the signal handlers and the exit flag, and the
// microsecond clock used to time external steps.
#pragma once

#include <atomic>

// 0 in the detached child, 1 after a failure (message on standard error).
// The parent of the fork exits with status 0 and never returns.
int demonize();

// Installs the handlers: SIGINT, SIGTERM, SIGHUP and SIGALRM raise *exit_flag;
// SIGCHLD and SIGPIPE reap ended children. The "catched" line of each signal
// is written from the logger's writer thread (see signals_flush).
void signals(std::atomic<int>* exit_flag);

// Raises the exit flag and records the signal for its log line; never logs
// itself, so it cannot block on the logger's mutex.
void sighandler(int sig);
void sighandler_ignore(int sig);

// Logs "sighandler: [%d] catched %d" once for every signal received since the
// last call. Runs on a normal thread; main calls it before its shutdown lines
// so that the signal line always precedes them.
void signals_flush();

// Microseconds since the epoch.
long long get_current_timestamp();
