// The background log queue: records posted by the logging threads and delivered in order by
// one thread of its own, with back-pressure and an account of what overflow dropped.
#include <syslog.h>
#include <time.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <cstring>
#include <stdexcept>
#include <string>

#include "log_internal.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/property_source.h"
#include "vfw/runqueue.h"

namespace vfw {

namespace {

// One record waiting for the log thread. A notice is the logger's own overflow warning, which
// is not counted when overflow drops it. The line is held at its own length: a record costs the
// producer two small allocations, not one of a whole line's room.
class QueuedMessage : public QueueAble {
  public:
    QueuedMessage(int priority, const char* line, bool notice)
        : m_priority(priority), m_text(line, strnlen(line, 1023)), m_notice(notice) {}
    void run() override;
    bool isNotice() const { return m_notice; }

  private:
    int32_t m_priority;
    std::string m_text;
    bool m_notice;
};

// The running queue, read by every log call without a lock (boost's atomic load and store) and
// changed only under the start-and-stop lock.
boost::shared_ptr<RunQueue> g_logQueue;
// Guarded by the start-and-stop lock.
boost::shared_ptr<Thread> g_logThread;
// The logger "log", looked up before the thread starts and released after it ended (both under
// the start-and-stop lock), so that the log thread never waits for the registry lock while
// stopThread waits for the thread.
Logger g_reportLogger;

Mutex& startStopLock() {
    static Mutex* lock = new Mutex();  // never destroyed: shutdownLogging may run during exit
    return *lock;
}

// Records lost to overflow and not yet reported.
std::atomic<uint64_t> g_lost{0};

// The log thread delivers its own records at once: it never takes the output lock, which
// stopThread holds while it waits for the thread to end.
thread_local bool t_logThread = false;
// Set while a thread logs the overflow warning, whose own overflow is not warned about again.
thread_local bool t_inOverflow = false;

// Tells how many records overflow dropped since the last report, through the logger "log".
void reportLost() {
    if (g_lost.load(std::memory_order_relaxed) == 0) {
        return;
    }
    unsigned long lost = g_lost.exchange(0);
    VFW_LOG(g_reportLogger, LEVEL_ERROR, "Vantrel logger dropped %lu messages", lost);
}

void QueuedMessage::run() {
    deliverRecord(m_priority, m_text.c_str());
    reportLost();
}

void* logThreadBody(void* argument) {
    t_logThread = true;
    try {
        static_cast<RunQueue*>(argument)->runQueue(0);
    } catch (const QueueInterrupted&) {
    } catch (const std::exception& e) {
        syslog(LOG_WARNING, "Unexpected runqueue exception %s", e.what());
    }
    return nullptr;
}

// The record that met the full queue is lost, and so is the newest queued one, whose place the
// warning takes; every producer then pauses 10 ms, outside every lock.
void overflow(RunQueue& queue, const char* reason) {
    uint64_t lost = 1;
    boost::shared_ptr<QueuedMessage> dropped =
        boost::dynamic_pointer_cast<QueuedMessage>(queue.dropNewest());
    if (dropped && !dropped->isNotice()) {
        ++lost;
    }
    g_lost.fetch_add(lost);
    if (!t_inOverflow) {
        t_inOverflow = true;
        Logger log = getLogger("log");
        VFW_LOG(log, LEVEL_ERROR,
                "Warning: Vantrel logger dropping messages:(%s) Please insure syslog is running "
                "correctly or increase the value of %s in vantrelhub.conf.",
                reason, "logger.queue.size");
        t_inOverflow = false;
    }
    timespec pause{0, 10000000L};
    nanosleep(&pause, nullptr);
}

void post(RunQueue& queue, int priority, const char* line) {
    try {
        queue.post(boost::make_shared<QueuedMessage>(priority, line, t_inOverflow));
    } catch (const std::out_of_range& e) {
        overflow(queue, e.what());
    } catch (const EndOfFileException&) {
        MutexLock lock(outputLock());  // the queue is being stopped: its thread is gone
        deliverRecord(priority, line);
    } catch (const VFWException&) {
        g_lost.fetch_add(1);
    }
}

}  // namespace

// A record that finds no queue, or a queue being stopped, waits for the output lock, which the
// stop holds until the queue's last records have been delivered.
void submitRecord(int priority, const char* line) {
    if (t_logThread) {
        deliverRecord(priority, line);
        return;
    }
    boost::shared_ptr<RunQueue> queue = boost::atomic_load(&g_logQueue);
    if (!queue) {
        MutexLock lock(outputLock());
        deliverRecord(priority, line);
        return;
    }
    post(*queue, priority, line);
}

// Starting and stopping are serialised by a lock of their own, taken before every other lock
// of the module. The thread is started without the output lock: starting reads settings and
// looks up a logger, neither of which may wait under it.
void startThread(const Logger& logger) {
    MutexLock serial(startStopLock());
    if (logQueue()) {
        return;
    }
    long size = getIntProperty("logger.queue.size", 256);
    if (size < 1) {
        VFW_LOG(logger, LEVEL_WARN, "LogQueue disabled.  Recommended for debugging only.");
        return;
    }
    VFW_LOG(logger, LEVEL_DEBUG, "starting background log thread");
    g_reportLogger = getLogger("log");
    if (g_reportLogger && g_reportLogger->isEnabled(LEVEL_DEBUG)) {
        size *= 4;
    }
    auto queue = boost::make_shared<RunQueue>("Log", static_cast<uint32_t>(size), true);
    auto thread = boost::make_shared<Thread>();
    thread->start("com.vantrel.logger", &logThreadBody, queue.get());
    g_logThread = thread;
    boost::atomic_store(&g_logQueue, queue);
}

// The output lock is held until what was still queued has been delivered, by the caller once
// the thread has ended, so that a record logged meanwhile waits and comes after it; so does the
// account of what overflow dropped.
void stopThread(const Logger& logger) {
    MutexLock serial(startStopLock());
    {
        MutexLock lock(outputLock());
        if (boost::shared_ptr<RunQueue> queue = logQueue()) {
            queue->shutdown(g_logThread.get());
            g_logThread.reset();
            boost::atomic_store(&g_logQueue, boost::shared_ptr<RunQueue>());
            reportLost();
            g_reportLogger.reset();
        }
    }
    VFW_LOG(logger, LEVEL_DEBUG, "stopped background log thread");
}

boost::shared_ptr<RunQueue> logQueue() {
    return boost::atomic_load(&g_logQueue);
}

}  // namespace vfw
