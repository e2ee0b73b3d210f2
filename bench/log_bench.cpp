// Cost of logging against spdlog run in the same process:
// - a log call on a disabled level (the common case: a DEBUG call on an INFO logger), against
//   spdlog's call on a level below its threshold;
// - records written to a log file, against spdlog's thread-safe basic file sink writing the
//   same bytes (same time format, host, program, pid, level tag, logger name and message).
//   The framework's file is run at flush frequency 512 (one write per 512 records, the
//   largest cache) and at the default 10; spdlog writes through its stdio buffer.
// Prints the ratios framework / spdlog after the table.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "vfw/log.h"
#include "vfw/property_source.h"

namespace {

// A scratch directory on a memory file system when there is one, so that both writers are
// measured without the disk.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/vfw-log-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        m_path = pattern;
    }
    ~ScratchDir() {
        std::string command = "rm -rf '" + m_path + "'";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "could not remove %s\n", m_path.c_str());
        }
    }
    std::string file(const char* name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

void BM_VfwDisabledLevel(benchmark::State& state) {
    vfw::Logger log = vfw::getLogger("bench.disabled");
    int i = 0;
    for (auto _ : state) {
        VFW_LOG(log, vfw::LEVEL_DEBUG, "value %d of %s", i, "bench");
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(BM_VfwDisabledLevel);

void BM_SpdlogDisabledLevel(benchmark::State& state) {
    ScratchDir dir;
    auto log = spdlog::basic_logger_mt("bench.disabled", dir.file("spdlog-disabled"));
    log->set_level(spdlog::level::info);
    int i = 0;
    for (auto _ : state) {
        log->debug("value {} of {}", i, "bench");
        benchmark::DoNotOptimize(++i);
    }
    spdlog::drop("bench.disabled");
}
BENCHMARK(BM_SpdlogDisabledLevel);

void BM_VfwFileRecords(benchmark::State& state) {
    ScratchDir dir;
    vfw::MapPropertySource properties;
    properties.set("logger.file.flush.frequency", std::to_string(state.range(0)));
    properties.set("logger.file.maxsize", "65536");  // no rotation during the run
    vfw::PropertySource* previous = vfw::setPropertySource(&properties);
    if (vfw::getFileLogging().open(dir.file("vfw.log")) != 0) {
        state.SkipWithError("cannot open the log file");
        return;
    }
    vfw::Logger log = vfw::getLogger("bench.file");
    int i = 0;
    for (auto _ : state) {
        VFW_LOG(log, vfw::LEVEL_INFO, "record %d of %s", i, "bench");
        ++i;
    }
    vfw::getFileLogging().close();
    vfw::setPropertySource(previous);
}
BENCHMARK(BM_VfwFileRecords)->Arg(512)->Arg(10);

void BM_SpdlogFileRecords(benchmark::State& state) {
    ScratchDir dir;
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    std::string shortHost(host, std::string(host).find('.') == std::string::npos
                                    ? std::string(host).size()
                                    : std::string(host).find('.'));
    auto log = spdlog::basic_logger_mt("bench.file", dir.file("spdlog.log"));
    log->set_pattern("%Y-%m-%d %H:%M:%S %z " + shortHost + " " + program_invocation_short_name +
                     "[%P]: INFO  bench.file %v");
    int i = 0;
    for (auto _ : state) {
        log->info("record {} of {}", i, "bench");
        ++i;
    }
    log->flush();
    spdlog::drop("bench.file");
}
BENCHMARK(BM_SpdlogFileRecords);

// Remembers each case's best processor time over its repetitions (the machine may be busy
// with other work) and prints the ratios after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& reports) override {
        for (const Run& run : reports) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            const std::string name = run.run_name.str();
            const double time = run.GetAdjustedCPUTime();
            auto known = m_times.find(name);
            if (known == m_times.end() || time < known->second) {
                m_times[name] = time;
            }
        }
        ConsoleReporter::ReportRuns(reports);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        ratio("BM_VfwDisabledLevel", "BM_SpdlogDisabledLevel");
        ratio("BM_VfwFileRecords/512", "BM_SpdlogFileRecords");
        ratio("BM_VfwFileRecords/10", "BM_SpdlogFileRecords");
    }

  private:
    void ratio(const std::string& ours, const std::string& peer) {
        auto a = m_times.find(ours);
        auto b = m_times.find(peer);
        if (a != m_times.end() && b != m_times.end() && b->second > 0) {
            std::printf("ratio %s / %s = %.2f\n", ours.c_str(), peer.c_str(),
                        a->second / b->second);
        }
    }

    std::map<std::string, double> m_times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
