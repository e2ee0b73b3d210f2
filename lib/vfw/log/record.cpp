// The log call: building one record line and handing it on, the hex dump, and the
// per-thread context tag.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "log_internal.h"
#include "vfw/log.h"

namespace vfw {

namespace {

// A record line on the caller's stack: at most 1023 characters and a NUL; every append
// stops silently when the line is full.
class RecordLine {
  public:
    RecordLine() { m_text[0] = '\0'; }

    void append(const char* text, size_t length) {
        size_t room = kSize - 1 - m_length;
        if (length > room) {
            length = room;
        }
        std::memcpy(m_text + m_length, text, length);
        m_length += length;
        m_text[m_length] = '\0';
    }
    void append(const char* text) { append(text, strnlen(text, kSize)); }
    void append(const std::string& text) { append(text.data(), text.size()); }
    void append(char c) { append(&c, 1); }

    // The message is never longer than the 1023 characters a separate buffer would take, and
    // rendering it into the rest of the line cuts it where appending would.
    void appendFormatted(const char* format, va_list args) __attribute__((format(printf, 2, 0))) {
        int length = vsnprintf(m_text + m_length, kSize - m_length, format, args);
        if (length > 0) {
            m_length += std::min(static_cast<size_t>(length), kSize - 1 - m_length);
        }
        m_text[m_length] = '\0';
    }

    const char* text() const { return m_text; }

  private:
    static const size_t kSize = 1024;
    char m_text[kSize];
    size_t m_length = 0;
};

const size_t kLevelTagWidth = 5;

thread_local std::string t_context;
thread_local bool t_hasContext = false;

}  // namespace

std::string setLogContext(const char* context) {
    std::string previous;
    if (t_hasContext) {
        previous.swap(t_context);
    }
    t_hasContext = context != nullptr;
    std::string(t_hasContext ? context : "").swap(t_context);
    return previous;
}

void NamedLogger::WriteMessage(int level, const char* file, int line, const char* function,
                               const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeRecord(level, nullptr, file, line, function, format, args);
    va_end(args);
}

void NamedLogger::WriteMessage(int level, int errnum, const char* file, int line,
                               const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    writeRecord(level, &errnum, file, line, function, format, args);
    va_end(args);
}

void NamedLogger::writeRecord(int level, const int* errnum, const char* file, int line,
                              const char* function, const char* format, va_list args) {
    if (level < LEVEL_TRACE || level > LEVEL_DISABLED) {
        return;
    }
    int threshold = getLevel();
    bool toMemory = level >= getMemoryLevel() && memoryBufferActive();
    if (level < threshold && !toMemory) {
        return;
    }

    RecordLine record;
    char tag[kLevelTagWidth + 1];
    std::memset(tag, ' ', sizeof tag);
    const char* name = levelName(level);
    std::memcpy(tag, name, strnlen(name, kLevelTagWidth));
    record.append(tag, sizeof tag);

    if (t_hasContext) {
        record.append('<');
        record.append(t_context);
        record.append("> ");
    }
    if (!m_hidesName) {
        record.append(m_displayName);
        record.append(' ');
    }

    int flags = getShowMore();
    bool showFile = (flags & 1) != 0 && file != nullptr && *file != '\0';
    bool showFunction = (flags & 4) != 0 && function != nullptr && *function != '\0';
    if (showFile || showFunction) {
        record.append('"');
        if (showFile) {
            const char* slash = std::strrchr(file, '/');
            record.append(slash != nullptr ? slash + 1 : file);
            if ((flags & 2) != 0 && line >= 1) {
                char number[16];
                snprintf(number, sizeof number, ":%d", line);
                record.append(number);
            }
            if ((flags & 4) != 0 && function != nullptr) {
                record.append(':');
            }
        }
        if (showFunction) {
            record.append(function);
            record.append("()");
        }
        record.append("\" ");
    }

    record.appendFormatted(format, args);
    if (errnum != nullptr) {
        char text[256];
        record.append(": ");
        record.append(strerror_r(*errnum, text, sizeof text));
    }

    if (toMemory) {
        appendToMemoryBuffer(record.text());
    }
    if (level < threshold) {
        return;
    }
    int priority = levelSyslogPriority(level) | getFacility();
    // The first record reads the destination's properties; that happens before the output
    // lock so that a property source that logs under its own lock cannot deadlock with it.
    configureDestination(false);
    submitRecord(priority, record.text());
}

void NamedLogger::hexData(int level, const char* title, const void* data, size_t length) {
    if (!isEnabled(level)) {
        return;
    }
    WriteMessage(level, nullptr, 0, nullptr, "%s", title);

    static const char kDigits[] = "0123456789abcdef";
    const size_t kBytesPerLine = 16;
    const size_t kCharColumn = 50;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t offset = 0; offset < length; offset += kBytesPerLine) {
        size_t count = std::min(kBytesPerLine, length - offset);
        char text[81];
        std::memset(text, ' ', sizeof text);
        for (size_t i = 0; i < count; ++i) {
            unsigned char byte = bytes[offset + i];
            text[3 * i] = kDigits[byte >> 4];
            text[3 * i + 1] = kDigits[byte & 0xf];
            text[kCharColumn + i] = byte >= 32 && byte <= 127 ? static_cast<char>(byte) : '.';
        }
        text[kCharColumn + count + 1] = '\0';
        WriteMessage(level, nullptr, 0, nullptr, "%s", text);
    }
}

}  // namespace vfw
