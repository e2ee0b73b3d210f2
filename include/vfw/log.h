// Named loggers arranged in a dotted tree, their levels and facilities, the log call, and the
// two destinations of a finished record: syslog (the default) and the process's log file.
//
// Call sites hold a `Logger` (a shared handle; empty after shutdownLogging) and log through
// VFW_LOG / VFW_LOG_ERRNO, which test the handle and the level before any argument is built.
// Every project source is compiled with VFW_FILE set to its file name without extension,
// which is what records print as the source file.
//
// A logger's level, memoryLevel (threshold of the in-memory ring buffer), facility and
// showMore flags are -1 ("inherit") until set; the nearest ancestor that sets one decides.
// Effective level and memoryLevel are cached in the asking logger on first use and stay until
// the logger's own field is set again; facility and showMore are looked up on every call.
// Levels passed to the log calls must lie in LEVEL_TRACE..LEVEL_DISABLED; a record of any
// other level is dropped.
//
// A record line is at most 1023 characters: "LEVEL " (5 characters and a blank), the calling
// thread's context tag "<tag> ", the logger's display name and a blank (not for "client" and
// "client.*"), the double-quoted location chosen by showMore (1 file, 2 line, 4 function),
// the message, and for the errno form ": " and the system's error text.
//
// Every function here may be called from any thread.
#ifndef VFW_LOG_H
#define VFW_LOG_H

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "vfw/mutex.h"

namespace vfw {

enum LogLevel {
    LEVEL_TRACE = 0,
    LEVEL_DEBUG = 1,
    LEVEL_DIAG = 2,
    LEVEL_INFO = 3,
    LEVEL_WARN = 4,
    LEVEL_ERROR = 5,
    LEVEL_FATAL = 6,
    LEVEL_DISABLED = 7,
};

class NamedLogger;
using Logger = boost::shared_ptr<NamedLogger>;

class NamedLogger {
  public:
    // A logger with every setting inheriting. Only the registry (getLogger) creates loggers.
    NamedLogger(const std::string& name, const Logger& parent);
    NamedLogger(const NamedLogger&) = delete;
    NamedLogger& operator=(const NamedLogger&) = delete;

    // The dotted name it is registered under ("" for the root).
    const std::string& getName() const { return m_name; }
    // The name printed in records: the full name without a leading "diag.".
    const std::string& getDisplayName() const { return m_displayName; }
    const Logger& getParent() const { return m_parent; }

    // True when `level` reaches the effective level or the effective memoryLevel.
    bool isEnabled(int level) { return level >= getLevel() || level >= getMemoryLevel(); }

    // Effective settings (see the header comment for inheritance and caching).
    int getLevel() {
        int level = m_level.load(std::memory_order_relaxed);
        return level >= 0 ? level : resolveLevel();
    }
    int getMemoryLevel() {
        int level = m_memoryLevel.load(std::memory_order_relaxed);
        return level >= 0 ? level : resolveMemoryLevel();
    }
    int getFacility() const;
    int getShowMore() const;

    // The logger's own settings; -1 makes it inherit again.
    void setLevel(int level) { m_level.store(level, std::memory_order_relaxed); }
    void setMemoryLevel(int level) { m_memoryLevel.store(level, std::memory_order_relaxed); }
    void setFacility(int facility) { m_facility.store(facility, std::memory_order_relaxed); }
    void setShowMore(int flags) { m_showMore.store(flags, std::memory_order_relaxed); }

    // Builds one record from the format (rendered by the framework's vsnprintf) and delivers
    // it. `file` is the call site's source name (only its last path component is printed);
    // null or empty `file` / `function` print no location.
    void WriteMessage(int level, const char* file, int line, const char* function,
                      const char* format, ...) __attribute__((format(printf, 6, 7)));
    // The same, with ": " and strerror(errnum) after the message.
    void WriteMessage(int level, int errnum, const char* file, int line, const char* function,
                      const char* format, ...) __attribute__((format(printf, 7, 8)));

    // Writes `title` as one record, then `data` as hex-dump records of 16 bytes each: two
    // lower-case hex digits per byte at column 3i, the byte itself (32..127) or '.' at
    // column 50 + i, and one blank after the last character.
    void hexData(int level, const char* title, const void* data, size_t length);

  private:
    int resolveLevel();
    int resolveMemoryLevel();
    void writeRecord(int level, const int* errnum, const char* file, int line, const char* function,
                     const char* format, va_list args) __attribute__((format(printf, 7, 0)));

    const std::string m_name;
    const std::string m_displayName;
    const bool m_hidesName;  // "client" and "client.*" print no name
    const Logger m_parent;
    std::atomic<int32_t> m_level{-1};
    std::atomic<int32_t> m_memoryLevel{-1};
    std::atomic<int32_t> m_facility{-1};
    std::atomic<int32_t> m_showMore{-1};
};

// The logger with that dotted name, created with any missing ancestors; "" is the root
// (level INFO, memoryLevel INFO, facility "auth", showMore 0). Empty after shutdownLogging.
Logger getLogger(const std::string& name);
// "diag." + name when `diag` is set, else name.
Logger getLogger(const std::string& name, bool diag);

// Creates the registry and the root on first use; nothing afterwards or after shutdown.
void initLogging();
// Releases the registry and every logger it holds and closes the syslog connection, for
// good: later getLogger calls return empty handles.
void shutdownLogging();

class RunQueue;

// The background log queue: while it runs, log calls hand their records to a bounded run queue
// named "Log" and one thread ("com.vantrel.logger") delivers them in order. startThread sizes
// it from "logger.queue.size" (records, default 256; below 1 leaves it off, with a warning to
// `logger`), four times that when the logger "log" shows DEBUG. A log call that meets the full
// queue loses its record and the newest queued one, queues the warning "Warning: Vantrel logger
// dropping messages:(...)" and pauses 10 ms; the count of lost records is reported as "Vantrel
// logger dropped <n> messages" (logger "log", ERROR) after the next delivered record or at the
// stop. stopThread delivers what is left on the caller's thread; shutdownLogging stops it too.
// Both do nothing when there is nothing to do.
void startThread(const Logger& logger);
void stopThread(const Logger& logger);
// The running queue; empty when the records are delivered directly.
boost::shared_ptr<RunQueue> logQueue();

// The newest records kept in memory, for inspection of the process's memory (a core file).
// Each stored record is "_cbuf " and the record prefix before the line; records are separated
// by single line feeds and the newest is followed by "\n_cbuf_END__\n"; what follows the marker
// is older data, or blanks where a record did not fit before the end and went to the start.
// A buffer starts inactive and without a ring: activate(true) allows it, init() allocates the
// ring once ("logger.memory.bufsize" KiB, default 128, at least 10240 bytes); it is never
// resized. The process's buffer (memoryBuffer()) is made by initLogging and released by
// shutdownLogging; records at or above a logger's effective memoryLevel reach it while its ring
// exists. Any thread may call any operation.
class CircularBuffer {
  public:
    CircularBuffer();
    ~CircularBuffer();
    CircularBuffer(const CircularBuffer&) = delete;
    CircularBuffer& operator=(const CircularBuffer&) = delete;

    void activate(bool flag) { m_activated = flag; }
    bool isActivated() const { return m_activated; }
    bool isInitialised() const { return m_initialised; }
    // Allocates the ring unless it exists; reports to `logger`. True when the ring exists.
    bool init(const Logger& logger);
    // init with the size in KiB read by the caller; "" for the default.
    bool init(const Logger& logger, const std::string& kibibytes);
    // The root's memoryLevel from `levelName` (INFO for a name outside the table), then init
    // when `initialise`; reports to "com.vantrel.logger".
    void reconfigure(bool initialise, const std::string& levelName);
    // Stores one record line (the first 1023 characters with the prefix) when the ring exists.
    void append(const char* line);
    // The ring as it is now, for inspection; empty before init.
    std::string contents() const;

  private:
    char* m_start = nullptr;
    size_t m_write = 0;  // offset of the next record in the ring
    size_t m_size = 0;
    char* m_staging;  // 1025 bytes: the record being stored
    std::atomic<bool> m_initialised{false};
    std::atomic<bool> m_activated{false};
};

// The process's buffer; empty before initLogging and after shutdownLogging.
boost::shared_ptr<CircularBuffer> memoryBuffer();
// reconfigure on the process's buffer, when there is one.
void reconfigureMemoryBuffer(bool initialise, const std::string& levelName);

// Level number of a name, case-insensitive; "" is INFO, an unknown name -1.
int levelFromName(const std::string& name);
// The level's name ("TRACE" .. "DISABLED"); "" outside the table.
const char* levelName(int level);
// The syslog priority a level is sent with (FATAL and DISABLED as 0, emergency).
int levelSyslogPriority(int level);
// Syslog facility code (already shifted, as openlog expects) of a name such as "auth" or
// "local3", compared lower-cased; -1 for a name outside the table.
int facilityFromName(const std::string& name);

class PropertySource;

// Recomputes every logger's settings from the configuration; the configuration layer runs
// it after each load. Level, facility and showMore of every logger are reset (memoryLevel
// is kept), then set from "log" (root level, default INFO) and "log.<logger>", from
// "logger.facility.*" and "logger.facility.<program>" (root facility; the root keeps the one
// it has when neither is set) and "logger.facility.<logger>", and from "logger.showmore" and
// "logger.showmore.<logger>"; "client" is always TRACE. The destination is reconfigured
// (forced). Values outside the tables are reported as WARN on "com.vantrel.logger".
// `properties` is read before the registry and output locks are taken, so a source may
// hold a lock of its own while it logs.
void ReconfigureLevels(const PropertySource& properties);
// The root facility from "logger.facility.<name>" when it is set, then each logger's from
// "logger.facility.<logger>".
void reconfigureFacilities(const PropertySource& properties, const std::string& name);
// The facility code named by the value of `key`: -1 when it is empty or not set; a name
// outside the table is reported and gives "auth".
int getFacility(const PropertySource& properties, const std::string& key);
// The root's showMore from "logger.showmore" (0 when empty or not set; -1 counts as 0) and
// each logger's from "logger.showmore.<logger>" (an empty value makes it inherit).
void reconfigureShowMore(const PropertySource& properties);

// Sets the calling thread's context tag (a private copy; null removes it) and returns the
// previous one ("" when there was none).
std::string setLogContext(const char* context);

// Opens the syslog connection (identity: the program name, with its pid, facility "auth")
// unless "logger.openlog.<program>" is "false", "no" or "0"; it is opened at most once per
// process. Reads "logger.destination": only "syslog" is served, so a root process that names
// anything else gets "Could not open <value>: %m" in syslog. Without `force` only the first
// call does anything; every record runs it so.
void configureDestination(bool force);

// The write-behind buffer of the log file; the logging module keeps it to itself.
class LogCache;

// The log file of a process, with its write-behind cache, periodic flushing and size-based
// rotation into numbered backups (path.1 newest). Settings are read at each open():
// "logger.file.maxsize" (MiB, 512), "logger.file.maxcount" (5), "logger.file.zip.backup"
// (false: backups named path.N.gz when true) and "logger.file.flush.frequency" (records
// between flushes, 10; also sizes the cache at frequency KiB). The file is made mode 0666.
// Every operation holds the instance lock.
class FileLogging {
  public:
    FileLogging();  // no path, no file
    explicit FileLogging(const std::string& path);
    virtual ~FileLogging();
    FileLogging(const FileLogging&) = delete;
    FileLogging& operator=(const FileLogging&) = delete;

    // Closes any open file and opens `path` for appending. 0, or the errno value of the
    // failing fopen or chmod (the file is then left closed).
    int open(const std::string& path);
    // Writes "<record prefix><line>\n"; false (and nothing written) when no file is open.
    bool write(const char* line);
    // Flushes the cache and closes the file.
    void close();
    // Deletes the cache (flushing it) and closes the file.
    void destroy();
    // Opens the file again at its path; with `force` an open file is closed first.
    void reopen(bool force);

    bool isOpen();
    const std::string& path() const { return m_path; }
    int64_t maxSize() const { return m_maxSize; }
    int32_t maxCount() const { return m_maxCount; }
    bool zipBackup() const { return m_zipBackup; }
    int32_t flushFrequency() const { return m_flushFrequency; }
    // Size of the cache's buffer; 0 without a cache.
    size_t cacheSize() const;

  private:
    int openStream();
    void closeStream();
    void readSettings();
    void checkRotation();
    std::string backupName(int32_t n) const;

    Mutex m_lock;
    FILE* m_stream = nullptr;
    std::string m_path;
    int64_t m_maxSize;
    int32_t m_maxCount;
    bool m_zipBackup = false;
    int32_t m_flushFrequency;
    int32_t m_flushCounter = 0;
    LogCache* m_cache = nullptr;
};

// The process-wide instance: while it has a file open, every record goes there instead of to
// syslog. It lives until the process ends; its file is closed (cache flushed) at exit.
FileLogging& getFileLogging();

}  // namespace vfw

#define VFW_LOG(logger, level, ...)                                                     \
    do {                                                                                \
        if ((logger) && (logger)->isEnabled(level)) {                                   \
            (logger)->WriteMessage((level), VFW_FILE, __LINE__, __func__, __VA_ARGS__); \
        }                                                                               \
    } while (0)

#define VFW_LOG_ERRNO(logger, level, errnum, ...)                                                 \
    do {                                                                                          \
        if ((logger) && (logger)->isEnabled(level)) {                                             \
            (logger)->WriteMessage((level), (errnum), VFW_FILE, __LINE__, __func__, __VA_ARGS__); \
        }                                                                                         \
    } while (0)

#endif
