#include "support/log_capture.h"

#include <gtest/gtest.h>

#include "vfw/log.h"
#include "vfw/property_source.h"

namespace vfw_test {

LogCapture::LogCapture() {
    // The file's settings are read when it opens; only the flushing matters here.
    vfw::MapPropertySource settings;
    settings.set("logger.file.flush.frequency", "1");
    vfw::PropertySource* previous = vfw::setPropertySource(&settings);
    int result = vfw::getFileLogging().open(m_dir.file("log"));
    vfw::setPropertySource(previous);
    EXPECT_EQ(result, 0) << "cannot open the capture file";
}

LogCapture::~LogCapture() {
    vfw::getFileLogging().close();
}

// A file record starts with the prefix "<date> <time> <zone> <host> <program>[<pid>]: "; a
// line that does not is the continuation of a record whose message holds a line end.
std::vector<std::string> LogCapture::records() {
    std::string text = readFile(m_dir.file("log"));
    std::vector<std::string> records;
    size_t start = m_consumed;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = text.substr(start, end - start);
        size_t prefixEnd = line.find("]: ");
        bool dated = line.size() > 10 && line[4] == '-' && line[7] == '-';
        if (dated && prefixEnd != std::string::npos) {
            records.push_back(line.substr(prefixEnd + 3));
        } else if (!records.empty()) {
            records.back() += "\n" + line;
        } else {
            ADD_FAILURE() << "a line that is no record: " << line;
        }
    }
    m_consumed = start;
    return records;
}

}  // namespace vfw_test
