#include <time.h>

#include <boost/make_shared.hpp>
#include <exception>
#include <map>

#include "runqueue_internal.h"
#include "vfw/error_util.h"
#include "vfw/runqueue.h"

namespace vfw {

namespace {

// The registered queues by name, byte-wise ordered, and their lock, both made on first use and
// never freed, so that a queue may be looked up while the process exits.
Mutex* g_queuesLock = nullptr;

std::map<std::string, RunQueue*>& queues() {
    static auto* registered = new std::map<std::string, RunQueue*>;
    return *registered;
}

// The registered queue of that name when it is a Queue; a new one when there is none and
// `create` is set. A name registered for the other kind gives null.
template <class Queue>
Queue* findOrCreate(const std::string& name, bool create, uint32_t capacity, const char* kind) {
    MutexLock lock(*Mutex::getOrCreate(&g_queuesLock));
    auto found = queues().find(name);
    if (found != queues().end()) {
        return dynamic_cast<Queue*>(found->second);
    }
    if (!create) {
        return nullptr;
    }
    Queue* queue = new Queue(name, capacity);
    queues()[name] = queue;
    Logger log = queueLogger();
    VFW_LOG(log, LEVEL_DEBUG, "Created new %s %s", kind, name.c_str());
    return queue;
}

size_t registeredCount() {
    MutexLock lock(*Mutex::getOrCreate(&g_queuesLock));
    return queues().size();
}

}  // namespace

RunQueue* getRunQueue(const std::string& name, bool create, uint32_t capacity) {
    return findOrCreate<RunQueue>(name, create, capacity, "RunQueue");
}

TimeQueue* getTimeQueue(const std::string& name, bool create, uint32_t capacity) {
    return findOrCreate<TimeQueue>(name, create, capacity, "TimeQueue");
}

// The registry's lock is released before the queue is shut down, which runs its items.
void delRunQueue(const std::string& name, Thread* thread) {
    Logger log = queueLogger();
    const char* text = name.c_str();
    VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: start. gQueues Size=%lu.", text,
            static_cast<unsigned long>(registeredCount()));
    RunQueue* queue = nullptr;
    {
        MutexLock lock(*Mutex::getOrCreate(&g_queuesLock));
        auto found = queues().find(name);
        if (found == queues().end()) {
            VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: Not found.", text);
            return;
        }
        VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: Removing from gQueues", text);
        queue = found->second;
        queues().erase(found);
    }
    VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: Shutting down", text);
    queue->shutdown(thread);
    VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: Deleting", text);
    delete queue;
    VFW_LOG(log, LEVEL_DEBUG, "delRunQueue %s: end. gQueues Size=%lu.", text,
            static_cast<unsigned long>(registeredCount()));
}

bool postEvent(const std::string& name, long seconds, TimedEvent::Function function, void* argument,
               bool deDup, bool periodic) {
    TimeQueue* queue = getTimeQueue("daemon", false, 0);
    if (queue == nullptr) {
        return false;
    }
    try {
        queue->post(boost::make_shared<TimedEvent>(name, seconds, function, argument, deDup,
                                                   periodic, time(nullptr) + seconds));
    } catch (const EndOfFileException&) {
        return false;
    } catch (const std::exception& e) {
        Logger log = queueLogger();
        VFW_LOG(log, LEVEL_ERROR, "postEvent: %s", e.what());
        return false;
    }
    return true;
}

}  // namespace vfw
