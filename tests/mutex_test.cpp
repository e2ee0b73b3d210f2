// Framework mutexes: ownership, recursion, waits, the bounded, scoped and polling locks, a real
// pthread_cancel, the thread facts. Waits follow the other thread's progress; bounds end hangs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "support/test_util.h"
#include "support/throw_macros.h"
#include "support/thrown.h"
#include "vfw/error_util.h"
#include "vfw/mutex.h"
#include "vfw/thread.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer's suppressions for this executable (read at its start, also in the children
// that rerun it): the destructions of held mutexes that destroyWhileHeld makes on purpose.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:destroyWhileHeld\n";
}
#endif

namespace {

// True once the thread sleeps in the kernel: the probed threads block on nothing but the mutex.
bool sleeping(const std::atomic<pid_t>& tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::string::size_type end = text.rfind(')');
    return tid != 0 && end != std::string::npos && (text + "  ")[end + 2] == 'S';
}

int cancelState() {
    int state, ignored;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, &ignored);
    return state;
}

using vfw_test::thrown;

// What `call` throws when it runs on a thread of its own.
std::string elsewhere(const std::function<void()>& call) {
    std::string result;
    std::thread([&] { result = thrown(call); }).join();
    return result;
}

std::string os(int error) {
    return "System " + std::to_string(error) + " OS call failed: " + std::strerror(error);
}

// Destroyed while held: EBUSY, but not while another exception leaves. ThreadSanitizer reports
// every destruction of a held mutex; this function's are exempt by its name (below).
void destroyWhileHeld() {
    auto* held = new vfw::Mutex;
    held->lock();
    EXPECT_EQ(thrown([&] { delete held; }), os(EBUSY));
    try {
        vfw::Mutex busy;
        busy.lock();
        throw std::runtime_error("first failure");
    } catch (const std::runtime_error&) {  // no other exception, no termination
    }
}

const std::string kTooMany =
    "TryAgain 11 too many clients waiting for mutex (configure more threads?)";
TEST(Mutex, OwnershipRecursionWaitsAndDestruction) {
    vfw::Mutex m;
    const timespec past = {1, 0}, invalid = {1, 2000000000L};
    m.lock();
    m.lock();
    EXPECT_TRUE(m.tryLock());
    EXPECT_EQ(m.lockCount(), 3);
    EXPECT_EQ(thrown([&] { m.wait(nullptr); }), os(EDEADLK));  // would block everyone
    m.unlock();
    m.unlock();
    EXPECT_FALSE(m.wait(&past));
    EXPECT_EQ(thrown([&] { m.wait(&invalid); }), os(EINVAL));
    // Another thread can neither take, release nor wait on it, and leaves the counters alone.
    EXPECT_EQ(elsewhere([&] { EXPECT_FALSE(m.tryLock()); }), "-");
    EXPECT_EQ(elsewhere([&] { m.unlock(); }) + elsewhere([&] { m.wait(&past); }),
              os(EPERM) + os(EPERM));
    EXPECT_TRUE(m.lockCount() == 1 && m.owner() == pthread_self());
    m.unlock();
    EXPECT_TRUE(m.lockCount() == 0 && m.owner() == pthread_t(0));
    // The scoped wait ends at now + the interval (the nanoseconds carry and borrow).
    vfw::MutexLock lock(m);
    const long waits[][2] = {{0, 300000000L}, {1, -999999999L}, {-1, 999999999L}};
    for (const auto& [seconds, nanoseconds] : waits) {
        const auto before = std::chrono::system_clock::now();
        EXPECT_FALSE(lock.wait(seconds, nanoseconds));
        EXPECT_GE(std::chrono::system_clock::now() - before,
                  std::chrono::nanoseconds(seconds * 1000000000L + nanoseconds));
    }
    lock.unlock();
    lock.unlock();  // releases once
    EXPECT_EQ(m.lockCount() + m.tryLock(), 1);
    m.unlock();
    destroyWhileHeld();
    vfw::Mutex *slot = nullptr, *created = vfw::Mutex::getOrCreate(&slot);
    EXPECT_TRUE(created != nullptr && slot == created && vfw::Mutex::getOrCreate(&slot) == created);
    delete slot;
}

// A waiter counts itself in under the mutex, so it waits once the test can take it; it reports
// w(oken) or t(imed out), then h when it held the mutex again.
TEST(Mutex, SignalOnlyOnceThreadObjectsExistAndBroadcastToAll) {
    vfw::Mutex m;
    std::atomic<int> ready{0};
    std::string woken[4];
    std::vector<std::thread> waiters;
    const auto wait = [&](time_t seconds, std::string& report) {
        waiters.emplace_back([&m, &ready, &report, seconds] {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += seconds;
            m.lock();
            ++ready;
            report = m.wait(&deadline) ? "w" : "t";
            report += m.lockCount() == 1 && m.owner() == pthread_self() ? "h" : "-";
            m.unlock();
        });
        const int expected = static_cast<int>(waiters.size());
        ASSERT_TRUE(vfw_test::eventually([&] { return ready == expected; }));
        m.lock();
    };
    vfw::Thread::setThreadCount(false);
    wait(1, woken[0]);
    m.signal();  // no thread object: nothing
    m.unlock();
    waiters[0].join();
    wait(30, woken[1]);
    m.unlock();
    wait(30, woken[2]);
    m.broadcast();
    m.unlock();
    wait(30, woken[3]);
    vfw::Thread::setThreadCount(true);
    m.signal();
    m.unlock();
    for (size_t i = 1; i < waiters.size(); ++i) {
        waiters[i].join();
    }
    EXPECT_EQ(woken[0] + woken[1] + woken[2] + woken[3], "thwhwhwh");
    vfw::Thread::setThreadCount(true);
    EXPECT_EQ(vfw::Thread::threadCount(), 2);
    vfw::Thread::setThreadCount(false);
    EXPECT_EQ(vfw::Thread::threadCount(), 0);
}

TEST(MaxWaitMutex, RefusesBeyondTheBoundButNeverTheHolderAndCountsEveryThreadOut) {
    vfw::MaxWaitMutex m(2);
    bool taken = true;
    m.lock();
    std::atomic<int> acquired{0};
    const auto take = [&] {
        vfw::MutexLock lock(m);
        ++acquired;
    };
    std::thread w1(take), w2(take);
    ASSERT_TRUE(vfw_test::eventually([&] { return m.waiting() == 2; }));
    std::atomic<bool> done{false};
    std::string refused;
    std::thread third([&] {
        refused = thrown(take) + "|" + std::to_string(cancelState());
        done = true;
    });
    ASSERT_TRUE(vfw_test::eventually([&] { return done || m.waiting() > 2; }));
    // A refused scoped lock gives the thread its cancellation state back.
    EXPECT_EQ(refused + elsewhere([&] { m.tryLock(); }), kTooMany + "|0" + kTooMany);
    m.lock();
    EXPECT_TRUE(m.tryLock());
    EXPECT_EQ(m.lockCount() + m.waiting(), 3 + 2);
    for (int i = 0; i < 3; ++i) {
        m.unlock();
    }
    for (std::thread* t : {&third, &w1, &w2}) {
        t->join();
    }
    EXPECT_EQ(acquired + m.waiting(), 2);
    // A failed tryLock counts the thread out again; without a bound nobody is refused.
    vfw::MaxWaitMutex one(1);
    vfw::MaxWaitMutex any(0);
    one.lock();
    any.lock();
    EXPECT_EQ(elsewhere([&] { taken = one.tryLock() || one.tryLock() || any.tryLock(); }), "-");
    EXPECT_FALSE(taken);
    one.unlock();
    any.unlock();
    EXPECT_EQ(vfw::MaxWaitMutex(-3).maxWaiters(), 0);
}

// A scoped lock whose acquisition or release throws gives the thread its cancellation state
// back; the polling lock waits for the holder with a pause of its own (0: 10 ms).
TEST(MutexLock, FailuresRestoreCancellationAndThePollingLockWaits) {
    vfw::Mutex m;
    m.lock();
    std::thread([&] {
        EXPECT_EQ(thrown([&] { vfw::MutexLock lock(m, 0, 2000000000L); }), os(EINVAL));
        EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
    }).join();
    for (long nanoseconds : {0L, 1000000L}) {
        std::atomic<bool> started{false}, acquired{false};
        std::thread poller([&] {
            started = true;
            vfw::MutexLock lock(m, 0, nanoseconds);
            acquired = m.lockCount() == 1 && m.owner() == pthread_self();
        });
        ASSERT_TRUE(vfw_test::eventually([&] { return started.load(); }));
        EXPECT_FALSE(acquired);
        m.unlock();
        poller.join();
        EXPECT_TRUE(acquired);
        m.lock();
    }
    m.unlock();
    EXPECT_EQ(thrown([&] {
                  vfw::MutexLock lock(m);
                  m.unlock();
              }),
              os(EPERM));
    EXPECT_EQ(cancelState(), PTHREAD_CANCEL_ENABLE);
    // A scoped lock taken with cancellation disabled leaves it disabled.
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    { vfw::MutexLock lock(m); }
    EXPECT_EQ(cancelState(), PTHREAD_CANCEL_DISABLE);
    pthread_setcancelstate(old, &old);
}

// Cancelled only once it holds no framework mutex, a waiter keeping no place. h holds a scoped
// lock, t throws out of it, l/s wait for the bounded mutex (by lock() or a scoped lock); flags:
// a(cquired), p(assed cancellation points), c(aught), r(eleased), o (ran on after).
struct Probe {
    explicit Probe(char b) : body(b) {}
    char body;
    vfw::Mutex m;
    vfw::MaxWaitMutex bounded{1};
    std::atomic<pid_t> tid{0};
    std::atomic<bool> holding{false}, go{false};
    std::string flags;
};

// AddressSanitizer keeps the poisoning of frames a cancellation unwinds, and its no-return hook
// (in cleanups resuming the unwinding) trips on it: the catching frame clears it first.
void* runProbe(void* arg) {
    Probe& probe = *static_cast<Probe*>(arg);
    probe.tid = gettid();
    try {
        if (probe.body == 'h' || probe.body == 't') {
            try {
                vfw::MutexLock lock(probe.m);
                probe.holding = true;
                vfw_test::eventually([&] { return probe.go.load(); });
                if (probe.body == 't') {
                    VFW_THROW_NOLOG(vfw::IOException, 5, "leaving the locked scope");
                }
                pthread_testcancel();
                const timespec pause = {0, 1000000};
                nanosleep(&pause, nullptr);
                probe.flags += "p";
            } catch (const vfw::IOException&) {
                probe.flags += "c";
            }
        } else if (probe.body == 'l') {
            probe.bounded.lock();
            probe.flags += "a";
            probe.bounded.unlock();
        } else {
            vfw::MutexLock lock(probe.bounded);
            probe.flags += "a";
        }
        probe.flags += "r";
        pthread_testcancel();
        probe.flags += "o";
    } catch (...) {  // the cancellation's unwinding
#if defined(__SANITIZE_ADDRESS__)
        const size_t below = 64 * 1024;
        char* frame = static_cast<char*>(__builtin_frame_address(0));
        __asan_unpoison_memory_region(frame - below, below);
#endif
        throw;
    }
    return nullptr;
}

TEST(MutexLockCancel, CancelledOnlyWithoutAHoldAndNeverKeepingAPlace) {
    for (const std::string expected : {"hp", "tcr", "lar", "sa"}) {
        SCOPED_TRACE(expected);
        const char body = expected[0];
        Probe probe(body);
        const bool holds = body == 'h' || body == 't';
        if (!holds) {
            probe.bounded.lock();
        }
        pthread_t thread;
        void* result = nullptr;
        ASSERT_EQ(pthread_create(&thread, nullptr, runProbe, &probe), 0);
        EXPECT_TRUE(vfw_test::eventually([&] {
            return holds ? probe.holding.load()
                         : probe.bounded.waiting() == 1 && sleeping(probe.tid);
        }));
        EXPECT_EQ(pthread_cancel(thread), 0);
        holds ? void(probe.go = true) : probe.bounded.unlock();
        EXPECT_TRUE(pthread_join(thread, &result) == 0 && result == PTHREAD_CANCELED);
        EXPECT_EQ(body + probe.flags, expected);
        EXPECT_EQ(probe.m.lockCount() + probe.bounded.lockCount() + probe.bounded.waiting(), 0);
        std::thread([&] {
            EXPECT_TRUE(probe.bounded.tryLock() && probe.m.tryLock());
            probe.bounded.unlock();
            probe.m.unlock();
        }).join();
    }
}
}  // namespace
