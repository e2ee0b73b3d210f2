#include "vfw/mutex.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/mutex_test_util.h"
#include "vfw/error_util.h"
#include "vfw/thread.h"

namespace {

using mutex_test::currentCancelState;
using mutex_test::eventually;
using mutex_test::Holder;
using mutex_test::sleepingInKernel;

const char kTooManyWaiters[] = "too many clients waiting for mutex (configure more threads?)";

timespec fromNow(long nanoseconds) {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_nsec += nanoseconds;
    t.tv_sec += t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

template <class E>
void expectOsError(const std::function<void()>& call, int rc, const std::string& text) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const E& e) {
        EXPECT_EQ(e.getRc(), rc);
        EXPECT_EQ(std::string(e.what()), "OS call failed: " + text);
    }
}

TEST(MutexTest, RecursionCountsAndOwner) {
    vfw::Mutex m;
    EXPECT_EQ(m.lockCount(), 0);
    EXPECT_EQ(m.owner(), pthread_t(0));
    m.lock();
    m.lock();
    m.lock();
    EXPECT_EQ(m.lockCount(), 3);
    EXPECT_EQ(m.owner(), pthread_self());
    m.unlock();
    m.unlock();
    EXPECT_EQ(m.lockCount(), 1);
    EXPECT_EQ(m.owner(), pthread_self());
    bool freeForOthers = true;
    std::thread([&] { freeForOthers = m.tryLock(); }).join();
    EXPECT_FALSE(freeForOthers);
    m.unlock();
    EXPECT_EQ(m.lockCount(), 0);
    EXPECT_EQ(m.owner(), pthread_t(0));
    std::thread([&] {
        freeForOthers = m.tryLock();
        if (freeForOthers) {
            m.unlock();
        }
    }).join();
    EXPECT_TRUE(freeForOthers);
}

TEST(MutexTest, TryLockFailsForOthersAndRecursesForHolder) {
    vfw::Mutex m;
    Holder holder(m);
    bool got = true;
    int32_t countSeen = 0;
    std::thread([&] {
        got = m.tryLock();
        countSeen = m.lockCount();
    }).join();
    EXPECT_FALSE(got);
    EXPECT_EQ(countSeen, 1);
    EXPECT_EQ(m.owner(), holder.self());

    vfw::Mutex own;
    ASSERT_TRUE(own.tryLock());
    EXPECT_TRUE(own.tryLock());
    EXPECT_EQ(own.lockCount(), 2);
    EXPECT_EQ(own.owner(), pthread_self());
    own.unlock();
    own.unlock();
}

TEST(MutexTest, UnlockByNonHolderIsRefusedAndLeavesHolderIntact) {
    vfw::Mutex m;
    expectOsError<vfw::SystemException>([&] { m.unlock(); }, EPERM, "Operation not permitted");
    EXPECT_EQ(m.lockCount(), 0);

    Holder holder(m, 2);
    expectOsError<vfw::SystemException>([&] { m.unlock(); }, EPERM, "Operation not permitted");
    EXPECT_EQ(m.lockCount(), 2);
    EXPECT_EQ(m.owner(), holder.self());
    holder.release();
    EXPECT_TRUE(eventually([&] { return m.lockCount() == 0; }));
}

TEST(MutexTest, DestroyingAHeldMutexThrowsBusy) {
    vfw::Mutex* m = new vfw::Mutex;
    m->lock();
    expectOsError<vfw::SystemException>([&] { delete m; }, EBUSY, "Device or resource busy");
}

TEST(MutexTest, DestroyingAHeldMutexDuringUnwindingKeepsTheFirstException) {
    try {
        vfw::Mutex m;
        m.lock();
        throw std::runtime_error("first failure");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first failure");
    }
}

TEST(MutexTest, GetOrCreateGivesEveryCallerTheSameMutex) {
    vfw::Mutex* slot = nullptr;
    vfw::Mutex* first = vfw::Mutex::getOrCreate(&slot);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(slot, first);
    EXPECT_EQ(vfw::Mutex::getOrCreate(&slot), first);
    delete slot;

    slot = nullptr;
    std::atomic<bool> go{false};
    std::vector<vfw::Mutex*> seen(8);
    std::vector<std::thread> racers;
    for (auto& result : seen) {
        racers.emplace_back([&] {
            eventually([&] { return go.load(); });
            result = vfw::Mutex::getOrCreate(&slot);
        });
    }
    go = true;
    for (auto& racer : racers) {
        racer.join();
    }
    for (vfw::Mutex* result : seen) {
        EXPECT_EQ(result, slot);
    }
    delete slot;
}

// Waiting.

TEST(MutexWaitTest, PastDeadlineReturnsFalseAndRestoresTheHold) {
    vfw::Mutex m;
    m.lock();
    const timespec past = {1, 0};
    EXPECT_FALSE(m.wait(&past));
    EXPECT_EQ(m.lockCount(), 1);
    EXPECT_EQ(m.owner(), pthread_self());
    m.unlock();
    EXPECT_EQ(m.lockCount(), 0);
}

TEST(MutexWaitTest, InvalidDeadlineThrowsAndRestoresTheHold) {
    vfw::Mutex m;
    m.lock();
    const timespec invalid = {1, 2000000000L};
    expectOsError<vfw::SystemException>([&] { m.wait(&invalid); }, EINVAL, "Invalid argument");
    EXPECT_EQ(m.lockCount(), 1);
    EXPECT_EQ(m.owner(), pthread_self());
    m.unlock();
    EXPECT_EQ(m.owner(), pthread_t(0));
}

TEST(MutexWaitTest, WaitWithoutASingleHoldIsRefused) {
    vfw::Mutex m;
    const timespec past = {1, 0};
    expectOsError<vfw::SystemException>([&] { m.wait(&past); }, EPERM, "Operation not permitted");

    Holder holder(m);
    expectOsError<vfw::SystemException>([&] { m.wait(&past); }, EPERM, "Operation not permitted");
    EXPECT_EQ(m.lockCount(), 1);
    EXPECT_EQ(m.owner(), holder.self());
    holder.release();
    ASSERT_TRUE(eventually([&] { return m.lockCount() == 0; }));

    m.lock();
    m.lock();
    expectOsError<vfw::SystemException>([&] { m.wait(nullptr); }, EDEADLK,
                                        "Resource deadlock avoided");
    EXPECT_EQ(m.lockCount(), 2);
    m.unlock();
    m.unlock();
}

// A waiter that announces itself while holding the mutex; once the announcing thread can
// take the mutex, the waiter is inside the condition wait. Deadlines far away only turn a
// wake-up that never comes into a failure instead of a hang.
struct Waiter {
    Waiter(vfw::Mutex& m, const timespec* deadline)
        : thread([this, &m, deadline] {
              m.lock();
              ready = true;
              woken = m.wait(deadline);
              countAfter = m.lockCount();
              ownerAfter = m.owner();
              self = pthread_self();
              m.unlock();
          }) {}
    std::atomic<bool> ready{false};
    bool woken = false;
    int32_t countAfter = 0;
    pthread_t ownerAfter = 0;
    pthread_t self = 0;
    std::thread thread;
};

TEST(MutexWaitTest, BroadcastWakesEveryWaiterWithTheirHoldRestored) {
    vfw::Thread::setThreadCount(false);
    vfw::Mutex m;
    const timespec later = fromNow(30000000000L);
    Waiter first(m, &later);
    Waiter second(m, &later);
    ASSERT_TRUE(eventually([&] { return first.ready && second.ready; }));
    m.lock();
    m.broadcast();
    m.unlock();
    for (Waiter* w : {&first, &second}) {
        w->thread.join();
        EXPECT_TRUE(w->woken);
        EXPECT_EQ(w->countAfter, 1);
        EXPECT_EQ(w->ownerAfter, w->self);
    }
}

TEST(MutexWaitTest, SignalWakesAWaiterOnlyOnceThreadObjectsExist) {
    vfw::Mutex m;
    const timespec soon = fromNow(500000000L);
    Waiter ignored(m, &soon);
    ASSERT_TRUE(eventually([&] { return ignored.ready.load(); }));
    m.lock();
    vfw::Thread::setThreadCount(false);
    m.signal();
    m.unlock();
    ignored.thread.join();
    EXPECT_FALSE(ignored.woken);
    EXPECT_EQ(ignored.countAfter, 1);

    const timespec later = fromNow(30000000000L);
    Waiter heard(m, &later);
    ASSERT_TRUE(eventually([&] { return heard.ready.load(); }));
    m.lock();
    vfw::Thread::setThreadCount(true);
    m.signal();
    m.unlock();
    heard.thread.join();
    EXPECT_TRUE(heard.woken);
    EXPECT_EQ(heard.ownerAfter, heard.self);
    vfw::Thread::setThreadCount(false);
}

TEST(MutexWaitTest, ScopedWaitMeasuresTheIntervalFromNow) {
    vfw::Mutex m;
    vfw::MutexLock lock(m);
    for (long nanoseconds : {300000000L, -700000000L}) {
        const long seconds = nanoseconds < 0 ? 1 : 0;
        const long expected = seconds * 1000000000L + nanoseconds;
        timespec before, after;
        clock_gettime(CLOCK_REALTIME, &before);
        EXPECT_FALSE(lock.wait(seconds, nanoseconds));
        clock_gettime(CLOCK_REALTIME, &after);
        const long elapsed =
            (after.tv_sec - before.tv_sec) * 1000000000L + (after.tv_nsec - before.tv_nsec);
        EXPECT_GE(elapsed, expected);
        EXPECT_EQ(m.lockCount(), 1);
    }
}

// Bounded waiting.

std::vector<std::string> g_recordedClasses;

void recordClass(const char* className, const char*, const char*, int, int) {
    g_recordedClasses.push_back(className);
}

TEST(MaxWaitMutexTest, RefusesTheThreadBeyondTheBoundButNotTheHolder) {
    vfw::MaxWaitMutex m(2);
    EXPECT_EQ(m.maxWaiters(), 2);
    m.lock();
    std::atomic<int> acquired{0};
    auto waiter = [&] {
        m.lock();
        ++acquired;
        m.unlock();
    };
    std::thread w1(waiter), w2(waiter);
    ASSERT_TRUE(eventually([&] { return m.waiting() == 2; }));

    // 1: refused, 2: got the mutex (a fault).
    std::atomic<int> outcome{0};
    int rc = 0;
    std::string message;
    g_recordedClasses.clear();
    vfw::setExceptionRecorder(recordClass);
    std::thread fourth([&] {
        try {
            m.lock();
            outcome = 2;
            m.unlock();
        } catch (const vfw::TryAgainException& e) {
            rc = e.getRc();
            message = e.what();
            outcome = 1;
        }
    });
    ASSERT_TRUE(eventually([&] { return outcome != 0 || m.waiting() > 2; }));
    vfw::setExceptionRecorder(nullptr);
    EXPECT_EQ(outcome, 1);
    EXPECT_EQ(rc, 11);
    EXPECT_EQ(message, kTooManyWaiters);
    EXPECT_EQ(g_recordedClasses, std::vector<std::string>{"vfw::TryAgainException"});

    bool tryRefused = false;
    std::thread([&] {
        try {
            m.tryLock();
        } catch (const vfw::TryAgainException&) {
            tryRefused = true;
        }
    }).join();
    EXPECT_TRUE(tryRefused);
    EXPECT_EQ(m.waiting(), 2);

    m.lock();
    EXPECT_TRUE(m.tryLock());
    EXPECT_EQ(m.lockCount(), 3);
    EXPECT_EQ(m.owner(), pthread_self());
    EXPECT_EQ(m.waiting(), 2);
    m.unlock();
    m.unlock();
    m.unlock();
    fourth.join();
    w1.join();
    w2.join();
    EXPECT_EQ(acquired, 2);
    EXPECT_EQ(m.waiting(), 0);
    EXPECT_EQ(m.lockCount(), 0);
}

TEST(MaxWaitMutexTest, FailedTryLockCountsTheThreadOutAgain) {
    vfw::MaxWaitMutex m(1);
    Holder holder(m);
    for (int i = 0; i < 3; ++i) {
        bool got = true;
        std::thread([&] { got = m.tryLock(); }).join();
        EXPECT_FALSE(got);
        EXPECT_EQ(m.waiting(), 0);
    }
}

TEST(MaxWaitMutexTest, ZeroOrNegativeBoundNeverRefuses) {
    for (int32_t bound : {0, -3}) {
        vfw::MaxWaitMutex m(bound);
        EXPECT_EQ(m.maxWaiters(), 0);
        m.lock();
        std::atomic<int> refused{0}, acquired{0};
        std::vector<std::atomic<pid_t>> tids(5);
        std::vector<std::thread> threads;
        for (auto& tid : tids) {
            threads.emplace_back([&] {
                tid = gettid();
                try {
                    m.lock();
                    ++acquired;
                    m.unlock();
                } catch (const vfw::TryAgainException&) {
                    ++refused;
                }
            });
        }
        for (auto& tid : tids) {
            ASSERT_TRUE(eventually([&] { return tid != 0 && sleepingInKernel(tid); }));
        }
        EXPECT_EQ(m.waiting(), 0);
        m.unlock();
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(refused, 0);
        EXPECT_EQ(acquired, 5);
    }
}

TEST(MaxWaitMutexTest, RefusedScopedLockRestoresCancellation) {
    vfw::MaxWaitMutex m(1);
    Holder holder(m);
    std::thread waiter([&] { vfw::MutexLock lock(m); });
    ASSERT_TRUE(eventually([&] { return m.waiting() == 1; }));
    int stateAfter = -1;
    bool refused = false;
    std::thread([&] {
        try {
            vfw::MutexLock lock(m);
        } catch (const vfw::TryAgainException& e) {
            refused = e.getRc() == EAGAIN;
        }
        stateAfter = currentCancelState();
    }).join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(stateAfter, PTHREAD_CANCEL_ENABLE);
    holder.release();
    waiter.join();
}

TEST(MutexLockTest, EarlyUnlockReleasesOnce) {
    vfw::Mutex m;
    {
        vfw::MutexLock lock(m);
        lock.unlock();
        EXPECT_EQ(m.lockCount(), 0);
        lock.unlock();
        EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_ENABLE);
        expectOsError<vfw::SystemException>([&] { lock.wait(0, 0); }, EPERM,
                                            "Operation not permitted");
    }
    EXPECT_EQ(m.lockCount(), 0);
}

TEST(MutexLockTest, ReleaseOfAMutexNoLongerHeldThrowsAndRestoresCancellation) {
    vfw::Mutex m;
    expectOsError<vfw::SystemException>(
        [&] {
            vfw::MutexLock lock(m);
            m.unlock();
        },
        EPERM, "Operation not permitted");
    EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_ENABLE);
}

TEST(MutexLockTest, PollingLockAcquiresOnceTheHolderReleases) {
    for (long nanoseconds : {0L, 1000000L}) {
        vfw::Mutex m;
        Holder holder(m);
        std::atomic<bool> started{false}, acquired{false};
        int32_t countWhileHeld = 0;
        std::thread poller([&] {
            started = true;
            vfw::MutexLock lock(m, 0, nanoseconds);
            countWhileHeld = m.lockCount();
            acquired = m.owner() == pthread_self();
        });
        ASSERT_TRUE(eventually([&] { return started.load(); }));
        EXPECT_FALSE(acquired);
        holder.release();
        poller.join();
        EXPECT_TRUE(acquired);
        EXPECT_EQ(countWhileHeld, 1);
        EXPECT_EQ(m.lockCount(), 0);
    }
}

TEST(MutexLockTest, PollingLockWithAnInvalidPauseThrowsAndRestoresCancellation) {
    vfw::Mutex m;
    Holder holder(m);
    int stateAfter = -1;
    std::thread([&] {
        expectOsError<vfw::SystemException>([&] { vfw::MutexLock lock(m, 0, 2000000000L); }, EINVAL,
                                            "Invalid argument");
        stateAfter = currentCancelState();
    }).join();
    EXPECT_EQ(stateAfter, PTHREAD_CANCEL_ENABLE);
    EXPECT_EQ(m.owner(), holder.self());
}

// Process-wide thread facts.

TEST(ThreadFactsTest, ThreadLibraryIsPresent) {
    EXPECT_TRUE(vfw::Thread::threadLibraryPresent());
}

TEST(ThreadFactsTest, SetThreadCountAddsOneOrResets) {
    vfw::Thread::setThreadCount(false);
    EXPECT_EQ(vfw::Thread::threadCount(), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) {
                vfw::Thread::setThreadCount(true);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(vfw::Thread::threadCount(), 4000);
    vfw::Thread::setThreadCount(false);
    EXPECT_EQ(vfw::Thread::threadCount(), 0);
}

}  // namespace
