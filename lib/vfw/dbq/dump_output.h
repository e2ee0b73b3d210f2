// The text of the queue dumps, built in memory and passed to an output stream in large pieces.
//
// A dump reads the same, byte for byte, as if every line had been written to the stream and
// flushed at once; only the moment the bytes reach the stream differs. Contracts for users:
// - handOver() before anything else may write to the same stream, so that the bytes keep
//   their order. A failed block read, which prints its report to standard output, needs no
//   such call: it calls handOverCurrent() first, which hands over the thread's dump in
//   progress (the innermost DumpOutput alive on the thread);
// - flush() before anything is written to standard error, and when the dump is done;
// - the destructor flushes too, so when an exception leaves a dump, everything the dump
//   produced has reached the stream before the exception reaches the caller.
// Memory is one fixed buffer, whatever the size of the file being dumped.
#ifndef VFW_DBQ_DUMP_OUTPUT_H
#define VFW_DBQ_DUMP_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

namespace vfw {

class DumpOutput {
  public:
    explicit DumpOutput(std::ostream& stream);
    // Flushes; never throws.
    ~DumpOutput();
    DumpOutput(const DumpOutput&) = delete;
    DumpOutput& operator=(const DumpOutput&) = delete;

    // Inline, so that the length of a literal is known where it is written.
    DumpOutput& operator<<(const char* text) { return append(text, std::strlen(text)); }
    DumpOutput& operator<<(const std::string& text) { return append(text.data(), text.size()); }
    DumpOutput& operator<<(char c) { return append(&c, 1); }
    // Integers in decimal (a bool prints as 1 or 0 through int).
    DumpOutput& operator<<(int value) { return signedNumber(value); }
    DumpOutput& operator<<(long value) { return signedNumber(value); }
    DumpOutput& operator<<(unsigned value) { return unsignedNumber(value); }
    DumpOutput& operator<<(unsigned long value) { return unsignedNumber(value); }

    // The text of ctime() for `seconds` (ending in its own line feed), or strerror(errno)
    // when the time cannot be converted.
    void ctimeText(int32_t seconds);
    // Payload bytes by the dump's rules: printable ASCII as itself, "\n" and "\r" for line
    // feed and carriage return, "<BS>" for backspace, "?" for any other byte, and a run of
    // NUL bytes as "<NULL*count>" unless the run reaches the end of the bytes shown.
    void payload(const unsigned char* data, size_t length);

    // Passes the text built so far to the stream, without flushing the stream.
    void handOver();
    // handOver() of the thread's dump in progress, if there is one; never throws.
    static void handOverCurrent();
    // handOver(), then flushes the stream.
    void flush();

  private:
    static constexpr size_t kBufferSize = size_t(64) << 10;

    // Makes room for `length` more bytes (at most the buffer's size) and returns where they go.
    char* room(size_t length);
    DumpOutput& append(const char* text, size_t length) {
        if (length <= kBufferSize - m_used) {
            std::memcpy(m_buffer.get() + m_used, text, length);
            m_used += length;
            return *this;
        }
        return appendInPieces(text, length);
    }
    DumpOutput& appendInPieces(const char* text, size_t length);
    DumpOutput& signedNumber(int64_t value);
    DumpOutput& unsignedNumber(uint64_t value);

    std::ostream& m_stream;
    std::unique_ptr<char[]> m_buffer;
    size_t m_used;
    // The last ctime() text, reused while block after block carries the same time stamp.
    bool m_haveTime;
    int32_t m_timeSeconds;
    std::string m_timeText;
    // The thread's dump in progress when this one began.
    DumpOutput* m_outer;
};

}  // namespace vfw

#endif
