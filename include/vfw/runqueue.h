// Work queues served by one framework thread each, timed events, and the process's registry of
// named queues.
//
// A `RunQueue` is a FIFO of `QueueAble` items (held by shared pointers) that producers post from
// any thread and one `Thread` serves with runQueue(); items run with the queue's lock released,
// so an item may post to its own queue. A bounded queue pushes back: a post that leaves it at
// least half full makes the poster sleep 10 ms (the throttle, cleared once the server finds it
// at most a third full); a post to a full, throttled queue waits up to 49.5 s for the throttle to
// clear; a post to a queue still full throws BufferFullException "runqueue full <n>". The
// serving thread itself is never refused, delayed or throttled by its own posts. An item whose
// isDeDup() is true replaces the oldest queued item of the same name (unless that one's
// keepQueued() says otherwise). A framework exception from an item is logged and the queue serves
// on; any other propagates out of runQueue. After shutdown() every post throws EndOfFileException
// "Queue is shutting down".
//
// A `TimeQueue` keeps its items ordered by due time (seconds since the epoch; equal times in
// posting order), runs each when due, and posts periodic items again after rescheduling them.
// It has no capacity check. Its shutdown runs only the items already due; the others are
// released unrun, since running a timed item early would be as wrong as running it late.
//
// Records go to the logger "util.runqueue"; a quiet queue writes none of its own (the log queue,
// which must not log into itself).
#ifndef VFW_RUNQUEUE_H
#define VFW_RUNQUEUE_H

#include <time.h>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "vfw/mutex.h"
#include "vfw/thread.h"

namespace vfw {

class Runnable {
  public:
    virtual ~Runnable();
    virtual void run() = 0;
};

// A queue item; the defaults suit a plain item that is neither named, timed nor periodic.
class QueueAble : public Runnable {
  public:
    virtual bool isDeDup() const { return false; }
    virtual const std::string& getName() const;
    // Due time, seconds since the epoch.
    virtual time_t getTime() const { return 0; }
    virtual bool isPeriodic() const { return false; }
    // Computes the next due time of a periodic item.
    virtual void reschedule() {}
    // Asked of a queued duplicate when a newer item of its name arrives, with the newer one's
    // due time: non-zero keeps this one queued and drops the newer one.
    virtual int keepQueued(time_t newTime);
};

using QueueItem = boost::shared_ptr<QueueAble>;

// Runs function(argument) when due; a periodic event is due again `interval` seconds after
// each run.
class TimedEvent : public QueueAble {
  public:
    using Function = void (*)(void*);
    TimedEvent(const std::string& name, long interval, Function function, void* argument,
               bool deDup, bool periodic, time_t due);

    void run() override { m_function(m_argument); }
    bool isDeDup() const override { return m_deDup; }
    const std::string& getName() const override { return m_name; }
    time_t getTime() const override { return m_due; }
    bool isPeriodic() const override { return m_periodic; }
    void reschedule() override;

  private:
    std::string m_name;
    long m_interval;
    Function m_function;
    void* m_argument;
    bool m_deDup;
    bool m_periodic;
    time_t m_due;
};

class RunQueue {
  public:
    // capacity 0: unbounded.
    RunQueue(const std::string& name, uint32_t capacity, bool quiet = false);
    virtual ~RunQueue();
    RunQueue(const RunQueue&) = delete;
    RunQueue& operator=(const RunQueue&) = delete;

    // Queues the item (a null one throws BadDataException).
    virtual void post(const QueueItem& item);
    // Called with the lock held: removes the queued duplicate of a de-duplicating item. Non-zero
    // means the item is not to be queued.
    virtual int doDeDup(const QueueItem& item);
    // Serves items on the calling framework thread: timeout 0 waits without end, a positive one
    // returns once that many seconds have passed, a negative one returns when the queue is
    // empty. Leaves with QueueInterrupted after interrupt(). Returns at once on a thread that is
    // not a framework thread (the first caller becomes the serving thread).
    virtual void runQueue(int timeout);
    virtual void run() { runQueue(0); }
    // Makes the serving thread leave runQueue at the next item (at once while it waits).
    virtual void interrupt();
    // Removes the most recently queued item and returns it (null when the queue is empty).
    virtual QueueItem dropNewest();
    virtual bool isEmpty();
    // Refuses posts from now on, interrupts and joins `thread` (when not null), then runs what
    // is left on the calling thread.
    virtual void shutdown(Thread* thread);
    virtual bool isShuttingDown() const { return m_shuttingDown.load(std::memory_order_acquire); }

    const std::string& name() const { return m_name; }
    uint32_t capacity() const { return m_capacity; }
    size_t size();
    bool isThrottled();

  protected:
    // Throws BadDataException for a null item; checkOpen, called with the lock held,
    // EndOfFileException once the queue is shutting down.
    void checkPostable(const QueueItem& item) const;
    void checkOpen() const;
    // Runs one item unlocked; a framework exception is logged (unless quiet) and swallowed.
    void runItem(const QueueItem& item);
    // Clears the interrupt and throws QueueInterrupted.
    [[noreturn]] void leaveInterrupted();
    // The next item to run, or null once the deadline (seconds since the epoch) has passed.
    QueueItem next(int timeout, time_t deadline);
    // Waits on the lock's condition until `deadline` (null: without end), cancellably.
    void waitUntil(MutexLock& lock, const timespec* deadline);
    bool isQuiet() const { return m_quiet; }

    const std::string m_name;
    std::deque<QueueItem> m_items;
    Mutex m_lock;
    bool m_interrupted = false;
    // Threads inside waitUntil: a post wakes the server only when it waits.
    uint32_t m_waiting = 0;
    std::atomic<bool> m_shuttingDown{false};
    const uint32_t m_capacity;
    const bool m_quiet;
    bool m_throttle = false;
    bool m_full = false;
    Thread* m_serving = nullptr;

  private:
    bool isServingThread() const;
    void throttleWait();
};

class TimeQueue : public RunQueue {
  public:
    explicit TimeQueue(const std::string& name, uint32_t capacity = 0, bool quiet = false);
    ~TimeQueue() override;

    // Inserts the item by due time; no capacity check.
    void post(const QueueItem& item) override;
    // Runs the items that are due for at most timeout seconds (0: what is due now) and returns.
    void runQueue(int timeout) override;

  private:
    QueueItem nextDue(time_t deadline);
    void repost(const QueueItem& item);
};

// The registered queue of that name (a TimeQueue for getTimeQueue); when there is none, a new
// one registered under the name if `create` is set, else null.
RunQueue* getRunQueue(const std::string& name, bool create, uint32_t capacity);
TimeQueue* getTimeQueue(const std::string& name, bool create, uint32_t capacity);
// Unregisters the queue, shuts it down (joining `thread`) and deletes it; nothing for an unknown
// name.
void delRunQueue(const std::string& name, Thread* thread);
// Posts a TimedEvent due `seconds` from now to the time queue "daemon". False when there is no
// such queue or it is shutting down.
bool postEvent(const std::string& name, long seconds, TimedEvent::Function function, void* argument,
               bool deDup, bool periodic);

}  // namespace vfw

#endif
