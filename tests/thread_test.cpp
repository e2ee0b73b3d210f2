// Framework threads: the settings applied at start, the current-thread key, join, cancel and
// the exit hook, sleeping and its interruption, and the object count. Waits follow the other
// thread's progress; bounds only end hangs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "support/log_capture.h"
#include "support/thrown.h"
#include "vfw/error_util.h"
#include "vfw/property_source.h"
#include "vfw/thread.h"

namespace {

class Probe : public vfw::Thread {
  public:
    std::atomic<int> exits{0};

  protected:
    void onThreadExit() override { ++exits; }
};

std::atomic<vfw::Thread*> g_seen{nullptr};

void* recordCurrent(void*) {
    g_seen = vfw::Thread::current();
    return nullptr;
}

void* sleepLong(void* woken) {
    *static_cast<std::atomic<int>*>(woken) = vfw::Thread::sleep(3600, 5000, 0, 0) ? 1 : 2;
    return nullptr;
}

}  // namespace

// The stack size is applied when the system takes it and reported either way; the thread
// starts in every case.
TEST(ThreadTest, StartAppliesTheStackSizeAndSchedulingOrSaysWhyNot) {
    vfw::getLogger("util.thread")->setLevel(vfw::LEVEL_DEBUG);
    vfw_test::ScopedSettings settings;
    vfw_test::LogCapture capture;
    struct Case {
        const char* stackSize;
        const char* record;
    } cases[] = {
        {nullptr, nullptr},
        {"0", nullptr},
        {"100", "DEBUG util.thread Failed to set the thread stack size, using system default"},
        {"1048576", "DEBUG util.thread Set the pthread stack size to 1048576"}};
    for (const Case& c : cases) {
        c.stackSize ? settings.source.set("vfw.clients.threads.stacksize", c.stackSize)
                    : settings.source.erase("vfw.clients.threads.stacksize");
        vfw::Thread thread;
        thread.start("sized", &recordCurrent, nullptr);
        thread.join();
        EXPECT_EQ(g_seen.exchange(nullptr), &thread) << c.stackSize;
        std::vector<std::string> expected;
        if (c.record) {
            expected.push_back(c.record);
        }
        EXPECT_EQ(capture.records(), expected);
    }

    // SCHED_FIFO at its lowest priority, which changePriority then moves.
    settings.source.set("vfw.clients.threads.priority", "Yes");
    std::atomic<int> policy{-1};
    vfw::Thread fifo;
    fifo.start(
        "fifo",
        [](void* out) -> void* {
            sched_param param;
            int value;
            pthread_getschedparam(pthread_self(), &value, &param);
            *static_cast<std::atomic<int>*>(out) = value;
            vfw::Thread::sleep(3600, 0, 0, 0);
            return nullptr;
        },
        &policy);
    ASSERT_TRUE(vfw_test::eventually([&] { return policy != -1; }));
    EXPECT_EQ(policy, SCHED_FIFO);
    fifo.changePriority(3);
    fifo.changePriority(-2);
    fifo.changePriority(-5);
    settings.source.erase("vfw.clients.threads.priority");
    fifo.changePriority(7);
    EXPECT_EQ(capture.records(),
              (std::vector<std::string>{"DEBUG util.thread Set the pthread stack size to 1048576",
                                        "DEBUG util.thread Increase thread priority to 4",
                                        "DEBUG util.thread Decrease thread priority to 2",
                                        "DEBUG util.thread Decrease thread priority failed: 22"}));
    fifo.stop();
}

TEST(ThreadTest, JoinCancelAndTheExitHookFollowTheThreadsLife) {
    const int64_t before = vfw::Thread::threadCount();
    {
        Probe thread;
        EXPECT_EQ(vfw::Thread::threadCount(), before + 1);
        thread.start("once", &recordCurrent, nullptr);
        thread.join();
        thread.join();
        thread.cancel();  // its function has returned: nothing to cancel
        EXPECT_FALSE(thread.cancelRequested());
        EXPECT_EQ(thread.exits, 0);

        Probe cancelled;
        std::atomic<int> woken{0};
        cancelled.start("cancelled", &sleepLong, &woken);
        ASSERT_TRUE(vfw_test::eventually([&] { return cancelled.isRunning(); }));
        cancelled.stop();
        EXPECT_EQ(cancelled.exits, 1);
        EXPECT_FALSE(cancelled.isRunning());
        EXPECT_EQ(woken, 0);

        Probe exited;
        exited.start(
            "exited", [](void*) -> void* { pthread_exit(nullptr); }, nullptr);
        exited.join();
        EXPECT_EQ(exited.exits, 1);
        EXPECT_EQ(vfw::Thread::threadCount(), before + 3);
    }
    EXPECT_EQ(vfw::Thread::threadCount(), before);

    vfw::Thread marker;
    g_seen = &marker;
    std::thread(recordCurrent, nullptr).join();
    EXPECT_EQ(g_seen, nullptr);

    vfw::Thread idle;
    EXPECT_EQ(vfw_test::thrown([&] { idle.join(); }), "System 3 OS call failed: No such process");
}

// An exception leaving the function ends the thread, never the process.
TEST(ThreadTest, AnEscapingExceptionEndsOnlyTheThread) {
    vfw_test::LogCapture capture;
    vfw::Thread thread;
    thread.start(
        "thrower", [](void*) -> void* { throw std::runtime_error("out of rooms"); }, nullptr);
    thread.join();
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(capture.records(),
              std::vector<std::string>{
                  "ERROR util.thread Thread thrower ended by an exception: out of rooms"});
}

// The parts of a sleep are added up (5000 ms is five seconds, not an invalid interval); a
// signal ends it early.
TEST(ThreadTest, SleepLastsItsTimeUnlessASignalEndsIt) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(vfw::Thread::sleep(0, 250, 0, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, nullptr);
    std::atomic<int> woken{0};
    vfw::Thread sleeper;
    sleeper.start("sleeper", &sleepLong, &woken);
    // The signal may come before the sleep begins: it is sent until the sleep ends.
    for (int tries = 0; woken == 0 && tries < 6000; ++tries) {
        pthread_kill(sleeper.id(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(woken, 2);
    sleeper.join();
    EXPECT_THROW(vfw::Thread::sleep(0, 0, 0, -1), vfw::SystemException);
}
