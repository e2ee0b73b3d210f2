// Helpers of the dump and integrity-check tests: capturing standard output in-process,
// running a piece of code in a child whose standard output and standard error share one file,
// and the ctime() text that the dumps print for a time stamp.
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

#include "support/test_util.h"
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

// The text of the standard ctime() for a 32-bit time stamp, with its line feed.
inline std::string ctimeOf(int32_t seconds) {
    time_t t = seconds;
    char text[64];
    return ::ctime_r(&t, text);
}

}  // namespace dbq_dump_test

#endif
