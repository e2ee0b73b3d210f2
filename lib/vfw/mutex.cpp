#include "vfw/mutex.h"

#include <cerrno>
#include <exception>
#include <limits>

#include "vfw/error_util.h"
#include "vfw/thread.h"

#include "cancellation_scope.h"
#include "scope_exit.h"

namespace vfw {

namespace {

const long kNanosecondsPerSecond = 1000000000L;

// The polling lock's pause when its caller gives none: 10 ms.
const long kDefaultPollNanoseconds = 10000000L;

// `now` plus an interval, normalised; saturates instead of overflowing.
timespec addInterval(timespec now, long seconds, long nanoseconds) {
    long carry = nanoseconds / kNanosecondsPerSecond;
    long nsec = now.tv_nsec + nanoseconds % kNanosecondsPerSecond;
    if (nsec >= kNanosecondsPerSecond) {
        nsec -= kNanosecondsPerSecond;
        carry += 1;
    } else if (nsec < 0) {
        nsec += kNanosecondsPerSecond;
        carry -= 1;
    }
    time_t sec;
    if (__builtin_add_overflow(now.tv_sec, seconds, &sec) ||
        __builtin_add_overflow(sec, carry, &sec)) {
        sec = seconds < 0 ? 0 : std::numeric_limits<time_t>::max();
        nsec = 0;
    }
    timespec result;
    result.tv_sec = sec;
    result.tv_nsec = nsec;
    return result;
}

}  // namespace

Mutex::Mutex() : m_mutex{}, m_cond{}, m_lockCount(0), m_owner(0) {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    int rc = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (rc == 0) {
        rc = pthread_mutex_init(&m_mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
    rc = pthread_cond_init(&m_cond, nullptr);
    if (rc != 0) {
        pthread_mutex_destroy(&m_mutex);
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

// A mutex still held (or, for the condition, still waited on) cannot be destroyed. The
// failure is thrown, but not while another exception is propagating: a second exception
// would terminate the process, and the first one already says what went wrong. The
// condition is left alone when the mutex could not be destroyed, because destroying a
// condition that still has a blocked waiter would wait for that waiter for ever.
Mutex::~Mutex() noexcept(false) {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    int rc = pthread_mutex_destroy(&m_mutex);
    if (rc == 0) {
        rc = pthread_cond_destroy(&m_cond);
    }
    if (rc != 0 && std::uncaught_exceptions() == 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

void Mutex::lock() {
    int rc = pthread_mutex_lock(&m_mutex);
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
    m_lockCount.store(m_lockCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    m_owner.store(pthread_self(), std::memory_order_relaxed);
}

// The counters belong to the holder, so a caller that does not hold the mutex is refused
// before they are touched (with the error the POSIX call would give it). They are updated
// before the POSIX release, since the next holder writes them as soon as it gets the mutex.
void Mutex::unlock() {
    const pthread_t self = pthread_self();
    if (m_owner.load(std::memory_order_relaxed) != self) {
        VFW_THROW_OS(vfw::SystemException, EPERM);
    }
    const int32_t count = m_lockCount.load(std::memory_order_relaxed) - 1;
    m_lockCount.store(count, std::memory_order_relaxed);
    if (count == 0) {
        m_owner.store(0, std::memory_order_relaxed);
    }
    int rc = pthread_mutex_unlock(&m_mutex);
    if (rc != 0) {
        m_lockCount.store(count + 1, std::memory_order_relaxed);
        m_owner.store(self, std::memory_order_relaxed);
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

bool Mutex::tryLock() {
    int rc = pthread_mutex_trylock(&m_mutex);
    if (rc == EBUSY) {
        return false;
    }
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
    m_lockCount.store(m_lockCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    return true;
}

// The POSIX wait releases one level of the recursive mutex only, so a deeper hold would keep
// every other thread (and so every signaller) out for the whole wait; it is refused. On an
// error the POSIX call leaves the mutex held (an invalid deadline is rejected before the
// release), so the counters are restored on every outcome.
bool Mutex::wait(const timespec* deadline) {
    const pthread_t self = pthread_self();
    if (m_owner.load(std::memory_order_relaxed) != self) {
        VFW_THROW_OS(vfw::SystemException, EPERM);
    }
    const int32_t count = m_lockCount.load(std::memory_order_relaxed);
    if (count != 1) {
        VFW_THROW_OS(vfw::SystemException, EDEADLK);
    }
    // The hold is restored also when a cancellation unwinds out of the wait, which gives the
    // mutex back to the thread before it unwinds.
    struct RestoreHold {
        Mutex& mutex;
        int32_t count;
        pthread_t self;
        ~RestoreHold() {
            mutex.m_lockCount.store(count, std::memory_order_relaxed);
            mutex.m_owner.store(self, std::memory_order_relaxed);
        }
    };
    m_lockCount.store(0, std::memory_order_relaxed);
    m_owner.store(0, std::memory_order_relaxed);
    int rc = 0;
    {
        const RestoreHold restore{*this, count, self};
        rc = deadline == nullptr ? pthread_cond_wait(&m_cond, &m_mutex)
                                 : pthread_cond_timedwait(&m_cond, &m_mutex, deadline);
    }
    if (rc == 0) {
        return true;
    }
    if (rc == ETIMEDOUT) {
        return false;
    }
    VFW_THROW_OS(vfw::SystemException, rc);
}

void Mutex::signal() {
    if (Thread::threadCount() <= 0) {
        return;
    }
    int rc = pthread_cond_signal(&m_cond);
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

void Mutex::broadcast() {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    int rc = pthread_cond_broadcast(&m_cond);
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

Mutex* Mutex::getOrCreate(Mutex** slot) {
    Mutex* current = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (current != nullptr) {
        return current;
    }
    Mutex* created = new Mutex;
    if (__atomic_compare_exchange_n(slot, &current, created, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        return created;
    }
    delete created;
    return current;
}

// A negative bound would refuse every thread for good; it is read as "no bound", like 0.
MaxWaitMutex::MaxWaitMutex(int32_t maxWaiters)
    : m_maxWaiters(maxWaiters < 0 ? 0 : maxWaiters), m_waiting(0) {}

MaxWaitMutex::~MaxWaitMutex() noexcept(false) = default;

// The wait lock is taken directly, not through a MutexLock, whose release would act on a
// pending cancellation between the raising of the count and its giving back. The refusal is
// thrown once the wait lock is free again.
bool MaxWaitMutex::admit() {
    if (m_maxWaiters == 0 || owner() == pthread_self()) {
        return false;
    }
    m_waitLock.lock();
    const int32_t waiting = m_waiting.load(std::memory_order_relaxed);
    const bool admitted = waiting < m_maxWaiters;
    if (admitted) {
        m_waiting.store(waiting + 1, std::memory_order_relaxed);
    }
    m_waitLock.unlock();
    if (!admitted) {
        VFW_THROW(vfw::TryAgainException, EAGAIN,
                  "too many clients waiting for mutex (configure more threads?)");
    }
    return true;
}

void MaxWaitMutex::leave() {
    m_waitLock.lock();
    m_waiting.store(m_waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    m_waitLock.unlock();
}

// Cancellation stays disabled from the admission to the leave, so that a cancelled waiter
// never keeps its place and never ends holding the mutex; the caller's state comes back on
// return, and a request made meanwhile acts at the caller's next cancellation point. A
// thread that was counted in is counted out again however the lock call ends.
void MaxWaitMutex::lock() {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    const CancellationScope noCancellation(PTHREAD_CANCEL_DISABLE);
    const bool counted = admit();
    const ScopeExit countOut([this, counted] {
        if (counted) {
            leave();
        }
    });
    Mutex::lock();
}

bool MaxWaitMutex::tryLock() {
    if (!Thread::threadLibraryPresent()) {
        return true;
    }
    const CancellationScope noCancellation(PTHREAD_CANCEL_DISABLE);
    const bool counted = admit();
    const ScopeExit countOut([this, counted] {
        if (counted) {
            leave();
        }
    });
    return Mutex::tryLock();
}

// A constructor that fails leaves no object to restore the cancellation state, so it puts
// the saved state back itself before the exception leaves.
MutexLock::MutexLock(Mutex& mutex) : m_mutex(&mutex), m_oldCancelState(0), m_locked(false) {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    setCancelState(PTHREAD_CANCEL_DISABLE, &m_oldCancelState);
    ScopeExit restore([this] { setCancelState(m_oldCancelState, nullptr); });
    m_mutex->lock();
    restore.dismiss();
    m_locked = true;
}

MutexLock::MutexLock(Mutex& mutex, long seconds, long nanoseconds)
    : m_mutex(&mutex), m_oldCancelState(0), m_locked(false) {
    if (!Thread::threadLibraryPresent()) {
        return;
    }
    timespec pause;
    pause.tv_sec = seconds;
    pause.tv_nsec = seconds == 0 && nanoseconds == 0 ? kDefaultPollNanoseconds : nanoseconds;
    setCancelState(PTHREAD_CANCEL_DISABLE, &m_oldCancelState);
    ScopeExit restore([this] { setCancelState(m_oldCancelState, nullptr); });
    while (!m_mutex->tryLock()) {
        if (nanosleep(&pause, nullptr) != 0 && errno != EINTR) {
            const int error = errno;
            VFW_THROW_OS(vfw::SystemException, error);
        }
    }
    restore.dismiss();
    m_locked = true;
}

// A failed release while another exception propagates is dropped: throwing it would
// terminate the process, and the mutex is not held by this scope either way.
MutexLock::~MutexLock() noexcept(false) {
    if (!m_locked) {
        return;
    }
    try {
        release();
    } catch (const VFWException&) {
        if (std::uncaught_exceptions() == 0) {
            throw;
        }
    }
}

void MutexLock::unlock() {
    if (m_locked) {
        release();
    }
}

// A pending cancellation acts right after the release, except while an exception leaves the
// scope: starting the cancellation's unwinding from inside another unwinding would terminate
// the process, so it then acts at the thread's next cancellation point instead.
void MutexLock::release() {
    m_locked = false;
    ScopeExit restore([this] { setCancelState(m_oldCancelState, nullptr); });
    m_mutex->unlock();
    restore.dismiss();
    if (m_oldCancelState == PTHREAD_CANCEL_ENABLE) {
        setCancelState(PTHREAD_CANCEL_ENABLE, nullptr);
        if (std::uncaught_exceptions() == 0) {
            pthread_testcancel();
        }
    }
}

bool MutexLock::waitUntil(const timespec* deadline, bool cancellable) {
    if (!cancellable || m_oldCancelState != PTHREAD_CANCEL_ENABLE) {
        return m_mutex->wait(deadline);
    }
    const CancellationScope cancellation(PTHREAD_CANCEL_ENABLE);
    return m_mutex->wait(deadline);
}

bool MutexLock::wait(long seconds, long nanoseconds) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const timespec deadline = addInterval(now, seconds, nanoseconds);
    return m_mutex->wait(&deadline);
}

}  // namespace vfw
