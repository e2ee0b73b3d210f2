// Queue-file blocks: field layout and checksum, block reads and writes, and the block file
// stream (mapped or read ahead, read as a standard stream, only regular files).
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <tuple>

#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq_format.h"
#include "vfw/error_util.h"

namespace {

using dbq_images::BLOCK;
using dbq_images::pattern;
using vfw_test::readFile;

std::string image(const vfw::Block& block) {
    return std::string(reinterpret_cast<const char*>(block.buffer()), BLOCK);
}

// Any length and alignment (the vector, word and byte paths), wrapping at 2^32.
TEST(DbqBlockFormat, ChecksumIsTheWrappingByteSumOfTheArea) {
    const std::string bytes = pattern(3000, 5), big(16843010, '\xFF');  // 255 times that wraps
    auto sum = [](const std::string& s, size_t at, int32_t n) {
        return vfw::dbqformat::checksum(reinterpret_cast<const unsigned char*>(&s[at]), n);
    };
    for (size_t at : {0u, 1u, 3u, 7u}) {
        for (int32_t n : {-5, 0, 1, 7, 8, 9, 15, 16, 450, 470, 1023, 1024, 1025, 2990}) {
            EXPECT_EQ(sum(bytes, at, n),
                      dbq_images::byteSum(bytes, at, at + size_t(std::max(n, 0))))
                << at << "+" << n;
        }
    }
    EXPECT_EQ(sum(big, 0, int32_t(big.size())), uint32_t(uint64_t(16843010) * 255));
}

// Rounded up, 0 for an empty record, and no overflow at the largest record length.
TEST(DbqBlockFormat, RecordBlocksIsTheSizeOverTheCapacityRoundedUp) {
    using vfw::dbqformat::recordBlocks;
    EXPECT_EQ(std::make_tuple(recordBlocks(0, 470), recordBlocks(1, 470), recordBlocks(470, 470),
                              recordBlocks(471, 470), recordBlocks(940, 470),
                              recordBlocks(UINT32_MAX, 470), recordBlocks(UINT32_MAX, 1)),
              std::make_tuple(0u, 1u, 1u, 2u, 2u, 9138229u, UINT32_MAX));
}

// Big-endian fields read at their offsets (the queue tests compare the writes whole); basic
// blocks read no extended field.
TEST(DbqBlockFormat, FieldsSitAtTheirOffsetsInBothGenerations) {
    for (bool x : {true, false}) {
        vfw::MasterBlock master(512);
        std::string m = dbq_images::masterImage({0, 0, 0, 0, 0, 0, 0, 0, 0xA0B0C0D0, 512, "", !x});
        dbq_images::be32(m, 50, 1);  // the time
        std::copy(m.begin(), m.end(), master.buffer());
        EXPECT_EQ(master.getMagic() + master.getVersion() + master.getAge() +
                      uint32_t(master.getBlockSizeField()) + uint32_t(master.getTime()),
                  0x4462516Du + (x ? 0xA0B1C2D1u : 0u));  // basic: the magic alone
        vfw::DataBlock block(512);
        block.setType(x ? 40 : 38);
        std::string d = dbq_images::dataImage({7, 8, 0xFFFFFFF0u, true, true, 12, 3, "ab", !x});
        dbq_images::be32(d, 26, 1);  // the time
        std::copy(d.begin(), d.end(), block.buffer());
        EXPECT_EQ(block.getVersion() + block.getAge() + uint32_t(block.getSpanSeq()) +
                      block.getMagic() + uint32_t(block.getSize()) + uint32_t(block.getTime()),
                  (x ? 0x10010u : 0u) + 0x64427144u - 16u);
        const std::string full(size_t(block.payloadSize()) + 1, 'x');  // 471 or 499 bytes
        EXPECT_FALSE(block.setData(full.data(), uint32_t(full.size())) ||
                     block.setData(nullptr, 1));
        EXPECT_TRUE(block.setData(full.data(), uint32_t(full.size()) - 1));
        EXPECT_EQ(image(block).substr(x ? 42 : 14), full.substr(1));
    }
}

class DbqBlockIo : public ::testing::Test {
  protected:
    vfw_test::TempDir dir;
    std::string path = dir.file("q");
};

// Written in place, past the end and past the 64 MiB first reserved, read back mapped and read
// ahead; reads past the (shrunk) end and bad positions fail, the state going to stdout.
TEST_F(DbqBlockIo, BlocksGoToTheirOwnPositionAndComeBackAsWritten) {
    vfw_test::writeFile(path, std::string(3 * BLOCK, 'z'));
    vfw::BlockFileStream stream, reader;
    stream.open(path.c_str(), O_RDWR, 0, false);
    reader.open(path.c_str(), O_RDONLY, 0, false);
    vfw::DataBlock block(512), seen(512);
    block.setType(40);
    const int32_t far = (70 << 20) / 512;
    for (int32_t id : {1, 3, far}) {
        ASSERT_TRUE(id != far || stream.file().truncate(int64_t(far + 1) * 512));
        block.setBlockId(id);
        block.write(stream);
        EXPECT_TRUE(stream.file().isMapped() && !reader.file().isMapped());
        EXPECT_EQ(stream.file().size(), std::max(id + 1, 3) * int64_t(512));
        for (vfw::BlockFileStream* from : {&reader, &stream}) {
            seen.read(id, *from);
            EXPECT_TRUE(image(seen) == image(block) && seen.payloadSize() == 498);
        }
    }
    ASSERT_TRUE(stream.file().truncate(int64_t(2 * BLOCK) - 100));
    block.setBlockId(1);
    EXPECT_EQ(readFile(path), std::string(BLOCK, 'z') + image(block).substr(0, BLOCK - 100));
    const std::string state = "\nBad: 0\nFail: 1\nFile pos: -1\n";
    for (auto c :
         {std::make_pair(
              1, "Block 1 read failed (fs.read) -1 Read for block 1 failed\nEOF: 1" + state),
          std::make_pair(-2, std::string("Block -2 write failed (fs.seekp) -1 "))}) {
        stream.clear();
        block.setBlockId(c.first);
        testing::internal::CaptureStdout();
        std::string what = "no exception";
        try {
            c.first == -2 ? block.write(stream) : block.read(c.first, stream);
        } catch (const vfw::IOException& e) {
            what = e.what() + (" " + std::to_string(e.getRc()) + " ");
        }
        EXPECT_EQ(what + testing::internal::GetCapturedStdout(), c.second);
    }
    EXPECT_EQ(readFile(path).size(), 2 * BLOCK - 100);
}

// Read-ahead (growing windows) or mapped, a stream reads as a standard one: reads straddling
// window ends, jumps, and bytes appended later.
TEST_F(DbqBlockIo, StreamsReadAndSeekAsAStandardFileStream) {
    const size_t MIB = size_t(1) << 20;
    for (auto c : {std::make_tuple(16384 + BLOCK, BLOCK, O_RDONLY),
                   std::make_tuple(3 * MIB + 123, size_t(500), O_RDONLY),
                   std::make_tuple(2 * MIB, 1536 * size_t(1024), O_RDONLY),
                   std::make_tuple(size_t(700), BLOCK, O_RDWR)}) {
        const size_t length = std::get<0>(c), piece = std::get<1>(c);
        SCOPED_TRACE(testing::Message() << length << " bytes read " << piece << " at a time");
        vfw_test::writeFile(path, pattern(length, 7));
        vfw::BlockFileStream ours;
        ours.open(path.c_str(), std::get<2>(c), 0, false);
        std::ifstream theirs(path, std::ios::binary);
        auto readAt = [&](std::istream& s, size_t at) {  // position, state and bytes read
            std::string bytes(piece, '\0');
            s.clear();
            const std::streamoff pos = s.seekg(std::streamoff(at)).tellg();
            s.read(&bytes[0], std::streamsize(piece));
            return std::to_string(pos) + " " + std::to_string(s.rdstate()) + " " +
                   bytes.substr(0, size_t(s.gcount()));
        };
        for (size_t at = 0; at <= length + piece; at += piece) {  // the last ones fail at the end
            ASSERT_TRUE(readAt(ours, at) == readAt(theirs, at)) << "at " << at;
        }
        for (size_t at : {length / 2, size_t(7), length - 1, length / 3, size_t(-1)}) {
            ASSERT_TRUE(readAt(ours, at) == readAt(theirs, at)) << "at " << at;
        }
        auto tail = [](std::istream& s) {
            s.clear();
            const int first = s.seekg(-3, std::ios::end).get();
            return first + 1000 * s.peek();
        };
        EXPECT_EQ(tail(ours), tail(theirs));
        std::ofstream(path, std::ios::binary | std::ios::app) << std::string(piece, 'z');
        EXPECT_TRUE(readAt(ours, length) ==
                    std::to_string(length) + " 0 " + std::string(piece, 'z'));
    }
}

TEST_F(DbqBlockIo, OpenRefusesAnythingButARegularFileWithoutBlocking) {
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    vfw_test::writeFile(path, "data");
    for (auto c :
         {std::make_tuple(fifo, O_RDONLY, EINVAL), std::make_tuple(dir.path(), O_RDONLY, EISDIR),
          std::make_tuple(std::string("/dev/null"), O_RDWR, EINVAL),
          std::make_tuple(dir.file("missing"), O_RDONLY, ENOENT),
          std::make_tuple(path, O_RDWR, 0)}) {
        const int error = std::get<2>(c);
        vfw::BlockFileStream stream;
        stream.open(std::get<0>(c).c_str(), std::get<1>(c), 0600, true);
        EXPECT_TRUE(stream.good() == (error == 0) && (error == 0 || errno == error))
            << std::get<0>(c);
        stream.close();
        const bool failed = stream.fail();
        stream.close();
        EXPECT_TRUE(failed == (error != 0) && stream.fail()) << "a second close fails";
    }
    EXPECT_EQ(readFile(path), "") << "truncated";
}

}  // namespace
