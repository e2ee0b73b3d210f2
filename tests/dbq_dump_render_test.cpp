// The payload text of DBQSingle::dump: the rendering rules case by case, and the renderer
// (which goes 8 bytes at a time where it can) against a byte-by-byte reference written from
// the rules, over payloads of every kind and over payloads far longer than its working pieces.
#include <gtest/gtest.h>

#include <string>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_dump_test::block;
using dbq_dump_test::capture;
using dbq_dump_test::inUse;
using dbq_dump_test::master;
using dbq_dump_test::Outcome;
using dbq_images::be32;
using dbq_images::byteSum;
using dbq_images::Data;
using dbq_images::Master;
using vfw_test::writeFile;

class DbqDumpRenderTest : public dbq_dump_test::DumpFileTest {};

struct Rendering {
    std::string payload;
    uint32_t size;
    std::string shown;
};

// One record block per case, in a basic file so that only the entry line and the payload are
// printed.
TEST_F(DbqDumpRenderTest, PayloadRendering) {
    const std::string some("ab\0\0\0c\n\r\b\x7f\xc8 ~\0\0\0XYZ", 19);
    const Rendering cases[] = {
        {some, 16, "ab<NULL*3>c\\n\\r<BS>?? ~"},  // trailing NULs dropped, XYZ past the size
        {some, 19, "ab<NULL*3>c\\n\\r<BS>?? ~<NULL*3>XYZ"},
        {std::string("\0\0\0\0\0\0\0\0\0\0\0\0!", 13), 13, "<NULL*12>!"},
        {std::string("\x01\t\x1f\x80\xff\x0b", 6), 6, "??????"},
        {std::string("\0\0\0", 3), 3, ""},
        {"text", 0, ""},
        {"\n\n\r\r\b\b", 6, "\\n\\n\\r\\r<BS><BS>"},
    };
    for (const Rendering& c : cases) {
        SCOPED_TRACE(c.shown);
        Data d = inUse(1, 0, c.size, false, 0, c.payload, 0);
        d.basic = true;
        Master m;
        m.basic = true;
        m.head = 1;
        m.tail = 1;
        m.count = 1;
        m.dataSize = c.size;
        writeFile(path(), master(m) + block(d, 0));
        vfw::DBQSingle reader(512);
        ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
        Outcome outcome = capture([&] { reader.dump(true); });
        EXPECT_EQ(outcome.out,
                  "DB accounting  empty: 0 count: 1 getDataSize: " + std::to_string(c.size) +
                      " head: 1 tail: 1 freehead: 0 freetail: 0 operation: 0\n"
                      "i: 0\tBlock ID: 1\tNext block ID: 0\tSize: " +
                      std::to_string(c.size) + "\tSpanning: 0\tFree: 0\tDatasize: 498\n" + c.shown +
                      "\n\n");
    }
}

// The rendering rules, byte by byte: the reference for the dump's renderer, which goes a word
// at a time where it can.
std::string renderByRules(const std::string& bytes) {
    std::string text;
    size_t nuls = 0;
    for (unsigned char c : bytes) {
        if (c == 0) {
            ++nuls;
            continue;
        }
        if (nuls != 0) {
            text += "<NULL*" + std::to_string(nuls) + ">";
            nuls = 0;
        }
        if (c >= 32 && c <= 126) {
            text += char(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == 8) {
            text += "<BS>";
        } else {
            text += '?';
        }
    }
    return text;
}

// Payload bytes of one of several kinds: text, bytes of every value, sparse or dense NULs,
// long NUL runs, the special bytes, and mixtures of these within one payload.
std::string randomPayload(size_t length, unsigned kind, uint32_t& x) {
    static const char specials[] = {0, '\n', '\r', 8, 127, ' ', '~', 31, char(200)};
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        x = x * 1664525u + 1013904223u;
        unsigned r = x >> 24;
        switch ((kind + (kind == 6 ? i / 16 : 0)) % 6) {
            case 0:
                bytes[i] = char(32 + r % 95);
                break;
            case 1:
                bytes[i] = char(r);
                break;
            case 2:
                bytes[i] = r % 5 == 0 ? '\0' : char(r);
                break;
            case 3:
                bytes[i] = (i / 23) % 2 == 0 ? '\0' : char(r);
                break;
            case 4:
                bytes[i] = specials[r % sizeof specials];
                break;
            default:
                bytes[i] = r % 2 == 0 ? '\0' : char(32 + r % 95);
                break;
        }
    }
    return bytes;
}

// 400 one-block records of every kind and of sizes around and beyond the capacity, in a basic
// file so that each entry is its line and its payload.
TEST_F(DbqDumpRenderTest, RenderingOfManyPayloadsFollowsTheRules) {
    const int records = 400;
    uint32_t x = 7;
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = records;
    m.count = records;
    std::string file;
    std::string entries;
    for (int i = 0; i < records; ++i) {
        x = x * 1664525u + 1013904223u;
        uint32_t size = x % 560;
        std::string payload = randomPayload(498, unsigned(i % 7), x);
        m.dataSize += size;
        Data d = inUse(i + 1, i + 1 < records ? i + 2 : 0, size, false, 0, payload, 0);
        d.basic = true;
        file += block(d, 0);
        entries += "i: " + std::to_string(i) + "\tBlock ID: " + std::to_string(i + 1) +
                   "\tNext block ID: " + std::to_string(i + 1 < records ? i + 2 : 0) +
                   "\tSize: " + std::to_string(size) + "\tSpanning: 0\tFree: 0\tDatasize: 498\n" +
                   renderByRules(payload.substr(0, size)) + "\n\n";
    }
    writeFile(path(), master(m) + file);
    openQueue();
    Outcome outcome = dump(true);
    EXPECT_EQ(outcome.error, "");
    std::string expectedStart =
        "DB accounting  empty: 0 count: 400 getDataSize: " + std::to_string(m.dataSize) +
        " head: 1 tail: 400 freehead: 0 freetail: 0 operation: 0\n";
    EXPECT_EQ(outcome.out, expectedStart + entries);
}

// Blocks of 64 KiB: payloads far longer than the renderer's working pieces, with NUL runs
// and text crossing their edges.
TEST_F(DbqDumpRenderTest, RenderingOfLongPayloadsFollowsTheRules) {
    const int32_t size = 65536;
    const int32_t capacity = size - 42;
    uint32_t x = 99;
    std::string payload;
    while (payload.size() < size_t(capacity)) {
        x = x * 1664525u + 1013904223u;
        size_t piece = 1 + (x >> 8) % 9000;
        if ((x >> 28) % 3 == 0) {
            payload += std::string(piece, '\0');  // runs of up to 9000 NULs
        } else {
            payload += randomPayload(piece, (x >> 20) % 7, x);
        }
    }
    payload.resize(size_t(capacity));
    payload.back() = 'e';
    std::string image(size_t(size), '\0');
    be32(image, 0, 1);
    image[4] = char(40);
    be32(image, 9, uint32_t(capacity));
    image.replace(14, 4, "dBqD");
    image.replace(42, payload.size(), payload);
    be32(image, 18, byteSum(image, 42, size_t(size)));
    be32(image, 22, 0x00010000);
    Master m;
    m.blockSize = size;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.dataSize = uint64_t(capacity);
    writeFile(path(), master(m) + std::string(size_t(size) - 512, '\0') + image);
    openQueue();
    Outcome outcome = dump(true);
    EXPECT_EQ(outcome.error, "");
    std::string shown = renderByRules(payload) + "\n\n";
    ASSERT_GE(outcome.out.size(), shown.size());
    EXPECT_TRUE(outcome.out.compare(outcome.out.size() - shown.size(), shown.size(), shown) == 0);
    EXPECT_NE(outcome.out.find("\tDatasize: 65494\n"), std::string::npos);
}

}  // namespace
