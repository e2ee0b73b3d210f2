// DBQSingle lifecycle: open modes, master block verification, the clean-shutdown check, the
// descriptor, refusals on a closed queue, limits and write sequence numbers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_images::BLOCK;
using dbq_images::Master;
using dbq_images::masterImage;
using dbq_images::sameFile;
using dbq_test::bytes;
using vfw_test::readFile;
using vfw_test::writeFile;

class DbqSingleTest : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("7"); }
    vfw_test::TempDir dir;
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

TEST_F(DbqSingleTest, OpeningAMissingPathCreatesTheMasterBlock) {
    time_t from = time(nullptr);
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0640, true, ""));
    time_t to = time(nullptr);
    EXPECT_TRUE(queue.isOpen());
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getBlockSize(), 512);
    EXPECT_EQ(queue.getFileSize(), 512);
    EXPECT_EQ(queue.isUncleanShutdown(), 0);

    std::string file = readFile(path());
    EXPECT_TRUE(sameFile(file, masterImage(Master()), from, to));
    EXPECT_EQ(file.substr(0, 5), std::string("\0\0\0\0\x27", 5));
    EXPECT_EQ(file.substr(38, 4), "DbQm");
    EXPECT_EQ(file.substr(46, 4), std::string("\0\x01\0\0", 4));
    EXPECT_EQ(file.substr(58, 4), std::string("\0\0\x02\0", 4));
    EXPECT_EQ(file.substr(42, 4), std::string(4, '\0'));
    struct stat st;
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(DbqSingleTest, OpenModes) {
    dbq_test::LogCapture log;
    vfw::DBQSingle reader(512);
    EXPECT_FALSE(reader.open(path(), 0, 0600, true, "owner"));
    EXPECT_FALSE(reader.isOpen());
    EXPECT_NE(log.text().find("owner/7: Open file " + path() + " failed (error 2)"),
              std::string::npos);
    EXPECT_FALSE(reader.open(path(), 3, 0600, true, ""));
    EXPECT_FALSE(reader.open(path(), -1, 0600, true, ""));
    EXPECT_FALSE(::access(path().c_str(), F_OK) == 0) << "no mode but 1 and 2 creates";

    {
        vfw::DBQSingle writer(512);
        ASSERT_TRUE(writer.open(path(), 2, 0600, true, ""));
        dbq_test::enqueue(writer, "kept");
    }
    ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
    EXPECT_EQ(dbq_test::peek(reader), "kept");
    testing::internal::CaptureStdout();
    EXPECT_THROW(dbq_test::enqueue(reader, "x"), vfw::IOException) << "read-only";
    EXPECT_EQ(reader.count(), 1) << "a failed update changes nothing in memory";
    EXPECT_THROW(dbq_test::peek(reader), vfw::IOException) << "the stream stays failed";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Seekg for block 1 failed\nEOF: 0\nBad: 1\nFail: 1\nFile pos: -1\n");
    reader.close();
    ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
    EXPECT_EQ(dbq_test::peek(reader), "kept");
    reader.close();

    vfw::DBQSingle again(512);
    ASSERT_TRUE(again.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(again.count(), 1);
    again.close();
    ASSERT_TRUE(again.open(path(), 2, 0600, true, ""));
    EXPECT_EQ(again.count(), 0);
    EXPECT_EQ(readFile(path()).size(), BLOCK);
}

TEST_F(DbqSingleTest, AnEmptyFileOpenedReadOnlyCannotBeFormatted) {
    writeFile(path(), "");
    vfw::DBQSingle queue(512);
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.open(path(), 0, 0600, true, ""); }),
              "Block 0 write failed (fs.write)");
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(readFile(path()), "");
}

TEST_F(DbqSingleTest, ANonRegularPathIsAFileThatCannotBeOpened) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    dbq_test::LogCapture log;
    for (int mode : {0, 1, 2}) {
        vfw::DBQSingle queue(512);
        EXPECT_FALSE(queue.open(fifo, mode, 0600, true, "")) << mode;
        EXPECT_FALSE(queue.open(dir.path(), mode, 0600, true, "")) << mode;
        EXPECT_FALSE(queue.open("/dev/null", mode, 0600, true, "")) << mode;
    }
    std::string text = log.text();
    EXPECT_NE(text.find("Open file " + fifo + " failed (error 22)"), std::string::npos);
    EXPECT_NE(text.find("Open file " + dir.path() + " failed (error "), std::string::npos);
    EXPECT_NE(text.find("Open file /dev/null failed (error 22)"), std::string::npos);
    struct stat st;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(DbqSingleTest, MasterVerificationCoversMagicAndDescriptorAreaOnly) {
    Master m;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.dataSize = 5;
    std::string good =
        masterImage(m) + dbq_images::dataImage({1, 0, 5, false, false, 0, 0, "hello"});

    std::string changed = good;
    changed[300] = 1;
    writeFile(path(), changed);
    vfw::DBQSingle queue(512);
    try {
        queue.open(path(), 1, 0600, true, "");
        FAIL() << "no exception";
    } catch (const vfw::FatalErrorException& e) {
        EXPECT_STREQ(e.what(),
                     "Master block's checksum mismatch: the calculated checksum is 0x1, the one "
                     "from file is 0x0");
        EXPECT_EQ(e.getRc(), 2);
    }
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(readFile(path()), changed) << "verification does not write";

    changed = good;
    changed.replace(38, 4, "mQbD");
    writeFile(path(), changed);
    vfw::DBQSingle swapped(512);
    try {
        swapped.open(path(), 1, 0600, true, "");
        FAIL() << "no exception";
    } catch (const vfw::FatalErrorException& e) {
        EXPECT_STREQ(e.what(),
                     "Master block's magic number mismatch: the expected magic number is "
                     "0x4462516d, the one from file is 0x6d516244");
        EXPECT_EQ(e.getRc(), 1);
    }

    changed = good;
    dbq_images::be32(changed, 5, 2);   // head
    dbq_images::be32(changed, 22, 9);  // count
    writeFile(path(), changed);
    vfw::DBQSingle headChanged(512);
    ASSERT_TRUE(headChanged.open(path(), 0, 0600, true, ""));
    EXPECT_EQ(headChanged.count(), 9);
}

TEST_F(DbqSingleTest, AnImpossibleRecordedBlockSizeIsRefused) {
    for (int32_t size : {-512, 1, 41, 61, (1 << 20) + 1, 0x7FFFFFFF}) {
        Master m;
        m.blockSize = size;
        writeFile(path(), masterImage(m));
        vfw::DBQSingle queue(512);
        EXPECT_EQ(
            thrown<vfw::FatalErrorException>([&] { queue.open(path(), 1, 0600, true, ""); }),
            "Queue file " + path() + " records an impossible block size " + std::to_string(size))
            << size;
    }
    for (int32_t size : {0, 62, 512, 4096, 1 << 20}) {
        Master m;
        m.blockSize = size;
        writeFile(path(), masterImage(m));
        vfw::DBQSingle queue(512);
        EXPECT_TRUE(queue.open(path(), 1, 0600, true, "")) << size;
        EXPECT_EQ(queue.getBlockSize(), size);
    }
}

TEST_F(DbqSingleTest, ABasicMasterBlockLoadsWithoutChecks) {
    Master m;
    m.basic = true;
    m.descriptorSize = 3;
    m.descriptor = "abc";
    std::string file = masterImage(m);
    file.replace(38 + 100, 4, "junk");  // would be magic/checksum fields in the extended layout
    writeFile(path(), file);
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
    EXPECT_EQ(queue.getBlockSize(), 0);
    int32_t size = -1;
    vfw::ByteArray descriptor = queue.getDescriptor(size);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(descriptor.get()), 3), "abc");
}

TEST_F(DbqSingleTest, AnInterruptedUpdateIsRefusedByAStrictOpen) {
    Master m;
    m.operation = 1;
    writeFile(path(), masterImage(m));
    dbq_test::LogCapture log;
    vfw::DBQSingle queue(512);
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.open(path(), 1, 0600, true, ""); }),
              "DBQSingle is not shut cleanly.");
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(queue.isUncleanShutdown(), 1);
    EXPECT_EQ(readFile(path()), masterImage(m));
    EXPECT_NE(log.text().find("7: File " + path() + " is not shut cleanly. Close the file."),
              std::string::npos);

    vfw::DBQSingle lenient(512);
    EXPECT_TRUE(lenient.open(path(), 1, 0600, false, ""));
    EXPECT_TRUE(lenient.isOpen());
    EXPECT_EQ(lenient.isUncleanShutdown(), 1);
    lenient.setUncleanShutdown(0);
    EXPECT_EQ(lenient.isUncleanShutdown(), 0);

    EXPECT_EQ(thrown<vfw::IOException>([&] { vfw::DBQSingle probe(path(), 0, 512, 0600, 0); }),
              "DBQSingle is not shut cleanly.")
        << "the opening constructor opens strictly";
}

TEST_F(DbqSingleTest, OperationsOnAClosedQueueAreRefused) {
    vfw::DBQSingle queue(512);
    vfw::ByteArray data;
    uint32_t length = 0;
    EXPECT_EQ(thrown<vfw::IOException>([&] { dbq_test::enqueue(queue, "x"); }),
              "DBQSingle (enqueue) is not opened.");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.peek(data, length); }),
              "DBQSingle (peek) is not opened.");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dequeue(data, length); }),
              "DBQSingle (peek) is not opened.");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dequeue(); }),
              "DBQSingle (dequeue) is not opened.");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.getHead(data, length); }),
              "DBQSingle (getHead) is not opened.");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.putDescriptor(bytes("d"), 1); }),
              "DBQSingle (putDescriptor) is not opened.");
    queue.shrink();
    EXPECT_EQ(queue.count(), 0);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.getDataSize(), 0u);

    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    dbq_test::enqueue(queue, "x");
    queue.close();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dequeue(); }),
              "DBQSingle (dequeue) is not opened.");
    EXPECT_EQ(queue.count(), 1) << "accounting stays readable after close";
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(dbq_test::peek(queue), "x");
}

TEST_F(DbqSingleTest, EmptyRecordsAreRefusedSoCountMatchesTheChain) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    std::string before = readFile(path());
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { dbq_test::enqueue(queue, ""); }),
              "DBQSingle (enqueue) refuses an empty record.");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { queue.enqueue(vfw::ByteArray(), 4); }),
              "DBQSingle (enqueue) has no record bytes.");
    EXPECT_EQ(queue.count(), 0);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(readFile(path()), before);
}

TEST_F(DbqSingleTest, DescriptorTakes450BytesAndRefuses451) {
    dbq_test::LogCapture log;
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    std::string descriptor = dbq_images::pattern(450, 3);
    time_t from = time(nullptr);
    queue.putDescriptor(bytes(descriptor), 450);
    time_t to = time(nullptr);
    Master m;
    m.descriptorSize = 450;
    m.descriptor = descriptor;
    m.age = 2;  // init 0, then the commit's two master writes
    EXPECT_TRUE(sameFile(readFile(path()), masterImage(m), from, to));
    int32_t size = 0;
    vfw::ByteArray copy = queue.getDescriptor(size);
    EXPECT_EQ(size, 450);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.get()), 450), descriptor);

    std::string before = readFile(path());
    queue.putDescriptor(bytes(std::string(451, 'x')), 451);
    EXPECT_EQ(readFile(path()), before);
    EXPECT_NE(log.text().find("7: descriptor is too bigdata size 451, limitation 450."),
              std::string::npos);

    queue.putDescriptor(bytes(""), 0);
    queue.getDescriptor(size);
    EXPECT_EQ(size, 0);
    vfw::DBQSingle reread(512);
    ASSERT_TRUE(reread.open(path(), 0, 0600, true, ""));
    reread.getDescriptor(size);
    EXPECT_EQ(size, 0);
}

TEST_F(DbqSingleTest, ACorruptDescriptorLengthIsNeverCopiedPastTheArea) {
    for (int32_t recorded : {451, 100000, -1}) {
        Master m;
        m.descriptorSize = recorded;  // not covered by the checksum
        writeFile(path(), masterImage(m));
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
        int32_t size = 7;
        EXPECT_EQ(thrown<vfw::FatalErrorException>([&] { queue.getDescriptor(size); }),
                  "Queue file " + path() + " records a descriptor of " + std::to_string(recorded) +
                      " bytes in an area of 450 bytes");
        EXPECT_EQ(size, 7);
    }
}

TEST_F(DbqSingleTest, SetMaxSizeSetsTheBlockLimitOnce) {
    vfw::DBQSingle queue(512);
    EXPECT_EQ(queue.getBlockLimit(), 0);
    queue.setMaxSize(104857600);
    EXPECT_EQ(queue.getBlockLimit(), 204800);
    queue.setMaxSize(1024);
    EXPECT_EQ(queue.getBlockLimit(), 204800);
    vfw::DBQSingle huge(512);
    huge.setMaxSize(UINT64_MAX);
    EXPECT_EQ(huge.getBlockLimit(), INT32_MAX);
}

TEST_F(DbqSingleTest, WriteSequenceNumbersStrictlyIncrease) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    uint32_t last = dbq_images::readBe32(readFile(path()), 54);
    EXPECT_EQ(last, 0u);
    for (size_t length : {10u, 1000u, 5u}) {
        dbq_test::enqueue(queue, std::string(length, 'a'));
        uint32_t age = dbq_images::readBe32(readFile(path()), 54);
        EXPECT_GT(age, last);
        last = age;
    }
    // A push that reuses a free block: two master writes plus the new block and the old tail.
    queue.dequeue();
    uint32_t afterPop = dbq_images::readBe32(readFile(path()), 54);
    dbq_test::enqueue(queue, "b");
    EXPECT_EQ(dbq_images::readBe32(readFile(path()), 54), afterPop + 4);

    vfw::DBQSingle other(512);
    ASSERT_TRUE(other.open(path(), 1, 0600, true, ""));
    dbq_test::enqueue(other, "c");
    EXPECT_LT(dbq_images::readBe32(readFile(path()), 54), afterPop)
        << "each queue object counts from 0; the file's ages are never read back";
}

TEST_F(DbqSingleTest, DestroyRemovesTheFile) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    queue.destroy();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_NE(::access(path().c_str(), F_OK), 0);
    dbq_test::LogCapture log;
    queue.destroy();
    EXPECT_NE(log.text().find("7: Remove file " + path() + " failed (error 2)"), std::string::npos);
}

TEST_F(DbqSingleTest, AnImpossibleBlockSizeIsRefusedAtConstruction) {
    EXPECT_THROW(vfw::DBQSingle(0), vfw::BadDataException);
    EXPECT_THROW(vfw::DBQSingle(61), vfw::BadDataException);
    EXPECT_THROW(vfw::DBQSingle((1 << 20) + 1), vfw::BadDataException);
    EXPECT_NO_THROW(vfw::DBQSingle(4096));
}

TEST_F(DbqSingleTest, DataSizeOfProbesAFileReadOnly) {
    EXPECT_EQ(vfw::DBQSingle::dataSizeOf(path()), 0u);
    {
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
        dbq_test::enqueue(queue, std::string(1234, 'q'));
    }
    std::string before = readFile(path());
    EXPECT_EQ(vfw::DBQSingle::dataSizeOf(path()), 1234u);
    EXPECT_EQ(readFile(path()), before);
}

TEST_F(DbqSingleTest, OtherBlockSizesWork) {
    vfw::DBQSingle queue(4096);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    std::string record = dbq_images::pattern(10000, 5);
    dbq_test::enqueue(queue, record);
    EXPECT_EQ(queue.getFileSize(), 4096 * 4);
    EXPECT_EQ(queue.getBlockSize(), 4096);
    EXPECT_EQ(dbq_test::peek(queue), record);
}

}  // namespace
