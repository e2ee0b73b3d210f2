// Buffered dump text: decimal numbers, ctime() text and payload rendering.
#include "dbq_source.h"

#include "dump_output.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vfw {

namespace {

const size_t BUFFER_SIZE = size_t(64) << 10;

// Payload bytes are rendered a chunk at a time, each chunk into room reserved beforehand. A
// byte renders as at most 4 characters ("<BS>"); a run of r NUL bytes renders as "<NULL*r>"
// (7 characters and the digits of r) only once a byte ends it, so the worst case, one NUL and
// one "<BS>" in turn, is 12 characters for 2 bytes. 11 a byte and room for a marker carried
// over from the previous chunk are ample.
const size_t PAYLOAD_CHUNK = 4096;
const size_t PAYLOAD_ROOM = PAYLOAD_CHUNK * 11 + 32;
static_assert(PAYLOAD_ROOM <= BUFFER_SIZE, "a payload chunk must fit the buffer");

// Writes the decimal digits of `value` ending just before `end`; returns the first digit.
char* digitsBefore(char* end, uint64_t value) {
    do {
        *--end = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

char* putNulRun(char* out, uint64_t run) {
    std::memcpy(out, "<NULL*", 6);
    out += 6;
    char digits[20];
    char* first = digitsBefore(digits + sizeof digits, run);
    size_t count = size_t(digits + sizeof digits - first);
    std::memcpy(out, first, count);
    out += count;
    *out++ = '>';
    return out;
}

}  // namespace

DumpOutput::DumpOutput(std::ostream& stream)
    : m_stream(stream),
      m_buffer(new char[BUFFER_SIZE]),
      m_used(0),
      m_haveTime(false),
      m_timeSeconds(0) {}

DumpOutput::~DumpOutput() {
    try {
        flush();
    } catch (...) {
        // A stream set to throw on failure must not end the process from a destructor that
        // may run while an exception is already on its way out.
    }
}

char* DumpOutput::room(size_t length) {
    if (m_used + length > BUFFER_SIZE) {
        handOver();
    }
    return m_buffer.get() + m_used;
}

DumpOutput& DumpOutput::append(const char* text, size_t length) {
    while (length > 0) {
        size_t piece = length < BUFFER_SIZE ? length : BUFFER_SIZE;
        std::memcpy(room(piece), text, piece);
        m_used += piece;
        text += piece;
        length -= piece;
    }
    return *this;
}

DumpOutput& DumpOutput::operator<<(const char* text) {
    return append(text, std::strlen(text));
}

DumpOutput& DumpOutput::operator<<(const std::string& text) {
    return append(text.data(), text.size());
}

DumpOutput& DumpOutput::operator<<(char c) {
    *room(1) = c;
    ++m_used;
    return *this;
}

DumpOutput& DumpOutput::signedNumber(int64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    // The magnitude in unsigned arithmetic, so that the most negative value has one too.
    uint64_t magnitude = value < 0 ? 0 - uint64_t(value) : uint64_t(value);
    char* first = digitsBefore(end, magnitude);
    if (value < 0) {
        *--first = '-';
    }
    return append(first, size_t(end - first));
}

DumpOutput& DumpOutput::unsignedNumber(uint64_t value) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* first = digitsBefore(end, value);
    return append(first, size_t(end - first));
}

void DumpOutput::ctimeText(int32_t seconds) {
    if (!m_haveTime || seconds != m_timeSeconds) {
        time_t t = seconds;
        char text[64];
        if (::ctime_r(&t, text) != nullptr) {
            m_timeText = text;
        } else {
            m_timeText = std::strerror(errno);
        }
        m_haveTime = true;
        m_timeSeconds = seconds;
    }
    *this << m_timeText;
}

void DumpOutput::payload(const unsigned char* data, size_t length) {
    uint64_t nulRun = 0;
    size_t done = 0;
    while (done < length) {
        size_t chunk = length - done < PAYLOAD_CHUNK ? length - done : PAYLOAD_CHUNK;
        char* const start = room(PAYLOAD_ROOM);
        char* out = start;
        const unsigned char* p = data + done;
        const unsigned char* const end = p + chunk;
        for (; p < end; ++p) {
            unsigned char c = *p;
            if (c == 0) {
                ++nulRun;
                continue;
            }
            if (nulRun != 0) {
                out = putNulRun(out, nulRun);
                nulRun = 0;
            }
            if (c >= 32 && c <= 126) {
                *out++ = char(c);
            } else if (c == '\n') {
                *out++ = '\\';
                *out++ = 'n';
            } else if (c == '\r') {
                *out++ = '\\';
                *out++ = 'r';
            } else if (c == '\b') {
                std::memcpy(out, "<BS>", 4);
                out += 4;
            } else {
                *out++ = '?';
            }
        }
        m_used += size_t(out - start);
        done += chunk;
    }
}

void DumpOutput::handOver() {
    if (m_used > 0) {
        m_stream.write(m_buffer.get(), std::streamsize(m_used));
        m_used = 0;
    }
}

void DumpOutput::flush() {
    handOver();
    m_stream.flush();
}

}  // namespace vfw
