// The destination writer: the syslog connection, configured once from the properties, and the
// choice between the process's log file and syslog for each record.
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "log_internal.h"
#include "vfw/log.h"
#include "vfw/property_source.h"
#include "vfw/string_util.h"

namespace vfw {

namespace {

// Guards the flags and the identity below. Nothing is called out of the module while it is
// held, so it can never be part of a lock cycle with the property layer's own lock.
Mutex& destinationLock() {
    static Mutex* lock = new Mutex();
    return *lock;
}

std::atomic<bool> g_configured{false};
bool g_syslogOpened = false;
// openlog keeps the pointer, so the identity lives in fixed storage for the whole process.
char g_identity[256];

// Set while this thread reads the properties for the configuration: a record logged by the
// property source meanwhile goes out without configuring again.
thread_local bool t_configuring = false;

class ConfiguringScope {
  public:
    ConfiguringScope() { t_configuring = true; }
    ~ConfiguringScope() { t_configuring = false; }
};

bool openlogWanted() {
    std::string value = toLower(getProperty(std::string("logger.openlog.") + programName()));
    return value != "false" && value != "no" && value != "0";
}

}  // namespace

Mutex& outputLock() {
    static Mutex* lock = new Mutex();  // never destroyed: records may be written during exit
    return *lock;
}

void configureDestination(bool force) {
    if (t_configuring || (!force && g_configured.load(std::memory_order_acquire))) {
        return;
    }
    ConfiguringScope scope;
    std::string destination = getProperty("logger.destination", "syslog");
    bool openWanted = openlogWanted();
    {
        MutexLock lock(destinationLock());
        if (!force && g_configured.load(std::memory_order_relaxed)) {
            return;  // another thread came first
        }
        if (!g_syslogOpened && openWanted) {
            std::snprintf(g_identity, sizeof g_identity, "%s", programName());
            openlog(g_identity, LOG_PID, LOG_AUTH);
            g_syslogOpened = true;
        }
        g_configured.store(true, std::memory_order_release);
    }
    // Only syslog is served as a destination; the log file is opened through FileLogging.
    if (geteuid() == 0 && destination != "syslog") {
        errno = 0;
        syslog(LOG_ERR, "Could not open %s: %m", destination.c_str());
    }
}

void deliverRecord(int priority, const char* line) {
    configureDestination(false);
    if (!getFileLogging().write(line)) {
        syslog(priority, "%s", line);
    }
}

}  // namespace vfw
