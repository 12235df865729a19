// Runs an external program to completion on the calling thread.
#pragma once

#include <sys/types.h>

#include <atomic>

// Results: 0 the child exited with 0; -4 it exited with another status; -3 it
// was ended by a signal; -2 waiting failed; any other negative value is the
// negated error number of a failed redirection or spawn.
//
// app is searched in PATH when it holds no '/'. envs null means an empty
// environment. stdout_file/stderr_file null mean "/dev/null"; named files are
// opened read-write, created with mode 0644, neither truncated nor appended.
// *pid (when pid is not null) holds the child's id while it runs, then 0.
// The child leads a process group of its own (its id is the group's).
int execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
            const char* stderr_file);

// fork/execve variant: app is used as a path, pid must not be null, files are
// created with mode 027, and a failed fork gives -1. Its child leads a group
// of its own too.
int _execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
             const char* stderr_file);

// Reaps every child that has ended. Async-signal-safe: the SIGCHLD handler
// calls it. A child that a launcher call is waiting for keeps its status for
// that call, so reaping here never turns a launcher's result into -2.
void execute_reap_children();

// A run that shows no progress for this long is taken as hung.
constexpr int EXECUTE_STALL_SECONDS = 120;
// Once the daemon stops, a run idle for this long is taken as hung; one that
// makes progress still completes.
constexpr int EXECUTE_STOP_STALL_SECONDS = 5;

// What a watched run looks at. Progress is any change in the size of one of
// files or in the child's own read and write counters (/proc/<pid>/io), so
// a long rewrite in place counts as well as a growing output.
struct execute_watch {
    const std::atomic<int>* exit_flag = nullptr;  // the daemon's p_exit; null: no stop
    const char* files[4] = {};                    // null entries are skipped
    int stall_seconds = EXECUTE_STALL_SECONDS;
    int stop_stall_seconds = EXECUTE_STOP_STALL_SECONDS;
    // Set by the run: the idle period after which the child was killed with
    // its whole process group (SIGKILL, so the result is -3), 0 when it ended
    // by itself.
    int stalled = 0;
};

// execute, with the child watched for progress once a second while it runs.
// Writes no log line: the caller reports a stalled run.
int execute_watched(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
                    const char* stderr_file, execute_watch* watch);
