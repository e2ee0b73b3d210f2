// The in-memory ring buffer of the newest records. A record is staged first (prefix and line,
// one formatter call, no allocation), then copied into the ring with the end marker after it;
// the write position then moves to the marker's second byte, so the next record overwrites the
// marker and keeps the line feed before it. A record that does not fit with its marker before
// the end of the ring blanks the rest and starts again at the ring's start.
#include <cstdlib>
#include <cstring>
#include <new>

#include "log_internal.h"
#include "vfw/format.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace vfw {

namespace {

const char kEndMarker[] = "\n_cbuf_END__\n";
const size_t kEndLength = sizeof kEndMarker - 1;
const size_t kStaged = 1024;  // the staged record and its NUL
const size_t kPrefixRoom = 256;
const int32_t kDefaultSize = 131072, kMinimumSize = 10240;
const char kOwnLogger[] = "com.vantrel.logger";

boost::shared_ptr<CircularBuffer> g_buffer;  // guarded by the output lock
std::atomic<bool> g_active{false};           // g_buffer has a ring

}  // namespace

CircularBuffer::CircularBuffer() : m_staging(new char[kStaged + 1]) {
    std::memset(m_staging, 0, kStaged + 1);
    std::memcpy(m_staging, "_cbuf ", 6);
}

CircularBuffer::~CircularBuffer() {
    std::free(m_start);
    delete[] m_staging;
}

bool CircularBuffer::init(const Logger& logger) {
    return init(logger, getProperty("logger.memory.bufsize"));
}

bool CircularBuffer::init(const Logger& logger, const std::string& kibibytes) {
    if (!m_activated) {
        VFW_LOG(logger, LEVEL_WARN, "CircularBuffer.init() -  not activated");
        return false;
    }
    MutexLock lock(outputLock());
    if (m_initialised) {
        VFW_LOG(logger, LEVEL_INFO, "CircularBuffer.init() - already initialized");
        return true;
    }
    // The size wraps as a signed 32-bit number, as the setting is read.
    int32_t size = kDefaultSize;
    if (!kibibytes.empty()) {
        size = int32_t(uint32_t(std::strtol(kibibytes.c_str(), nullptr, 10)) * 1024u);
    }
    size = size < kMinimumSize ? kMinimumSize : size;
    // Without a ring the buffer stays uninitialised and stores nothing.
    m_start = static_cast<char*>(std::calloc(size_t(size), 1));
    if (m_start == nullptr) {
        VFW_LOG(logger, LEVEL_WARN, "CircularBuffer.init() - cannot allocate %d bytes", size);
        return false;
    }
    m_size = size_t(size);
    m_write = 0;
    m_initialised = true;
    if (this == g_buffer.get()) {
        g_active = true;
    }
    VFW_LOG(logger, LEVEL_INFO, "CircularBuffer.init() - initalized and enabled");
    return true;
}

void CircularBuffer::reconfigure(bool initialise, const std::string& levelName) {
    Logger own = getLogger(kOwnLogger);
    if (!m_activated) {
        VFW_LOG(own, LEVEL_WARN, "Cannot reconfigure circular buffer, as its not activated");
        return;
    }
    int level = levelFromName(levelName);
    if (level == -1) {
        VFW_LOG(own, LEVEL_WARN, "Circular buffer log level cannot be NONE. Using 'INFO'.");
        level = LEVEL_INFO;
    }
    if (Logger root = getLogger("")) {
        root->setMemoryLevel(level);
    }
    if (initialise) {
        init(own);
    }
}

void CircularBuffer::append(const char* line) {
    if (!m_initialised) {
        return;
    }
    MutexLock lock(outputLock());
    size_t n = formatRecordPrefix(m_staging, kPrefixRoom, "_cbuf ");
    snprintf(m_staging + n, kStaged - n, "%s", line != nullptr ? line : "");
    m_staging[kStaged] = '\0';
    n = std::strlen(m_staging);
    if (n + kEndLength > m_size - m_write) {
        std::memset(m_start + m_write, ' ', m_size - m_write);
        m_write = 0;
    }
    std::memcpy(m_start + m_write, m_staging, n);
    std::memcpy(m_start + m_write + n, kEndMarker, kEndLength);
    std::memset(m_staging, ' ', kStaged);
    m_write += n + 1;
}

std::string CircularBuffer::contents() const {
    MutexLock lock(outputLock());
    return m_start != nullptr ? std::string(m_start, m_size) : std::string();
}

boost::shared_ptr<CircularBuffer> memoryBuffer() {
    MutexLock lock(outputLock());
    return g_buffer;
}

void reconfigureMemoryBuffer(bool initialise, const std::string& levelName) {
    if (boost::shared_ptr<CircularBuffer> buffer = memoryBuffer()) {
        buffer->reconfigure(initialise, levelName);
    }
}

void createMemoryBuffer() {
    MutexLock lock(outputLock());
    if (!g_buffer) {
        g_buffer.reset(new CircularBuffer());
    }
}

void releaseMemoryBuffer() {
    MutexLock lock(outputLock());
    g_active = false;
    g_buffer.reset();
}

bool memoryBufferActive() {
    return g_active.load(std::memory_order_relaxed);
}

void appendToMemoryBuffer(const char* line) {
    MutexLock lock(outputLock());
    if (g_buffer) {
        g_buffer->append(line);
    }
}

}  // namespace vfw
