// The background log queue: its size, the overflow sequence, the stop that delivers what is
// left, and a stress run into a real rsyslogd. The log thread is held by an item of the test's
// own, so every step follows the program's progress, never the clock.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "support/log_capture.h"
#include "support/syslog_daemon.h"
#include "vfw/log.h"
#include "vfw/property_source.h"
#include "vfw/runqueue.h"

namespace {

// Logs "filler <n>" when it runs (on the log thread, or on the stopping thread under the output
// lock, where no logger may be looked up).
class Filler : public vfw::QueueAble {
  public:
    explicit Filler(int n) : m_n(n) {}
    void run() override { VFW_LOG(m_logger, vfw::LEVEL_INFO, "filler %d", m_n); }

  private:
    vfw::Logger m_logger = vfw::getLogger("test.queue");
    int m_n;
};

// Runs on the log thread: fills the queue to its capacity with fillers (the serving thread is
// never refused), says so, and holds the thread until released.
class Blocker : public vfw::QueueAble {
  public:
    explicit Blocker(vfw::RunQueue& queue) : m_queue(queue) {}
    void run() override {
        for (uint32_t n = 1; n <= m_queue.capacity(); ++n) {
            m_queue.post(boost::make_shared<Filler>(n));
        }
        filled.set_value();
        release.get_future().wait();
    }
    std::promise<void> filled, release;

  private:
    vfw::RunQueue& m_queue;
};

}  // namespace

TEST(LogQueue, IsSizedFromTheSettingsAndOverflowDropsTheNewestAndSaysSo) {
    vfw_test::ScopedSettings settings;
    vfw_test::LogCapture capture;
    vfw::Logger logger = vfw::getLogger("test.queue");

    settings.source.set("logger.queue.size", "0");
    vfw::startThread(logger);
    EXPECT_FALSE(vfw::logQueue());
    settings.source.set("logger.queue.size", "256");
    vfw::getLogger("log")->setLevel(vfw::LEVEL_DEBUG);
    vfw::startThread(logger);
    ASSERT_TRUE(vfw::logQueue());
    EXPECT_EQ(vfw::logQueue()->capacity(), 1024u);
    vfw::stopThread(logger);
    vfw::getLogger("log")->setLevel(-1);
    EXPECT_EQ(capture.records(), std::vector<std::string>{"WARN  test.queue LogQueue disabled.  "
                                                          "Recommended for debugging only."});

    // A full queue whose server is held: the record that meets it and the newest queued item
    // are lost, the warning takes the freed place and the caller pauses 10 ms.
    settings.source.set("logger.queue.size", "8");
    vfw::startThread(logger);
    boost::shared_ptr<vfw::RunQueue> queue = vfw::logQueue();
    auto blocker = boost::make_shared<Blocker>(*queue);
    queue->post(blocker);
    blocker->filled.get_future().wait();
    const auto start = std::chrono::steady_clock::now();
    VFW_LOG(logger, vfw::LEVEL_INFO, "lost");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    EXPECT_EQ(queue->size(), 8u);

    // The stop delivers what is left once the held item ends; later records go directly.
    std::thread releaser([&] {
        while (!queue->isShuttingDown()) {
            std::this_thread::yield();
        }
        blocker->release.set_value();
    });
    vfw::stopThread(logger);
    releaser.join();
    EXPECT_FALSE(vfw::logQueue());
    VFW_LOG(logger, vfw::LEVEL_INFO, "after");
    std::vector<std::string> expected;
    for (int n = 1; n <= 7; ++n) {
        expected.push_back("INFO  test.queue filler " + std::to_string(n));
    }
    expected.push_back(
        "ERROR log Warning: Vantrel logger dropping messages:(runqueue full 8) Please insure "
        "syslog is running correctly or increase the value of logger.queue.size in "
        "vantrelhub.conf.");
    expected.push_back("ERROR log Vantrel logger dropped 1 messages");
    expected.push_back("INFO  test.queue after");
    EXPECT_EQ(capture.records(), expected);
}

// Eight threads log through the queue while another reconfigures the levels: the run ends, each
// thread's records arrive in order, and those delivered and those reported dropped make the
// whole.
NS_TEST(LogQueue, StressedItDeliversInOrderAndAccountsForEveryRecord) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const int kRecords = 100000;
#else
    const int kRecords = 1000000;
#endif
    const int kThreads = 8;
    vfw_test::SyslogDaemon daemon;
    vfw_test::ScopedSettings settings;
    settings.source.set("logger.queue.size", "16384");
    vfw::Logger logger = vfw::getLogger("stress");
    vfw::startThread(logger);
    std::atomic<bool> done{false};
    std::thread reconfigurer([&] {
        vfw::MapPropertySource levels;
        for (int round = 0; !done; ++round) {
            levels.set("log.stress.other", round % 2 ? "DEBUG" : "WARN");
            vfw::ReconfigureLevels(levels);
        }
    });
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&logger, t] {
            for (int i = 0; i < kRecords / kThreads; ++i) {
                VFW_LOG(logger, vfw::LEVEL_INFO, "record %d %d", t, i);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    done = true;
    reconfigurer.join();
    vfw::stopThread(logger);

    std::vector<int> next(kThreads, 0);
    long delivered = 0, dropped = 0;
    for (const vfw_test::SyslogMessage& message : daemon.sync()) {
        int t, i;
        unsigned long count;
        if (std::sscanf(message.text.c_str(), "INFO  stress record %d %d", &t, &i) == 2) {
            ASSERT_TRUE(t >= 0 && t < kThreads && i >= next[t]) << message.text;
            next[t] = i + 1;
            ++delivered;
        } else if (std::sscanf(message.text.c_str(), "ERROR log Vantrel logger dropped %lu",
                               &count) == 1) {
            dropped += static_cast<long>(count);
        }
    }
    EXPECT_EQ(delivered + dropped, kRecords);
}
