// A property look-up of the property layer against a plain std::map look-up, over a
// configuration of 300 names looked up in a different case than written. The layer's
// look-up takes its recursive mutex (with thread cancellation disabled meanwhile) and
// copies the value; the peer is an unlocked std::map with the same case-insensitive
// ordering, also copying the value. A second pair compares the cached value list with a
// std::map of ready lists. Prints the time per look-up and the ratio layer / peer.
#include <strings.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vfw/properties.h"

namespace {

constexpr int kNames = 300;

using PeerMap = std::map<std::string, std::string, vfw::CProperties2::NoCaseLess>;

std::map<std::string, std::map<std::string, double>> g_seconds;  // case -> side -> s/op

const std::string& configPath() {
    static std::string path;
    if (path.empty()) {
        const char* base = std::getenv("TMPDIR");
        path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
               "/vfw-properties-bench-" + std::to_string(::getpid());
        std::ofstream out(path);
        for (int i = 0; i < kNames; ++i) {
            out << "vaud.component" << i << ".setting: value " << i << ", other" << i << "\n";
        }
    }
    return path;
}

std::vector<std::string> names() {
    std::vector<std::string> result;
    for (int i = 0; i < kNames; ++i) {
        result.push_back("VAUD.Component" + std::to_string(i) + ".SETTING");
    }
    return result;
}

vfw::CProperties2& layer() {
    static vfw::CProperties2* props = [] {
        auto* loaded = new vfw::CProperties2(false);
        loaded->setSkipLoggerReconfigure(1);
        loaded->load(configPath().c_str(), 1);
        return loaded;
    }();
    return *props;
}

void record(benchmark::State& state, const char* name, const char* side, double perOp) {
    g_seconds[name][side] = perOp;
    state.counters["ns_per_op"] = perOp * 1e9;
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void layerLookup(benchmark::State& state) {
    vfw::CProperties2& props = layer();
    std::vector<std::string> keys = names();
    std::string value;
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const std::string& key : keys) {
            props.lookup(key, value);
            benchmark::DoNotOptimize(value.data());
        }
        count += static_cast<long>(keys.size());
    }
    record(state, "lookup", "layer", since(start) / count);
}

void peerLookup(benchmark::State& state) {
    PeerMap map;
    for (int i = 0; i < kNames; ++i) {
        map["vaud.component" + std::to_string(i) + ".setting"] =
            "value " + std::to_string(i) + ", other" + std::to_string(i);
    }
    std::vector<std::string> keys = names();
    std::string value;
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const std::string& key : keys) {
            auto found = map.find(key);
            if (found != map.end()) {
                value = found->second;
            }
            benchmark::DoNotOptimize(value.data());
        }
        count += static_cast<long>(keys.size());
    }
    record(state, "lookup", "peer", since(start) / count);
}

void layerValueList(benchmark::State& state) {
    vfw::CProperties2& props = layer();
    std::vector<std::string> keys = names();
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const std::string& key : keys) {
            benchmark::DoNotOptimize(props.getValueList(key, "").get());
        }
        count += static_cast<long>(keys.size());
    }
    record(state, "list", "layer", since(start) / count);
}

void peerValueList(benchmark::State& state) {
    std::map<std::string, std::shared_ptr<const std::list<std::string>>,
             vfw::CProperties2::NoCaseLess>
        map;
    for (int i = 0; i < kNames; ++i) {
        map["vaud.component" + std::to_string(i) + ".setting"] =
            std::make_shared<const std::list<std::string>>(
                std::list<std::string>{"value", std::to_string(i), "other" + std::to_string(i)});
    }
    std::vector<std::string> keys = names();
    long count = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        for (const std::string& key : keys) {
            std::shared_ptr<const std::list<std::string>> list = map.find(key)->second;
            benchmark::DoNotOptimize(list.get());
        }
        count += static_cast<long>(keys.size());
    }
    record(state, "list", "peer", since(start) / count);
}

}  // namespace

BENCHMARK(layerLookup);
BENCHMARK(peerLookup);
BENCHMARK(layerValueList);
BENCHMARK(peerValueList);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    std::printf("\n%-8s %14s %14s %12s\n", "case", "layer ns/op", "peer ns/op", "layer/peer");
    for (const auto& [name, sides] : g_seconds) {
        auto ours = sides.find("layer");
        auto peer = sides.find("peer");
        if (ours != sides.end() && peer != sides.end()) {
            std::printf("%-8s %14.1f %14.1f %12.2f\n", name.c_str(), ours->second * 1e9,
                        peer->second * 1e9, ours->second / peer->second);
        }
    }
    std::remove(configPath().c_str());
    benchmark::Shutdown();
    return 0;
}
