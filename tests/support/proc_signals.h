// Whether a process has put in a handler of its own for a signal, read from
// /proc. A daemon logs its banner before its handlers are in place, and a
// signal sent in between meets the default action; tests that stop one wait
// for this first. Header-only, for the benchmarks that share test harnesses.
#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

inline bool process_catches(pid_t pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        return (mask >> (sig - 1)) & 1;
    }
    return false;
}
