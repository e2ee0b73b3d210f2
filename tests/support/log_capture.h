// Reads back what this process logs: while a LogCapture lives, every record goes to a log
// file of its own (the process's FileLogging, flushed after each record) instead of syslog.
// One at a time per process.
#ifndef VFW_TEST_LOG_CAPTURE_H
#define VFW_TEST_LOG_CAPTURE_H

#include <string>
#include <vector>

#include "support/test_util.h"

namespace vfw_test {

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();  // closes the file; records go to syslog again
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The record lines written since the previous call, oldest first, each without the
    // file's record prefix.
    std::vector<std::string> records();

  private:
    TempDir m_dir;
    size_t m_consumed = 0;
};

}  // namespace vfw_test

#endif
