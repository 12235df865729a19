// Runs an external program to completion on the calling thread.
#pragma once

#include <sys/types.h>

// Results: 0 the child exited with 0; -4 it exited with another status; -3 it
// was ended by a signal; -2 waiting failed; any other negative value is the
// negated error number of a failed redirection or spawn.
//
// app is searched in PATH when it holds no '/'. envs null means an empty
// environment. stdout_file/stderr_file null mean "/dev/null"; named files are
// opened read-write, created with mode 0644, neither truncated nor appended.
// *pid (when pid is not null) holds the child's id while it runs, then 0.
int execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
            const char* stderr_file);

// fork/execve variant: app is used as a path, pid must not be null, files are
// created with mode 027, and a failed fork gives -1.
int _execute(const char* app, int* pid, char* const* argc, char* const* envs, const char* stdout_file,
             const char* stderr_file);

// Reaps every child that has ended. Async-signal-safe: the SIGCHLD handler
// calls it. A child that a launcher call is waiting for keeps its status for
// that call, so reaping here never turns a launcher's result into -2.
void execute_reap_children();
