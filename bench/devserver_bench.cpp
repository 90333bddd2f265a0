// Throughput of vorn-devserver alone: pipelined SET requests from a raw-socket
// client, against the same client talking to a trivial echo process that sends
// back every byte it receives (the cost of the loopback socket itself). The
// ratio printed at the end is server throughput / echo throughput.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "devserver_process.h"

namespace {

constexpr int kBatch = 1000; // requests in flight per round trip

std::string g_server_bin;
pid_t g_server_pid = -1, g_echo_pid = -1;
int g_server_port = 0, g_echo_port = 0;
double g_server_rate = 0, g_echo_rate = 0;

bool startServer() {
    return startDevserver(g_server_bin, &g_server_pid, &g_server_port);
}

// The baseline peer: one process, one connection, every byte sent back.
bool startEcho() {
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(lfd, 4) != 0)
        return false;
    socklen_t sl = sizeof sa;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &sl);
    g_echo_port = ntohs(sa.sin_port);
    g_echo_pid = fork();
    if (g_echo_pid == 0) {
        for (;;) {
            int fd = accept(lfd, nullptr, nullptr);
            if (fd < 0) _exit(0);
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            static char buf[65536];
            ssize_t r;
            while ((r = read(fd, buf, sizeof buf)) > 0)
                for (ssize_t off = 0; off < r;) {
                    ssize_t w = write(fd, buf + off, size_t(r - off));
                    if (w <= 0) _exit(0);
                    off += w;
                }
            close(fd);
        }
    }
    close(lfd);
    return g_echo_pid > 0;
}

std::string batchOfSets() {
    std::string b;
    for (int i = 0; i < kBatch; i++) {
        std::string key = "key:" + std::to_string(i % 10000);
        b += "*3\r\n$3\r\nSET\r\n$" + std::to_string(key.size()) + "\r\n" + key +
             "\r\n$16\r\nvalue-0123456789\r\n";
    }
    return b;
}

bool roundTrip(int fd, const std::string &req, size_t expect, std::string &scratch) {
    for (size_t off = 0; off < req.size();) {
        ssize_t w = write(fd, req.data() + off, req.size() - off);
        if (w <= 0) return false;
        off += size_t(w);
    }
    size_t got = 0;
    scratch.resize(65536);
    while (got < expect) {
        ssize_t r = read(fd, scratch.data(), scratch.size());
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

void run(benchmark::State &state, int port, size_t reply_bytes, double &rate) {
    int fd = connectTo(port);
    if (fd < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    std::string req = batchOfSets(), scratch;
    auto t0 = std::chrono::steady_clock::now();
    long long done = 0;
    for (auto _ : state) {
        if (!roundTrip(fd, req, reply_bytes, scratch)) {
            state.SkipWithError("connection failed");
            break;
        }
        done += kBatch;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (secs > 0) rate = double(done) / secs;
    state.SetItemsProcessed(done);
    close(fd);
}

void BM_DevserverPipelinedSet(benchmark::State &state) {
    run(state, g_server_port, size_t(kBatch) * 5, g_server_rate); // "+OK\r\n" each
}
void BM_EchoBaseline(benchmark::State &state) {
    run(state, g_echo_port, batchOfSets().size(), g_echo_rate);
}
BENCHMARK(BM_EchoBaseline)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DevserverPipelinedSet)->MinTime(2.0)->UseRealTime();

std::string findServer(const char *argv0) {
    if (const char *d = getenv("VORN_BIN_DIR")) return std::string(d) + "/vorn-devserver";
    std::string dir = argv0;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    for (const char *rel : {"/vorn-devserver", "/../vorn-devserver"})
        if (access((dir + rel).c_str(), X_OK) == 0) return dir + rel;
    return "vorn-devserver";
}

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    g_server_bin = findServer(argv[0]);
    if (!startServer()) {
        fprintf(stderr, "devserver_bench: cannot start %s\n", g_server_bin.c_str());
        return 1;
    }
    if (!startEcho()) {
        fprintf(stderr, "devserver_bench: cannot start the echo baseline\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(g_server_pid, SIGTERM);
    kill(g_echo_pid, SIGTERM);
    waitpid(g_server_pid, nullptr, 0);
    waitpid(g_echo_pid, nullptr, 0);
    printf("vorn-devserver pipelined SET: %.0f req/s; echo baseline: %.0f req/s; "
           "ratio %.2f (goal >= 300000 req/s)\n",
           g_server_rate, g_echo_rate, g_echo_rate > 0 ? g_server_rate / g_echo_rate : 0.0);
    return 0;
}
