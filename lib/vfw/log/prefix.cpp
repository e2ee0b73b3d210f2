// The record prefix of the log file and the ring buffer: local time, short host name,
// program name and process id.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log_internal.h"
#include "vfw/log.h"

namespace vfw {

namespace {

// Fixed storage: these names are still read while the process runs its exit handlers.
char g_hostName[64];
char g_programName[4096];

const char* lookUpHostName() {
    if (gethostname(g_hostName, sizeof g_hostName) != 0) {
        return "NOHOSTNAME";
    }
    g_hostName[sizeof g_hostName - 1] = '\0';
    g_hostName[std::strcspn(g_hostName, ".")] = '\0';
    return g_hostName;
}

const char* hostName() {
    static const char* const name = lookUpHostName();
    return name;
}

// The text between the first "(" and the next ")" of /proc/self/stat.
void readProgramNameFromProc() {
    FILE* stat = std::fopen("/proc/self/stat", "r");
    if (stat == nullptr) {
        return;
    }
    char text[4096];
    size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[length] = '\0';
    const char* open = std::strchr(text, '(');
    const char* close = open != nullptr ? std::strchr(open + 1, ')') : nullptr;
    if (close != nullptr) {
        size_t nameLength = static_cast<size_t>(close - open - 1);
        std::memcpy(g_programName, open + 1, nameLength);
        g_programName[nameLength] = '\0';
    }
}

const char* lookUpProgramName() {
    if (program_invocation_short_name != nullptr && *program_invocation_short_name != '\0') {
        std::snprintf(g_programName, sizeof g_programName, "%s", program_invocation_short_name);
        return g_programName;
    }
    readProgramNameFromProc();
    if (g_programName[0] == '\0') {
        return "unknown";
    }
    program_invocation_short_name = g_programName;
    return g_programName;
}

// Cached, and forgotten in a forked child so that its records carry its own id.
std::atomic<pid_t> g_pid{0};

void forgetPid() {
    g_pid.store(0, std::memory_order_relaxed);
}

pid_t processId() {
    static const bool registered = (pthread_atfork(nullptr, nullptr, forgetPid), true);
    (void)registered;
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

// Everything after the caller's prefix changes only with the second (or with the pid, after
// a fork), so each thread formats it once per second and copies it for every record.
struct PrefixText {
    time_t second = -1;
    pid_t pid = 0;
    size_t length = 0;
    char text[80 + sizeof g_hostName + sizeof g_programName + 32];
};
thread_local PrefixText t_prefix;

const PrefixText& currentPrefix() {
    time_t now = std::time(nullptr);
    pid_t pid = processId();
    if (now != t_prefix.second || pid != t_prefix.pid) {
        char timeText[80];
        struct tm local;
        if (localtime_r(&now, &local) == nullptr ||
            std::strftime(timeText, sizeof timeText, "%F %T %z", &local) == 0) {
            std::snprintf(timeText, sizeof timeText, "%s", "<Time Error>");
        }
        int length = std::snprintf(t_prefix.text, sizeof t_prefix.text, "%s %s %s[%d]: ", timeText,
                                   hostName(), programName(), static_cast<int>(pid));
        t_prefix.length =
            std::min(static_cast<size_t>(std::max(length, 0)), sizeof t_prefix.text - 1);
        t_prefix.second = now;
        t_prefix.pid = pid;
    }
    return t_prefix;
}

}  // namespace

const char* programName() {
    static const char* const name = lookUpProgramName();
    return name;
}

size_t formatRecordPrefix(char* buffer, size_t size, const char* prefix) {
    if (size == 0) {
        return 0;
    }
    const PrefixText& fixed = currentPrefix();
    size_t used = strnlen(prefix, size - 1);
    std::memcpy(buffer, prefix, used);
    size_t rest = std::min(fixed.length, size - 1 - used);
    std::memcpy(buffer + used, fixed.text, rest);
    buffer[used + rest] = '\0';
    return used + rest;
}

}  // namespace vfw
