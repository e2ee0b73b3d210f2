// The formatting engine against the system library's own vsnprintf (reached past the
// engine with dlsym(RTLD_NEXT)) on representative formats, in the same run. Each case runs
// with repetitions; the closing summary prints the medians and, per format, the system
// formatter's time divided by the engine's ("format ratio"; above 1 the engine is faster).
// The summary uses CPU time: the machines it runs on are shared, and a case descheduled
// for a while would otherwise decide its ratio.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

using Formatter = int (*)(char*, size_t, const char*, va_list);

// Both formatters are called through the same variadic wrapper, as a caller would.
__attribute__((noinline)) int call(Formatter formatter, char* buffer, size_t size,
                                   const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = formatter(buffer, size, format, args);
    va_end(args);
    return n;
}

struct Case {
    const char* format;
    int (*run)(Formatter, char*, size_t);
};

const Case CASES[] = {
    {"%d", [](Formatter f, char* b, size_t n) { return call(f, b, n, "%d", 123456); }},
    {"%s: %s (error %d)",
     [](Formatter f, char* b, size_t n) {
         return call(f, b, n, "%s: %s (error %d)", "open", "/var/vantrelaud/spool-atdbqc/17", 13);
     }},
    {"%llu",
     [](Formatter f, char* b, size_t n) { return call(f, b, n, "%llu", 12345678901234567890ULL); }},
    {"%08x", [](Formatter f, char* b, size_t n) { return call(f, b, n, "%08x", 0xbeefu); }},
    {"%-20s|", [](Formatter f, char* b, size_t n) { return call(f, b, n, "%-20s|", "vaudumpat"); }},
    {"%.3f", [](Formatter f, char* b, size_t n) { return call(f, b, n, "%.3f", 3.14159265); }},
};

void runCase(benchmark::State& state, const Case& c, Formatter formatter) {
    char buffer[256];
    for (auto _ : state) {
        benchmark::DoNotOptimize(c.run(formatter, buffer, sizeof buffer));
        benchmark::ClobberMemory();
    }
}

// The console output, plus the median of every case kept for the summary.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_medians[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double median(const std::string& name) const {
        auto it = m_medians.find(name);
        return it == m_medians.end() ? 0 : it->second;
    }

  private:
    std::map<std::string, double> m_medians;
};

}  // namespace

int main(int argc, char** argv) {
    const auto system = reinterpret_cast<Formatter>(dlsym(RTLD_NEXT, "vsnprintf"));
    if (system == nullptr || system == &vsnprintf) {
        std::fprintf(stderr, "the system library's vsnprintf is not reachable\n");
        return 1;
    }
    for (const Case& c : CASES) {
        benchmark::RegisterBenchmark((std::string("vfw/") + c.format).c_str(), runCase, c,
                                     &vsnprintf)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
        benchmark::RegisterBenchmark((std::string("glibc/") + c.format).c_str(), runCase, c, system)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-31s %12s %12s %8s\n", "median CPU time", "vfw ns", "glibc ns", "ratio");
    for (const Case& c : CASES) {
        const double engine = reporter.median(std::string("vfw/") + c.format);
        const double peer = reporter.median(std::string("glibc/") + c.format);
        if (engine > 0 && peer > 0) {
            std::printf("format ratio %-18s %12.1f %12.1f %7.2fx\n", c.format, engine, peer,
                        peer / engine);
        }
    }
    return 0;
}
