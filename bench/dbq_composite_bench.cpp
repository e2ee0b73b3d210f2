// The composite queue's own cost: DBQComposite against DBQSingle doing the same first-in
// first-out work (append N records of one size, then remove them oldest first, reading each).
// With the default 100 MiB limit everything stays in one member, so the difference is the
// composite's layer (its lock, the size test before each append, the book-keeping); a second
// composite run with a 4 MiB limit adds rotation through new and drained files. Each case
// runs several times; the summary takes the median CPU time (user and system) per phase and
// prints composite / single (target: within 10%, a ratio of at least 0.90). The dump command
// is measured against its peers by vaudumpat_bench.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "vfw/dbq_composite.h"

namespace {

struct Workload {
    int records;
    int length;
};

const Workload WORKLOADS[] = {{100000, 256}, {20000, 4000}};
const int REPETITIONS = 5;

// Seconds per phase by case name and record length, one entry per repetition.
struct Phases {
    std::vector<double> append;
    std::vector<double> remove;
};
std::map<std::string, std::map<int, Phases>> g_phases;

void appendAndRemove(benchmark::State& state, const std::string& name, vfw::DBQ& queue,
                     const Workload& w) {
    vfw::ByteArray record = bench::patternRecord(w.length);
    double start = bench::cpuSeconds();
    for (int i = 0; i < w.records; ++i) {
        queue.enqueue(record, uint32_t(w.length));
    }
    double append = bench::cpuSeconds() - start;
    start = bench::cpuSeconds();
    for (int i = 0; i < w.records; ++i) {
        vfw::ByteArray data;
        uint32_t length = 0;
        queue.dequeue(data, length);
        benchmark::DoNotOptimize(data.get());
    }
    double remove = bench::cpuSeconds() - start;
    if (!queue.isEmpty()) {
        state.SkipWithError("queue not drained");
    }
    g_phases[name][w.length].append.push_back(append);
    g_phases[name][w.length].remove.push_back(remove);
    state.SetIterationTime(append + remove);
    state.counters["append_ops_per_s"] = w.records / append;
    state.counters["remove_ops_per_s"] = w.records / remove;
}

void single(benchmark::State& state, Workload w) {
    for (auto _ : state) {
        std::string path = bench::scratchPath("dbqc-bench", "single");
        vfw::DBQSingle queue(512);
        if (!queue.open(path, 1, 0600, true, "bench")) {
            state.SkipWithError("open failed");
            return;
        }
        appendAndRemove(state, "DBQSingle", queue, w);
        queue.destroy();
    }
}

void composite(benchmark::State& state, Workload w, uint64_t limit, const char* name) {
    for (auto _ : state) {
        std::string path = bench::scratchPath("dbqc-bench", "composite");
        vfw::DBQComposite queue(512);
        queue.setMaxSize(limit);
        if (!queue.open(path, 1, 0600, true, "bench")) {
            state.SkipWithError("open failed");
            return;
        }
        appendAndRemove(state, name, queue, w);
        queue.destroy();
    }
}

void printQueueRatios() {
    std::printf(
        "\nDBQComposite / DBQSingle, operations per CPU second, medians of %d runs "
        "(target >= 0.90x)\n",
        REPETITIONS);
    std::printf("%-22s %8s %8s %12s %12s %7s %12s %12s %7s\n", "composite", "records", "bytes",
                "append/s", "single", "ratio", "remove/s", "single", "ratio");
    for (const char* name : {"DBQComposite", "DBQComposite-4MiB"}) {
        for (const Workload& w : WORKLOADS) {
            const Phases& ours = g_phases[name][w.length];
            const Phases& peer = g_phases["DBQSingle"][w.length];
            if (ours.append.empty() || peer.append.empty()) {
                continue;
            }
            double appendOurs = w.records / bench::median(ours.append);
            double removeOurs = w.records / bench::median(ours.remove);
            double appendPeer = w.records / bench::median(peer.append);
            double removePeer = w.records / bench::median(peer.remove);
            std::printf("%-22s %8d %8d %12.0f %12.0f %6.2fx %12.0f %12.0f %6.2fx\n", name,
                        w.records, w.length, appendOurs, appendPeer, appendOurs / appendPeer,
                        removeOurs, removePeer, removeOurs / removePeer);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (const Workload& w : WORKLOADS) {
        std::string suffix = "/" + std::to_string(w.records) + "x" + std::to_string(w.length);
        for (int r = 0; r < REPETITIONS; ++r) {
            benchmark::RegisterBenchmark(("DBQSingle" + suffix).c_str(), single, w)
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("DBQComposite" + suffix).c_str(), composite, w,
                                         vfw::DBQComposite::DEFAULT_MAX_FILE_SIZE, "DBQComposite")
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("DBQComposite-4MiB" + suffix).c_str(), composite, w,
                                         uint64_t(4) << 20, "DBQComposite-4MiB")
                ->Iterations(1)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printQueueRatios();
    return 0;
}
