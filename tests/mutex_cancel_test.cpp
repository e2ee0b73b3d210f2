// Cancellation of threads that take framework mutexes: a thread is cancelled only once it
// holds none of them, and a cancelled waiter never keeps its place.
#include <gtest/gtest.h>
#include <pthread.h>

#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>

#include "support/mutex_test_util.h"
#include "vfw/error_util.h"
#include "vfw/mutex.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using mutex_test::currentCancelState;
using mutex_test::eventually;
using mutex_test::Holder;
using mutex_test::sleepingInKernel;

struct CancelProbe {
    void (*body)(CancelProbe*) = nullptr;
    vfw::Mutex m;
    vfw::MaxWaitMutex bounded{1};
    bool disableFirst = false;
    bool cancelFirst = false;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> acquired{false};
    std::atomic<bool> holding{false};
    std::atomic<bool> go{false};
    std::atomic<bool> passedCancelPoints{false};
    std::atomic<bool> released{false};
    std::atomic<bool> caught{false};
    std::atomic<bool> ranOn{false};
};

void holdThroughCancel(CancelProbe* probe) {
    int ignored;
    if (probe->disableFirst) {
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
    }
    {
        vfw::MutexLock lock(probe->m);
        probe->holding = true;
        eventually([probe] { return probe->go.load(); });
        pthread_testcancel();
        const timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
        probe->passedCancelPoints = true;
    }
    probe->released = true;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &ignored);
    pthread_testcancel();
    probe->ranOn = true;
}

void throwThroughCancel(CancelProbe* probe) {
    try {
        vfw::MutexLock lock(probe->m);
        probe->holding = true;
        eventually([probe] { return probe->go.load(); });
        VFW_THROW_NOLOG(vfw::IOException, 5, "leaving the locked scope");
    } catch (const vfw::IOException&) {
        probe->caught = true;
    }
    pthread_testcancel();
    probe->ranOn = true;
}

// AddressSanitizer does not clear the stack poisoning of the frames that a cancellation's
// unwinding removes, and would report the thread's exit code that reuses that stack. The
// unused stack below this frame is cleared before the unwinding goes on.
void* runProbe(void* arg) {
    CancelProbe* probe = static_cast<CancelProbe*>(arg);
    try {
        probe->body(probe);
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

// Runs `body` on a POSIX thread, cancels it while it holds the probe's mutex, and returns
// what pthread_join reported.
void* cancelWhileHeld(CancelProbe& probe, void (*body)(CancelProbe*)) {
    probe.body = body;
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, nullptr, runProbe, &probe), 0);
    EXPECT_TRUE(eventually([&] { return probe.holding.load(); }));
    EXPECT_EQ(pthread_cancel(thread), 0);
    probe.go = true;
    void* result = nullptr;
    EXPECT_EQ(pthread_join(thread, &result), 0);
    return result;
}

TEST(MutexLockTest, CancellationActsOnlyAtRelease) {
    CancelProbe probe;
    EXPECT_EQ(cancelWhileHeld(probe, holdThroughCancel), PTHREAD_CANCELED);
    EXPECT_TRUE(probe.passedCancelPoints);
    EXPECT_FALSE(probe.released);
    EXPECT_EQ(probe.m.lockCount(), 0);
    EXPECT_EQ(probe.m.owner(), pthread_t(0));
    EXPECT_TRUE(probe.m.tryLock());
    probe.m.unlock();
}

TEST(MutexLockTest, CancellationDisabledBeforehandStaysDisabled) {
    CancelProbe probe;
    probe.disableFirst = true;
    EXPECT_EQ(cancelWhileHeld(probe, holdThroughCancel), PTHREAD_CANCELED);
    EXPECT_TRUE(probe.released);
    EXPECT_FALSE(probe.ranOn);

    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    {
        vfw::MutexLock lock(probe.m);
        EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_DISABLE);
    }
    EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_DISABLE);
    pthread_setcancelstate(old, &old);
    {
        vfw::MutexLock lock(probe.m);
        EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_DISABLE);
    }
    EXPECT_EQ(currentCancelState(), PTHREAD_CANCEL_ENABLE);
}

TEST(MutexLockTest, CancellationPendingWhileAnExceptionLeavesActsAtTheNextPoint) {
    CancelProbe probe;
    EXPECT_EQ(cancelWhileHeld(probe, throwThroughCancel), PTHREAD_CANCELED);
    EXPECT_TRUE(probe.caught);
    EXPECT_FALSE(probe.ranOn);
    EXPECT_EQ(probe.m.lockCount(), 0);
}

// Taking the bounded mutex with a cancellation requested before the call or while the
// thread waits for the holder. Each way goes on to a cancellation point once the mutex is
// free again, so a request that was kept pending ends the thread there.

void startTaking(CancelProbe* probe) {
    probe->tid = gettid();
    if (probe->cancelFirst) {
        pthread_cancel(pthread_self());
    }
}

void reachCancelPoint(CancelProbe* probe) {
    probe->released = true;
    pthread_testcancel();
    probe->ranOn = true;
}

void lockDirectly(CancelProbe* probe) {
    startTaking(probe);
    probe->bounded.lock();
    probe->acquired = true;
    probe->bounded.unlock();
    reachCancelPoint(probe);
}

void tryLockDirectly(CancelProbe* probe) {
    startTaking(probe);
    if (probe->bounded.tryLock()) {
        probe->acquired = true;
        probe->bounded.unlock();
    }
    reachCancelPoint(probe);
}

void lockScoped(CancelProbe* probe) {
    startTaking(probe);
    {
        vfw::MutexLock lock(probe->bounded);
        probe->acquired = true;
    }
    reachCancelPoint(probe);
}

struct TakeCase {
    const char* name;
    void (*body)(CancelProbe*);
    bool pendingAtStart;  // otherwise requested while the thread waits in the lock
    bool actsAtRelease;   // a scoped lock acts on the request as it releases
};

void* takeWhileCancelled(CancelProbe& probe, const TakeCase& take) {
    probe.body = take.body;
    probe.cancelFirst = take.pendingAtStart;
    std::unique_ptr<Holder> holder;
    if (!take.pendingAtStart) {
        holder = std::make_unique<Holder>(probe.bounded);
    }
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, nullptr, runProbe, &probe), 0);
    if (holder) {
        EXPECT_TRUE(eventually([&] {
            return probe.bounded.waiting() == 1 && probe.tid != 0 && sleepingInKernel(probe.tid);
        }));
        EXPECT_EQ(pthread_cancel(thread), 0);
        holder->release();
    }
    void* result = nullptr;
    EXPECT_EQ(pthread_join(thread, &result), 0);
    return result;
}

TEST(MaxWaitMutexCancelTest, CancelledThreadKeepsNeitherItsPlaceNorTheMutex) {
    const TakeCase cases[] = {
        {"lock, pending at the call", lockDirectly, true, false},
        {"lock, requested while waiting", lockDirectly, false, false},
        {"tryLock, pending at the call", tryLockDirectly, true, false},
        {"scoped lock, pending at the call", lockScoped, true, true},
        {"scoped lock, requested while waiting", lockScoped, false, true},
    };
    for (const TakeCase& take : cases) {
        SCOPED_TRACE(take.name);
        CancelProbe probe;
        EXPECT_EQ(takeWhileCancelled(probe, take), PTHREAD_CANCELED);
        EXPECT_TRUE(probe.acquired);
        EXPECT_EQ(probe.released.load(), !take.actsAtRelease);
        EXPECT_FALSE(probe.ranOn);
        EXPECT_EQ(probe.bounded.waiting(), 0);
        EXPECT_EQ(probe.bounded.lockCount(), 0);
        bool takenByAnother = false;
        std::thread([&] {
            try {
                takenByAnother = probe.bounded.tryLock();
            } catch (const vfw::TryAgainException&) {
            }
            if (takenByAnother) {
                probe.bounded.unlock();
            }
        }).join();
        EXPECT_TRUE(takenByAnother);
    }
}

}  // namespace
