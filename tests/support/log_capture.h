// Reads back what this process logs: while a LogCapture lives, every record goes to a log
// file of its own (the process's FileLogging, flushed after each record) instead of syslog.
// One at a time per process.
#ifndef VFW_TEST_LOG_CAPTURE_H
#define VFW_TEST_LOG_CAPTURE_H

#include <gtest/gtest.h>

#include <vector>

#include "support/test_util.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace vfw_test {

// A settings map installed as the process's property source for its own lifetime.
struct ScopedSettings {
    vfw::MapPropertySource source;
    ScopedSettings() { vfw::setPropertySource(&source); }
    ~ScopedSettings() { vfw::setPropertySource(nullptr); }
};

class LogCapture {
  public:
    LogCapture() {
        vfw::MapPropertySource settings;  // read when the file opens
        settings.set("logger.file.flush.frequency", "1");
        vfw::PropertySource* previous = vfw::setPropertySource(&settings);
        EXPECT_EQ(vfw::getFileLogging().open(m_dir.file("log")), 0) << "no capture file";
        vfw::setPropertySource(previous);
    }
    ~LogCapture() { vfw::getFileLogging().close(); }  // records go to syslog again

    // Everything written to the file so far, prefixes included.
    std::string text() const { return readFile(m_dir.file("log")); }

    // The record lines written since the previous call, oldest first, each without the file's
    // prefix "<date> <time> <zone> <host> <program>[<pid>]: "; a line that has none continues
    // the record before it (a message holding a line end).
    std::vector<std::string> records() {
        std::string text = readFile(m_dir.file("log"));
        std::vector<std::string> records;
        for (size_t end; (end = text.find('\n', m_consumed)) != std::string::npos;
             m_consumed = end + 1) {
            std::string line = text.substr(m_consumed, end - m_consumed);
            size_t prefixEnd = line.find("]: ");
            bool record = line.size() > 10 && line[4] == '-' && line[7] == '-' &&
                          prefixEnd != std::string::npos;
            EXPECT_TRUE(record || !records.empty()) << "a line that is no record: " << line;
            record || records.empty()
                ? records.push_back(record ? line.substr(prefixEnd + 3) : line)
                : void(records.back() += "\n" + line);
        }
        return records;
    }

  private:
    TempDir m_dir;
    size_t m_consumed = 0;
};

}  // namespace vfw_test

#endif
