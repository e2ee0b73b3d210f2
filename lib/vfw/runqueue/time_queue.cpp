#include <cxxabi.h>
#include <time.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "runqueue_internal.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/runqueue.h"

namespace vfw {

TimeQueue::TimeQueue(const std::string& name, uint32_t capacity, bool quiet)
    : RunQueue(name, capacity, quiet) {}

TimeQueue::~TimeQueue() = default;

// The server sleeps until the front item is due, so it is woken only when the front changes:
// an item that goes first, or into an empty queue.
void TimeQueue::post(const QueueItem& item) {
    checkPostable(item);
    MutexLock lock(m_lock);
    checkOpen();
    if (doDeDup(item) != 0) {
        return;
    }
    const time_t due = item->getTime();
    auto at = std::find_if(m_items.begin(), m_items.end(),
                           [due](const QueueItem& queued) { return queued->getTime() > due; });
    const bool wakes = at == m_items.begin() || at == m_items.end();
    m_items.insert(at, item);
    if (wakes) {
        m_lock.signal();
    }
}

QueueItem TimeQueue::nextDue(time_t deadline) {
    MutexLock lock(m_lock);
    for (;;) {
        if (m_interrupted) {
            leaveInterrupted();
        }
        const time_t now = time(nullptr);
        if (!m_items.empty() && m_items.front()->getTime() <= now) {
            QueueItem item = std::move(m_items.front());
            m_items.pop_front();
            return item;
        }
        if (now >= deadline) {
            return QueueItem();
        }
        const time_t until =
            m_items.empty() ? deadline : std::min(deadline, m_items.front()->getTime());
        const timespec wake{until, 0};
        waitUntil(lock, &wake);
    }
}

void TimeQueue::repost(const QueueItem& item) {
    if (isShuttingDown() || !item->isPeriodic()) {
        return;
    }
    item->reschedule();
    try {
        post(item);
    } catch (const EndOfFileException&) {
    } catch (const std::exception& e) {
        if (!isQuiet()) {
            Logger log = queueLogger();
            VFW_LOG(log, LEVEL_ERROR, "Timequeue::runQueue: (post periodic) %s", e.what());
        }
    }
}

// Every exception of an item is caught here, except the unwinding of a cancelled thread (caught
// by a reference to an object the C library never makes, which the null check would report).
__attribute__((no_sanitize("null"))) void TimeQueue::runQueue(int timeout) {
    const time_t deadline = static_cast<int32_t>(time(nullptr) + timeout);
    for (;;) {
        QueueItem item = nextDue(deadline);
        if (!item) {
            return;
        }
        try {
            item->run();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (const std::exception& e) {
            if (!isQuiet()) {
                Logger log = queueLogger();
                VFW_LOG(log, LEVEL_DEBUG, "unhandled exception %s", e.what());
            }
        } catch (...) {
            if (!isQuiet()) {
                Logger log = queueLogger();
                VFW_LOG(log, LEVEL_DEBUG, "Timequeue::runQueue: got unknown exception");
            }
        }
        repost(item);
        if (time(nullptr) >= deadline) {
            return;
        }
    }
}

}  // namespace vfw
