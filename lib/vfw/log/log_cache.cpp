// The write-behind buffer in front of the log file.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "log_internal.h"
#include "vfw/log.h"

namespace vfw {

namespace {
const size_t kMaxLine = 1023;
}

LogCache::LogCache(size_t size, FILE* stream) : m_stream(stream) {
    allocate(size);
}

LogCache::~LogCache() {
    flush();
    std::free(m_start);
}

void LogCache::allocate(size_t size) {
    m_size = size;
    m_start = size > 0 ? static_cast<char*>(std::calloc(size, 1)) : nullptr;
    m_pos = m_start;
    m_last = m_start != nullptr ? m_start + size - 1 : nullptr;
}

void LogCache::flush() {
    size_t used = static_cast<size_t>(m_pos - m_start);
    if (m_stream != nullptr) {
        if (used > 0) {
            std::fwrite(m_start, 1, used, m_stream);
        }
        std::fflush(m_stream);
    }
    if (used > 0) {
        std::memset(m_start, 0, used);
    }
    m_pos = m_start;
}

void LogCache::putChar(char c) {
    if (m_start == nullptr) {
        if (m_stream != nullptr) {
            std::fputc(c, m_stream);
        }
        return;
    }
    if (m_pos >= m_last) {
        flush();
    }
    *m_pos++ = c;
}

void LogCache::putBytes(const char* text, size_t length) {
    if (m_start == nullptr) {
        if (m_stream != nullptr) {
            std::fwrite(text, 1, length, m_stream);
        }
        return;
    }
    while (length > 0) {
        if (m_pos >= m_last) {
            flush();
        }
        size_t count = std::min(length, static_cast<size_t>(m_last - m_pos));
        std::memcpy(m_pos, text, count);
        m_pos += count;
        text += count;
        length -= count;
    }
}

void LogCache::putString(const char* text) {
    putBytes(text, std::strlen(text));
}

void LogCache::putLine(const char* text) {
    putBytes(text, strnlen(text, kMaxLine));
}

void LogCache::resize(size_t size, FILE* stream) {
    flush();
    m_stream = stream;
    if (size != m_size || m_start == nullptr) {
        std::free(m_start);
        allocate(size);
    }
}

}  // namespace vfw
