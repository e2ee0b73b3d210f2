// The store's trace file and its scoped locks.
#include "cproperties_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vfw {
namespace cprops {

namespace {

const char* const kLevelNames[] = {"NONE   ", "ERROR  ", "WARNING", "INFO   ",
                                   "DEBUG  ", "TRACE  ", "LOCK   "};

std::string hexUpper(unsigned value) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 15]);
        value >>= 4;
    } while (value != 0);
    return text;
}

// Writes the buffer, retrying the unwritten remainder once.
void writeWithRetry(int fd, const std::string& text) {
    size_t done = 0;
    for (int attempt = 0; attempt < 2 && done < text.size(); ++attempt) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        }
    }
}

}  // namespace

void openTrace(Props* props) {
    props->traceFd = -1;
    props->traceLevel = 0;
    const char* setting = std::getenv("VFW_PROPERTIES2_DEBUG");
    if (setting == nullptr) {
        return;
    }
    long level = std::strtol(setting, nullptr, 10);
    props->traceLevel = level > TRACE_LOCK ? TRACE_LOCK : level < 0 ? -1 : int32_t(level);
    std::string path = "/var/vantrelaud/cproperties.log." + num(::getpid());
    // O_NOFOLLOW: a link planted under this name must not redirect root's appends.
    props->traceFd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool traceEnabled(const Props* props, int level) {
    return props != nullptr && props->traceFd >= 0 && level <= TRACE_LOCK &&
           level <= props->traceLevel;
}

void trace(Props* props, int level, const char* op, int line,
           std::initializer_list<const char*> pieces) noexcept {
    if (!traceEnabled(props, level) || level < 0) {
        return;
    }
    try {
        std::string record = kLevelNames[level];
        record += " : ";
        record += op != nullptr ? op : "null";
        record += " (";
        record += hexUpper(static_cast<unsigned>(line));
        record += ") : ";
        for (const char* piece : pieces) {
            record += piece != nullptr && *piece != '\0' ? piece : "null";
        }
        writeWithRetry(props->traceFd, record);
    } catch (...) {
        // Out of memory: the record is dropped, the operation goes on.
    }
}

std::string num(long long value) {
    return std::to_string(value);
}

EntryLock::EntryLock(Props* props, const char* op, int line)
    : m_props(props), m_op(op), m_line(line) {
    ::pthread_mutex_lock(&m_props->lock);
    trace(m_props, TRACE_LOCK, m_op, m_line, {"Take the lock\n"});
}

EntryLock::~EntryLock() {
    trace(m_props, TRACE_LOCK, m_op, m_line, {"Release the lock\n"});
    ::pthread_mutex_unlock(&m_props->lock);
}

FreeListLock::FreeListLock(Props* props, const char* op, int line)
    : m_props(props), m_op(op), m_line(line) {
    ::pthread_mutex_lock(&m_props->freeListLock);
    trace(m_props, TRACE_LOCK, m_op, m_line, {"Take the freelist lock\n"});
}

FreeListLock::~FreeListLock() {
    trace(m_props, TRACE_LOCK, m_op, m_line, {"Release the freelist lock\n"});
    ::pthread_mutex_unlock(&m_props->freeListLock);
}

}  // namespace cprops
}  // namespace vfw
