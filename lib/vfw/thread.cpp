#include "vfw/thread.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <atomic>
#include <cstring>
#include <exception>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/mutex.h"
#include "vfw/property_source.h"

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

void addToThreadCount(int64_t delta) {
    MutexLock lock(*Mutex::getOrCreate(&g_threadCountLock));
    g_threadCount.store(g_threadCount.load(std::memory_order_relaxed) + delta,
                        std::memory_order_release);
}

pthread_once_t g_keyOnce = PTHREAD_ONCE_INIT;
pthread_key_t g_currentKey;

Logger threadLogger() {
    return getLogger("util.thread");
}

bool priorityEnabled() {
    return getBoolProperty("vfw.clients.threads.priority", false);
}

// Cancellation unwinds a thread without the epilogues of the frames it skips. Under the address
// sanitizer their guard zones then stay poisoned below the live stack, where the sanitizer's own
// calls (at the next cleanup, at the thread's end) trip over them; they are cleared when the
// unwinding reaches the thread's entry.
class UnwindGuard {
  public:
    UnwindGuard() = default;
    ~UnwindGuard() {
#if defined(__SANITIZE_ADDRESS__)
        const size_t below = 64 * 1024;
        char* frame = static_cast<char*>(__builtin_frame_address(0));
        __asan_unpoison_memory_region(frame - below, below);
#endif
    }
};

void check(int rc) {
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

}  // namespace

Thread::Thread() {
    addToThreadCount(1);
}

// A thread that was started but never joined or detached is detached here, so that its
// resources go back to the system when it ends.
Thread::~Thread() {
    if (id() != 0 && !m_finished) {
        pthread_detach(id());
    }
    addToThreadCount(-1);
}

pthread_key_t Thread::currentKey() {
    pthread_once(&g_keyOnce, [] { pthread_key_create(&g_currentKey, &Thread::onKeyRelease); });
    return g_currentKey;
}

void Thread::onKeyRelease(void* self) {
    Thread* thread = static_cast<Thread*>(self);
    thread->onThreadExit();
    thread->m_running.store(false, std::memory_order_release);
}

// The creator stores the id after pthread_create has returned, so the new thread waits for it
// before anything can ask the object for its id.
void Thread::awaitId() const {
    while (id() == 0) {
        int rc = sched_yield();
        if (rc != 0) {
            Logger log = threadLogger();
            VFW_LOG(log, LEVEL_DEBUG, "Sched_yield() return failure unexpectedly (%d). %s", rc,
                    std::strerror(errno));
        }
    }
}

// Only standard exceptions are caught: the unwinding of a cancelled thread passes through.
void* Thread::entry(void* self) {
    const UnwindGuard guard;
    Thread* thread = static_cast<Thread*>(self);
    thread->awaitId();
    pthread_setspecific(currentKey(), thread);
    thread->m_running.store(true, std::memory_order_release);
    void* result = nullptr;
    try {
        result = thread->m_function(thread->m_argument);
    } catch (const std::exception& e) {
        Logger log = threadLogger();
        VFW_LOG(log, LEVEL_ERROR, "Thread %s ended by an exception: %s", thread->m_name.c_str(),
                e.what());
    }
    pthread_setspecific(currentKey(), nullptr);
    thread->m_running.store(false, std::memory_order_release);
    return result;
}

// Attributes inherit the creator's scheduling unless told otherwise, so SCHED_FIFO is set
// explicitly, at the policy's lowest priority. A process that may not use it (no privilege)
// gets the thread with the inherited scheduling instead.
void Thread::start(const char* name, Function function, void* argument) {
    Logger log = threadLogger();
    m_function = function;
    m_argument = argument;
    if (name != nullptr) {
        m_name = name;
    }
    pthread_attr_t attributes;
    check(pthread_attr_init(&attributes));
    const long stackSize = getIntProperty("vfw.clients.threads.stacksize", 0);
    if (stackSize > 0) {
        if (pthread_attr_setstacksize(&attributes, static_cast<size_t>(stackSize)) != 0) {
            VFW_LOG(log, LEVEL_DEBUG, "Failed to set the thread stack size, using system default");
        } else {
            VFW_LOG(log, LEVEL_DEBUG, "Set the pthread stack size to %ld", stackSize);
        }
    }
    const bool fifo = priorityEnabled();
    if (fifo) {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO);
        pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attributes, SCHED_FIFO);
        pthread_attr_setschedparam(&attributes, &param);
    }
    pthread_t id = 0;
    int rc = pthread_create(&id, &attributes, &Thread::entry, this);
    if (rc == EPERM && fifo) {
        VFW_LOG(log, LEVEL_DEBUG, "Failed to set SCHED_FIFO scheduling, using the inherited one");
        pthread_attr_setinheritsched(&attributes, PTHREAD_INHERIT_SCHED);
        rc = pthread_create(&id, &attributes, &Thread::entry, this);
    }
    pthread_attr_destroy(&attributes);
    check(rc);
    m_id.store(id, std::memory_order_release);
}

// A thread that was never started has nothing to join or detach: ESRCH, as for an unknown id.
void Thread::join() {
    if (m_finished) {
        return;
    }
    check(id() == 0 ? ESRCH : pthread_join(id(), nullptr));
    m_finished = true;
}

void Thread::detach() {
    check(id() == 0 ? ESRCH : pthread_detach(id()));
    m_finished = true;
}

void Thread::cancel() {
    if (!isRunning()) {
        return;
    }
    m_cancelRequested.store(true, std::memory_order_relaxed);
    check(pthread_cancel(id()));
}

void Thread::stop() {
    cancel();
    join();
}

void Thread::changePriority(int delta) {
    if (!priorityEnabled()) {
        return;
    }
    Logger log = threadLogger();
    const char* verb = delta < 1 ? "Decrease" : "Increase";
    int policy = 0;
    sched_param param{};
    int rc = pthread_getschedparam(id(), &policy, &param);
    if (rc != 0) {
        VFW_LOG(log, LEVEL_DEBUG, "Can't determine previous thread priority: %d", rc);
        return;
    }
    param.sched_priority += delta;
    rc = pthread_setschedparam(id(), SCHED_FIFO, &param);
    if (rc != 0) {
        VFW_LOG(log, LEVEL_DEBUG, "%s thread priority failed: %d", verb, rc);
    } else {
        VFW_LOG(log, LEVEL_DEBUG, "%s thread priority to %d", verb, param.sched_priority);
    }
}

Thread* Thread::current() {
    return static_cast<Thread*>(pthread_getspecific(currentKey()));
}

void Thread::disableCancel() {
    int old = 0;
    check(pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old));
}

void Thread::enableCancel() {
    int old = 0;
    check(pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old));
    pthread_testcancel();
}

void Thread::yield() {
    pthread_testcancel();
    check(sched_yield() == 0 ? 0 : errno);
}

// The parts are added up before the call, so that 1500 milliseconds is one and a half seconds
// rather than an invalid nanosecond field.
bool Thread::sleep(long seconds, long milliseconds, long microseconds, long nanoseconds) {
    pthread_testcancel();
    const long long total =
        ((static_cast<long long>(milliseconds) * 1000 + microseconds) * 1000) + nanoseconds;
    timespec interval{};
    interval.tv_sec = seconds + static_cast<time_t>(total / 1000000000);
    interval.tv_nsec = static_cast<long>(total % 1000000000);
    int rc = nanosleep(&interval, nullptr);
    pthread_testcancel();
    if (rc == 0) {
        return true;
    }
    if (errno == EINTR) {
        return false;
    }
    VFW_THROW_OS(vfw::SystemException, errno);
}

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
