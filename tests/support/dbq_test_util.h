// Queue test helpers: byte arrays, draining a queue, capturing the queue's log records.
#ifndef VFW_TEST_DBQ_TEST_UTIL_H
#define VFW_TEST_DBQ_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/test_util.h"
#include "vfw/dbq.h"
#include "vfw/log.h"

namespace dbq_test {

inline vfw::ByteArray bytes(const std::string& text) {
    vfw::ByteArray array(new unsigned char[text.size() + 1],
                         boost::checked_array_deleter<unsigned char>());
    text.copy(reinterpret_cast<char*>(array.get()), text.size());
    return array;
}

inline void enqueue(vfw::DBQ& queue, const std::string& record) {
    queue.enqueue(bytes(record), uint32_t(record.size()));
}

inline std::string peek(vfw::DBQ& queue) {
    vfw::ByteArray data;
    uint32_t length = 99;
    queue.peek(data, length);
    return std::string(reinterpret_cast<const char*>(data.get()), length);
}

// Dequeues up to `limit` records; into `records` if given (kept when a dequeue throws).
inline std::vector<std::string> drain(vfw::DBQ& queue, size_t limit = 1000,
                                      std::vector<std::string>* records = nullptr) {
    std::vector<std::string> own, &read = records ? *records : own;
    while (!queue.isEmpty() && read.size() < limit) {
        vfw::ByteArray data;
        uint32_t length = 0;
        queue.dequeue(data, length);
        read.emplace_back(reinterpret_cast<const char*>(data.get()), length);
    }
    return read;
}

// While alive, the records of "vfw.dbqs" and "vfw.dbq" from DEBUG up go to the capture file.
class LogCapture : public vfw_test::LogCapture {
  public:
    LogCapture() { setLevels(vfw::LEVEL_DEBUG); }
    ~LogCapture() { setLevels(-1); }

  private:
    static void setLevels(int level) {
        vfw::getLogger("vfw.dbqs")->setLevel(level);
        vfw::getLogger("vfw.dbq")->setLevel(level);
    }
};

}  // namespace dbq_test

#endif
