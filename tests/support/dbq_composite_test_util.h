// Helpers of the composite queue and vaudumpat tests: member files written with DBQSingle,
// the names in a directory, what std::cout receives, and the message of an expected throw.
#ifndef VFW_TEST_DBQ_COMPOSITE_TEST_UTIL_H
#define VFW_TEST_DBQ_COMPOSITE_TEST_UTIL_H

#include <algorithm>
#include <exception>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/dbq_test_util.h"
#include "vfw/dbq.h"

namespace dbqc_test {

using Names = std::vector<std::string>;

inline void writeMember(const std::string& path, const Names& records) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path, 1, 0600, true, ""));
    for (const std::string& record : records)
        dbq_test::enqueue(queue, record);
    queue.close();
}

// The names in a directory, sorted; none when it cannot be read.
inline Names entries(const std::string& directory) {
    Names names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// What f writes to std::cout, and the message of the exception that ended it ("" if none).
template <class F>
std::pair<std::string, std::string> coutOf(F f) {
    std::ostringstream text;
    std::streambuf* old = std::cout.rdbuf(text.rdbuf());
    std::string error;
    try {
        f();
    } catch (const std::exception& e) {
        error = e.what();
    }
    std::cout.rdbuf(old);
    return {text.str(), error};
}

// What DBQSingle::dump prints for one file on its own, up to where it fails.
inline std::string singleDump(const std::string& path) {
    return coutOf([&] { vfw::DBQSingle(path, 0, 512, 0600, 0).dump(true); }).first;
}

template <class E, class F>
std::string thrown(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

}  // namespace dbqc_test

#endif
