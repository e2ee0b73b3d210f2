// DBQSingle::dump(true) of a full 100 MiB queue file to /dev/null against `xxd` of the same
// file, which renders every byte as text as well. The file holds records of mixed sizes (60 to
// 20000 bytes) in turn text, random bytes and 32-bit binary fields (see recordBytes). Every run
// happens in a child process whose standard output is /dev/null; the parent takes its wall time,
// CPU time (user + system) and peak resident set from wait4. The two run three times, interleaved,
// and the best run of each counts (the machine is shared). The other inspections (dump without
// data, dumpAccounting, checkQueue, dumpRawFile) run once for reference, and dump(true) of a
// 10 MiB file shows that the dump's peak memory does not grow with the file.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

#include "vfw/dbq.h"

namespace {

const int64_t MIB = int64_t(1) << 20;

struct Usage {
    double wall = 0;
    double cpu = 0;
    long maxRssKiB = 0;
};

// Best (smallest) figures per case name.
std::map<std::string, Usage> g_best;

std::string scratchPath(int64_t mebibytes) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vfw-dbq-dump-bench-" +
           std::to_string(::getpid()) + "-" + std::to_string(mebibytes);
}

enum Kind { TEXT, RANDOM, FIELDS };

// A record of `length` bytes: words and line feeds (TEXT), bytes of every value alike, as in
// compressed data (RANDOM), or little-endian 32-bit fields of small numbers, whose high bytes
// make runs of NULs (FIELDS).
vfw::ByteArray recordBytes(uint32_t length, Kind kind, uint32_t seed) {
    vfw::ByteArray bytes(new unsigned char[length], boost::checked_array_deleter<unsigned char>());
    uint32_t x = seed * 2654435761u + 1;
    uint32_t field = 0;
    for (uint32_t i = 0; i < length; ++i) {
        x = x * 1664525u + 1013904223u;
        unsigned char c = 0;
        switch (kind) {
            case TEXT:
                c = (x >> 24) % 11 == 0   ? ' '
                    : (x >> 24) % 97 == 0 ? '\n'
                                          : (unsigned char)('a' + (x >> 26) % 26);
                break;
            case RANDOM:
                c = (unsigned char)(x >> 24);
                break;
            case FIELDS:
                if (i % 4 == 0) {
                    field = (x >> 8) % ((x >> 30) == 0 ? 100000u : 300u);
                }
                c = (unsigned char)(field >> (8 * (i % 4)));
                break;
        }
        bytes[i] = c;
    }
    return bytes;
}

// Fills a new queue file until it reaches `mebibytes`.
std::string buildFile(int64_t mebibytes) {
    static const uint32_t LENGTHS[] = {60, 300, 470, 900, 2500, 7000, 20000};
    std::string path = scratchPath(mebibytes);
    vfw::DBQSingle queue(512);
    if (!queue.open(path, 2, 0600, true, "")) {
        throw std::runtime_error("cannot create " + path);
    }
    for (uint32_t n = 0; queue.getFileSize() < mebibytes * MIB; ++n) {
        uint32_t length = LENGTHS[n % 7];
        queue.enqueue(recordBytes(length, Kind(n % 3), n), length);
    }
    return path;
}

// Runs `body` in a child with standard output and standard error on /dev/null.
Usage runChild(const std::function<void()>& body) {
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) {
            ::_exit(3);
        }
        try {
            body();
        } catch (...) {
            ::_exit(4);
        }
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    struct rusage usage;
    if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("child failed, status " + std::to_string(status));
    }
    Usage result;
    result.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.maxRssKiB = usage.ru_maxrss;
    return result;
}

void record(benchmark::State& state, const std::string& name, const Usage& usage) {
    state.SetIterationTime(usage.wall);
    state.counters["cpu_s"] = usage.cpu;
    state.counters["maxrss_KiB"] = double(usage.maxRssKiB);
    auto found = g_best.find(name);
    if (found == g_best.end()) {
        g_best[name] = usage;
    } else {
        Usage& best = found->second;
        best.wall = std::min(best.wall, usage.wall);
        best.cpu = std::min(best.cpu, usage.cpu);
        best.maxRssKiB = std::min(best.maxRssKiB, usage.maxRssKiB);
    }
}

std::map<int64_t, std::string> g_files;

const std::string& fileOf(int64_t mebibytes) {
    auto found = g_files.find(mebibytes);
    if (found == g_files.end()) {
        found = g_files.emplace(mebibytes, buildFile(mebibytes)).first;
    }
    return found->second;
}

void openAnd(const std::string& path, const std::function<void(vfw::DBQSingle&)>& action) {
    vfw::DBQSingle queue(path, 0, 512, 0600, 0);
    action(queue);
}

void BM_Case(benchmark::State& state, const std::string& name, int64_t mebibytes,
             const std::function<void(const std::string&)>& action) {
    const std::string& path = fileOf(mebibytes);
    for (auto _ : state) {
        record(state, name, runChild([&] { action(path); }));
    }
}

void dumpWithData(const std::string& path) {
    openAnd(path, [](vfw::DBQSingle& q) { q.dump(true); });
}

void xxd(const std::string& path) {
    ::execlp("xxd", "xxd", path.c_str(), static_cast<char*>(nullptr));
    ::_exit(5);
}

void registerCase(const std::string& name, int64_t mebibytes,
                  std::function<void(const std::string&)> action) {
    benchmark::RegisterBenchmark(name.c_str(),
                                 [name, mebibytes, action](benchmark::State& state) {
                                     BM_Case(state, name, mebibytes, action);
                                 })
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
}

void printSummary() {
    const Usage& dump = g_best["dump(1) 100MiB"];
    const Usage& peer = g_best["xxd 100MiB"];
    std::printf("\n%-26s %10s %10s %12s\n", "best of runs", "wall s", "cpu s", "maxrss KiB");
    for (const auto& entry : g_best) {
        std::printf("%-26s %10.3f %10.3f %12ld\n", entry.first.c_str(), entry.second.wall,
                    entry.second.cpu, entry.second.maxRssKiB);
    }
    std::printf("\nxxd / dump(1) on 100 MiB: wall %.2fx, cpu %.2fx (target >= 5x)\n",
                peer.wall / dump.wall, peer.cpu / dump.cpu);
    std::printf("dump(1) peak memory: %ld KiB for 10 MiB, %ld KiB for 100 MiB\n",
                g_best["dump(1) 10MiB"].maxRssKiB, dump.maxRssKiB);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int round = 0; round < 3; ++round) {
        registerCase("dump(1) 100MiB", 100, dumpWithData);
        registerCase("xxd 100MiB", 100, xxd);
    }
    registerCase("dump(1) 10MiB", 10, dumpWithData);
    registerCase("dump(0) 100MiB", 100, [](const std::string& path) {
        openAnd(path, [](vfw::DBQSingle& q) { q.dump(false); });
    });
    registerCase("dumpAccounting 100MiB", 100, [](const std::string& path) {
        openAnd(path, [](vfw::DBQSingle& q) { q.dumpAccounting(); });
    });
    registerCase("checkQueue 100MiB", 100, [](const std::string& path) {
        openAnd(path, [](vfw::DBQSingle& q) {
            if (q.checkQueue() != 0) {
                throw std::runtime_error("the benchmark file has findings");
            }
        });
    });
    registerCase("dumpRawFile 100MiB", 100,
                 [](const std::string& path) { vfw::DBQSingle::dumpRawFile(path); });
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    for (const auto& file : g_files) {
        std::remove(file.second.c_str());
    }
    return 0;
}
