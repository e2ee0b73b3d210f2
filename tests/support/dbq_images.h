// Queue-file images from the layout tables' own offsets (not the library's), record bytes, and a
// whole-file comparison checking time stamps against a window.
#ifndef VFW_TEST_DBQ_IMAGES_H
#define VFW_TEST_DBQ_IMAGES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <numeric>
#include <string>

namespace dbq_images {

const size_t BLOCK = 512;

inline void be32(std::string& s, size_t offset, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) {
        s[offset + i] = char(v >> (24 - 8 * i));
    }
}

inline uint32_t readBe32(const std::string& s, size_t offset) {
    return (uint32_t(uint8_t(s[offset])) << 24) | (uint32_t(uint8_t(s[offset + 1])) << 16) |
           (uint32_t(uint8_t(s[offset + 2])) << 8) | uint32_t(uint8_t(s[offset + 3]));
}

inline uint32_t byteSum(const std::string& s, size_t from, size_t to) {
    return std::accumulate(s.begin() + long(from), s.begin() + long(to), 0u,
                           [](uint32_t sum, char c) { return sum + uint8_t(c); });
}

// Master block fields, extended layout (type 39) unless `basic`.
struct Master {
    int32_t head = 0, tail = 0, freeHead = 0, freeTail = 0;
    uint8_t operation = 0;
    int32_t count = 0;
    uint64_t dataSize = 0;
    int32_t descriptorSize = 0;
    uint32_t age = 0;
    int32_t blockSize = 512;
    std::string descriptor = "";  // start of the descriptor area
    bool basic = false;
};

inline std::string masterImage(const Master& m) {
    std::string b(BLOCK, '\0');
    b[4] = char(m.basic ? 37 : 39);
    const int32_t fields[] = {m.head, m.tail, m.freeHead, m.freeTail};
    for (size_t i = 0; i < 4; ++i) {
        be32(b, 5 + 4 * i, uint32_t(fields[i]));
    }
    b[21] = char(m.operation);
    be32(b, 22, uint32_t(m.count));
    be32(b, 26, uint32_t(m.dataSize >> 32));
    be32(b, 30, uint32_t(m.dataSize));
    be32(b, 34, uint32_t(m.descriptorSize));
    b.replace(m.basic ? 38 : 62, m.descriptor.size(), m.descriptor);
    if (!m.basic) {
        b.replace(38, 4, "DbQm");
        be32(b, 42, byteSum(b, 62, BLOCK));
        be32(b, 46, 0x00010000);
        be32(b, 54, m.age);
        be32(b, 58, uint32_t(m.blockSize));
    }
    return b;
}

// Data block fields, extended layout (type 40) unless `basic`.
struct Data {
    int32_t id = 0, next = 0;
    uint32_t sizeOrPrevious = 0;
    bool spanning = false, free = false;
    uint32_t age = 0;
    int32_t spanSeq = 0;
    std::string payload = "";  // start of the payload area
    bool basic = false;
};

inline std::string dataImage(const Data& d) {
    std::string b(BLOCK, '\0');
    be32(b, 0, uint32_t(d.id));
    b[4] = char(d.basic ? 38 : 40);
    be32(b, 5, uint32_t(d.next));
    be32(b, 9, d.sizeOrPrevious);
    b[13] = char((d.spanning ? 1 : 0) | (d.free ? 2 : 0));
    b.replace(d.basic ? 14 : 42, d.payload.size(), d.payload);
    if (!d.basic) {
        b.replace(14, 4, "dBqD");
        be32(b, 18, byteSum(b, 42, BLOCK));
        be32(b, 22, 0x00010000);
        be32(b, 30, d.age);
        be32(b, 34, uint32_t(d.spanSeq));
    }
    return b;
}

// Record bytes that differ from block to block and from record to record.
inline std::string pattern(size_t length, unsigned seed) {
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        s[i] = char((i * 7 + seed * 31 + i / 251) & 0xFF);
    }
    return s;
}

// Extended blocks' times (master 50, data 26) in `actual` must lie in [from, to], then read 0.
inline ::testing::AssertionResult sameFile(std::string actual, const std::string& expected,
                                           time_t from, time_t to) {
    for (size_t base = 0; base + BLOCK <= actual.size(); base += BLOCK) {
        const size_t at = base + (actual[base + 4] == 39 ? 50 : 26);
        const time_t stamp = time_t(readBe32(actual, at));
        if ((actual[base + 4] == 39 || actual[base + 4] == 40) && (stamp < from || stamp > to)) {
            return ::testing::AssertionFailure() << "block " << base / BLOCK << ": time";
        }
        be32(actual, at, actual[base + 4] == 39 || actual[base + 4] == 40 ? 0 : uint32_t(stamp));
    }
    const size_t i =
        size_t(std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
               actual.begin());
    return (actual == expected ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << actual.size() << " bytes, expected " << expected.size()
           << "; first difference in block " << i / BLOCK << " at offset " << i % BLOCK;
}

}  // namespace dbq_images

#endif
