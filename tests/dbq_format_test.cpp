// Queue-file blocks: field layout of both generations and the checksum, block read and write
// with their failures, and the block file stream (mapped when writable, read ahead when
// read-only, agreeing with a standard file stream; anything but a regular file refused).
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq_format.h"
#include "vfw/error_util.h"

namespace {

using dbq_images::BLOCK;
using vfw::DataBlock;
using vfw::MasterBlock;
using vfw_test::readFile;
using vfw_test::writeFile;

std::string image(const vfw::Block& block) {
    return std::string(reinterpret_cast<const char*>(block.buffer()), BLOCK);
}

std::string scrambled(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = char((i * 2654435761u) >> 13);
    }
    return bytes;
}

TEST(DbqBlockFormat, ChecksumIsTheWrappingByteSumOfTheWholeArea) {
    const std::string bytes = scrambled(3000), big(16843010, '\xFF');  // 255 * that wraps
    const auto* area = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t at : {0u, 1u, 3u, 7u}) {
        for (int32_t length : {-5, 0, 1, 7, 8, 9, 15, 16, 450, 470, 498, 1023, 1024, 1025, 2990}) {
            EXPECT_EQ(vfw::dbqformat::checksum(area + at, length),
                      dbq_images::byteSum(bytes, at, at + size_t(length < 0 ? 0 : length)))
                << at << "+" << length;
        }
    }
    EXPECT_EQ(vfw::dbqformat::checksum(reinterpret_cast<const unsigned char*>(big.data()),
                                       int32_t(big.size())),
              uint32_t(uint64_t(16843010) * 255));
    DataBlock block(512);
    block.setType(40);
    std::memset(block.data(), 0xFF, 470);
    block.setChecksum();
    EXPECT_EQ(dbq_images::readBe32(image(block), 18), 119850u);
    MasterBlock master(512);
    master.setType(39);
    master.setCount(77);  // no header byte counts, every byte of the area does
    master.buffer()[62] = 1;
    master.buffer()[511] = 9;
    master.setChecksum();
    EXPECT_EQ(master.getChecksum(), 10u);
}

TEST(DbqBlockFormat, FieldsAreBigEndianAtTheirOffsetsAndBasicBlocksHaveNoExtendedOnes) {
    for (uint8_t type : {39, 37}) {
        MasterBlock master(512);
        master.setType(type);
        master.setHead(3);
        master.setTail(0x11223344);
        master.setFreeHead(5);
        master.setFreeTail(6);
        master.setOperation(2);
        master.setCount(-2);
        master.setDataSize(0x0102030405060708ull);
        master.setDescriptorSize(450);
        master.setMagic(0x4462516D);
        master.setVersion(0x00010000);
        master.setAge(0xA0B0C0D0);
        master.setBlockSizeField(512);
        master.setChecksum();
        const time_t before = time(nullptr);
        master.setTime();
        EXPECT_TRUE(type == 37 ? master.getTime() == 0
                               : master.getTime() >= before && master.getTime() <= time(nullptr));
        dbq_images::Master m{3, 0x11223344, 5, 6, 2, -2, 0x0102030405060708ull, 450, 0xA0B0C0D0};
        m.basic = type == 37;
        std::string expected = dbq_images::masterImage(m);
        dbq_images::be32(expected, 50, uint32_t(master.getTime()));
        EXPECT_EQ(image(master), expected);
        EXPECT_EQ(master.payloadSize(), type == 39 ? 450 : 474);
        EXPECT_EQ(master.getMagic(), 0x4462516Du);
        EXPECT_EQ(master.getVersion() + master.getAge(), type == 39 ? 0xA0B1C0D0u : 0u);
        EXPECT_EQ(master.getBlockSizeField(), type == 39 ? 512 : 0);

        DataBlock block(512);
        block.setType(type + 1);
        block.setBlockId(7);
        block.setNext(8);
        block.setSize(0xFFFFFFF0u);
        block.setSpanning(true);
        block.setFree(true);
        block.setMagic(0x64427144);
        block.setVersion(0x00010000);
        block.setAge(12);
        block.setSpanSeq(3);
        block.setData("ab", 2);
        block.setChecksum();
        block.setTime();
        dbq_images::Data d{7, 8, 0xFFFFFFF0u, true, true, 12, 3, "ab", type == 37};
        expected = dbq_images::dataImage(d);
        dbq_images::be32(expected, 26, type == 39 ? uint32_t(block.getTime()) : 0);
        EXPECT_EQ(image(block), expected);
        EXPECT_EQ(block.getSize(), -16);
        EXPECT_EQ(block.getMagic(), 0x64427144u);
        EXPECT_EQ(block.getVersion() + block.getAge() + uint32_t(block.getSpanSeq()),
                  type == 39 ? 0x1000Fu : 0u);
        block.setSpanning(false);
        EXPECT_EQ(block.getFlags(), 2);
        block.setFree(false);
        EXPECT_EQ(block.getFlags(), 0);
        const std::string full(block.payloadSize() + 1, 'x');
        EXPECT_FALSE(block.setData(full.data(), uint32_t(full.size())));
        EXPECT_FALSE(block.setData(nullptr, 1));
        EXPECT_EQ(image(block).find('x'), std::string::npos);
        EXPECT_TRUE(block.setData(full.data(), uint32_t(full.size()) - 1));
        EXPECT_EQ(image(block).substr(type == 39 ? 42 : 14), full.substr(1));
    }
}

class DbqBlockIo : public ::testing::Test {
  protected:
    void TearDown() override { vfw::BlockFileBuf::setWriteHook(nullptr); }
    vfw_test::TempDir dir;
};

// Written through the mapping inside the file, past its end, and past the 64 MiB of address
// space first reserved; read back through the mapping and by a read-only stream.
TEST_F(DbqBlockIo, BlocksGoToTheirOwnPositionAndComeBackAsWritten) {
    const std::string path = dir.file("q");
    writeFile(path, std::string(3 * BLOCK, 'z'));
    vfw::BlockFileStream stream, reader;
    stream.open(path.c_str(), O_RDWR, 0600, false);
    reader.open(path.c_str(), O_RDONLY, 0, false);
    ASSERT_TRUE(stream.file().isMapped());
    ASSERT_FALSE(reader.file().isMapped());
    DataBlock block(512), seen(512);
    block.setType(40);
    block.setData("hello", 5);
    std::string first;
    const int64_t far = int64_t(70) << 20;
    struct Step {
        int64_t fileSize;
        int32_t id;
    } const steps[] = {{3 * BLOCK, 1}, {3 * BLOCK, 3}, {far, int32_t(far / int64_t(BLOCK)) - 1}};
    for (const Step& step : steps) {
        ASSERT_TRUE(stream.file().truncate(step.fileSize));
        block.setBlockId(step.id);
        block.write(stream);
        first = first.empty() ? image(block) : first;
        EXPECT_EQ(stream.file().size(), std::max(step.fileSize, (step.id + 1) * int64_t(BLOCK)));
        EXPECT_TRUE(stream.file().isMapped());
        seen.read(step.id, reader);
        EXPECT_EQ(image(seen), image(block));
        EXPECT_EQ(seen.payloadSize(), 498) << "reading does not look at the contents";
        seen.read(step.id, stream);
        EXPECT_EQ(image(seen), image(block));
    }
    ASSERT_TRUE(stream.file().truncate(int64_t(2 * BLOCK)));
    EXPECT_EQ(readFile(path), std::string(BLOCK, 'z') + first);
    testing::internal::CaptureStdout();
    EXPECT_THROW(seen.read(2, stream), vfw::IOException) << "the mapping shrinks with the file";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read for block 2 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n");
}

bool refuseWrites(int, int64_t, size_t) {
    return false;
}

TEST_F(DbqBlockIo, FailuresReportTheStreamStateAndThrow) {
    const std::string failed = " failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n";
    struct Case {
        size_t size;
        int flags, id;
        bool write, hook, bad;  // a write, refused by the write hook, leaving the stream bad
        std::string message, out;
    } const cases[] = {
        {3 * BLOCK, O_RDONLY, 3, 0, 0, 0, "Block 3 read failed (fs.read)",
         "Read for block 3" + failed},
        {BLOCK + 100, O_RDONLY, 1, 0, 0, 0, "Block 1 read failed (fs.read)",
         "Read for block 1" + failed},
        {BLOCK, O_RDWR, -1, 0, 0, 0, "Block -1 read failed (fs.seekg)",
         "Seekg for block -1 failed\nEOF: 0\nBad: 0\nFail: 1\nFile pos: -1\n"},
        {BLOCK, O_RDWR, -2, 1, 0, 0, "Block -2 write failed (fs.seekp)", ""},
        {BLOCK, O_RDONLY, 0, 1, 0, 1, "Block 0 write failed (fs.write)", ""},
        {BLOCK, O_RDWR, 1, 1, 1, 1, "Block 1 write failed (fs.write)", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string path = dir.file("q");
        writeFile(path, std::string(c.size, '\0'));
        vfw::BlockFileStream stream;
        stream.open(path.c_str(), c.flags, 0, false);
        vfw::BlockFileBuf::setWriteHook(c.hook ? refuseWrites : nullptr);
        DataBlock block(512);
        block.setBlockId(c.id);
        testing::internal::CaptureStdout();
        try {
            c.write ? block.write(stream) : block.read(c.id, stream);
            ADD_FAILURE() << "no exception";
        } catch (const vfw::IOException& e) {
            EXPECT_EQ(e.what(), c.message);
            EXPECT_EQ(e.getRc(), -1);
        }
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(stream.bad(), c.bad);
        EXPECT_EQ(readFile(path).size(), c.size) << "a failed write touches nothing";
    }
}

// Whatever the read-ahead windows (they grow with sequential reads), a read-only stream
// returns the file's bytes and state as a standard stream does: reads of 500 bytes straddle
// the window ends, the jumps leave the sequence, and bytes appended later are seen. A
// writable (mapped) stream agrees too, also on seeks from the end, get and peek.
TEST_F(DbqBlockIo, StreamsReadAndSeekAsAStandardFileStream) {
    const size_t MIB = size_t(1) << 20;
    struct Case {
        size_t length, piece;
        int flags;
    } const cases[] = {
        {1000, 512, O_RDONLY},     {16384 + 512, 512, O_RDONLY},     {3 * MIB + 123, 500, O_RDONLY},
        {3 * MIB, 4096, O_RDONLY}, {2 * MIB, 1536 * 1024, O_RDONLY}, {700, 512, O_RDWR}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes read " << c.piece << " at a time");
        const std::string path = dir.file("ahead");
        writeFile(path, scrambled(c.length));
        vfw::BlockFileStream ours;
        ours.open(path.c_str(), c.flags, 0, false);
        std::ifstream theirs(path, std::ios::binary);
        std::string a(c.piece, '\0'), b(c.piece, '\0');
        auto readBoth = [&](std::streamoff at) {
            ours.seekg(at);
            theirs.seekg(at);
            ASSERT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
            ours.read(&a[0], std::streamsize(c.piece));
            theirs.read(&b[0], std::streamsize(c.piece));
            ASSERT_EQ(ours.rdstate(), theirs.rdstate()) << "at " << at;
            ASSERT_EQ(ours.gcount(), theirs.gcount()) << "at " << at;
            ASSERT_EQ(a.compare(0, size_t(ours.gcount()), b, 0, size_t(ours.gcount())), 0);
        };
        for (size_t at = 0; at <= c.length + c.piece; at += c.piece) {
            readBoth(std::streamoff(at));  // the last ones fail at the end, and so the seeks
        }
        for (size_t at : {c.length / 2, size_t(7), c.length - 1, c.length / 3, size_t(-1)}) {
            ours.clear();
            theirs.clear();
            readBoth(std::streamoff(at));  // the last one seeks before the start
        }
        ours.clear();
        theirs.clear();
        ours.seekg(-3, std::ios::end);
        theirs.seekg(-3, std::ios::end);
        EXPECT_EQ(ours.get(), theirs.get());
        EXPECT_EQ(ours.peek(), theirs.peek());
        EXPECT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
        std::ofstream(path, std::ios::binary | std::ios::app) << std::string(c.piece, 'z');
        theirs.close();
        theirs.open(path, std::ios::binary);
        ours.clear();
        readBoth(std::streamoff(c.length));
        EXPECT_EQ(a, std::string(c.piece, 'z'));
    }
}

TEST_F(DbqBlockIo, OpenRefusesAnythingButARegularFileWithoutBlocking) {
    const std::string fifo = dir.file("fifo"), file = dir.file("q");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    writeFile(file, "data");
    struct Case {
        std::string path;
        int flags, error;
    } const cases[] = {{fifo, O_RDONLY, EINVAL},         {fifo, O_RDWR, EINVAL},
                       {fifo, O_RDWR | O_CREAT, EINVAL}, {dir.path(), O_RDONLY, EISDIR},
                       {"/dev/null", O_RDWR, EINVAL},    {dir.file("missing"), O_RDONLY, ENOENT}};
    for (const Case& c : cases) {
        vfw::BlockFileStream stream;
        stream.open(c.path.c_str(), c.flags, 0600, true);
        EXPECT_TRUE(!stream.is_open() && stream.fail()) << c.path;
        EXPECT_EQ(errno, c.error) << c.path;
    }
    vfw::BlockFileStream truncating;
    truncating.open(file.c_str(), O_RDWR, 0, true);
    EXPECT_TRUE(truncating.good());
    EXPECT_EQ(readFile(file), "");
    truncating.close();
    EXPECT_FALSE(truncating.fail());
    truncating.close();
    EXPECT_TRUE(truncating.fail()) << "closing a closed stream fails, as for a file stream";
}

}  // namespace
