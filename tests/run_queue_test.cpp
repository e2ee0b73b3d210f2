// Run queues: de-duplication, back-pressure and the serving thread's exemption, shutdown and
// interruption, items that throw, time queues in due order with a periodic event, and the
// registry of named queues. Waits follow the queue's own progress; bounds only end hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "support/log_capture.h"
#include "vfw/error_util.h"
#include "vfw/runqueue.h"

namespace {

using Records = std::vector<std::string>;
const std::string kDebug = "DEBUG util.runqueue ";

bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
    }
    return condition();
}

// The message of the E that `call` throws, "none" when it returns.
template <class E>
std::string thrown(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "none";
}

// Runs `body`; named, de-duplicating and keeping its place when asked.
struct Item : vfw::QueueAble {
    Item(std::function<void()> b, std::string n, bool d, int k)
        : body(b), name(n), dd(d), keep(k) {}
    void run() override { body(); }
    bool isDeDup() const override { return dd; }
    const std::string& getName() const override { return name; }
    int keepQueued(time_t) override { return keep; }
    std::function<void()> body;
    std::string name;
    bool dd;
    int keep;
};

vfw::QueueItem item(std::function<void()> body, std::string name = "", bool dd = false, int k = 0) {
    return boost::make_shared<Item>(body, name, dd, k);
}

// Calls runQueue(timeout) on a framework thread until it throws; `left` is what it threw.
struct Server {
    Server(vfw::RunQueue& q, int t = 0) : queue(q), timeout(t) { thread.start("srv", serve, this); }
    ~Server() {
        done ? void() : queue.interrupt();
        thread.join();
    }
    static void* serve(void* self) {
        Server& s = *static_cast<Server*>(self);
        try {
            for (;;) {
                s.queue.runQueue(s.timeout);
            }
        } catch (const std::exception& e) {
            s.left = e.what();
        } catch (int n) {
            s.left = "int " + std::to_string(n);
        }
        s.done = true;
        return nullptr;
    }
    vfw::RunQueue& queue;
    const int timeout;
    vfw::Thread thread;
    std::string left;
    std::atomic<bool> done{false};
};

// Sees the interrupt that shutdown sends.
struct WatchedQueue : vfw::RunQueue {
    using RunQueue::RunQueue;
    void interrupt() override { RunQueue::interrupt(), interrupted = true; }
    std::atomic<bool> interrupted{false};
};

std::string g_ran;
void note(void* label) {
    g_ran += static_cast<const char*>(label);
}
void serveUntilEmpty(vfw::TimeQueue& queue) {  // runQueue(0) runs at most what is due
    for (int calls = 0; calls < 10 && !queue.isEmpty(); ++calls) {
        queue.runQueue(0);
    }
}

class RunQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { vfw::getLogger("util.runqueue")->setLevel(vfw::LEVEL_DEBUG); }
    vfw_test::LogCapture m_capture;
};

// Items x1, y, x2 are posted, x1 and x2 both named "x"; shutdown(nullptr) runs what is left.
TEST_F(RunQueueTest, ADuplicateReplacesTheQueuedOneUnlessThatOneKeepsItsPlace) {
    const struct {
        bool quiet;
        int keep;
        const char* ran;
        Records records;
    } cases[] = {{false, 0, "y x2 ", {kDebug + "removed duplicate request x"}},
                 {true, 0, "y x2 ", {}},
                 {false, 1, "x1 y ", {}}};
    for (const auto& c : cases) {
        vfw::RunQueue queue("dedup", 0, c.quiet);
        std::string ran;
        for (const char* label : {"x1 ", "y ", "x2 "}) {
            const bool x = label[0] == 'x';
            queue.post(item([&ran, label] { ran += label; }, x ? "x" : label, x, c.keep));
        }
        queue.shutdown(nullptr);
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(m_capture.records(), c.records) << c.ran;
    }
}

// Each plain item notes the throttle as it runs: T set, - clear.
TEST_F(RunQueueTest, BackPressureThrottlesRefusesAFullQueueAndSparesTheServingThread) {
    vfw::RunQueue queue("Work", 4);
    std::string seen;
    std::atomic<int> ran{0}, stage{0};
    size_t ownSize = 0;
    const auto plain = [&] {
        return item([&] { seen += queue.isThrottled() ? "T" : "-", ++ran; });
    };
    queue.post(plain());
    EXPECT_FALSE(queue.isThrottled());
    queue.post(plain());  // 2 of 4: half
    EXPECT_TRUE(queue.isThrottled());
    Server server(queue);
    ASSERT_TRUE(eventually([&] { return ran == 2; }));
    EXPECT_TRUE(seen == "T-" && !queue.isThrottled());  // the server found 2 queued, then 1
    queue.post(item([&] {  // on the serving thread: fills the queue, later posts to it full
        for (int i = 0; i < 4; ++i) {
            queue.post(plain());
        }
        stage = 1;
        eventually([&] { return stage == 2; });
        queue.post(plain());
        ownSize = queue.size();
        stage = 3;
    }));
    ASSERT_TRUE(eventually([&] { return stage == 1; }));
    EXPECT_TRUE(queue.size() == 4 && !queue.isThrottled());
    EXPECT_EQ(thrown<vfw::BufferFullException>([&] { queue.post(plain()); }) + "|" +
                  thrown<std::out_of_range>([&] { queue.post(plain()); }),
              "runqueue full 4|runqueue full 4");
    stage = 2;
    ASSERT_TRUE(eventually([&] { return ran == 7; }));
    EXPECT_TRUE(ownSize == 5 && seen == "T------") << ownSize << seen;
    EXPECT_EQ(m_capture.records(),
              Records{"WARN  util.runqueue Work queue is full.  You may need to increase the "
                      "value of logger.queue.size in vantrelaud.conf."});
}

// Runs: b on the server (S), then 1 2 3 on the caller of shutdown (M).
TEST_F(RunQueueTest, ShutdownEndsTheServerAndDrainsOnTheCallerAndInterruptEndsAWait) {
    WatchedQueue queue("shut", 0);
    std::string ran;
    const auto on = [&ran](const char* label) {
        ran += std::string(label) + (vfw::Thread::current() ? "S " : "M ");
    };
    std::atomic<bool> blocked{false};
    Server server(queue);
    queue.post(item([&] {
        blocked = true;
        eventually([&] { return queue.interrupted.load(); });
        on("b");
    }));
    ASSERT_TRUE(eventually([&] { return blocked.load(); }));
    for (const char* label : {"1", "2", "3"}) {
        queue.post(item([&on, label] { on(label); }));
    }
    queue.shutdown(&server.thread);
    EXPECT_TRUE(server.done && server.left == "QueueInterrupted" && queue.isEmpty());
    EXPECT_EQ(ran, "bS 1M 2M 3M ");
    EXPECT_EQ(thrown<vfw::EndOfFileException>([&] { queue.post(item([] {})); }),
              "Queue is shutting down");
    // A thread that is no framework thread serves nothing; a waiting server leaves on interrupt.
    vfw::RunQueue idle("idle", 0);
    std::atomic<int> runs{0};
    idle.post(item([&] { ++runs; }));
    idle.runQueue(0);
    EXPECT_EQ(idle.size(), 1u);
    Server waiting(idle);
    ASSERT_TRUE(eventually([&] { return runs == 1; }));
    idle.interrupt();
    ASSERT_TRUE(eventually([&] { return waiting.done.load(); }));
    EXPECT_EQ(waiting.left, "QueueInterrupted");
    EXPECT_EQ(m_capture.records(), Records{});
}

// Queued: a framework fault, a counted item, the fault of the case, another counted item.
TEST_F(RunQueueTest, AFrameworkExceptionIsLoggedAndServedPastAnyOtherLeavesRunQueue) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { throw 7; }, "int 7"}, {[] { throw std::runtime_error("no luck"); }, "no luck"}};
    for (const auto& [fault, left] : cases) {
        vfw::RunQueue queue("faults", 0);
        std::atomic<int> runs{0};
        queue.post(item([] { VFW_THROW(vfw::IOException, 5, "disk %s", "gone"); }));
        for (const auto& body : {std::function<void()>([&] { ++runs; }), fault}) {
            queue.post(item(body));
        }
        queue.post(item([&] { ++runs; }));
        Server server(queue);
        ASSERT_TRUE(eventually([&] { return server.done.load(); }));
        EXPECT_TRUE(server.left == left && runs == 1 && queue.size() == 1) << server.left << runs;
        EXPECT_EQ(m_capture.records(), Records{kDebug + "unhandled exception disk gone"});
    }
    vfw::RunQueue plain("plain", 0);
    vfw::TimeQueue timed("timed");
    EXPECT_THROW(plain.post(vfw::QueueItem()), vfw::BadDataException);
    EXPECT_THROW(timed.post(vfw::QueueItem()), vfw::BadDataException);
}

// The periodic event waits on its third run for the shutdown, which thus finds it running.
TEST_F(RunQueueTest, TimeQueueRunsByDueTimeAndRepeatsAPeriodicEventUntilShutdown) {
    vfw::TimeQueue queue("timed");
    const time_t base = time(nullptr) - 60;  // every event is due already
    g_ran.clear();
    for (const char* label : {"30 ", "10 ", "20 "}) {
        queue.post(boost::make_shared<vfw::TimedEvent>(label, 0, &note, const_cast<char*>(label),
                                                       false, false, base + atoi(label)));
    }
    serveUntilEmpty(queue);
    EXPECT_EQ(g_ran, "10 20 30 ");
    struct Ticks {
        vfw::TimeQueue queue{"ticks"};
        std::atomic<int> runs{0};
    } ticks;
    const auto tick = [](void* argument) {
        Ticks& t = *static_cast<Ticks*>(argument);
        ++t.runs == 3 && eventually([&] { return t.queue.isShuttingDown(); });
    };
    ticks.queue.post(
        boost::make_shared<vfw::TimedEvent>("tick", 1, tick, &ticks, false, true, time(nullptr)));
    Server server(ticks.queue, 3600);
    ASSERT_TRUE(eventually([&] { return ticks.runs == 3; }));
    ticks.queue.shutdown(&server.thread);
    EXPECT_TRUE(server.left == "QueueInterrupted" && ticks.runs == 3 && ticks.queue.isEmpty());
}

TEST_F(RunQueueTest, TheRegistryFindsOrCreatesQueuesPostsEventsAndLogsDeletion) {
    vfw::RunQueue* work = vfw::getRunQueue("work", true, 8);
    ASSERT_TRUE(work != nullptr && work->capacity() == 8 && work->name() == "work");
    EXPECT_EQ(vfw::getRunQueue("work", true, 0), work);
    EXPECT_TRUE(!vfw::getRunQueue("unknown", false, 0) && !vfw::getTimeQueue("unknown", false, 0));
    char label[] = "event ";
    g_ran.clear();
    EXPECT_FALSE(vfw::postEvent("soon", 0, &note, label, false, false));
    vfw::TimeQueue* daemon = vfw::getTimeQueue("daemon", true, 0);
    EXPECT_TRUE(daemon != nullptr && vfw::getTimeQueue("daemon", true, 0) == daemon);
    EXPECT_TRUE(vfw::postEvent("soon", 0, &note, label, false, false));
    serveUntilEmpty(*daemon);
    EXPECT_EQ(g_ran, "event ");
    const std::string del = kDebug + "delRunQueue ";
    vfw::delRunQueue("unknown", nullptr);
    EXPECT_EQ(
        m_capture.records(),
        (Records{kDebug + "Created new RunQueue work", kDebug + "Created new TimeQueue daemon",
                 del + "unknown: start. gQueues Size=2.", del + "unknown: Not found."}));
    EXPECT_EQ(vfw::getRunQueue("work", false, 0), work);
    Server server(*work);  // joined by the deletion
    vfw::delRunQueue("work", &server.thread);
    EXPECT_TRUE(server.done && server.left == "QueueInterrupted");
    EXPECT_EQ(m_capture.records(),
              (Records{del + "work: start. gQueues Size=2.", del + "work: Removing from gQueues",
                       del + "work: Shutting down", del + "work: Deleting",
                       del + "work: end. gQueues Size=1."}));
    EXPECT_EQ(vfw::getRunQueue("work", false, 0), nullptr);
    vfw::delRunQueue("daemon", nullptr);
    EXPECT_FALSE(vfw::postEvent("late", 0, &note, label, false, false));
}

}  // namespace
