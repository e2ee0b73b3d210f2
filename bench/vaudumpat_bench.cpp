// vaudumpat dumping a spool of two member files to /dev/null, against `xxd` and `hexdump -C`
// of the same two files to /dev/null, which render every byte as text as well.
//
//   vaudumpat_bench [ROUNDS [MIB...]]   (default: 5 rounds, spools of 100 and 25 MiB)
//
// For each spool size a spool of two members is written with the composite queue itself
// (records of 4000 bytes of audit text, the member limit half the spool), then the three
// commands run in turn, round after round, so that a busy spell of the shared machine falls on
// all of them alike. vaudumpat needs root and reads /var/vantrelaud/spool-atdbqc: each of its
// runs happens in a private mount namespace of its own in which the spool's temporary parent
// is bound over /var/vantrelaud, an empty directory over /etc/vantrelaud (so the default
// spool name holds) and /dev/null over /dev/log; nothing below the real paths is read or
// written. xxd and hexdump run once per member; their figures are the sums of the two runs.
//
// Each run's wall time is taken around fork and wait; its CPU time (user + system) and peak
// resident set come from wait4. The summary gives, per spool size, the median of each figure
// over the rounds, the median of the per-round ratios peer / vaudumpat (target: xxd / vaudumpat
// at least 5 on CPU time and on wall time), and vaudumpat's peak memory, which must not grow
// with the spool. The load average before and after is printed with it.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "vfw/dbq_composite.h"

namespace {

const int64_t kMiB = int64_t(1) << 20;
const uint32_t kRecordLength = 4000;

struct Run {
    double wall = 0;
    double cpu = 0;
    double peakMiB = 0;
};

void removeTree(const std::string& path) {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
}

std::string dumperPath() {
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string bench = length > 0 ? std::string(self, size_t(length)) : "";
    return bench.substr(0, bench.rfind("/bench/")) + "/tools/vaudumpat/vaudumpat";
}

// Binds `var` over /var/vantrelaud and `etc` over /etc/vantrelaud, and /dev/null over
// /dev/log, in a mount namespace of the calling process's own; false when any step fails.
bool enterPrivateSpool(const std::string& var, const std::string& etc) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(var.c_str(), "/var/vantrelaud", nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(etc.c_str(), "/etc/vantrelaud", nullptr, MS_BIND, nullptr) != 0) {
        return false;
    }
    struct stat status;
    return ::stat("/dev/log", &status) != 0 ||
           ::mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr) == 0;
}

// Runs `argv` with standard output on /dev/null, in a private spool when `var` is not empty.
// Exits the benchmark when the command fails: figures of a failed run mean nothing.
Run measure(const std::vector<std::string>& argv, const std::string& var = "",
            const std::string& etc = "") {
    std::fflush(nullptr);  // the child must not write out the parent's buffered text
    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        if (!var.empty() && !enterPrivateSpool(var, etc)) {
            std::perror("private mount namespace");
            ::_exit(120);
        }
        int null = ::open("/dev/null", O_WRONLY);
        if (null < 0 || ::dup2(null, 1) < 0) {
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
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), status);
        std::exit(1);
    }
    Run run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.peakMiB = double(usage.ru_maxrss) / 1024.0;
    return run;
}

// One run of `tool` per member, summed; the peak is the larger of the two.
Run measureEach(const std::vector<std::string>& tool, const std::vector<std::string>& members) {
    Run total;
    for (const std::string& member : members) {
        std::vector<std::string> argv = tool;
        argv.push_back(member);
        Run one = measure(argv);
        total.wall += one.wall;
        total.cpu += one.cpu;
        total.peakMiB = std::max(total.peakMiB, one.peakMiB);
    }
    return total;
}

// Audit text records of kRecordLength bytes, appended until the spool holds `mebibytes`
// in two members.
std::vector<std::string> writeSpool(const std::string& directory, int64_t mebibytes) {
    vfw::DBQComposite queue(512);
    queue.setMaxSize(uint64_t(mebibytes * kMiB / 2));
    if (!queue.open(directory, 1, 0600, true, "bench")) {
        std::fprintf(stderr, "cannot create the spool %s\n", directory.c_str());
        std::exit(1);
    }
    std::string text;
    for (int i = 0; text.size() < kRecordLength; ++i) {
        text += "type=SYSCALL msg=audit(1733470000." + std::to_string(i) +
                ") arch=c000003e syscall=59 success=yes exit=0 a0=55d0 items=2 ppid=1 pid=4242 "
                "comm=\"cron\" exe=\"/usr/sbin/cron\"\n";
    }
    vfw::ByteArray record(new unsigned char[kRecordLength],
                          boost::checked_array_deleter<unsigned char>());
    std::copy(text.begin(), text.begin() + kRecordLength, record.get());
    while (queue.getFileSize() < mebibytes * kMiB) {
        queue.enqueue(record, kRecordLength);
    }
    queue.close();
    return {directory + "/0", directory + "/1"};
}

struct Series {
    std::vector<double> wall, cpu, peak;
    void add(const Run& run) {
        wall.push_back(run.wall);
        cpu.push_back(run.cpu);
        peak.push_back(run.peakMiB);
    }
};

// Median of the per-round ratios peer / vaudumpat of one figure.
double medianRatio(const std::vector<double>& peer, const std::vector<double>& ours) {
    std::vector<double> ratios;
    for (size_t i = 0; i < peer.size() && i < ours.size(); ++i) {
        ratios.push_back(ours[i] > 0 ? peer[i] / ours[i] : 0);
    }
    return bench::median(ratios);
}

void compare(int64_t mebibytes, int rounds) {
    const std::string root = bench::scratchPath("vaudumpat-bench", std::to_string(mebibytes));
    const std::string var = root + "/var";
    const std::string etc = root + "/etc";
    if (::mkdir(root.c_str(), 0700) != 0 || ::mkdir(var.c_str(), 0755) != 0 ||
        ::mkdir(etc.c_str(), 0755) != 0) {
        std::fprintf(stderr, "cannot create %s\n", root.c_str());
        std::exit(1);
    }
    std::vector<std::string> members = writeSpool(var + "/spool-atdbqc", mebibytes);
    int64_t bytes = 0;
    for (const std::string& member : members) {
        struct stat status;
        bytes += ::stat(member.c_str(), &status) == 0 ? int64_t(status.st_size) : 0;
    }
    const std::string load = bench::loadAverage();
    std::map<std::string, Series> series;
    for (int round = 0; round < rounds; ++round) {
        series["vaudumpat"].add(measure({dumperPath()}, var, etc));
        series["xxd"].add(measureEach({"xxd"}, members));
        series["hexdump -C"].add(measureEach({"hexdump", "-C"}, members));
    }
    removeTree(root);

    const Series& ours = series["vaudumpat"];
    std::printf("\nspool of 2 members, %.1f MiB, to /dev/null: medians of %d alternating rounds\n",
                double(bytes) / kMiB, rounds);
    std::printf("load average before: %s, after: %s\n", load.c_str(), bench::loadAverage().c_str());
    std::printf("%-11s %9s %9s %10s %16s %16s\n", "", "wall s", "cpu s", "peak MiB",
                "wall / vaudumpat", "cpu / vaudumpat");
    for (const char* name : {"vaudumpat", "xxd", "hexdump -C"}) {
        const Series& s = series[name];
        std::printf("%-11s %9.3f %9.3f %10.1f %15.2fx %15.2fx\n", name, bench::median(s.wall),
                    bench::median(s.cpu), bench::median(s.peak), medianRatio(s.wall, ours.wall),
                    medianRatio(s.cpu, ours.cpu));
    }
    std::printf(
        "vaudumpat: %.0f MiB/s of spool (wall), peak memory %.1f MiB (target: xxd / "
        "vaudumpat >= 5x)\n",
        double(bytes) / kMiB / bench::median(ours.wall), bench::median(ours.peak));
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<int64_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(std::atoll(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {100, 25};
    }
    if (rounds < 1 || std::any_of(sizes.begin(), sizes.end(), [](int64_t s) { return s < 2; })) {
        std::fprintf(stderr, "usage: %s [ROUNDS [MIB...]], MIB at least 2\n", argv[0]);
        return 2;
    }
    if (::getuid() != 0) {
        std::printf("vaudumpat_bench: skipped (needs root for the private mount namespace)\n");
        return 0;
    }
    // The mount points; an empty directory is all that is ever made on the real paths.
    ::mkdir("/var/vantrelaud", 0755);
    ::mkdir("/etc/vantrelaud", 0755);
    for (int64_t mebibytes : sizes) {
        compare(mebibytes, rounds);
    }
    return 0;
}
