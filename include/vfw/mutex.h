// Recursive mutexes of the framework and the scoped lock through which they are taken.
//
// `Mutex` is a recursive POSIX mutex with its own condition variable; it records the thread
// that holds it (`owner()`, 0 when free) and how many times that thread holds it
// (`lockCount()`, 0 when free). Only the holder may call unlock() and wait(); any other
// thread gets SystemException EPERM and the holder's state is left untouched. wait() must
// be entered holding the mutex exactly once (the POSIX wait releases one level only); a
// deeper hold is refused with SystemException EDEADLK instead of blocking for ever.
//
// `MaxWaitMutex` bounds how many threads may be blocked waiting for it at once; a thread
// beyond the bound gets TryAgainException (rc 11, EAGAIN) instead of queueing, and the mutex
// and the count of waiters are left as they were. The holder's own recursive acquisitions
// are never refused. A bound of 0 means no bound. Its lock() and tryLock() are no
// cancellation points, called directly or through a MutexLock: cancellation stays disabled
// from the admission to the end of the call, so a cancelled thread never keeps its place
// among the waiters nor ends inside the call holding the mutex; a request made meanwhile
// acts at the caller's next cancellation point (for a MutexLock, its release).
//
// `MutexLock` holds a mutex for its scope and keeps thread cancellation disabled meanwhile:
// a thread is never cancelled holding a framework mutex. On release the cancellation state
// saved at acquisition comes back and a cancellation requested meanwhile acts at once
// (unless the scope is left by an exception, in which case it acts at the next
// cancellation point). A lock taken with cancellation already disabled leaves it disabled.
//
// Every failing POSIX call throws SystemException with the error number as rc. Destroying a
// mutex that is still held throws SystemException EBUSY, except while an exception is
// already propagating, when the failure is dropped so that the process is not terminated.
#ifndef VFW_MUTEX_H
#define VFW_MUTEX_H

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace vfw {

class Mutex {
  public:
    Mutex();
    virtual ~Mutex() noexcept(false);
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Blocks until the calling thread holds the mutex (once more, if it already does).
    virtual void lock();
    // Releases one level; the last level frees the mutex and clears the owner.
    virtual void unlock();
    // Takes the mutex if that needs no waiting; false when another thread holds it.
    virtual bool tryLock();

    // Waits on the condition with the mutex released for the duration. `deadline` is absolute
    // on the real-time clock; null waits without limit. True when woken (possibly spuriously),
    // false when the deadline passed. The hold is restored on return either way, and also
    // when the wait fails (an invalid deadline throws SystemException EINVAL with the mutex
    // still held by the caller, exactly as before the call).
    bool wait(const timespec* deadline);
    // Wakes one waiter; does nothing while no framework thread object exists.
    void signal();
    // Wakes every waiter.
    void broadcast();

    // How many times the owner holds the mutex, and which thread that is (0 when free).
    // Exact for the calling thread about itself; a snapshot for anyone else.
    int32_t lockCount() const { return m_lockCount.load(std::memory_order_relaxed); }
    pthread_t owner() const { return m_owner.load(std::memory_order_relaxed); }

    // Returns *slot, first storing a new Mutex there when it is null. Threads racing on the
    // same empty slot all get the same Mutex. The Mutex is never freed by this function.
    static Mutex* getOrCreate(Mutex** slot);

  private:
    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
    // Written only by the holding thread; atomic so that other threads may read them.
    std::atomic<int32_t> m_lockCount;
    std::atomic<pthread_t> m_owner;
};

class MaxWaitMutex : public Mutex {
  public:
    // maxWaiters: the most threads that may wait for the mutex at once; 0 for no bound.
    explicit MaxWaitMutex(int32_t maxWaiters);
    ~MaxWaitMutex() noexcept(false) override;

    void lock() override;
    bool tryLock() override;

    int32_t maxWaiters() const { return m_maxWaiters; }
    // Threads currently admitted and inside the underlying lock call.
    int32_t waiting() const { return m_waiting.load(std::memory_order_relaxed); }

  private:
    // Counts the calling thread in, or throws TryAgainException when the bound is reached.
    // Returns whether the thread was counted (and so must be counted out afterwards).
    bool admit();
    void leave();

    int32_t m_maxWaiters;
    Mutex m_waitLock;
    // Changed only under m_waitLock.
    std::atomic<int32_t> m_waiting;
};

class MutexLock {
  public:
    // Disables cancellation and blocks until `mutex` is held.
    explicit MutexLock(Mutex& mutex);
    // Disables cancellation and polls with tryLock(), sleeping the given interval between
    // attempts (10 ms when both are 0), until `mutex` is held.
    MutexLock(Mutex& mutex, long seconds, long nanoseconds);
    ~MutexLock() noexcept(false);
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Releases the mutex before the end of the scope; later calls do nothing.
    void unlock();
    // Waits on the mutex's condition for at most the given interval from now.
    bool wait(long seconds, long nanoseconds);
    // Waits on the condition until `deadline` (absolute, real-time clock; null: without limit).
    // With `cancellable`, and when this lock was taken with cancellation enabled, a request to
    // cancel the thread ends the wait: the thread unwinds holding the mutex, which this lock
    // then releases.
    bool waitUntil(const timespec* deadline, bool cancellable);

  private:
    void release();

    Mutex* m_mutex;
    int32_t m_oldCancelState;
    bool m_locked;
};

}  // namespace vfw

#endif
