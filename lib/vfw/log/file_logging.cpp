// The process's log file: opening with its settings, writing records through the cache,
// flushing, and size-based rotation into numbered backups.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "log_internal.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace vfw {

namespace {

const long kDefaultMaxSizeMiB = 512;
const int32_t kDefaultMaxCount = 5;
const int32_t kDefaultFlushFrequency = 10;
const int32_t kMaxFlushFrequency = 512;
const size_t kPrefixSize = 512;

int32_t toInt32(long value) {
    return static_cast<int32_t>(std::max<long>(INT32_MIN, std::min<long>(INT32_MAX, value)));
}

void closeProcessLogFile() {
    getFileLogging().close();
}

}  // namespace

FileLogging::FileLogging()
    : m_maxSize(static_cast<int64_t>(kDefaultMaxSizeMiB) << 20),
      m_maxCount(kDefaultMaxCount),
      m_flushFrequency(kDefaultFlushFrequency) {}

FileLogging::FileLogging(const std::string& path) : FileLogging() {
    open(path);
}

FileLogging::~FileLogging() {
    destroy();
}

int FileLogging::open(const std::string& path) {
    MutexLock lock(m_lock);
    m_path = path;
    closeStream();
    int result = openStream();
    if (m_stream != nullptr) {
        readSettings();
    }
    return result;
}

// Opens the file at m_path for appending (never inherited by executed programs), makes it
// mode 0666 and hands it to the cache. 0 or the errno value of the failing call.
int FileLogging::openStream() {
    m_stream = std::fopen(m_path.c_str(), "ae");
    if (m_stream == nullptr) {
        return errno;
    }
    if (fchmod(fileno(m_stream), 0666) != 0) {
        int error = errno;
        std::fclose(m_stream);
        m_stream = nullptr;
        return error;
    }
    if (m_cache != nullptr) {
        m_cache->resize(m_cache->size(), m_stream);
    }
    return 0;
}

void FileLogging::closeStream() {
    if (m_stream == nullptr) {
        return;
    }
    if (m_cache != nullptr) {
        m_cache->resize(m_cache->size(), nullptr);  // flushes into the stream first
    }
    std::fclose(m_stream);
    m_stream = nullptr;
}

void FileLogging::readSettings() {
    // A size of 0 MiB or less would rotate at every flush point and keep only a few records;
    // it is taken as the default. The product is 64-bit, so large sizes do not wrap.
    long mib = getIntProperty("logger.file.maxsize", kDefaultMaxSizeMiB);
    if (mib <= 0) {
        mib = kDefaultMaxSizeMiB;
    }
    m_maxSize = static_cast<int64_t>(std::min<long>(mib, INT32_MAX)) << 20;

    int32_t count = toInt32(getIntProperty("logger.file.maxcount", kDefaultMaxCount));
    m_maxCount = count < 0 ? kDefaultMaxCount : count;

    m_zipBackup = getBoolProperty("logger.file.zip.backup", false);

    int32_t frequency =
        toInt32(getIntProperty("logger.file.flush.frequency", kDefaultFlushFrequency));
    size_t cacheSize;
    if (frequency < 0) {
        frequency = kDefaultFlushFrequency;
        cacheSize = 10240;
    } else if (frequency <= 1) {
        cacheSize = 0;
    } else if (frequency <= kMaxFlushFrequency) {
        cacheSize = static_cast<size_t>(frequency) * 1024;
    } else {
        frequency = kMaxFlushFrequency;
        cacheSize = static_cast<size_t>(kMaxFlushFrequency) * 1024;
    }
    m_flushFrequency = frequency;

    if (cacheSize == 0) {
        delete m_cache;
        m_cache = nullptr;
    } else if (m_cache != nullptr) {
        m_cache->resize(cacheSize, m_stream);
    } else {
        m_cache = new LogCache(cacheSize, m_stream);
    }
}

bool FileLogging::write(const char* line) {
    MutexLock lock(m_lock);
    if (m_stream == nullptr) {
        return false;
    }
    char prefix[kPrefixSize];
    formatRecordPrefix(prefix, sizeof prefix, "");

    bool flushPoint = ++m_flushCounter >= m_flushFrequency;
    if (flushPoint) {
        m_flushCounter = 0;
    }
    if (m_cache != nullptr && m_cache->hasBuffer()) {
        m_cache->putString(prefix);
        m_cache->putLine(line);
        m_cache->putChar('\n');
        if (flushPoint) {
            m_cache->flush();
        }
    } else {
        std::fputs(prefix, m_stream);
        std::fputs(line, m_stream);
        std::fputc('\n', m_stream);
        if (flushPoint) {
            std::fflush(m_stream);
        }
    }
    if (flushPoint) {
        checkRotation();
    }
    return true;
}

std::string FileLogging::backupName(int32_t n) const {
    return m_path + "." + std::to_string(n) + (m_zipBackup ? ".gz" : "");
}

// Rotates once the file has reached the maximum size: path.N-1 -> path.N ... path -> path.1,
// the oldest backup removed first. Failures of single steps never stop logging; at worst the
// file is reopened as it is and examined again at the next flush point.
void FileLogging::checkRotation() {
    struct stat status;
    if (fstat(fileno(m_stream), &status) != 0 || status.st_size < m_maxSize) {
        return;
    }
    closeStream();
    // Another writer of the same file may have rotated it meanwhile.
    if (stat(m_path.c_str(), &status) != 0 || status.st_size < m_maxSize || m_maxCount < 1) {
        openStream();
        return;
    }
    for (int32_t n = m_maxCount; n >= 1; --n) {
        std::string name = backupName(n);
        if (access(name.c_str(), F_OK) != 0) {
            continue;
        }
        if (n == m_maxCount) {
            if (std::remove(name.c_str()) != 0) {
                break;
            }
        } else {
            std::rename(name.c_str(), backupName(n + 1).c_str());
        }
    }
    // With zip backup the name carries ".gz"; the bytes are moved as they are. A failed move
    // leaves the file in place: it is reopened and keeps its records.
    std::rename(m_path.c_str(), backupName(1).c_str());
    openStream();
}

void FileLogging::close() {
    MutexLock lock(m_lock);
    closeStream();
}

void FileLogging::destroy() {
    MutexLock lock(m_lock);
    delete m_cache;  // flushes into the stream
    m_cache = nullptr;
    if (m_stream != nullptr) {
        std::fclose(m_stream);
        m_stream = nullptr;
    }
}

void FileLogging::reopen(bool force) {
    MutexLock lock(m_lock);
    if (force) {
        closeStream();
    }
    if (m_stream != nullptr) {
        if (m_cache != nullptr) {
            m_cache->resize(m_cache->size(), m_stream);
        }
    } else if (!m_path.empty()) {
        openStream();
    }
}

bool FileLogging::isOpen() {
    MutexLock lock(m_lock);
    return m_stream != nullptr;
}

size_t FileLogging::cacheSize() const {
    return m_cache != nullptr && m_cache->hasBuffer() ? m_cache->size() : 0;
}

FileLogging& getFileLogging() {
    static FileLogging* const instance = [] {
        FileLogging* created = new FileLogging();  // outlives every exit handler
        std::atexit(closeProcessLogFile);
        return created;
    }();
    return *instance;
}

}  // namespace vfw
