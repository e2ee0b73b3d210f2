#include "vfw/thread.h"

#include <pthread.h>

#include <atomic>

#include "vfw/mutex.h"

// The thread library counts as present when this weak reference resolves. Since glibc 2.34
// libpthread lives inside libc and the answer is always yes there; on an older C library a
// program that does not link libpthread gets a null address here.
#pragma weak pthread_mutexattr_init

namespace vfw {

namespace {

// The count's lock is created on first use and never destroyed, so that a thread object
// destroyed during the process's exit still finds it.
Mutex* g_threadCountLock = nullptr;

// Changed only under g_threadCountLock; atomic so that signal() can read it without the lock.
std::atomic<int64_t> g_threadCount{0};

}  // namespace

bool Thread::threadLibraryPresent() {
    static const bool present = &pthread_mutexattr_init != nullptr;
    return present;
}

void Thread::setThreadCount(bool flag) {
    MutexLock lock(*Mutex::getOrCreate(&g_threadCountLock));
    g_threadCount.store(flag ? g_threadCount.load(std::memory_order_relaxed) + 1 : 0,
                        std::memory_order_release);
}

int64_t Thread::threadCount() {
    return g_threadCount.load(std::memory_order_acquire);
}

}  // namespace vfw
