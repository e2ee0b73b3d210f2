// A post-and-serve round trip through a run queue against the plain queue a programmer would
// write instead, in the same run: the benchmark's thread posts a batch of items and waits
// until the serving thread has run them all.
// - RunQueue: an unbounded vfw::RunQueue served by a vfw::Thread, one new item per post (the
//   way the framework's callers post), and the same with a batch of items made beforehand (the
//   queue's own cost, no allocation for the items);
// - Peer: std::mutex + std::condition_variable + std::deque served by a std::thread and
//   notified on every post, holding either std::function<void()> items or the run queue's own
//   items (new or made beforehand, as for the run queue).
// Every item does the same work: it counts itself, and the last one of a batch wakes the poster.
// The cases run as interleaved repetitions (random order, unless the command line chooses
// otherwise); the summary gives each case's median wall time and process CPU time per item
// and the ratios of the run queue to its peers.
#include <benchmark/benchmark.h>

#include <boost/make_shared.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "vfw/error_util.h"
#include "vfw/runqueue.h"

namespace {

constexpr int kBatch = 1000;

// The work of one item, shared by both sides. `ran` is touched by the serving thread only;
// `target` is set before the batch is posted, which the queue's lock orders before the serving
// thread reads it.
class Batch {
  public:
    void begin(long items) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_done = false;
        m_target = m_ran + items;
    }
    void item() {
        if (++m_ran == m_target) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_done = true;
            m_finished.notify_one();
        }
    }
    void wait() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_finished.wait(lock, [this] { return m_done; });
    }

  private:
    long m_ran = 0;
    long m_target = 0;
    bool m_done = false;
    std::mutex m_lock;
    std::condition_variable m_finished;
};

class CountItem : public vfw::QueueAble {
  public:
    explicit CountItem(Batch* batch) : m_batch(batch) {}
    void run() override { m_batch->item(); }

  private:
    Batch* m_batch;
};

// One batch of items made beforehand, or none (each post then makes its own).
std::vector<vfw::QueueItem> premadeItems(Batch& batch, bool premade) {
    std::vector<vfw::QueueItem> items;
    for (int i = 0; premade && i < kBatch; ++i) {
        items.push_back(boost::make_shared<CountItem>(&batch));
    }
    return items;
}

void* serveRunQueue(void* queue) {
    try {
        static_cast<vfw::RunQueue*>(queue)->runQueue(0);
    } catch (const vfw::QueueInterrupted&) {  // shut down
    }
    return nullptr;
}

// Process CPU time of the timed loop, per item, as a counter next to the wall time.
void reportCpu(benchmark::State& state, double cpuBefore) {
    const double items = double(state.iterations()) * kBatch;
    state.counters["cpu_ns"] = items > 0 ? (bench::cpuSeconds() - cpuBefore) * 1e9 / items : 0;
    state.SetItemsProcessed(int64_t(items));
}

void BM_RunQueue(benchmark::State& state) {
    vfw::RunQueue queue("bench", 0);
    Batch batch;
    const std::vector<vfw::QueueItem> items = premadeItems(batch, state.range(0) != 0);
    vfw::Thread server;
    server.start("bench-serve", serveRunQueue, &queue);
    const double cpuBefore = bench::cpuSeconds();
    for (auto _ : state) {
        batch.begin(kBatch);
        for (int i = 0; i < kBatch; ++i) {
            queue.post(items.empty() ? boost::make_shared<CountItem>(&batch) : items[i]);
        }
        batch.wait();
    }
    reportCpu(state, cpuBefore);
    queue.shutdown(&server);
}
BENCHMARK(BM_RunQueue)->ArgName("premade")->Arg(0)->Arg(1)->UseRealTime();

void run(const std::function<void()>& item) {
    item();
}
void run(const vfw::QueueItem& item) {
    item->run();
}

// The plain queue: a deque of items (functions, or shared items) under one mutex, the server
// woken on each post.
template <class Item>
class PeerQueue {
  public:
    void post(Item item) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_items.push_back(std::move(item));
        }
        m_posted.notify_one();
    }
    void serve() {
        for (;;) {
            Item item;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_posted.wait(lock, [this] { return m_stop || !m_items.empty(); });
                if (m_items.empty()) {
                    return;
                }
                item = std::move(m_items.front());
                m_items.pop_front();
            }
            run(item);
        }
    }
    void stop() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_posted.notify_one();
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<Item> m_items;
    bool m_stop = false;
};

// The plain queue, served by a std::thread; makeItem(batch, i) gives the i-th item of a batch.
template <class Item, class MakeItem>
void servePeer(benchmark::State& state, Batch& batch, MakeItem makeItem) {
    PeerQueue<Item> queue;
    std::thread server([&queue] { queue.serve(); });
    const double cpuBefore = bench::cpuSeconds();
    for (auto _ : state) {
        batch.begin(kBatch);
        for (int i = 0; i < kBatch; ++i) {
            queue.post(makeItem(i));
        }
        batch.wait();
    }
    reportCpu(state, cpuBefore);
    queue.stop();
    server.join();
}

void BM_Peer(benchmark::State& state) {
    Batch batch;
    servePeer<std::function<void()>>(
        state, batch, [&batch](int) { return std::function<void()>([&batch] { batch.item(); }); });
}
BENCHMARK(BM_Peer)->UseRealTime();

// The plain queue again, holding the run queue's own items (new or premade, as for the run
// queue): the queues compared with the same items in them.
void BM_PeerSharedItems(benchmark::State& state) {
    Batch batch;
    const std::vector<vfw::QueueItem> items = premadeItems(batch, state.range(0) != 0);
    servePeer<vfw::QueueItem>(state, batch, [&](int i) {
        return items.empty() ? vfw::QueueItem(boost::make_shared<CountItem>(&batch)) : items[i];
    });
}
BENCHMARK(BM_PeerSharedItems)->ArgName("premade")->Arg(0)->Arg(1)->UseRealTime();

// Keeps every repetition of every case: wall time and process CPU time per item.
class MedianReporter : public benchmark::ConsoleReporter {
  public:
    struct Median {
        double wallNs = 0;
        double cpuNs = 0;
    };
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                auto cpu = run.counters.find("cpu_ns");
                Samples& samples = m_samples[run.run_name.str()];
                samples.wall.push_back(run.GetAdjustedRealTime() / kBatch);
                samples.cpu.push_back(cpu == run.counters.end() ? 0 : double(cpu->second.value));
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    Median median(const std::string& name) const {
        auto it = m_samples.find(name);
        return it == m_samples.end()
                   ? Median()
                   : Median{bench::median(it->second.wall), bench::median(it->second.cpu)};
    }
    size_t repetitions(const std::string& name) const {
        auto it = m_samples.find(name);
        return it == m_samples.end() ? 0 : it->second.wall.size();
    }

  private:
    struct Samples {
        std::vector<double> wall, cpu;
    };
    std::map<std::string, Samples> m_samples;
};

}  // namespace

// Without repetitions or interleaving on the command line, 9 interleaved repetitions.
int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    bool repetitions = false, interleaving = false;
    for (int i = 1; i < argc; ++i) {
        repetitions |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
        interleaving |= std::strncmp(argv[i], "--benchmark_enable_random_interleaving", 38) == 0;
    }
    std::string repeat = "--benchmark_repetitions=9";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    if (!repetitions) {
        args.push_back(repeat.data());
    }
    if (!interleaving) {
        args.push_back(interleave.data());
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const char* const cases[] = {
        "BM_RunQueue/premade:0/real_time", "BM_RunQueue/premade:1/real_time", "BM_Peer/real_time",
        "BM_PeerSharedItems/premade:0/real_time", "BM_PeerSharedItems/premade:1/real_time"};
    std::printf("\nmedians of %zu repetitions, per item          wall ns   cpu ns\n",
                reporter.repetitions(cases[2]));
    for (const char* name : cases) {
        const MedianReporter::Median m = reporter.median(name);
        std::printf("%-44s %8.1f %8.1f\n", name, m.wallNs, m.cpuNs);
    }
    const struct {
        const char* label;
        const char* ours;
        const char* peer;
    } ratios[] = {{"RunQueue new items / Peer same new items", cases[0], cases[3]},
                  {"RunQueue premade / Peer same premade", cases[1], cases[4]},
                  {"RunQueue new items / Peer functions", cases[0], cases[2]},
                  {"RunQueue premade / Peer functions", cases[1], cases[2]}};
    std::printf("%-44s %8s %8s   (target at most 1.5)\n", "ratio", "wall", "cpu");
    for (const auto& r : ratios) {
        const MedianReporter::Median ours = reporter.median(r.ours), peer = reporter.median(r.peer);
        std::printf("%-44s %7.2fx %7.2fx\n", r.label,
                    peer.wallNs > 0 ? ours.wallNs / peer.wallNs : 0,
                    peer.cpuNs > 0 ? ours.cpuNs / peer.cpuNs : 0);
    }
    return 0;
}
