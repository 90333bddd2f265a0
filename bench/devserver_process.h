// Starting vorn-devserver for the C++ benchmarks (on a free port, which its
// ready line names) and connecting to a loopback port.
#pragma once

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// A TCP connection to the loopback port with TCP_NODELAY, retried for up to
// two seconds while the peer comes up; -1 when it never does.
inline int connectTo(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; i++) {
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        usleep(20000);
    }
    close(fd);
    return -1;
}

// Starts bin with --port 0 (and the extra arguments); fills pid and port.
inline bool startDevserver(const std::string &bin, pid_t *pid, int *port) {
    int p[2];
    if (pipe(p) != 0) return false;
    *pid = fork();
    if (*pid == 0) {
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        execl(bin.c_str(), "vorn-devserver", "--port", "0", (char *)nullptr);
        _exit(127);
    }
    close(p[1]);
    char line[256] = {0};
    size_t n = 0;
    while (n < sizeof line - 1 && read(p[0], line + n, 1) == 1 && line[n] != '\n')
        n++;
    close(p[0]);
    return *pid > 0 && sscanf(line, "ready port=%d", port) == 1;
}
