// Run queues, time queues and their registry. Waits follow the queues' progress; bounds end hangs.
#include <boost/make_shared.hpp>
#include <thread>

#include "support/log_capture.h"
#include "support/thrown.h"
#include "vfw/error_util.h"
#include "vfw/runqueue.h"

namespace {
using Body = std::function<void()>;
using vfw_test::thrown;
const std::string INTERRUPTED = "QueueInterrupted 0 QueueInterrupted";
// Runs `body` when due; de-duplicated by name if keep >= 0 (kept if > 0), periodic if every > 0.
struct Item : vfw::TimedEvent {
    Item(Body b, std::string n = "", int k = -1, time_t due = 0, long every = 0)
        : TimedEvent(n, every, call, this, k >= 0, every > 0, due), body(b), keep(k) {}
    static void call(void* self) { static_cast<Item*>(self)->body(); }
    int keepQueued(time_t) override { return keep; }
    Body body;
    int keep;
};
template <class... Args>
vfw::QueueItem item(Args... args) {
    return boost::make_shared<Item>(args...);
}
struct Server : vfw::Thread {  // serves with runQueue(3600); `left` tells what ended it
    vfw::RunQueue& queue;
    std::string left;
    std::atomic<bool> done{false};
    explicit Server(vfw::RunQueue& q) : queue(q) { start("srv", serve, this); }
    ~Server() override { queue.interrupt(), join(); }
    std::string ended() {
        return vfw_test::eventually([&] { return done.load(); }) ? left : "running";
    }
    static void* serve(void* self) {
        Server& s = *static_cast<Server*>(self);
        s.left = thrown([&s] { s.queue.runQueue(3600); });
        return s.done = true, nullptr;
    }
};
struct WatchedQueue : vfw::RunQueue {  // sees the interrupt that shutdown sends
    using RunQueue::RunQueue;
    void interrupt() override { RunQueue::interrupt(), interrupted = true; }
    std::atomic<bool> interrupted{false};
};
class RunQueueTest : public ::testing::Test {
  protected:
    void SetUp() override { vfw::getLogger("util.runqueue")->setLevel(vfw::LEVEL_DEBUG); }
    static void note(void*) { ++s_noted; }
    // The records since the last call, each followed by "|", "DEBUG util.runqueue " left out.
    std::string log() {
        std::string text;
        for (const std::string& record : m_capture.records()) {
            text += (record.rfind("DEBUG util.runqueue ", 0) ? record : record.substr(20)) + "|";
        }
        return text;
    }
    static inline std::atomic<int> s_noted{0};
    vfw_test::LogCapture m_capture;
};

// x1, y, x2 are posted, x1 and x2 both named "x"; shutdown(nullptr) runs what is left in order.
TEST_F(RunQueueTest, ADuplicateReplacesTheQueuedOneUnlessThatOneKeepsItsPlace) {
    const std::tuple<bool, int, const char*> cases[] = {
        {false, 0, "y x2 removed duplicate request x|"}, {true, 0, "y x2 "}, {false, 1, "x1 y "}};
    for (const auto& [quiet, keep, expected] : cases) {
        vfw::RunQueue queue("dedup", 0, quiet);
        std::string ran;
        for (const char* label : {"x1 ", "y ", "x2 "}) {  // named by their first letter
            queue.post(item([&ran, label] { ran += label; }, std::string(1, *label), keep));
        }
        queue.shutdown(nullptr);
        EXPECT_EQ(ran + log(), expected);
    }
}

// Plain items note the throttle as they run: T set, - clear.
TEST_F(RunQueueTest, BackPressureThrottlesRefusesAFullQueueAndSparesTheServingThread) {
    vfw::RunQueue queue("Work", 4);
    std::string seen;
    std::atomic<int> ran{0}, stage{0};
    const auto plain = [&] { return item([&] { seen += "-T"[queue.isThrottled()], ++ran; }); };
    const bool early = (queue.post(plain()), queue.isThrottled());
    queue.post(plain());  // 2 of 4: half
    EXPECT_TRUE(!early && queue.isThrottled());
    Server server(queue);
    ASSERT_TRUE(vfw_test::eventually([&] { return ran == 2; }));
    EXPECT_TRUE(seen == "T-" && !queue.isThrottled());  // the server found 2 queued, then 1
    queue.post(item([&] {  // on the serving thread: fills the queue, then posts to it full
        for (int i = 0; i < 5; ++i) {
            i < 4 || (stage = 1, vfw_test::eventually([&] { return stage == 2; }));
            queue.post(plain());
        }
    }));
    ASSERT_TRUE(vfw_test::eventually([&] { return stage == 1; }));
    EXPECT_TRUE(queue.size() == 4 && !queue.isThrottled());
    EXPECT_EQ(thrown([&] { queue.post(plain()); }) + "|" + thrown([&] { queue.post(plain()); }),
              "BufferFull -1 runqueue full 4|BufferFull -1 runqueue full 4");
    stage = 2;
    ASSERT_TRUE(vfw_test::eventually([&] { return ran == 7; }));
    EXPECT_EQ(seen + log(),
              "T------WARN  util.runqueue Work queue is full.  You may need to increase the "
              "value of logger.queue.size in vantrelaud.conf.|");
    queue.interrupt();
    EXPECT_EQ(server.ended(), INTERRUPTED);
}

// Runs: b on the server (S), then 1 2 3 on the caller of shutdown (M).
TEST_F(RunQueueTest, ShutdownEndsTheServerThenDrainsTheQueueOnTheCaller) {
    WatchedQueue queue("shut", 0);
    std::string ran;
    const auto on = [&](const char* label) {
        return item([&, label] {
            *label == 'b' && vfw_test::eventually([&] { return queue.interrupted.load(); });
            ran += std::string(label) + (vfw::Thread::current() ? "S " : "M ");
        });
    };
    Server server(queue);
    queue.post(on("b"));
    ASSERT_TRUE(vfw_test::eventually([&] { return queue.isEmpty(); }));  // b is taken, to run there
    queue.post(on("1")), queue.post(on("2")), queue.post(on("3"));
    queue.shutdown(&server);
    EXPECT_EQ(ran + server.left + std::to_string(queue.size()), "bS 1M 2M 3M " + INTERRUPTED + "0");
    EXPECT_EQ(thrown([&] { queue.post(on("4")); }), "EndOfFile -1 Queue is shutting down");
}

// Queued: a framework fault, a counted item, an int thrown, another counted item.
TEST_F(RunQueueTest, AFrameworkExceptionIsLoggedAndServedPastAnyOtherLeavesRunQueue) {
    vfw::RunQueue queue("faults", 0);
    std::atomic<int> runs{0};
    const Body count = [&] { ++runs; };
    queue.post(item([] { VFW_THROW(vfw::IOException, 5, "disk gone"); }));
    queue.post(item(count)), queue.post(item([] { throw 7; })), queue.post(item(count));
    queue.runQueue(0);  // on no framework thread: serves nothing
    Server server(queue);
    EXPECT_TRUE(server.ended() == "other" && runs == 1 && queue.size() == 1) << runs;
    EXPECT_EQ(log(), "unhandled exception disk gone|");
    EXPECT_THROW(vfw::RunQueue("null", 0).post(vfw::QueueItem()), vfw::BadDataException);
    EXPECT_THROW(vfw::TimeQueue("null").post(vfw::QueueItem()), vfw::BadDataException);
}

// The periodic event waits on its third run for the shutdown, which thus finds it running.
TEST_F(RunQueueTest, TimeQueueRunsByDueTimeAndRepeatsAPeriodicEventUntilShutdown) {
    vfw::TimeQueue queue("timed");
    std::string ran;
    for (const char* label : {"30a ", "10 ", "20 ", "30b "}) {  // all due a while ago
        queue.post(item([&ran, label] { ran += label; }, "", -1, time(nullptr) - 60 + atoi(label)));
    }
    for (int calls = 0; calls < 10 && !queue.isEmpty(); ++calls) {
        queue.runQueue(0);  // runs at most what is due
    }
    EXPECT_EQ(ran, "10 20 30a 30b ");
    std::atomic<int> ticks{0};
    queue.post(
        item([&] { ++ticks == 3 && vfw_test::eventually([&] { return queue.isShuttingDown(); }); },
             "", -1, time(nullptr), 1));
    Server server(queue);
    ASSERT_TRUE(vfw_test::eventually([&] { return ticks == 3; }));
    queue.shutdown(&server);
    EXPECT_TRUE(server.left == INTERRUPTED && ticks == 3 && queue.isEmpty());
}

TEST_F(RunQueueTest, TheRegistryFindsOrCreatesQueuesPostsEventsAndLogsDeletion) {
    vfw::RunQueue* work = vfw::getRunQueue("work", true, 8);
    ASSERT_TRUE(work && work->capacity() == 8 && vfw::getRunQueue("work", true, 0) == work);
    EXPECT_TRUE(!vfw::getRunQueue("unknown", false, 0) && !vfw::getTimeQueue("unknown", false, 0));
    EXPECT_FALSE(vfw::postEvent("soon", 0, &note, nullptr, false, false));
    vfw::TimeQueue* daemon = vfw::getTimeQueue("daemon", true, 0);
    EXPECT_TRUE(daemon && vfw::getTimeQueue("daemon", true, 0) == daemon);
    EXPECT_TRUE(vfw::postEvent("soon", 0, &note, nullptr, false, false));
    daemon->runQueue(0);
    EXPECT_TRUE(s_noted == 1 && daemon->isEmpty());
    vfw::delRunQueue("unknown", nullptr);
    EXPECT_EQ(log(),
              "Created new RunQueue work|Created new TimeQueue daemon|"
              "delRunQueue unknown: start. gQueues Size=2.|delRunQueue unknown: Not found.|");
    vfw::delRunQueue("work", nullptr);  // still there, and the count still 2
    EXPECT_EQ(vfw::getRunQueue("work", false, 0), nullptr);
    EXPECT_EQ(log(),
              "delRunQueue work: start. gQueues Size=2.|delRunQueue work: Removing from gQueues|"
              "delRunQueue work: Shutting down|delRunQueue work: Deleting|"
              "delRunQueue work: end. gQueues Size=1.|");
}
}  // namespace
