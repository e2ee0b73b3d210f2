// Two measurements, each against its peer in the same run.
//
// 1. The composite queue's own cost: DBQComposite against DBQSingle doing the same first-in
//    first-out work (append N records of one size, then remove them oldest first, reading
//    each). With the default 100 MiB limit everything stays in one member, so the difference
//    is the composite's layer (its lock, the size test before each append, the book-keeping);
//    a second composite run with a 4 MiB limit adds rotation through new and drained files.
//    Each case runs several times; the summary takes the median CPU time (user and system)
//    per phase and prints composite / single (target: within 10%, a ratio of at least 0.90).
// 2. vaudumpat dumping a 100 MiB spool of two members to /dev/null, run as root in a private
//    mount namespace with the spool bound over /var/vantrelaud, against xxd of the same two
//    files to /dev/null; wall time, CPU time and the command's peak memory (target: at least
//    5x faster than xxd). Skipped when not run as root.
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

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

std::string scratch(const std::string& name) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vfw-dbqc-bench-" +
           std::to_string(::getpid()) + "-" + name;
}

void removeTree(const std::string& path) {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
}

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds of this process, user and system: the machines this runs on are shared, and a
// phase descheduled for a while would otherwise decide its ratio.
double cpuNow() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

vfw::ByteArray recordBytes(int length) {
    vfw::ByteArray bytes(new unsigned char[size_t(length)],
                         boost::checked_array_deleter<unsigned char>());
    for (int i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 13);
    }
    return bytes;
}

void appendAndRemove(benchmark::State& state, const std::string& name, vfw::DBQ& queue,
                     const Workload& w) {
    vfw::ByteArray record = recordBytes(w.length);
    double start = cpuNow();
    for (int i = 0; i < w.records; ++i) {
        queue.enqueue(record, uint32_t(w.length));
    }
    double append = cpuNow() - start;
    start = cpuNow();
    for (int i = 0; i < w.records; ++i) {
        vfw::ByteArray data;
        uint32_t length = 0;
        queue.dequeue(data, length);
        benchmark::DoNotOptimize(data.get());
    }
    double remove = cpuNow() - start;
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
        std::string path = scratch("single");
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
        std::string path = scratch("composite");
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

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
            double appendOurs = w.records / median(ours.append);
            double removeOurs = w.records / median(ours.remove);
            double appendPeer = w.records / median(peer.append);
            double removePeer = w.records / median(peer.remove);
            std::printf("%-22s %8d %8d %12.0f %12.0f %6.2fx %12.0f %12.0f %6.2fx\n", name,
                        w.records, w.length, appendOurs, appendPeer, appendOurs / appendPeer,
                        removeOurs, removePeer, removeOurs / removePeer);
        }
    }
}

// ---- vaudumpat against xxd ----

struct Measure {
    double wall = 0;
    double cpu = 0;
    long maxRssKiB = 0;
    int status = -1;
};

std::string dumperPath() {
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string bench = length > 0 ? std::string(self, size_t(length)) : "";
    return bench.substr(0, bench.rfind("/bench/")) + "/tools/vaudumpat/vaudumpat";
}

// Runs `argv` with standard output to /dev/null; `spoolRoot`, when not empty, is bound over
// /var/vantrelaud in a mount namespace of the child's own first.
Measure runMeasured(const std::vector<std::string>& argv, const std::string& spoolRoot) {
    Measure m;
    std::fflush(nullptr);  // the child must not write out the parent's buffered text
    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        if (!spoolRoot.empty() &&
            (::unshare(CLONE_NEWNS) != 0 ||
             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             ::mount(spoolRoot.c_str(), "/var/vantrelaud", nullptr, MS_BIND, nullptr) != 0)) {
            ::_exit(120);
        }
        if (!std::freopen("/dev/null", "w", stdout)) {
            ::_exit(121);
        }
        std::vector<char*> args;
        for (const std::string& word : argv) {
            args.push_back(const_cast<char*>(word.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(child, &status, 0, &usage);
    m.wall = since(start);
    m.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.maxRssKiB = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

// A spool of two members of 50 MiB each, written with the composite queue itself.
bool writeSpool(const std::string& directory, std::vector<std::string>& members) {
    const uint64_t half = 50ull << 20;
    vfw::DBQComposite queue(512);
    queue.setMaxSize(half);
    if (!queue.open(directory, 1, 0600, true, "bench")) {
        return false;
    }
    std::string text;
    for (int i = 0; text.size() < 4000; ++i) {
        text += "type=SYSCALL msg=audit(1733470000." + std::to_string(i) +
                ") arch=c000003e syscall=59 success=yes exit=0 a0=55d0 items=2 ppid=1 pid=4242 "
                "comm=\"cron\" exe=\"/usr/sbin/cron\"\n";
    }
    vfw::ByteArray record = recordBytes(4000);
    std::copy(text.begin(), text.begin() + 4000, record.get());
    while (queue.getFileSize() < int64_t(2 * half)) {
        queue.enqueue(record, 4000);
    }
    queue.close();
    members = {directory + "/0", directory + "/1"};
    return true;
}

void compareDumpWithXxd() {
    if (::getuid() != 0) {
        std::printf("\nvaudumpat / xxd: skipped (needs root for the private mount namespace)\n");
        return;
    }
    ::mkdir("/var/vantrelaud", 0755);  // the mount point; nothing is written below it
    std::string root = scratch("spool");
    ::mkdir(root.c_str(), 0700);
    std::vector<std::string> members;
    if (!writeSpool(root + "/spool-atdbqc", members)) {
        std::printf("\nvaudumpat / xxd: could not write the spool\n");
        removeTree(root);
        return;
    }
    int64_t bytes = 0;
    for (const std::string& file : members) {
        struct stat status;
        ::stat(file.c_str(), &status);
        bytes += status.st_size;
    }
    std::vector<Measure> dumps;
    std::vector<Measure> xxds;
    for (int run = 0; run < 3; ++run) {
        dumps.push_back(runMeasured({dumperPath()}, root));
        Measure x;
        for (const std::string& file : members) {
            Measure one = runMeasured({"xxd", file}, "");
            x.wall += one.wall;
            x.cpu += one.cpu;
            x.maxRssKiB = std::max(x.maxRssKiB, one.maxRssKiB);
            x.status = std::max(x.status, one.status);
        }
        xxds.push_back(x);
    }
    removeTree(root);

    auto best = [](const std::vector<Measure>& runs) {
        return *std::min_element(runs.begin(), runs.end(), [](const Measure& a, const Measure& b) {
            return a.wall < b.wall;
        });
    };
    Measure d = best(dumps);
    Measure x = best(xxds);
    std::printf(
        "\nvaudumpat / xxd on a spool of 2 members, %.1f MiB, to /dev/null, best of %zu "
        "(target >= 5x)\n",
        double(bytes) / (1 << 20), dumps.size());
    std::printf("%-10s %10s %10s %12s %8s\n", "", "wall s", "cpu s", "peak MiB", "status");
    std::printf("%-10s %10.3f %10.3f %12.1f %8d\n", "vaudumpat", d.wall, d.cpu,
                d.maxRssKiB / 1024.0, d.status);
    std::printf("%-10s %10.3f %10.3f %12.1f %8d\n", "xxd", x.wall, x.cpu, x.maxRssKiB / 1024.0,
                x.status);
    std::printf("xxd wall / vaudumpat wall: %.2fx; cpu: %.2fx; vaudumpat %.0f MiB/s\n",
                x.wall / d.wall, x.cpu / d.cpu, double(bytes) / (1 << 20) / d.wall);
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
    compareDumpWithXxd();
    return 0;
}
