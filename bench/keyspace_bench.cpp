// Key-space walks over a 1,000,000-key database: vorn-cli --scan, --bigkeys
// and --memkeys in keys per second, against a bare SCAN walk (SCAN only,
// through the same protocol library, no per-key query) measured in the same
// run; and round trips per SCAN batch, counted by a relay between vorn-cli
// and the server on a smaller database. Also --latency: vorn-cli's CPU per
// PING sample against a bare loop doing the same PING and 10 ms pause.
// Every measurement is repeated three times and the best run counts.
//
//   KEYSPACE_BENCH_KEYS  keys of the big database (default 1000000)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "devserver_process.h"
#include "hivorn/hivorn.h"

extern char **environ;

namespace {

std::string g_dir; // folder of vorn-cli and vorn-devserver
pid_t g_server_pid = -1;
int g_port = 0;
long g_keys = 1000000;
const long kRelayKeys = 20000; // database 1, walked through the relay

struct Result {
    double keys_per_s = 0;
    double trips_per_batch = 0;
};
Result g_bare, g_scan, g_bigkeys, g_memkeys;
double g_cli_cpu_per_ping = 0, g_bare_cpu_per_ping = 0, g_bare_rtt_us = 0, g_cli_start_cpu = 0;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool startServer() {
    return startDevserver(g_dir + "/vorn-devserver", &g_server_pid, &g_port);
}

std::string req(std::initializer_list<std::string> args) {
    std::string r = "*" + std::to_string(args.size()) + "\r\n";
    for (const std::string &a : args)
        r += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    return r;
}

// Sends the requests and reads until `replies` complete reply lines have come
// (every request here answers with one line: +OK or :n).
bool pipeline(int fd, const std::string &out, long replies) {
    for (size_t off = 0; off < out.size();) {
        ssize_t w = write(fd, out.data() + off, out.size() - off);
        if (w <= 0) return false;
        off += size_t(w);
    }
    char buf[65536];
    long seen = 0;
    while (seen < replies) {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0) return false;
        for (ssize_t i = 0; i < r; i++)
            seen += buf[i] == '\n';
    }
    return true;
}

// Mostly strings, with some lists, hashes and sets, as a real cache holds.
bool populate(int db, long keys) {
    int fd = connectTo(g_port);
    if (fd < 0) return false;
    bool ok = pipeline(fd, req({"SELECT", std::to_string(db)}), 1);
    for (long start = 0; ok && start < keys; start += 10000) {
        std::string out;
        long n = std::min(10000L, keys - start);
        for (long i = start; i < start + n; i++) {
            std::string k = "key:" + std::to_string(i);
            switch (i % 100) {
            case 0:
                out += req({"RPUSH", k, "a", "bb", "ccc"});
                break;
            case 1:
                out += req({"HSET", k, "f", "v"});
                break;
            case 2:
                out += req({"SADD", k, "m1", "m2"});
                break;
            default:
                out += req({"SET", k, std::string(size_t(i % 32), 'v')});
            }
        }
        ok = pipeline(fd, out, n);
    }
    close(fd);
    return ok;
}

// Runs vorn-cli with the arguments, stdout to /dev/null or into out;
// returns the wall time, and the child's CPU seconds in cpu.
double runCli(const std::vector<std::string> &args, double *cpu = nullptr,
              std::string *out = nullptr) {
    std::vector<char *> argv;
    std::string bin = g_dir + "/vorn-cli";
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2];
    if (pipe(p) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (out)
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    posix_spawn_file_actions_addclose(&fa, p[1]);
    double t0 = now();
    pid_t pid;
    if (posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv.data(), environ) != 0) return -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    char buf[4096];
    ssize_t r;
    while ((r = read(p[0], buf, sizeof buf)) > 0)
        if (out) out->append(buf, size_t(r));
    close(p[0]);
    int status;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    double wall = now() - t0;
    if (cpu)
        *cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? wall : -1;
}

// A relay between the client and the server that counts round trips: each
// time the client writes again after the server has answered. SCAN requests
// are counted in the client's bytes.
struct Relay {
    int listen_fd = -1, port = 0;
    long trips = 0, scans = 0;
    std::thread th;

    bool start() {
        listen_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            listen(listen_fd, 1) != 0)
            return false;
        socklen_t sl = sizeof sa;
        getsockname(listen_fd, reinterpret_cast<sockaddr *>(&sa), &sl);
        port = ntohs(sa.sin_port);
        th = std::thread([this] { run(); });
        return true;
    }
    void run() {
        int c = accept(listen_fd, nullptr, nullptr);
        int s = connectTo(g_port);
        bool answered = true;
        std::string tail; // the end of the previous piece, for split words
        char buf[65536];
        pollfd fds[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, 30000) <= 0) break;
            if (fds[0].revents) {
                ssize_t r = read(c, buf, sizeof buf);
                if (r <= 0) break;
                if (answered) trips++;
                answered = false;
                std::string piece = tail + std::string(buf, size_t(r));
                for (size_t p = piece.find("SCAN\r\n"); p != std::string::npos;
                     p = piece.find("SCAN\r\n", p + 1))
                    if (p >= tail.size() || p + 6 > tail.size()) scans++;
                tail = piece.substr(piece.size() > 8 ? piece.size() - 8 : 0);
                if (write(s, buf, size_t(r)) != r) break;
            }
            if (fds[1].revents) {
                ssize_t r = read(s, buf, sizeof buf);
                if (r <= 0) break;
                answered = true;
                if (write(c, buf, size_t(r)) != r) break;
            }
        }
        close(c);
        close(s);
    }
    void join() {
        th.join();
        close(listen_fd);
    }
};

void walk(benchmark::State &state, const char *mode, Result &res) {
    for (auto _ : state) {
        double wall = runCli({"-p", std::to_string(g_port), mode});
        if (wall <= 0) {
            state.SkipWithError("vorn-cli failed");
            return;
        }
        // Best of the repetitions: the machine's noise only ever slows a run.
        res.keys_per_s = std::max(res.keys_per_s, double(g_keys) / wall);
        state.SetIterationTime(wall);
    }
    if (res.trips_per_batch > 0) return; // counted once
    Relay relay;
    if (!relay.start()) return;
    runCli({"-p", std::to_string(relay.port), "-n", "1", mode});
    relay.join();
    // DBSIZE and the first SCAN are the requests outside the batches (the
    // later SCANs travel with the TYPE queries).
    long outside = strcmp(mode, "--scan") == 0 ? 0 : 2;
    res.trips_per_batch = relay.scans ? double(relay.trips - outside) / double(relay.scans) : 0;
    state.counters["keys/s"] = res.keys_per_s;
    state.counters["trips/batch"] = res.trips_per_batch;
}

void BM_BareScanWalk(benchmark::State &state) {
    for (auto _ : state) {
        vornContext *c = vornConnect("127.0.0.1", g_port);
        double t0 = now();
        unsigned long long cursor = 0;
        long keys = 0, scans = 0;
        do {
            vornReply *r = static_cast<vornReply *>(vornCommand(c, "SCAN %llu", cursor));
            if (r == nullptr || r->type != VORN_REPLY_ARRAY || r->elements != 2) {
                state.SkipWithError("SCAN failed");
                return;
            }
            cursor = strtoull(r->element[0]->str, nullptr, 10);
            keys += long(r->element[1]->elements);
            scans++;
            freeReplyObject(r);
        } while (cursor != 0);
        double wall = now() - t0;
        vornFree(c);
        g_bare.keys_per_s = std::max(g_bare.keys_per_s, double(keys) / wall);
        g_bare.trips_per_batch = 1;
        state.SetIterationTime(wall);
        state.counters["keys/s"] = g_bare.keys_per_s;
    }
}
void BM_CliScan(benchmark::State &state) {
    walk(state, "--scan", g_scan);
}
void BM_CliBigkeys(benchmark::State &state) {
    walk(state, "--bigkeys", g_bigkeys);
}
void BM_CliMemkeys(benchmark::State &state) {
    walk(state, "--memkeys", g_memkeys);
}
BENCHMARK(BM_BareScanWalk)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CliScan)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CliBigkeys)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CliMemkeys)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double threadCpu() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// vorn-cli --latency for 3 seconds (raw form: one line with the sample
// count), against the same PING + 10 ms pause loop done bare.
void BM_LatencyCpuPerPing(benchmark::State &state) {
    for (auto _ : state) {
        vornContext *c = vornConnect("127.0.0.1", g_port);
        const int n = 300;
        double cpu0 = threadCpu(), t0 = now(), rtt = 0;
        for (int i = 0; i < n; i++) {
            double s = now();
            freeReplyObject(vornCommand(c, "PING"));
            rtt += now() - s;
            usleep(10000);
        }
        // Least of the repetitions, for both: noise only ever adds.
        double bare = (threadCpu() - cpu0) / n;
        if (g_bare_cpu_per_ping == 0 || bare < g_bare_cpu_per_ping) g_bare_cpu_per_ping = bare;
        g_bare_rtt_us = rtt / n * 1e6;
        double bare_wall = now() - t0;
        vornFree(c);

        // Starting the process (loading, linking, option parsing) is paid
        // once per run, not per sample: measured apart and taken off.
        double start_cpu = 1e9;
        for (int i = 0; i < 5; i++) {
            double c1 = 0;
            runCli({"--version"}, &c1);
            start_cpu = std::min(start_cpu, c1);
        }
        double cpu = 0;
        std::string out;
        double wall = runCli({"-p", std::to_string(g_port), "--latency", "-i", "3"}, &cpu, &out);
        long long mn, mx, count = 0;
        double avg;
        if (wall <= 0 || sscanf(out.c_str(), "%lld %lld %lf %lld", &mn, &mx, &avg, &count) != 4 ||
            count == 0) {
            state.SkipWithError("vorn-cli --latency failed");
            return;
        }
        double per = (cpu - start_cpu) / double(count);
        if (g_cli_cpu_per_ping == 0 || per < g_cli_cpu_per_ping) g_cli_cpu_per_ping = per;
        g_cli_start_cpu = start_cpu;
        state.SetIterationTime(bare_wall);
        state.counters["cli_cpu_us"] = per * 1e6;
        state.counters["bare_cpu_us"] = bare * 1e6;
    }
}
BENCHMARK(BM_LatencyCpuPerPing)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

std::string binDir(const char *argv0) {
    if (const char *d = getenv("VORN_BIN_DIR")) return d;
    std::string dir = argv0;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash);
    for (const char *rel : {"", "/.."})
        if (access((dir + rel + "/vorn-devserver").c_str(), X_OK) == 0) return dir + rel;
    return ".";
}

} // namespace

int main(int argc, char **argv) {
    signal(SIGPIPE, SIG_IGN);
    g_dir = binDir(argv[0]);
    if (const char *k = getenv("KEYSPACE_BENCH_KEYS")) g_keys = atol(k);
    if (!startServer() || !populate(0, g_keys) || !populate(1, kRelayKeys)) {
        fprintf(stderr, "keyspace_bench: cannot start or fill vorn-devserver in %s\n",
                g_dir.c_str());
        if (g_server_pid > 0) kill(g_server_pid, SIGTERM);
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(g_server_pid, SIGTERM);
    waitpid(g_server_pid, nullptr, 0);

    printf("%ld keys; bare SCAN walk (baseline): %.0f keys/s, 1 round trip per batch\n", g_keys,
           g_bare.keys_per_s);
    const struct {
        const char *name;
        const Result &r;
        int goal;
    } rows[] = {{"--scan", g_scan, 1}, {"--bigkeys", g_bigkeys, 2}, {"--memkeys", g_memkeys, 2}};
    for (auto &row : rows)
        printf("vorn-cli %-9s %9.0f keys/s, ratio %.2fx the bare walk; %.2f round trips per "
               "SCAN batch (goal %d: SCAN%s)\n",
               row.name, row.r.keys_per_s,
               g_bare.keys_per_s > 0 ? row.r.keys_per_s / g_bare.keys_per_s : 0.0,
               row.r.trips_per_batch, row.goal,
               row.goal == 1 ? "" : " with TYPE, then the size query");
    printf("(goal: --bigkeys >= 0.40x the bare walk)\n");
    printf("--latency: vorn-cli %.1f us CPU per sample (process start %.1f ms apart), bare "
           "loop %.1f us (round trip %.1f us wall); overhead %.1f us per PING (goal < 20 us)\n",
           g_cli_cpu_per_ping * 1e6, g_cli_start_cpu * 1e3, g_bare_cpu_per_ping * 1e6,
           g_bare_rtt_us, (g_cli_cpu_per_ping - g_bare_cpu_per_ping) * 1e6);
    return 0;
}
