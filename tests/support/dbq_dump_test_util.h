// Helpers of the dump and integrity-check tests: capturing standard output in-process,
// running a piece of code in a child whose standard output and standard error share one file,
// block images with time stamps, a fixture with a queue file, and the ctime() text that the
// dumps print for a time stamp.
#ifndef VFW_TEST_DBQ_DUMP_TEST_UTIL_H
#define VFW_TEST_DBQ_DUMP_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq.h"
#include "vfw/error_util.h"

namespace dbq_dump_test {

// While alive, a standard stream (std::cout, std::cerr) writes into a string.
class StreamCapture {
  public:
    explicit StreamCapture(std::ostream& stream)
        : m_stream(stream), m_previous(stream.rdbuf(m_text.rdbuf())) {}
    ~StreamCapture() { m_stream.rdbuf(m_previous); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;
    std::string text() const { return m_text.str(); }

  private:
    std::ostream& m_stream;
    std::ostringstream m_text;
    std::streambuf* m_previous;
};

// What a piece of code wrote to std::cout and std::cerr, and the exception that ended it (""
// when none): the class and the message, as "IOException: Block 9 read failed (fs.read)".
struct Outcome {
    std::string out;
    std::string err;
    std::string error;
};

template <class Body>
Outcome capture(Body body) {
    Outcome outcome;
    StreamCapture out(std::cout);
    StreamCapture err(std::cerr);
    try {
        body();
    } catch (const vfw::FatalErrorException& e) {
        outcome.error = std::string("FatalErrorException: ") + e.what();
    } catch (const vfw::IOException& e) {
        outcome.error = std::string("IOException: ") + e.what();
    } catch (const VFWException&) {
        outcome.error = "other VFWException";
    }
    outcome.out = out.text();
    outcome.err = err.text();
    return outcome;
}

// Runs `body` in a child process whose descriptors 1 and 2 both write to one file, so that
// the file shows the order in which the two streams' bytes left the process. An exception
// that ends `body` is written to std::cerr as "caught: " and its message. Returns the file.
template <class Body>
std::string childOutput(Body body) {
    vfw_test::TempDir dir;
    std::string path = dir.file("output");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) {
            ::_exit(3);
        }
        try {
            body();
        } catch (const std::exception& e) {
            std::cerr << "caught: " << e.what() << '\n';
        }
        std::cout.flush();
        std::fflush(nullptr);
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return vfw_test::readFile(path);
}

// Images of whole blocks for the dump tests (see dbq_images.h), with their time stamps set.
const int32_t MASTER_TIME = 1700000000;

inline std::string withTime(std::string image, size_t offset, int32_t seconds) {
    dbq_images::be32(image, offset, uint32_t(seconds));
    return image;
}

inline std::string master(dbq_images::Master m, int32_t seconds = MASTER_TIME) {
    return m.basic ? dbq_images::masterImage(m) : withTime(dbq_images::masterImage(m), 50, seconds);
}

// An extended data block stamped with `seconds`.
inline std::string block(const dbq_images::Data& d, int32_t seconds) {
    return d.basic ? dbq_images::dataImage(d) : withTime(dbq_images::dataImage(d), 26, seconds);
}

inline dbq_images::Data inUse(int32_t id, int32_t next, uint32_t size, bool spanning,
                              int32_t spanSeq, const std::string& payload, uint32_t age) {
    dbq_images::Data d;
    d.id = id;
    d.next = next;
    d.sizeOrPrevious = size;
    d.spanning = spanning;
    d.spanSeq = spanSeq;
    d.payload = payload;
    d.age = age;
    return d;
}

inline dbq_images::Data freeBlock(int32_t id, int32_t next, int32_t previous) {
    dbq_images::Data d;
    d.id = id;
    d.next = next;
    d.sizeOrPrevious = uint32_t(previous);
    d.free = true;
    return d;
}

// The checksum of the payload area of a 512-byte extended data block image.
inline uint32_t payloadSum(const std::string& image) {
    return dbq_images::byteSum(image, 42, 512);
}

// A queue file at path() and a queue object to open it with.
class DumpFileTest : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("q"); }
    // Opens the file read-only and without the clean-shutdown check, as an inspector would.
    void openQueue() { ASSERT_TRUE(queue.open(path(), 0, 0600, false, "")); }
    Outcome dump(bool withData) {
        return capture([&] { queue.dump(withData); });
    }

    vfw_test::TempDir dir;
    vfw::DBQSingle queue{512};
};

// The text of the standard ctime() for a 32-bit time stamp, with its line feed.
inline std::string ctimeOf(int32_t seconds) {
    time_t t = seconds;
    char text[64];
    return ::ctime_r(&t, text);
}

}  // namespace dbq_dump_test

#endif
