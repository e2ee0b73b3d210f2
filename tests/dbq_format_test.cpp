// Block layout, checksum, block read/write and the block file stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq_format.h"
#include "vfw/error_util.h"

namespace {

using dbq_images::be32;
using dbq_images::BLOCK;
using vfw::DataBlock;
using vfw::MasterBlock;

std::string image(const vfw::Block& block) {
    return std::string(reinterpret_cast<const char*>(block.buffer()), BLOCK);
}

TEST(DbqChecksum, SumsEveryPayloadByteWithWrapAround) {
    DataBlock block(512);
    block.setType(40);
    std::memset(block.data(), 0xFF, 470);
    EXPECT_EQ(block.payloadChecksum(), 119850u);
    block.setChecksum();
    EXPECT_EQ(block.getChecksum(), 119850u);
    EXPECT_EQ(dbq_images::readBe32(image(block), 18), 119850u);

    unsigned char area[4] = {1, 2, 3, 250};
    EXPECT_EQ(vfw::dbqformat::checksum(area, 4), 256u);
    EXPECT_EQ(vfw::dbqformat::checksum(area, 0), 0u);
    EXPECT_EQ(vfw::dbqformat::checksum(area, -5), 0u);
    // 2^32 / 255 full bytes and a few more wrap around to a small sum.
    std::string big(16843010, '\xFF');
    EXPECT_EQ(vfw::dbqformat::checksum(reinterpret_cast<const unsigned char*>(big.data()),
                                       int32_t(big.size())),
              uint32_t(uint64_t(16843010) * 255));
}

TEST(DbqChecksum, EqualsTheByteByByteSumForAnyLengthAndAlignment) {
    std::string bytes(3000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = char((i * 2654435761u) >> 13);
    }
    for (size_t offset : {0u, 1u, 3u, 7u}) {
        for (int32_t length : {1, 7, 8, 9, 15, 16, 450, 470, 498, 1023, 1024, 1025, 2990}) {
            const unsigned char* area =
                reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
            uint32_t expected = 0;
            for (int32_t i = 0; i < length; ++i) {
                expected += area[i];
            }
            EXPECT_EQ(vfw::dbqformat::checksum(area, length), expected) << offset << "+" << length;
        }
    }
}

TEST(DbqChecksum, CoversTheWholeDescriptorAreaAndNoHeaderByte) {
    MasterBlock master(512);
    master.setType(39);
    master.setHead(0x01020304);
    master.setCount(77);
    master.setChecksum();
    EXPECT_EQ(master.getChecksum(), 0u);
    master.buffer()[511] = 9;
    master.buffer()[62] = 1;
    master.setChecksum();
    EXPECT_EQ(master.getChecksum(), 10u);
}

TEST(DbqBlockLayout, MasterFieldsAreBigEndianAtTheirOffsets) {
    MasterBlock master(512);
    master.setType(39);
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

    std::string expected(BLOCK, '\0');
    expected[4] = 39;
    be32(expected, 5, 3);
    be32(expected, 9, 0x11223344);
    be32(expected, 13, 5);
    be32(expected, 17, 6);
    expected[21] = 2;
    be32(expected, 22, 0xFFFFFFFE);
    be32(expected, 26, 0x01020304);
    be32(expected, 30, 0x05060708);
    be32(expected, 34, 450);
    expected.replace(38, 4, "DbQm");
    be32(expected, 46, 0x00010000);
    be32(expected, 54, 0xA0B0C0D0);
    be32(expected, 58, 512);
    EXPECT_EQ(image(master), expected);
    EXPECT_EQ(master.getTail(), 0x11223344);
    EXPECT_EQ(master.getCount(), -2);
    EXPECT_EQ(master.getDataSize(), 0x0102030405060708ull);
    EXPECT_EQ(master.headerSize(), 62);
    EXPECT_EQ(master.payloadSize(), 450);
    EXPECT_EQ(master.data(), master.buffer() + 62);

    time_t before = time(nullptr);
    master.setTime();
    time_t after = time(nullptr);
    EXPECT_GE(master.getTime(), before);
    EXPECT_LE(master.getTime(), after);
    EXPECT_EQ(int32_t(dbq_images::readBe32(image(master), 50)), master.getTime());
}

TEST(DbqBlockLayout, DataFieldsAreBigEndianAtTheirOffsets) {
    DataBlock block(512);
    block.setType(40);
    block.setBlockId(7);
    block.setNext(8);
    block.setSize(0xFFFFFFF0u);
    block.setSpanning(true);
    block.setFree(true);
    block.setMagic(0x64427144);
    block.setVersion(0x00010000);
    block.setAge(12);
    block.setSpanSeq(3);

    std::string expected(BLOCK, '\0');
    be32(expected, 0, 7);
    expected[4] = 40;
    be32(expected, 5, 8);
    be32(expected, 9, 0xFFFFFFF0u);
    expected[13] = 3;
    expected.replace(14, 4, "dBqD");
    be32(expected, 22, 0x00010000);
    be32(expected, 30, 12);
    be32(expected, 34, 3);
    EXPECT_EQ(image(block), expected);
    EXPECT_EQ(block.getSize(), -16);
    EXPECT_EQ(block.getPrevious(), int32_t(0xFFFFFFF0u));
    EXPECT_EQ(block.payloadSize(), 470);

    block.setSpanning(false);
    EXPECT_EQ(block.getFlags(), 2);
    EXPECT_TRUE(block.isFree());
    block.setFree(false);
    block.setSpanning(true);
    EXPECT_EQ(block.getFlags(), 1);
}

TEST(DbqBlockLayout, BasicBlocksHaveNoExtendedFields) {
    MasterBlock master(512);
    EXPECT_EQ(master.getType(), 37);
    EXPECT_EQ(master.headerSize(), 38);
    EXPECT_EQ(master.payloadSize(), 474);
    master.setMagic(1);
    master.setVersion(2);
    master.setAge(3);
    master.setTime();
    master.setBlockSizeField(512);
    master.buffer()[40] = 5;
    master.setChecksum();
    std::string expected(BLOCK, '\0');
    expected[4] = 37;
    expected[40] = 5;
    EXPECT_EQ(image(master), expected);
    EXPECT_EQ(master.getMagic(), 0x4462516Du);
    EXPECT_EQ(master.getChecksum(), 0u);
    EXPECT_EQ(master.getVersion(), 0u);
    EXPECT_EQ(master.getAge(), 0u);
    EXPECT_EQ(master.getTime(), 0);
    EXPECT_EQ(master.getBlockSizeField(), 0);

    DataBlock block(512);
    EXPECT_EQ(block.getType(), 38);
    EXPECT_EQ(block.payloadSize(), 498);
    EXPECT_EQ(block.data(), block.buffer() + 14);
    block.setSpanSeq(4);
    block.setAge(4);
    EXPECT_EQ(block.getMagic(), 0x64427144u);
    EXPECT_EQ(block.getSpanSeq(), 0);
    EXPECT_EQ(image(block), std::string(4, '\0') + '\x26' + std::string(507, '\0'));

    block.setType(40);
    EXPECT_EQ(block.payloadSize(), 470);
}

TEST(DbqBlockLayout, SetDataCopiesToThePayloadOrRefuses) {
    DataBlock block(512);
    block.setType(40);
    std::string bytes(471, 'x');
    EXPECT_FALSE(block.setData(bytes.data(), 471));
    EXPECT_FALSE(block.setData(nullptr, 1));
    EXPECT_EQ(image(block).find('x'), std::string::npos);
    EXPECT_TRUE(block.setData(bytes.data(), 470));
    EXPECT_EQ(image(block).substr(42), std::string(470, 'x'));
    EXPECT_TRUE(block.setData("ab", 2));
    EXPECT_EQ(image(block).substr(42, 3), "abx");
}

class DbqBlockIo : public ::testing::Test {
  protected:
    void TearDown() override { vfw::BlockFileBuf::setWriteHook(nullptr); }
    vfw_test::TempDir dir;
};

TEST_F(DbqBlockIo, WriteGoesToTheBlocksOwnPositionAndReadTakesItBack) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(3 * BLOCK, 'z'));
    vfw::BlockFileStream stream;
    stream.open(path.c_str(), O_RDWR, 0600, false);
    ASSERT_TRUE(stream.is_open());
    DataBlock block(512);
    block.setType(40);
    block.setBlockId(1);
    block.setData("hello", 5);
    block.write(stream);
    stream.flush();
    std::string file = vfw_test::readFile(path);
    EXPECT_EQ(file.substr(0, BLOCK), std::string(BLOCK, 'z'));
    EXPECT_EQ(file.substr(BLOCK), image(block) + std::string(BLOCK, 'z'));

    DataBlock copy(512);
    copy.read(1, stream);
    EXPECT_EQ(image(copy), image(block));
    EXPECT_EQ(copy.payloadSize(), 498) << "reading does not look at the contents";

    block.setBlockId(3);
    block.write(stream);
    EXPECT_EQ(vfw_test::readFile(path).size(), 4 * BLOCK) << "a write past the end grows the file";
}

TEST_F(DbqBlockIo, ReadPastTheEndFailsWithTheStandardOutputLines) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(3 * BLOCK, '\0'));
    vfw::BlockFileStream stream;
    stream.open(path.c_str(), O_RDONLY, 0, false);
    DataBlock block(512);
    testing::internal::CaptureStdout();
    try {
        block.read(3, stream);
        FAIL() << "no exception";
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "Block 3 read failed (fs.read)");
        EXPECT_EQ(e.getRc(), -1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read for block 3 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n");
    EXPECT_TRUE(stream.eof());
    EXPECT_FALSE(stream.bad());
}

TEST_F(DbqBlockIo, ShortReadOfAPartialBlockFailsToo) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(BLOCK + 100, '\0'));
    vfw::BlockFileStream stream;
    stream.open(path.c_str(), O_RDONLY, 0, false);
    DataBlock block(512);
    testing::internal::CaptureStdout();
    EXPECT_THROW(block.read(1, stream), vfw::IOException);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read for block 1 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n");
}

TEST_F(DbqBlockIo, NegativeIdsFailAtTheSeek) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(BLOCK, '\0'));
    vfw::BlockFileStream stream;
    stream.open(path.c_str(), O_RDWR, 0, false);
    DataBlock block(512);
    testing::internal::CaptureStdout();
    try {
        block.read(-1, stream);
        FAIL() << "no exception";
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "Block -1 read failed (fs.seekg)");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Seekg for block -1 failed\nEOF: 0\nBad: 0\nFail: 1\nFile pos: -1\n");

    vfw::BlockFileStream writer;
    writer.open(path.c_str(), O_RDWR, 0, false);
    block.setBlockId(-2);
    try {
        block.write(writer);
        FAIL() << "no exception";
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "Block -2 write failed (fs.seekp)");
        EXPECT_EQ(e.getRc(), -1);
    }
}

TEST_F(DbqBlockIo, FailedWriteLeavesTheStreamBadAndThrows) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(BLOCK, '\0'));
    vfw::BlockFileStream stream;
    stream.open(path.c_str(), O_RDONLY, 0, false);
    DataBlock block(512);
    block.setBlockId(0);
    try {
        block.write(stream);
        FAIL() << "no exception";
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "Block 0 write failed (fs.write)");
    }
    EXPECT_TRUE(stream.bad());

    vfw::BlockFileBuf::setWriteHook([](int, int64_t, size_t) { return false; });
    vfw::BlockFileStream hooked;
    hooked.open(path.c_str(), O_RDWR, 0, false);
    block.setBlockId(1);
    EXPECT_THROW(block.write(hooked), vfw::IOException);
    EXPECT_TRUE(hooked.bad());
    EXPECT_EQ(vfw_test::readFile(path).size(), BLOCK) << "a refused write touches nothing";
}

// The stream reports the same state bits and positions as a std::fstream over the same file.
TEST_F(DbqBlockIo, StreamStateMatchesAStandardFileStream) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(700, 'a'));
    vfw::BlockFileStream ours;
    ours.open(path.c_str(), O_RDWR, 0, false);
    std::fstream theirs(path, std::ios::in | std::ios::out | std::ios::binary);
    char a[512], b[512];
    auto same = [&](const char* step) {
        EXPECT_EQ(ours.rdstate(), theirs.rdstate()) << step;
        EXPECT_EQ(ours.gcount(), theirs.gcount()) << step;
    };
    ours.seekg(512);
    theirs.seekg(512);
    same("seek");
    EXPECT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
    ours.read(a, 512);
    theirs.read(b, 512);
    same("short read");
    EXPECT_EQ(std::string(a, 188), std::string(b, 188));
    EXPECT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
    ours.seekg(0);
    theirs.seekg(0);
    same("seek after eof");
    ours.clear();
    theirs.clear();
    ours.seekg(0, std::ios::end);
    theirs.seekg(0, std::ios::end);
    EXPECT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
    ours.seekg(100);
    theirs.seekg(100);
    EXPECT_EQ(ours.get(), theirs.get());
    EXPECT_EQ(ours.peek(), theirs.peek());
    EXPECT_EQ(std::streamoff(ours.tellg()), std::streamoff(theirs.tellg()));
    ours.seekg(-1);
    theirs.seekg(-1);
    same("negative seek");
}

// A file open for writing is mapped; what it writes is what a reader of the file sees, and
// the mapping follows the file as it grows past the address space first reserved and shrinks.
TEST_F(DbqBlockIo, AMappedFileAndAReaderSeeTheSameBytes) {
    std::string path = dir.file("q");
    vfw_test::writeFile(path, std::string(BLOCK, 'm'));
    vfw::BlockFileStream writer;
    writer.open(path.c_str(), O_RDWR, 0, false);
    vfw::BlockFileStream reader;
    reader.open(path.c_str(), O_RDONLY, 0, false);
    ASSERT_TRUE(writer.file().isMapped());
    ASSERT_FALSE(reader.file().isMapped());

    DataBlock block(512);
    block.setType(40);
    block.setBlockId(0);
    block.setData("inside", 6);
    block.write(writer);  // inside the file: a copy into the mapping
    block.setBlockId(1);
    block.setData("grown", 5);
    block.write(writer);  // past the end: the file grows
    EXPECT_EQ(writer.file().size(), int64_t(2 * BLOCK));
    DataBlock seen(512);
    seen.read(0, reader);
    EXPECT_EQ(image(seen).substr(0, 4), std::string(4, '\0'));
    EXPECT_EQ(image(seen).substr(42, 6), "inside");
    seen.read(1, reader);
    EXPECT_EQ(image(seen), image(block));

    const int64_t big = int64_t(70) << 20;  // past the 64 MiB reserved at first
    ASSERT_TRUE(writer.file().truncate(big));
    EXPECT_EQ(writer.file().size(), big);
    const int32_t far = int32_t(big / int64_t(BLOCK)) - 1;
    block.setBlockId(far);
    block.setData("far", 3);
    block.write(writer);
    EXPECT_TRUE(writer.file().isMapped());
    seen.read(far, reader);
    EXPECT_EQ(image(seen), image(block));
    DataBlock back(512);
    back.read(far, writer);
    EXPECT_EQ(image(back), image(block));

    ASSERT_TRUE(writer.file().truncate(int64_t(BLOCK)));
    testing::internal::CaptureStdout();
    EXPECT_THROW(back.read(1, writer), vfw::IOException);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Read for block 1 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n");
    EXPECT_EQ(vfw_test::readFile(path).size(), BLOCK);
}

// A file opened read-only is read ahead in windows that grow with sequential reads; whatever
// the windows, every read returns the file's bytes at its position, and a read that reaches
// past the end ends as a standard stream's does. Reads of 500 bytes straddle the window ends,
// the jumps leave the sequence, and bytes appended after a window met the end are seen.
TEST_F(DbqBlockIo, ReadAheadReturnsTheFilesBytesAcrossWindowsAndItsEnd) {
    const size_t MIB = size_t(1) << 20;
    struct Case {
        size_t length;
        size_t piece;
    } const cases[] = {{1000, 512},
                       {16384 + 512, 512},
                       {3 * MIB + 123, 500},
                       {3 * MIB, 4096},
                       {2 * MIB, 1536 * 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " bytes read " << c.piece << " at a time");
        std::string bytes(c.length, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = char((i * 2654435761u) >> 11);
        }
        std::string path = dir.file("ahead");
        vfw_test::writeFile(path, bytes);
        vfw::BlockFileStream ours;
        ours.open(path.c_str(), O_RDONLY, 0, false);
        std::ifstream theirs(path, std::ios::binary);
        std::string a(c.piece, '\0'), b(c.piece, '\0');
        auto readBoth = [&](std::streamoff at) {
            ours.seekg(at);
            theirs.seekg(at);
            ours.read(&a[0], std::streamsize(c.piece));
            theirs.read(&b[0], std::streamsize(c.piece));
            ASSERT_EQ(ours.rdstate(), theirs.rdstate()) << "at " << at;
            ASSERT_EQ(ours.gcount(), theirs.gcount()) << "at " << at;
            ASSERT_EQ(a.compare(0, size_t(ours.gcount()), b, 0, size_t(ours.gcount())), 0)
                << "at " << at;
        };
        for (size_t at = 0; at < c.length + c.piece; at += c.piece) {
            readBoth(std::streamoff(at));
        }
        for (size_t at : {c.length / 2, size_t(7), c.length - 1, c.length / 3}) {
            ours.clear();
            theirs.clear();
            readBoth(std::streamoff(at));
        }
        std::ofstream(path, std::ios::binary | std::ios::app) << std::string(c.piece, 'z');
        ours.clear();
        theirs.close();
        theirs.open(path, std::ios::binary);
        readBoth(std::streamoff(c.length));
        EXPECT_EQ(a, std::string(c.piece, 'z'));
    }
}

TEST_F(DbqBlockIo, OpenRefusesAnythingButARegularFileWithoutBlocking) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (int flags : {O_RDONLY, O_RDWR, O_RDWR | O_CREAT}) {
        vfw::BlockFileStream stream;
        stream.open(fifo.c_str(), flags, 0600, false);
        EXPECT_FALSE(stream.is_open());
        EXPECT_TRUE(stream.fail());
        EXPECT_EQ(errno, EINVAL);
    }
    vfw::BlockFileStream directory;
    directory.open(dir.path().c_str(), O_RDONLY, 0, false);
    EXPECT_FALSE(directory.is_open());
    EXPECT_EQ(errno, EISDIR);
    vfw::BlockFileStream device;
    device.open("/dev/null", O_RDWR, 0, true);
    EXPECT_FALSE(device.is_open());
    EXPECT_EQ(errno, EINVAL);

    std::string missing = dir.file("missing");
    vfw::BlockFileStream absent;
    absent.open(missing.c_str(), O_RDONLY, 0, false);
    EXPECT_EQ(errno, ENOENT);

    std::string file = dir.file("q");
    vfw_test::writeFile(file, "data");
    vfw::BlockFileStream truncating;
    truncating.open(file.c_str(), O_RDWR, 0, true);
    EXPECT_TRUE(truncating.is_open());
    EXPECT_TRUE(truncating.good());
    EXPECT_EQ(vfw_test::readFile(file), "");
    truncating.close();
    EXPECT_FALSE(truncating.fail());
    truncating.close();
    EXPECT_TRUE(truncating.fail()) << "closing a closed stream fails, as for a file stream";
}

}  // namespace
