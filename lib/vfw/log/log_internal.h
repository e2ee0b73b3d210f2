// Pieces the files of the logging module share with each other; not for use outside it.
//
// Lock order: the log queue's start-and-stop lock, then the registry lock, then the output
// lock; the destination's and the file's own locks are innermost and never held while taking
// any of the others. No lock of the module is held while the properties are read for the
// destination. The log thread takes none of the first three while it delivers.
#ifndef VFW_LOG_INTERNAL_H
#define VFW_LOG_INTERNAL_H

#include <vector>

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

}  // namespace vfw

#endif
