// Tests that must change the process itself (an address-space limit) run in
// a forked child, so the rest of the suite never sees the change.
#pragma once

#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Runs body in a forked child, which the alarm ends after 30 s, and returns
// the child's exit status: body's value, or 128 + the signal that ended it.
inline int runInChild(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        alarm(30);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Limits the address space to what the process has mapped now plus extra
// bytes; false when the limit cannot be set.
inline bool limitAddressSpace(size_t extra) {
    long pages = 0, resident = 0;
    if (FILE *f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) pages = 0;
        fclose(f);
    }
    rlimit lim = {};
    getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + extra;
    return setrlimit(RLIMIT_AS, &lim) == 0;
}
