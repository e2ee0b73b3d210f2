// Buffered dump text: decimal numbers, ctime() text and payload rendering.
#include "dbq_source.h"

#include "dump_output.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vfw {

namespace {

// Payload bytes are rendered a chunk at a time, each chunk into room reserved beforehand. A
// byte renders as at most 4 characters ("<BS>"); a run of r NUL bytes renders as "<NULL*r>"
// (7 characters and the digits of r) only once a byte ends it, so the worst case, one NUL and
// one "<BS>" in turn, is 12 characters for 2 bytes. 11 a byte and room for a marker carried
// over from the previous chunk are ample, also for the 4-byte store of a glyph, which reaches
// up to 3 bytes past the text kept.
const size_t kPayloadChunk = 4096;
const size_t kPayloadRoom = kPayloadChunk * 11 + 32;

// "00" to "99", two digits at a time.
struct DigitPairs {
    char pairs[200];
    constexpr DigitPairs() : pairs() {
        for (int i = 0; i < 100; ++i) {
            pairs[2 * i] = char('0' + i / 10);
            pairs[2 * i + 1] = char('0' + i % 10);
        }
    }
};

constexpr DigitPairs g_digitPairs;

// Writes the decimal digits of `value` ending just before `end`; returns the first digit.
char* digitsBefore(char* end, uint64_t value) {
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, g_digitPairs.pairs + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, g_digitPairs.pairs + 2 * value, 2);
    } else {
        *--end = char('0' + value);
    }
    return end;
}

// "<NULL*run>"; short runs, the common case in binary fields, without the digit loop.
inline char* putNulRun(char* out, uint64_t run) {
    if (run < 10) {
        const char marker[8] = {'<', 'N', 'U', 'L', 'L', '*', char('0' + run), '>'};
        std::memcpy(out, marker, 8);
        return out + 8;
    }
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

// The text of every byte but NUL: up to 4 characters, stored whole so that a byte costs one
// 4-byte copy and an add, whatever its class.
struct Glyph {
    char text[4];
    uint32_t length;
};

struct GlyphTable {
    Glyph glyphs[256];
    constexpr GlyphTable() : glyphs() {
        for (int c = 1; c < 256; ++c) {
            Glyph& g = glyphs[c];
            if (c >= 32 && c <= 126) {
                g = Glyph{{char(c), 0, 0, 0}, 1};
            } else if (c == '\n') {
                g = Glyph{{'\\', 'n', 0, 0}, 2};
            } else if (c == '\r') {
                g = Glyph{{'\\', 'r', 0, 0}, 2};
            } else if (c == '\b') {
                g = Glyph{{'<', 'B', 'S', '>'}, 4};
            } else {
                g = Glyph{{'?', 0, 0, 0}, 1};
            }
        }
    }
};

constexpr GlyphTable g_glyphs;

// Byte-wise tests on 8 bytes at once: each returns 0x80 in every byte of the word for which
// the test holds and 0 elsewhere, without carries between bytes.
const uint64_t kOnes = 0x0101010101010101ULL;
const uint64_t kHighs = kOnes * 0x80;
const uint64_t kLows = kOnes * 0x7F;

uint64_t zeroBytes(uint64_t word) {
    return ~(((word & kLows) + kLows) | word | kLows);
}

// Bytes outside 32 to 126.
uint64_t unprintableBytes(uint64_t word) {
    const uint64_t low = word & kLows;
    const uint64_t from32 = (low + kOnes * 0x60) & kHighs;  // low 7 bits >= 32
    const uint64_t is127 = (low + kOnes) & kHighs;          // low 7 bits == 127
    return ~(from32 & ~is127 & ~word) & kHighs;
}

// Bytes with a text of their own other than one character: NUL, line feed, carriage return,
// backspace.
uint64_t specialBytes(uint64_t word) {
    return zeroBytes(word) | zeroBytes(word ^ (kOnes * '\n')) | zeroBytes(word ^ (kOnes * '\r')) |
           zeroBytes(word ^ (kOnes * '\b'));
}

// The innermost DumpOutput alive on this thread.
thread_local DumpOutput* t_current = nullptr;

}  // namespace

DumpOutput::DumpOutput(std::ostream& stream)
    : m_stream(stream),
      m_buffer(new char[kBufferSize]),
      m_used(0),
      m_haveTime(false),
      m_timeSeconds(0),
      m_outer(t_current) {
    t_current = this;
}

DumpOutput::~DumpOutput() {
    t_current = m_outer;
    try {
        flush();
    } catch (...) {
        // A stream set to throw on failure must not end the process from a destructor that
        // may run while an exception is already on its way out.
    }
}

void DumpOutput::handOverCurrent() {
    if (t_current == nullptr) {
        return;
    }
    try {
        t_current->handOver();
    } catch (...) {
        // Called on the way to a report of its own; the stream's state tells of the failure.
    }
}

char* DumpOutput::room(size_t length) {
    if (m_used + length > kBufferSize) {
        handOver();
    }
    return m_buffer.get() + m_used;
}

DumpOutput& DumpOutput::appendInPieces(const char* text, size_t length) {
    while (length > 0) {
        size_t piece = length < kBufferSize ? length : kBufferSize;
        std::memcpy(room(piece), text, piece);
        m_used += piece;
        text += piece;
        length -= piece;
    }
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

// Bytes go 8 at a time where they can: a word of printable text is copied, a word without
// NUL, line feed, carriage return or backspace has its other unprintable bytes replaced by
// "?" in place, and a word of NULs extends the run. Other words go byte by byte.
void DumpOutput::payload(const unsigned char* data, size_t length) {
    static_assert(kPayloadRoom <= kBufferSize, "a payload chunk must fit the buffer");
    uint64_t nulRun = 0;
    size_t done = 0;
    while (done < length) {
        size_t chunk = length - done < kPayloadChunk ? length - done : kPayloadChunk;
        char* const start = room(kPayloadRoom);
        char* out = start;
        const unsigned char* p = data + done;
        const unsigned char* const end = p + chunk;
        while (p < end) {
            const unsigned char* const stop = end - p >= 8 ? p + 8 : end;
            if (stop - p == 8) {
                uint64_t word;
                std::memcpy(&word, p, 8);
                const uint64_t unprintable = unprintableBytes(word);
                if (unprintable == 0 || specialBytes(word) == 0) {
                    if (nulRun != 0) {
                        out = putNulRun(out, nulRun);
                        nulRun = 0;
                    }
                    const uint64_t replaced = (unprintable >> 7) * 0xFF;
                    const uint64_t text = (word & ~replaced) | (kOnes * '?' & replaced);
                    std::memcpy(out, &text, 8);
                    out += 8;
                    p += 8;
                    continue;
                }
                if (word == 0) {
                    nulRun += 8;
                    p += 8;
                    continue;
                }
            }
            while (p < stop) {
                const unsigned char c = *p++;
                if (c == 0) {
                    ++nulRun;
                    continue;
                }
                if (nulRun != 0) {
                    out = putNulRun(out, nulRun);
                    nulRun = 0;
                }
                const Glyph& glyph = g_glyphs.glyphs[c];
                std::memcpy(out, glyph.text, 4);
                out += glyph.length;
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
