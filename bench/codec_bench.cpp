// Throughput of the reply reader and the request encoder, each next to a
// baseline that does only the unavoidable work on the same bytes. The reader
// is fed in pieces of 16 KiB, as a connection does, and asked for a reply
// after every piece. At the end the ratio of every benchmark to its baseline,
// both measured in this run, is printed with its goal.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "hivorn/hivorn.h"

namespace {

constexpr size_t kPiece = 16 * 1024;

std::string bulk64MiB() {
    const size_t n = 64u << 20;
    std::string w = "$";
    w.append(std::to_string(n)).append("\r\n").append(n, 'x').append("\r\n");
    return w;
}

std::string arrayOfBulks() {
    std::string w = "*1000000\r\n";
    w.reserve(w.size() + 1000000 * 17);
    for (int i = 0; i < 1000000; i++)
        w += "$10\r\n0123456789\r\n";
    return w;
}

std::string arrayOfIntegers() {
    std::string w = "*1000000\r\n";
    for (int i = 0; i < 1000000; i++)
        w.append(":").append(std::to_string(i * 7919LL)).append("\r\n");
    return w;
}

std::string mapOfPairs() {
    std::string w = "%100000\r\n";
    for (int i = 0; i < 100000; i++) {
        std::string k = "key:";
        k.append(std::to_string(i));
        w.append("$").append(std::to_string(k.size())).append("\r\n").append(k);
        w.append("\r\n:").append(std::to_string(i)).append("\r\n");
    }
    return w;
}

// Feeds the wire in pieces, asking for the reply after each; returns the tree.
vornReply *readAll(const std::string &wire) {
    vornReader *r = vornReaderCreate();
    void *reply = nullptr;
    for (size_t off = 0; off < wire.size() && reply == nullptr; off += kPiece) {
        size_t n = wire.size() - off < kPiece ? wire.size() - off : kPiece;
        if (vornReaderFeed(r, wire.data() + off, n) != VORN_OK ||
            vornReaderGetReply(r, &reply) != VORN_OK) {
            fprintf(stderr, "reader failed: %s\n", r->errstr);
            abort();
        }
    }
    vornReaderFree(r);
    if (reply == nullptr) abort();
    return static_cast<vornReply *>(reply);
}

void runReader(benchmark::State &state, const std::string &wire, size_t items) {
    for (auto _ : state) {
        vornReply *reply = readAll(wire);
        benchmark::DoNotOptimize(reply);
        freeReplyObject(reply);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * items));
}

void BM_ReadBulk64MiB(benchmark::State &state) {
    static const std::string wire = bulk64MiB();
    runReader(state, wire, 1);
}

// The same bulk string through the direct path, as a connection takes it:
// the header and a first piece fed, then the rest written straight into the
// string in the room the reader offers (at most 1 MiB at a time, about what
// one receive from a loopback socket brings), the copy standing for the
// kernel's. With `fresh`, the block the allocator keeps after a large free
// is given back before each value, so every value faults its pages in anew,
// as the first large reply of a process does.
void readDirect(benchmark::State &state, bool fresh) {
    static const std::string wire = bulk64MiB();
    const size_t kRecv = 1u << 20;
    for (auto _ : state) {
        if (fresh) hivornReleaseKeptMemory();
        vornReader *r = vornReaderCreate();
        void *reply = nullptr;
        size_t off = kPiece;
        if (vornReaderFeed(r, wire.data(), kPiece) != VORN_OK ||
            vornReaderGetReply(r, &reply) != VORN_OK)
            abort();
        while (reply == nullptr) {
            char *dst;
            size_t room = vornReaderDirectRoom(r, &dst);
            size_t n = std::min({room, kRecv, wire.size() - off});
            if (room == 0 || n == 0) abort(); // the whole payload must go direct
            memcpy(dst, wire.data() + off, n);
            vornReaderDirectCommit(r, n);
            off += n;
            if (vornReaderGetReply(r, &reply) != VORN_OK) abort();
        }
        benchmark::DoNotOptimize(reply);
        freeReplyObject(reply);
        vornReaderFree(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// One large value after another: each is written into the pages of the one
// before.
void BM_ReadBulk64MiBDirect(benchmark::State &state) {
    readDirect(state, false);
}

void BM_ReadBulk64MiBDirectFresh(benchmark::State &state) {
    readDirect(state, true);
}

// Baseline: copying the same bytes once.
void BM_BaseMemcpy64MiB(benchmark::State &state) {
    static const std::string wire = bulk64MiB();
    std::vector<char> dst(wire.size());
    for (auto _ : state) {
        memcpy(dst.data(), wire.data(), wire.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Baseline: copying the same bytes once into a new allocation, which is the
// least a reader handing out a string of its own must do (the new pages are
// faulted in on first touch, as they are for the reader).
void BM_BaseMemcpyFresh64MiB(benchmark::State &state) {
    static const std::string wire = bulk64MiB();
    for (auto _ : state) {
        char *dst = static_cast<char *>(malloc(wire.size()));
        memcpy(dst, wire.data(), wire.size());
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
        free(dst);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_ReadArray1MBulks(benchmark::State &state) {
    static const std::string wire = arrayOfBulks();
    runReader(state, wire, 1000000);
}

// Baseline: find every line end and make (and release) the two allocations a
// string node needs, nothing else.
void BM_BaseScanAlloc1MBulks(benchmark::State &state) {
    static const std::string wire = arrayOfBulks();
    std::vector<void *> nodes(2 * 1000000);
    for (auto _ : state) {
        const char *p = wire.data(), *end = p + wire.size();
        p = static_cast<const char *>(memchr(p, '\r', static_cast<size_t>(end - p))) + 2;
        size_t k = 0;
        while (p < end) {
            const char *cr =
                static_cast<const char *>(memchr(p, '\r', static_cast<size_t>(end - p)));
            size_t len = static_cast<size_t>(atoi(p + 1));
            void *node = calloc(1, sizeof(vornReply));
            char *str = static_cast<char *>(malloc(len + 1));
            memcpy(str, cr + 2, len);
            str[len] = '\0';
            nodes[k++] = node;
            nodes[k++] = str;
            p = cr + 2 + len + 2;
        }
        benchmark::DoNotOptimize(nodes.data());
        for (size_t i = 0; i < k; i++)
            free(nodes[i]);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 1000000));
}

void BM_ReadArray1MIntegers(benchmark::State &state) {
    static const std::string wire = arrayOfIntegers();
    runReader(state, wire, 1000000);
}

void BM_ReadMap100kPairs(benchmark::State &state) {
    static const std::string wire = mapOfPairs();
    runReader(state, wire, 100000);
}

void BM_EncodeSet1M(benchmark::State &state) {
    const char *argv[] = {"SET", "key:000000000001", "value-0123456789"};
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (int i = 0; i < 1000000; i++) {
            hisds cmd;
            long long n = vornFormatSdsCommandArgv(&cmd, 3, argv, nullptr);
            benchmark::DoNotOptimize(cmd);
            bytes += static_cast<size_t>(n);
            hi_sdsfree(cmd);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 1000000));
}

// Baseline: copying the already encoded request a million times.
void BM_BaseMemcpySet1M(benchmark::State &state) {
    const char *argv[] = {"SET", "key:000000000001", "value-0123456789"};
    hisds enc;
    long long n = vornFormatSdsCommandArgv(&enc, 3, argv, nullptr);
    std::vector<char> dst(static_cast<size_t>(n) * 1024);
    for (auto _ : state) {
        for (int i = 0; i < 1000000; i++) {
            memcpy(dst.data() + static_cast<size_t>(n) * (i % 1024), enc, static_cast<size_t>(n));
            benchmark::ClobberMemory();
        }
    }
    hi_sdsfree(enc);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 1000000 * n));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 1000000));
}

BENCHMARK(BM_ReadBulk64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBulk64MiBDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadBulk64MiBDirectFresh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaseMemcpy64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaseMemcpyFresh64MiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadArray1MBulks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaseScanAlloc1MBulks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadArray1MIntegers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMap100kPairs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeSet1M)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaseMemcpySet1M)->Unit(benchmark::kMillisecond);

// Keeps the rates of every run so the ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const auto &run : runs) {
            auto items = run.counters.find("items_per_second");
            auto bytes = run.counters.find("bytes_per_second");
            if (items != run.counters.end()) itemRate[run.benchmark_name()] = items->second;
            if (bytes != run.counters.end()) byteRate[run.benchmark_name()] = bytes->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void printRatios() const {
        struct Goal {
            const char *name, *base;
            bool byItems;
            double ratio, minItemRate;
        };
        const Goal goals[] = {
            {"BM_ReadBulk64MiB", "BM_BaseMemcpy64MiB", false, 0, 0},
            {"BM_ReadBulk64MiB", "BM_BaseMemcpyFresh64MiB", false, 0.4, 0},
            {"BM_ReadBulk64MiBDirect", "BM_BaseMemcpy64MiB", false, 0.4, 0},
            {"BM_ReadBulk64MiBDirect", "BM_BaseMemcpyFresh64MiB", false, 0, 0},
            {"BM_ReadBulk64MiBDirectFresh", "BM_BaseMemcpy64MiB", false, 0, 0},
            {"BM_ReadBulk64MiBDirectFresh", "BM_BaseMemcpyFresh64MiB", false, 0, 0},
            {"BM_ReadArray1MBulks", "BM_BaseScanAlloc1MBulks", true, 0.5, 10e6},
            {"BM_ReadArray1MIntegers", "BM_BaseScanAlloc1MBulks", true, 0, 0},
            {"BM_ReadMap100kPairs", "BM_BaseScanAlloc1MBulks", true, 0, 0},
            {"BM_EncodeSet1M", "BM_BaseMemcpySet1M", true, 0, 10e6},
        };
        printf("\n%-28s %-25s %12s %8s  %s\n", "benchmark", "baseline", "items/s", "ratio", "goal");
        for (const auto &g : goals) {
            const auto &rates = g.byItems ? itemRate : byteRate;
            auto a = rates.find(g.name), b = rates.find(g.base);
            auto items = itemRate.find(g.name);
            if (a == rates.end() || b == rates.end() || items == itemRate.end()) continue;
            double ratio = a->second / b->second;
            std::string goal;
            bool met = true;
            if (g.ratio > 0) {
                goal += "ratio >= " + std::to_string(g.ratio).substr(0, 3);
                met = met && ratio >= g.ratio;
            }
            if (g.minItemRate > 0) {
                goal += std::string(goal.empty() ? "" : ", ") +
                        ">= " + std::to_string(static_cast<int>(g.minItemRate / 1e6)) + "M items/s";
                met = met && items->second >= g.minItemRate;
            }
            if (goal.empty())
                goal = "(reported only)";
            else
                goal += met ? " met" : " NOT met";
            printf("%-28s %-25s %12.3g %8.3f  %s\n", g.name, g.base, items->second, ratio,
                   goal.c_str());
        }
    }

  private:
    std::map<std::string, double> itemRate, byteRate;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatios();
    benchmark::Shutdown();
    return 0;
}
