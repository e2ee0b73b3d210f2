// Cancellation of threads that take framework mutexes: a thread is cancelled only once it
// holds none of them, and a cancelled waiter never keeps its place.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "support/mutex_test_util.h"
#include "vfw/error_util.h"
#include "vfw/mutex.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

using mutex_test::currentCancelState;
using mutex_test::eventually;

struct CancelProbe {
    void (*body)(CancelProbe*) = nullptr;
    vfw::Mutex m;
    bool disableFirst = false;
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

}  // namespace
