// Cost of the framework mutexes on the uncontended path, against their closest peers run in
// the same process: a bare recursive POSIX mutex and std::recursive_mutex for lock/unlock,
// and std::lock_guard plus the two cancellation-state calls for the scoped lock. Prints
// each framework case's time as a ratio of its peer's.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "vfw/mutex.h"

namespace {

void BM_VfwMutexLockUnlock(benchmark::State& state) {
    vfw::Mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_VfwMutexLockUnlock);

void BM_PthreadRecursiveLockUnlock(benchmark::State& state) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attributes);
    pthread_mutexattr_destroy(&attributes);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
}
BENCHMARK(BM_PthreadRecursiveLockUnlock);

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutexLockUnlock);

void BM_VfwMaxWaitMutexLockUnlock(benchmark::State& state) {
    vfw::MaxWaitMutex m(static_cast<int32_t>(state.range(0)));
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}
BENCHMARK(BM_VfwMaxWaitMutexLockUnlock)->Arg(0)->Arg(8);

void BM_VfwMutexLock(benchmark::State& state) {
    vfw::Mutex m;
    for (auto _ : state) {
        vfw::MutexLock lock(m);
        benchmark::DoNotOptimize(&lock);
    }
}
BENCHMARK(BM_VfwMutexLock);

// The least a cancellation-safe scoped lock can do: disable, lock, unlock, re-enable, test.
void BM_StdLockGuardWithCancelState(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        int old;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
        {
            std::lock_guard<std::recursive_mutex> lock(m);
            benchmark::DoNotOptimize(&lock);
        }
        pthread_setcancelstate(old, &old);
        pthread_testcancel();
    }
}
BENCHMARK(BM_StdLockGuardWithCancelState);

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
        ratio("BM_VfwMutexLockUnlock", "BM_PthreadRecursiveLockUnlock");
        ratio("BM_VfwMutexLockUnlock", "BM_StdRecursiveMutexLockUnlock");
        ratio("BM_VfwMaxWaitMutexLockUnlock/0", "BM_PthreadRecursiveLockUnlock");
        ratio("BM_VfwMaxWaitMutexLockUnlock/8", "BM_PthreadRecursiveLockUnlock");
        ratio("BM_VfwMutexLock", "BM_StdLockGuardWithCancelState");
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
