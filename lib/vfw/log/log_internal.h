// Pieces the files of the logging module share with each other; not for use outside it.
//
// Lock order: the log queue's start-and-stop lock, then the registry lock, then the output
// lock; the destination's and the file's own locks are innermost and never held while taking
// any of the others. No lock of the module is held while the properties are read for the
// destination. The log thread takes none of the first three while it delivers.
#ifndef VFW_LOG_INTERNAL_H
#define VFW_LOG_INTERNAL_H

#include <cstddef>
#include <cstdio>
#include <vector>

#include "../log_seam.h"
#include "vfw/log.h"
#include "vfw/mutex.h"

namespace vfw {

// Guards the logger registry (creation, shutdown, reconfiguration). Recursive.
Mutex& registryLock();
// Serialises the delivery of records. Recursive.
Mutex& outputLock();

// Every logger of the registry except the root (none after shutdown), for the
// reconfiguration, ordered by name (so every ancestor before its descendants); the set is
// stable while the caller holds the registry lock.
std::vector<Logger> registeredLoggers();

// Sends a finished record line: to the process's log file when one is open, else to
// syslog with `priority` (level priority | facility).
void deliverRecord(int priority, const char* line);

// Hands a finished record on: to the background log queue while it runs, else straight to
// deliverRecord under the output lock.
void submitRecord(int priority, const char* line);

// The process's short program name, looked up once.
const char* programName();

// Records at or above a logger's memoryLevel are offered to the in-memory ring buffer
// while it has a ring. initLogging creates the process's buffer, shutdownLogging releases it.
bool memoryBufferActive();
void appendToMemoryBuffer(const char* line);
void createMemoryBuffer();
void releaseMemoryBuffer();

// Makes exceptions of the framework write their construction record to "util.except".
void installExceptionRecorder();

// A write-behind buffer in front of a log file stream (borrowed, not owned; null discards).
// Bytes are written with one fwrite and one fflush per flush() or whenever the buffer fills.
// A cache whose buffer could not be allocated (hasBuffer() false) writes straight through.
class LogCache {
  public:
    LogCache(size_t size, FILE* stream);
    virtual ~LogCache();  // flushes
    LogCache(const LogCache&) = delete;
    LogCache& operator=(const LogCache&) = delete;

    // Writes out what is buffered (discards it without a stream) and empties the buffer.
    void flush();
    void putChar(char c);
    void putString(const char* text);
    // At most the first 1023 characters of `text`.
    void putLine(const char* text);
    // Flushes, then uses `stream` and a buffer of `size` bytes (reallocated if it differs).
    void resize(size_t size, FILE* stream);

    bool hasBuffer() const { return m_start != nullptr; }
    size_t size() const { return m_size; }

  private:
    void allocate(size_t size);
    void putBytes(const char* text, size_t length);

    FILE* m_stream;
    char* m_start = nullptr;
    char* m_pos = nullptr;
    char* m_last = nullptr;  // start + size - 1: reaching it flushes
    size_t m_size = 0;
};

}  // namespace vfw

#endif
