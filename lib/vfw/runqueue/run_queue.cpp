#include <errno.h>
#include <time.h>

#include <utility>

#include "runqueue_internal.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/runqueue.h"

namespace vfw {

Logger queueLogger() {
    return getLogger("util.runqueue");
}

namespace {

void sleepMilliseconds(long milliseconds) {
    timespec interval{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&interval, &interval) != 0 && errno == EINTR) {
    }
}

}  // namespace

Runnable::~Runnable() = default;

const std::string& QueueAble::getName() const {
    static const std::string empty;
    return empty;
}

int QueueAble::keepQueued(time_t) {
    return 0;
}

TimedEvent::TimedEvent(const std::string& name, long interval, Function function, void* argument,
                       bool deDup, bool periodic, time_t due)
    : m_name(name),
      m_interval(interval),
      m_function(function),
      m_argument(argument),
      m_deDup(deDup),
      m_periodic(periodic),
      m_due(due) {}

void TimedEvent::reschedule() {
    m_due = time(nullptr) + m_interval;
}

RunQueue::RunQueue(const std::string& name, uint32_t capacity, bool quiet)
    : m_name(name), m_capacity(capacity), m_quiet(quiet) {}

RunQueue::~RunQueue() = default;

// The serving thread is recognised by its object and, since an object may be reused, by the
// POSIX id of the caller.
bool RunQueue::isServingThread() const {
    Thread* self = Thread::current();
    return self != nullptr && self == m_serving && pthread_equal(self->id(), pthread_self());
}

// Waits, with the lock released between the tries, for the server to bring the queue below a
// third of its capacity: tries k = 0 .. 99 pause k x 10 ms, at most 49.5 s in all.
void RunQueue::throttleWait() {
    for (long k = 0; k < 100 && m_throttle; ++k) {
        m_lock.signal();
        m_lock.unlock();
        sleepMilliseconds(k * 10);
        m_lock.lock();
    }
}

void RunQueue::checkPostable(const QueueItem& item) const {
    if (!item) {
        VFW_THROW(vfw::BadDataException, -1, "Null item posted to queue %s", m_name.c_str());
    }
}

// Checked under the lock, so that an item is either queued before shutdown's last look at the
// queue or refused: never left behind in a queue that nobody serves.
void RunQueue::checkOpen() const {
    if (isShuttingDown()) {
        VFW_THROW(vfw::EndOfFileException, -1, "Queue is shutting down");
    }
}

void RunQueue::post(const QueueItem& item) {
    checkPostable(item);
    bool pause = false;
    bool wake = false;
    {
        MutexLock lock(m_lock);
        checkOpen();
        const bool limited = m_capacity != 0 && !isServingThread();
        if (limited && m_items.size() >= m_capacity) {
            m_full = true;
            throttleWait();
            if (m_items.size() >= m_capacity) {
                VFW_THROW_LOGGED(!m_quiet, vfw::BufferFullException, -1, "runqueue full %ld",
                                 static_cast<long>(m_items.size()));
            }
        }
        if (doDeDup(item) != 0) {
            return;
        }
        m_items.push_back(item);
        wake = m_waiting != 0;
        if (limited && m_items.size() >= (m_capacity >> 1)) {
            m_throttle = true;
            pause = true;
        }
    }
    // Signalled after the release, so that the woken server does not at once block on the
    // lock its poster still holds.
    if (wake) {
        m_lock.signal();
    }
    if (pause) {
        sleepMilliseconds(10);
    }
}

int RunQueue::doDeDup(const QueueItem& item) {
    if (!item->isDeDup()) {
        return 0;
    }
    const std::string& name = item->getName();
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if ((*it)->getName() != name) {
            continue;
        }
        int keep = (*it)->keepQueued(item->getTime());
        if (keep != 0) {
            return keep;
        }
        m_items.erase(it);
        if (!m_quiet) {
            Logger log = queueLogger();
            VFW_LOG(log, LEVEL_DEBUG, "removed duplicate request %s", name.c_str());
        }
        return 0;
    }
    return 0;
}

void RunQueue::waitUntil(MutexLock& lock, const timespec* deadline) {
    struct CountWaiting {
        uint32_t& waiting;
        ~CountWaiting() { --waiting; }
    } count{++m_waiting};
    lock.waitUntil(deadline, true);
}

void RunQueue::leaveInterrupted() {
    m_interrupted = false;
    VFW_THROW_LOGGED(!m_quiet, vfw::QueueInterrupted, 0, "QueueInterrupted");
}

QueueItem RunQueue::next(int timeout, time_t deadline) {
    MutexLock lock(m_lock);
    if (m_full) {
        if (!m_quiet) {
            Logger log = queueLogger();
            VFW_LOG(log, LEVEL_WARN,
                    "%s queue is full.  You may need to increase the value of %s in "
                    "vantrelaud.conf.",
                    m_name.c_str(), "logger.queue.size");
        }
        m_full = false;
    }
    if (m_capacity != 0 && m_items.size() <= m_capacity / 3) {
        m_throttle = false;
    }
    const timespec until{deadline, 0};
    while (m_items.empty()) {
        if (m_interrupted) {
            leaveInterrupted();
        }
        if (timeout != 0 && time(nullptr) >= deadline) {
            return QueueItem();
        }
        waitUntil(lock, timeout == 0 ? nullptr : &until);
    }
    if (m_interrupted) {
        leaveInterrupted();
    }
    QueueItem item = std::move(m_items.front());
    m_items.pop_front();
    return item;
}

void RunQueue::runItem(const QueueItem& item) {
    try {
        item->run();
    } catch (const VFWException& e) {
        if (!m_quiet) {
            Logger log = queueLogger();
            VFW_LOG(log, LEVEL_DEBUG, "unhandled exception %s", e.what());
        }
    }
}

// A caller that is not a framework thread cannot serve the queue, except to drain it once
// it is shutting down: what is left is then run by whoever shut it down.
void RunQueue::runQueue(int timeout) {
    const time_t deadline = time(nullptr) + timeout;
    Thread* raise = nullptr;
    {
        MutexLock lock(m_lock);
        if (m_serving == nullptr) {
            m_serving = Thread::current();
        }
        if (m_serving == nullptr && !isShuttingDown()) {
            if (m_full) {
                Logger log = queueLogger();
                VFW_LOG(log, LEVEL_WARN, "Unable to retrieve thread object.");
                m_full = false;
            }
            return;
        }
        if (m_quiet && !isShuttingDown() && isServingThread()) {
            raise = m_serving;
        }
    }
    if (raise != nullptr) {
        raise->changePriority(5);
    }
    for (;;) {
        QueueItem item = next(timeout, deadline);
        if (!item) {
            return;
        }
        runItem(item);
    }
}

void RunQueue::interrupt() {
    MutexLock lock(m_lock);
    m_interrupted = true;
    m_lock.broadcast();
}

QueueItem RunQueue::dropNewest() {
    MutexLock lock(m_lock);
    QueueItem dropped;
    if (!m_items.empty()) {
        dropped = std::move(m_items.back());
        m_items.pop_back();
    }
    return dropped;
}

bool RunQueue::isEmpty() {
    MutexLock lock(m_lock);
    return m_items.empty();
}

size_t RunQueue::size() {
    MutexLock lock(m_lock);
    return m_items.size();
}

bool RunQueue::isThrottled() {
    MutexLock lock(m_lock);
    return m_throttle;
}

void RunQueue::shutdown(Thread* thread) {
    m_shuttingDown.store(true, std::memory_order_release);
    interrupt();
    if (thread != nullptr) {
        thread->join();
    }
    {
        MutexLock lock(m_lock);
        m_interrupted = false;
    }
    runQueue(-1);
}

}  // namespace vfw
