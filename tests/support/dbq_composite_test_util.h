// Helpers of the composite queue tests: member files written with DBQSingle, the totals read
// straight from the members' master blocks, the descriptors a process holds on a file, the
// member names of a directory, captured standard output and the composite's log records.
#ifndef VFW_TEST_DBQ_COMPOSITE_TEST_UTIL_H
#define VFW_TEST_DBQ_COMPOSITE_TEST_UTIL_H

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"
#include "vfw/log.h"

namespace dbqc_test {

// Writes a queue file at `path` holding `records`.
inline void writeMember(const std::string& path, const std::vector<std::string>& records) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path, 1, 0600, true, ""));
    for (const std::string& record : records) {
        dbq_test::enqueue(queue, record);
    }
    queue.close();
}

// The names in a directory, "." and ".." left out, sorted.
inline std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Record count and data size over every member file of a directory, read from the master
// blocks' bytes (count at offset 22, data size at 26, both big-endian).
struct Totals {
    int64_t count = 0;
    uint64_t size = 0;
};

inline Totals memberTotals(const std::string& directory) {
    Totals totals;
    for (const std::string& name : entries(directory)) {
        std::string file = vfw_test::readFile(directory + "/" + name);
        if (file.size() < dbq_images::BLOCK) {
            ADD_FAILURE() << name << " has no master block";
            continue;
        }
        totals.count += int32_t(dbq_images::readBe32(file, 22));
        totals.size +=
            (uint64_t(dbq_images::readBe32(file, 26)) << 32) | dbq_images::readBe32(file, 30);
    }
    return totals;
}

// How many descriptors of this process are open on `path`.
inline int descriptorsOn(const std::string& path) {
    int found = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[4096];
        ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, size_t(length)) == path) {
            ++found;
        }
    }
    ::closedir(dir);
    return found;
}

// Collects what std::cout receives while alive.
class CoutCapture {
  public:
    CoutCapture() : m_old(std::cout.rdbuf(m_text.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(m_old); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    std::string text() const { return m_text.str(); }

  private:
    std::ostringstream m_text;
    std::streambuf* m_old;
};

// The records of the queue loggers, "vfw.dbqc" included, from DEBUG up.
class CompositeLog {
  public:
    CompositeLog() { vfw::getLogger("vfw.dbqc")->setLevel(vfw::LEVEL_DEBUG); }
    ~CompositeLog() { vfw::getLogger("vfw.dbqc")->setLevel(-1); }
    CompositeLog(const CompositeLog&) = delete;
    CompositeLog& operator=(const CompositeLog&) = delete;
    std::string text() { return m_capture.text(); }

  private:
    dbq_test::LogCapture m_capture;
};

template <class E, class F>
std::string thrown(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

inline std::string peekText(vfw::DBQ& queue) {
    vfw::ByteArray data;
    uint32_t length = 0;
    queue.peek(data, length);
    if (length == 0) {
        return "";
    }
    return std::string(reinterpret_cast<const char*>(data.get()), length);
}

}  // namespace dbqc_test

#endif
