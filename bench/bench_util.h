// Pieces the benchmark programs share: scratch paths, the record pattern, medians and the
// process's CPU clock. Header-only; each program includes what it uses.
#ifndef VFW_BENCH_UTIL_H
#define VFW_BENCH_UTIL_H

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "vfw/dbq.h"

namespace bench {

// $TMPDIR (or /tmp) "/vfw-" tag "-" pid "-" name: distinct per program and per run.
inline std::string scratchPath(const std::string& tag, const std::string& name) {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vfw-" + tag + "-" +
           std::to_string(::getpid()) + "-" + name;
}

// `length` bytes of the pattern i * 13, the record every queue benchmark appends.
inline vfw::ByteArray patternRecord(int length) {
    vfw::ByteArray bytes(new unsigned char[size_t(length)],
                         boost::checked_array_deleter<unsigned char>());
    for (int i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 13);
    }
    return bytes;
}

// The load average over 1, 5 and 15 minutes, as /proc/loadavg gives it, to show how idle the
// machine was.
inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The middle value (the mean of the two middle ones for an even count); 0 for none.
inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// CPU seconds of this process, user and system.
inline double cpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

}  // namespace bench

#endif
