// The configuration store against a minimal peer on a configuration file of 300 lines: load
// the file, then look up every name as an integer. The peer reads lines with std::getline,
// cuts each at its first ':' or '=', trims, and keeps a case-insensitive std::map: none of
// the store's escapes, quotes, references, host facts or checks. Prints the time per load
// and per lookup of each, and the ratio store / peer.
#include <strings.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "vfw/cproperties.h"

namespace {

constexpr int kLines = 300;

struct NoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return ::strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};
using PeerMap = std::map<std::string, std::string, NoCase>;

std::map<std::string, std::map<std::string, double>> g_seconds;  // phase -> side -> s/op

const std::string& configPath() {
    static std::string path;
    if (path.empty()) {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
               "/vfw-cproperties-bench-" + std::to_string(::getpid());
        std::ofstream out(path);
        out << "# generated\n";
        for (int i = 0; i < kLines; ++i) {
            out << "vaud.component" << i << ".setting: " << i * 7 << "\n";
        }
    }
    return path;
}

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (int i = 0; i < kLines; ++i) {
        result.push_back("VAUD.component" + std::to_string(i) + ".setting");
    }
    return result;
}

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? std::string() : text.substr(begin, end - begin + 1);
}

PeerMap peerLoad() {
    PeerMap map;
    std::ifstream in(configPath());
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '!') {
            continue;
        }
        size_t cut = line.find_first_of(":=");
        if (cut != std::string::npos) {
            map[trim(line.substr(0, cut))] = trim(line.substr(cut + 1));
        }
    }
    return map;
}

void record(benchmark::State& state, const char* phase, const char* side, double perOp) {
    g_seconds[phase][side] = perOp;
    state.counters["ns_per_op"] = perOp * 1e9;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void storeLoad(benchmark::State& state) {
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        vfw::Props* props = nullptr;
        if (vfw::newPropsFromFile(&props, configPath().c_str(), 1, 0) != 0) {
            state.SkipWithError("load failed");
        }
        vfw::freeProps(props);
        ++count;
    }
    record(state, "load", "store", since(start) / count);
}

void peerLoadBench(benchmark::State& state) {
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(peerLoad());
        ++count;
    }
    record(state, "load", "peer", since(start) / count);
}

void storeLookup(benchmark::State& state) {
    vfw::Props* props = nullptr;
    vfw::newPropsFromFile(&props, configPath().c_str(), 1, 0);
    std::vector<std::string> keys = names();
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        long sum = 0;
        for (const std::string& key : keys) {
            sum += props->getInt(props, key.c_str(), 0, nullptr);
        }
        benchmark::DoNotOptimize(sum);
        count += static_cast<long>(keys.size());
    }
    record(state, "lookup", "store", since(start) / count);
    vfw::freeProps(props);
}

void peerLookup(benchmark::State& state) {
    PeerMap map = peerLoad();
    std::vector<std::string> keys = names();
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        long sum = 0;
        for (const std::string& key : keys) {
            auto it = map.find(key);
            sum += it == map.end() ? 0 : std::strtol(it->second.c_str(), nullptr, 10);
        }
        benchmark::DoNotOptimize(sum);
        count += static_cast<long>(keys.size());
    }
    record(state, "lookup", "peer", since(start) / count);
}

}  // namespace

BENCHMARK(storeLoad);
BENCHMARK(peerLoadBench);
BENCHMARK(storeLookup);
BENCHMARK(peerLookup);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\n%-8s %14s %14s %12s\n", "phase", "store ns/op", "peer ns/op", "store/peer");
    for (const auto& [phase, sides] : g_seconds) {
        auto store = sides.find("store");
        auto peer = sides.find("peer");
        if (store != sides.end() && peer != sides.end()) {
            std::printf("%-8s %14.0f %14.0f %12.2f\n", phase.c_str(), store->second * 1e9,
                        peer->second * 1e9, store->second / peer->second);
        }
    }
    std::remove(configPath().c_str());
    benchmark::Shutdown();
    return 0;
}
