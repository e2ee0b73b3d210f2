// The logger registry: the tree of named loggers, its creation and its shutdown, and the
// inheritance of logger settings.
#include <syslog.h>

#include <algorithm>
#include <unordered_map>

#include "log_internal.h"
#include "vfw/log.h"

namespace vfw {

namespace {

struct Registry {
    std::unordered_map<std::string, Logger> loggers;
    Logger root;
};

// Both guarded by the registry lock; g_shutDown is also read without it as a fast refusal.
Registry* g_registry = nullptr;
std::atomic<bool> g_shutDown{false};

const char kDiagPrefix[] = "diag.";

std::string displayNameOf(const std::string& name) {
    return name.compare(0, sizeof kDiagPrefix - 1, kDiagPrefix) == 0
               ? name.substr(sizeof kDiagPrefix - 1)
               : name;
}

// Called with the registry lock held and the registry present.
Logger findOrCreate(const std::string& name) {
    if (name.empty()) {
        return g_registry->root;
    }
    auto found = g_registry->loggers.find(name);
    if (found != g_registry->loggers.end()) {
        return found->second;
    }
    size_t dot = name.rfind('.');
    Logger parent = findOrCreate(dot == std::string::npos ? std::string() : name.substr(0, dot));
    Logger logger(new NamedLogger(name, parent));
    g_registry->loggers.emplace(name, logger);
    return logger;
}

// Any program that logs links this file, so the exception record is in force there from
// start-up on; initLogging installs it again for programs whose first use is later.
[[maybe_unused]] const bool g_recorderInstalled = (installExceptionRecorder(), true);

}  // namespace

Mutex& registryLock() {
    static Mutex* lock = new Mutex();  // never destroyed: loggers may run during exit
    return *lock;
}

NamedLogger::NamedLogger(const std::string& name, const Logger& parent)
    : m_name(name),
      m_displayName(displayNameOf(name)),
      m_hidesName(m_displayName == "client" || m_displayName.compare(0, 7, "client.") == 0),
      m_parent(parent) {}

int NamedLogger::resolveLevel() {
    int level = -1;
    for (const NamedLogger* logger = this; logger != nullptr && level < 0;
         logger = logger->m_parent.get()) {
        level = logger->m_level.load(std::memory_order_relaxed);
    }
    if (level < 0) {
        level = LEVEL_INFO;  // a root left without a level by its owner
    }
    m_level.store(level, std::memory_order_relaxed);
    return level;
}

int NamedLogger::resolveMemoryLevel() {
    int level = -1;
    for (const NamedLogger* logger = this; logger != nullptr && level < 0;
         logger = logger->m_parent.get()) {
        level = logger->m_memoryLevel.load(std::memory_order_relaxed);
    }
    if (level < 0) {
        level = LEVEL_INFO;
    }
    m_memoryLevel.store(level, std::memory_order_relaxed);
    return level;
}

int NamedLogger::getFacility() const {
    for (const NamedLogger* logger = this; logger != nullptr; logger = logger->m_parent.get()) {
        int facility = logger->m_facility.load(std::memory_order_relaxed);
        if (facility >= 0) {
            return facility;
        }
    }
    return LOG_AUTH;
}

int NamedLogger::getShowMore() const {
    for (const NamedLogger* logger = this; logger != nullptr; logger = logger->m_parent.get()) {
        int flags = logger->m_showMore.load(std::memory_order_relaxed);
        if (flags >= 0) {
            return flags;
        }
    }
    return 0;
}

void initLogging() {
    MutexLock lock(registryLock());
    if (g_registry != nullptr || g_shutDown.load()) {
        return;
    }
    installExceptionRecorder();
    Registry* registry = new Registry();
    registry->root.reset(new NamedLogger("", Logger()));
    registry->root->setLevel(LEVEL_INFO);
    registry->root->setMemoryLevel(LEVEL_INFO);
    registry->root->setFacility(LOG_AUTH);
    registry->root->setShowMore(0);
    g_registry = registry;
    createMemoryBuffer();
}

// The log thread is stopped first, without the registry lock: what it still delivers may need
// a logger.
void shutdownLogging() {
    stopThread(Logger());
    MutexLock lock(registryLock());
    delete g_registry;
    g_registry = nullptr;
    releaseMemoryBuffer();
    closelog();
    g_shutDown.store(true);
}

Logger getLogger(const std::string& name) {
    if (g_shutDown.load(std::memory_order_relaxed)) {
        return Logger();
    }
    MutexLock lock(registryLock());
    initLogging();
    if (g_registry == nullptr) {
        return Logger();  // shut down meanwhile
    }
    return findOrCreate(name);
}

std::vector<Logger> registeredLoggers() {
    MutexLock lock(registryLock());
    std::vector<Logger> loggers;
    if (g_registry != nullptr) {
        loggers.reserve(g_registry->loggers.size());
        for (const auto& entry : g_registry->loggers) {
            loggers.push_back(entry.second);
        }
    }
    std::sort(loggers.begin(), loggers.end(),
              [](const Logger& a, const Logger& b) { return a->getName() < b->getName(); });
    return loggers;
}

Logger getLogger(const std::string& name, bool diag) {
    return getLogger(diag ? kDiagPrefix + name : name);
}

}  // namespace vfw
