// Cost of a log call on the producer's thread, delivered to a real syslog daemon, with and
// without the background log queue. The call is VFW_LOG(logger, LEVEL_INFO, "record %d of %s",
// i, "bench") on the logger "bench.syslog" (INFO, enabled), the process's syslog connection open:
// - BM_Direct: no log queue: the call builds the record and calls syslog() itself (the
//   framework's default path), so its time includes the send to /dev/log and the waits for
//   the daemon once net.unix.max_dgram_qlen datagrams are pending in its socket (printed);
// - BM_Queued: vfw::startThread runs the log queue ("logger.queue.size" 4096 through a
//   MapPropertySource): the call builds the record and posts it; the log thread calls syslog().
// One benchmark iteration is one log call, so the table's times are per call (wall and the
// producer thread's CPU). Calls are timed in bursts of kBurst (512, an eighth of the queue, far
// below the half at which a post is throttled); between bursts the timer is paused and the
// queued case waits, untimed, until the queue is empty, so what is measured is the producer's
// cost while the log thread keeps up, never the back-pressure. The direct case pauses the same
// way with nothing to wait for. The queue is stopped (what is left delivered) after each run of
// BM_Queued, outside the timing.
//
// The daemon is Debian's rsyslogd in a private mount namespace (see syslog_daemon.h), writing
// to a tmpfs. By default each case runs 5 repetitions, randomly interleaved, so that a busy
// spell of the shared machine falls on both alike; the medians per call and their ratio
// direct / queued (target: at least 5) are printed after the table, then the records the
// daemon received against those logged, the load average before and after, and the limit of
// datagrams pending in a socket.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "syslog_daemon.h"
#include "vfw/log.h"
#include "vfw/property_source.h"
#include "vfw/runqueue.h"

namespace {

const int kBurst = 512;
const char kQueueSize[] = "4096";
const char kLoggerName[] = "bench.syslog";

// Log calls made, over every run of both cases; the daemon must have received each of them.
long g_sent = 0;

// How many datagrams may wait in the daemon's socket before syslog() blocks.
std::string datagramQueueLength() {
    std::ifstream in("/proc/sys/net/unix/max_dgram_qlen");
    std::string length = "?";
    in >> length;
    return length;
}

// Returns once the log queue (if one runs) has handed every record to the log thread.
void waitForEmptyQueue() {
    boost::shared_ptr<vfw::RunQueue> queue = vfw::logQueue();
    timespec poll{0, 100000L};
    while (queue && !queue->isEmpty()) {
        nanosleep(&poll, nullptr);
    }
}

// The timed loop both cases share: bursts of kBurst calls, the queue emptied between them.
void logBursts(benchmark::State& state, const vfw::Logger& log) {
    int i = 0, inBurst = 0;
    for (auto _ : state) {
        VFW_LOG(log, vfw::LEVEL_INFO, "record %d of %s", i, "bench");
        ++i;
        if (++inBurst == kBurst) {
            state.PauseTiming();
            waitForEmptyQueue();
            inBurst = 0;
            state.ResumeTiming();
        }
    }
    g_sent += i;
}

void BM_Direct(benchmark::State& state) {
    if (vfw::logQueue()) {
        state.SkipWithError("a log queue is running");
        return;
    }
    logBursts(state, vfw::getLogger(kLoggerName));
}
BENCHMARK(BM_Direct);

void BM_Queued(benchmark::State& state) {
    vfw::Logger log = vfw::getLogger(kLoggerName);
    vfw::startThread(log);
    if (!vfw::logQueue()) {
        state.SkipWithError("the log queue did not start");
        return;
    }
    logBursts(state, log);
    vfw::stopThread(log);
}
BENCHMARK(BM_Queued);

// Collects each case's per-call wall and CPU times over its repetitions and prints their
// medians and the ratios direct / queued after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                Times& times = m_times[run.run_name.function_name];
                times.wall.push_back(run.GetAdjustedRealTime());
                times.cpu.push_back(run.GetAdjustedCPUTime());
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& entry : m_times) {
            std::printf("median %-10s wall %8.1f ns  cpu %8.1f ns  (%zu runs)\n",
                        entry.first.c_str(), bench::median(entry.second.wall),
                        bench::median(entry.second.cpu), entry.second.wall.size());
        }
        auto direct = m_times.find("BM_Direct"), queued = m_times.find("BM_Queued");
        if (direct != m_times.end() && queued != m_times.end()) {
            std::printf("ratio direct / queued: wall %.2f, cpu %.2f (target: at least 5)\n",
                        bench::median(direct->second.wall) / bench::median(queued->second.wall),
                        bench::median(direct->second.cpu) / bench::median(queued->second.cpu));
        }
    }

  private:
    struct Times {
        std::vector<double> wall, cpu;
    };
    std::map<std::string, Times> m_times;
};

// Counts the benchmark's records among the daemon's lines, and the records the log queue
// reported dropped.
void reportReceived(const std::string& path) {
    const std::string record = std::string("INFO  ") + kLoggerName + " record ";
    const std::string dropped = "ERROR log Vantrel logger dropped ";
    long received = 0, lost = 0;
    std::ifstream all(path);
    for (std::string line; std::getline(all, line);) {
        size_t at;
        if (line.find(record) != std::string::npos) {
            ++received;
        } else if ((at = line.find(dropped)) != std::string::npos) {
            lost += std::stol(line.substr(at + dropped.size()));
        }
    }
    std::printf("records logged %ld, received by rsyslogd %ld, reported dropped %ld%s\n", g_sent,
                received, lost, received == g_sent ? "" : "  <-- RECORDS MISSING");
}

}  // namespace

int main(int argc, char** argv) {
    bench::SyslogDaemon daemon;  // first: the process has one thread only here
    vfw::MapPropertySource properties;
    properties.set("logger.queue.size", kQueueSize);
    vfw::setPropertySource(&properties);
    vfw::Logger log = vfw::getLogger(kLoggerName);
    log->setLevel(vfw::LEVEL_INFO);
    VFW_LOG(log, vfw::LEVEL_INFO, "record %d of %s", -1, "opening the connection");
    ++g_sent;

    // Defaults first, so that the same flags given on the command line win.
    std::vector<char*> args{argv[0]};
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleaving = "--benchmark_enable_random_interleaving=true";
    args.push_back(repetitions.data());
    args.push_back(interleaving.data());
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    std::string before = bench::loadAverage();
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::string after = bench::loadAverage();

    daemon.sync();
    reportReceived(daemon.receivedPath());
    std::printf("load average before %s, after %s; net.unix.max_dgram_qlen %s\n", before.c_str(),
                after.c_str(), datagramQueueLength().c_str());
    vfw::setPropertySource(nullptr);
    return 0;
}
