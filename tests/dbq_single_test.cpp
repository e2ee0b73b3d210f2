// DBQSingle: open modes, master block verification and the clean-shutdown check, refusals,
// the descriptor and limits; records and the free list as whole-file images after pushes,
// pops and drops of the last block; basic-generation files, the positioned-I/O fallback,
// and corrupt chains.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_images::BLOCK;
using dbq_images::Data;
using dbq_images::dataImage;
using dbq_images::Master;
using dbq_images::masterImage;
using dbq_images::pattern;
using dbq_test::enqueue;
using dbq_test::peek;
using vfw_test::readFile;
using vfw_test::writeFile;

// The message and code of what `f` throws; empty when it throws nothing.
std::string thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const vfw::Base_Exception& e) {
        return e.what() + std::string(" [") + std::to_string(e.getRc()) + "]";
    }
    return "";
}

// The `k`-th block of `record` in an extended file, in use.
Data part(int32_t id, int32_t next, const std::string& record, int k, uint32_t age) {
    return Data{id,
                next,
                uint32_t(record.size()),
                (size_t(k) + 1) * 470 < record.size(),
                false,
                age,
                k,
                record.substr(size_t(k) * 470, 470)};
}

class DbqSingleTest : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("q"); }
    ::testing::AssertionResult fileIs(const std::string& expected) {
        return dbq_images::sameFile(readFile(path()), expected, from, time(nullptr));
    }
    vfw_test::TempDir dir;
    time_t from = time(nullptr);
};

TEST_F(DbqSingleTest, OpenModesCreateReadAndTruncate) {
    dbq_test::LogCapture log;
    vfw::DBQSingle queue(512);
    EXPECT_FALSE(queue.open(path(), 0, 0600, true, "owner"));
    EXPECT_FALSE(queue.open(path(), 3, 0600, true, ""));
    EXPECT_FALSE(queue.open(path(), -1, 0600, true, ""));
    EXPECT_FALSE(queue.isOpen());
    EXPECT_NE(log.text().find("owner/q: Open file " + path() + " failed (error 2)"),
              std::string::npos);
    EXPECT_NE(::access(path().c_str(), F_OK), 0) << "no mode but 1 and 2 creates";
    ASSERT_TRUE(queue.open(path(), 1, 0640, true, ""));
    EXPECT_TRUE(fileIs(masterImage(Master())));
    struct stat st;
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(queue.isOpen() && queue.isEmpty());
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getBlockSize(), 512);
    EXPECT_EQ(queue.getFileSize(), 512);
    enqueue(queue, "kept");
    queue.close();

    vfw::DBQSingle reader(512);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
        EXPECT_EQ(peek(reader), "kept") << "a new open starts with a good stream";
        testing::internal::CaptureStdout();
        EXPECT_THROW(enqueue(reader, "x"), vfw::IOException) << "read-only";
        EXPECT_EQ(reader.count(), 1) << "a failed update changes nothing in memory";
        EXPECT_THROW(peek(reader), vfw::IOException) << "the stream stays failed";
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Seekg for block 1 failed\nEOF: 0\nBad: 1\nFail: 1\nFile pos: -1\n");
        reader.close();
    }
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(queue.count(), 1);
    queue.close();
    ASSERT_TRUE(queue.open(path(), 2, 0600, true, ""));
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(readFile(path()).size(), BLOCK);
}

// Verification covers the magic, the descriptor area and the recorded block size, never the
// other header fields; an interrupted update is refused by a strict open only. Nothing is
// written to the file either way.
TEST_F(DbqSingleTest, OpeningAnExistingFile) {
    const std::string good =
        masterImage({1, 1, 0, 0, 0, 1, 5}) + dataImage(part(1, 0, "hello", 0, 0));
    auto changed = [&](size_t at, const std::string& bytes) {
        return std::string(good).replace(at, bytes.size(), bytes);
    };
    auto be = [](uint32_t v) {
        std::string s(4, '\0');
        dbq_images::be32(s, 0, v);
        return s;
    };
    const std::string unclean = "DBQSingle is not shut cleanly. [-1], unclean 1";
    const std::string ok = "count 1, block size ";
    Master basic;
    basic.basic = true;
    struct Case {
        std::string file;
        int mode;
        bool strict;
        std::string outcome;
    } cases[] = {
        {changed(300, "\1"), 1, true,
         "Master block's checksum mismatch: the calculated checksum is 0x1, the one from file is "
         "0x0 [2], unclean 0"},
        {changed(38, "mQbD"), 1, true,
         "Master block's magic number mismatch: the expected magic number is 0x4462516d, the one "
         "from file is 0x6d516244 [1], unclean 0"},
        {changed(5, be(2)).replace(22, 4, be(9)), 0, true, "count 9, block size 512, unclean 0"},
        {"", 0, true, "Block 0 write failed (fs.write) [-1], unclean 0"},
        {changed(21, "\1"), 1, true, unclean},
        {changed(21, "\4"), 1, false, ok + "512, unclean 1"},
        {masterImage(basic).replace(140, 4, "junk"), 1, true, "count 0, block size 0, unclean 0"},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (int32_t size : {-512, 1, 41, 61, (1 << 20) + 1, 0x7FFFFFFF}) {
        all.push_back({changed(58, be(uint32_t(size))), 1, true,
                       "Queue file " + path() + " records an impossible block size " +
                           std::to_string(size) + " [3], unclean 0"});
    }
    for (int32_t size : {0, 62, 4096, 1 << 20}) {
        all.push_back(
            {changed(58, be(uint32_t(size))), 1, true, ok + std::to_string(size) + ", unclean 0"});
    }
    dbq_test::LogCapture log;
    for (const Case& c : all) {
        SCOPED_TRACE(c.outcome);
        writeFile(path(), c.file);
        vfw::DBQSingle queue(512);
        std::string outcome =
            thrown([&] { EXPECT_TRUE(queue.open(path(), c.mode, 0600, c.strict, "")); });
        EXPECT_EQ(queue.isOpen(), outcome.empty());
        if (outcome.empty()) {
            outcome = "count " + std::to_string(queue.count()) + ", block size " +
                      std::to_string(queue.getBlockSize());
        }
        EXPECT_EQ(outcome + ", unclean " + std::to_string(queue.isUncleanShutdown()), c.outcome);
        EXPECT_EQ(readFile(path()), c.file);
    }
    EXPECT_NE(log.text().find("q: File " + path() + " is not shut cleanly. Close the file."),
              std::string::npos);
    writeFile(path(), changed(21, "\1"));
    EXPECT_EQ(thrown([&] { vfw::DBQSingle probe(path(), 0, 512, 0600, 0); }),
              "DBQSingle is not shut cleanly. [-1]")
        << "the opening constructor opens strictly";
}

TEST_F(DbqSingleTest, RefusalsLeaveTheQueueAsItWas) {
    vfw::DBQSingle queue(512);
    vfw::ByteArray data;
    uint32_t length = 0;
    int32_t size = 0;
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"enqueue", [&] { enqueue(queue, "x"); }},
        {"peek", [&] { queue.peek(data, length); }},
        {"peek", [&] { queue.dequeue(data, length); }},
        {"dequeue", [&] { queue.dequeue(); }},
        {"getHead", [&] { queue.getHead(data, length); }},
        {"putDescriptor", [&] { queue.putDescriptor(dbq_test::bytes("d"), 1); }},
        {"getDescriptor", [&] { queue.getDescriptor(size); }}};
    for (int64_t held = 0; held < 2; ++held) {  // a queue never opened, then one closed
        for (const auto& call : calls) {
            EXPECT_EQ(thrown(call.second), "DBQSingle (" + call.first + ") is not opened. [-1]");
        }
        queue.shrink();
        EXPECT_EQ(queue.count(), held) << "accounting stays readable after close";
        EXPECT_EQ(queue.isEmpty(), held == 0);
        EXPECT_EQ(queue.getDataSize(), uint64_t(held));
        ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
        EXPECT_EQ(peek(queue), held == 0 ? "" : "x");
        const std::string before = readFile(path());
        EXPECT_EQ(thrown([&] { enqueue(queue, ""); }),
                  "DBQSingle (enqueue) refuses an empty record. [-1]");
        EXPECT_EQ(thrown([&] { queue.enqueue(vfw::ByteArray(), 4); }),
                  "DBQSingle (enqueue) has no record bytes. [-1]");
        EXPECT_EQ(thrown([&] { queue.putDescriptor(vfw::ByteArray(), 4); }),
                  "DBQSingle (putDescriptor) has no descriptor bytes. [-1]");
        EXPECT_EQ(readFile(path()), before);
        EXPECT_EQ(queue.count(), held);
        enqueue(queue, "x");
        queue.close();
    }
}

TEST_F(DbqSingleTest, TheDescriptorTakesTheWholeAreaAndNoMore) {
    dbq_test::LogCapture log;
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    const std::string descriptor = pattern(450, 3);
    queue.putDescriptor(dbq_test::bytes(descriptor), 450);
    EXPECT_TRUE(fileIs(masterImage({0, 0, 0, 0, 0, 0, 0, 450, 2, 512, descriptor})));
    int32_t size = 0;
    vfw::ByteArray copy = queue.getDescriptor(size);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.get()), size_t(size)), descriptor);
    const std::string before = readFile(path());
    queue.putDescriptor(dbq_test::bytes(std::string(451, 'x')), 451);
    EXPECT_EQ(readFile(path()), before);
    EXPECT_NE(log.text().find("q: descriptor is too bigdata size 451, limitation 450."),
              std::string::npos);
    queue.putDescriptor(dbq_test::bytes(""), 0);
    vfw::DBQSingle reread(512);
    ASSERT_TRUE(reread.open(path(), 0, 0600, true, ""));
    reread.getDescriptor(size);
    EXPECT_EQ(size, 0);

    Master basic;  // descriptor area at offset 38, no checks
    basic.basic = true;
    basic.descriptorSize = 3;
    basic.descriptor = "abc";
    std::vector<Master> masters = {basic};
    for (int32_t recorded : {451, 100000, -1}) {  // not covered by the checksum
        masters.push_back(Master{0, 0, 0, 0, 0, 0, 0, recorded});
    }
    for (const Master& m : masters) {
        writeFile(path(), masterImage(m));
        vfw::DBQSingle other(512);
        ASSERT_TRUE(other.open(path(), 0, 0600, true, ""));
        size = 7;
        std::string outcome = thrown([&] {
            copy = other.getDescriptor(size);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.get()), size_t(size)), "abc");
        });
        EXPECT_EQ(outcome, m.basic ? ""
                                   : "Queue file " + path() + " records a descriptor of " +
                                         std::to_string(m.descriptorSize) +
                                         " bytes in an area of 450 bytes [3]");
        EXPECT_EQ(size, m.basic ? 3 : 7);
    }
}

TEST_F(DbqSingleTest, BlockSizesLimitsAndTheFileItself) {
    for (int32_t size : {0, 61, (1 << 20) + 1}) {
        EXPECT_THROW(vfw::DBQSingle{size}, vfw::BadDataException) << size;
    }
    vfw::DBQSingle limited(512), huge(512);
    EXPECT_EQ(limited.getBlockLimit(), 0);
    limited.setMaxSize(104857600);
    EXPECT_EQ(limited.getBlockLimit(), 204800);
    limited.setMaxSize(1024);
    EXPECT_EQ(limited.getBlockLimit(), 204800) << "set once";
    huge.setMaxSize(UINT64_MAX);
    EXPECT_EQ(huge.getBlockLimit(), INT32_MAX);

    EXPECT_EQ(vfw::DBQSingle::dataSizeOf(path()), 0u);
    vfw::DBQSingle queue(4096);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    const std::string record = pattern(10000, 5);
    enqueue(queue, record);
    EXPECT_EQ(queue.getFileSize(), 4096 * 4);
    EXPECT_EQ(queue.getBlockSize(), 4096);
    EXPECT_EQ(peek(queue), record);
    queue.close();
    const std::string file = readFile(path());
    EXPECT_EQ(vfw::DBQSingle::dataSizeOf(path()), 10000u);
    EXPECT_EQ(readFile(path()), file) << "probed read-only";
    queue.destroy();
    EXPECT_NE(::access(path().c_str(), F_OK), 0);
    dbq_test::LogCapture log;
    queue.destroy();
    EXPECT_NE(log.text().find("q: Remove file " + path() + " failed (error 2)"), std::string::npos);
}

// The blocks of a record are grown together when no block is free, then the commit writes the
// master, the changed blocks in id order (the old tail first) and the master again; each
// write takes the next write sequence number (age) of the queue object, 0 for the new file.
TEST_F(DbqSingleTest, RecordsAreCutIntoChainedBlocks) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    const std::string r1 = pattern(470, 1), r2 = pattern(471, 2), r3 = pattern(940, 3),
                      r4 = pattern(1000, 4);
    // Ages: r1 grows block 1 (1), then master 2, block 1: 3, master 4; r2 grows 2, 3 (5, 6),
    // then 7, blocks 1-3: 8-10, 11; r3 grows 4, 5 (12, 13), then 14, blocks 3-5: 15-17, 18;
    // r4 grows 6-8 (19-21), then 22, blocks 5-8: 23-26, 27.
    for (const std::string* r : {&r1, &r2, &r3, &r4}) {
        enqueue(queue, *r);
    }
    EXPECT_EQ(queue.count(), 4);
    EXPECT_EQ(queue.getDataSize(), 2881u);
    EXPECT_TRUE(fileIs(masterImage({1, 8, 0, 0, 0, 4, 2881, 0, 27}) +
                       dataImage(part(1, 2, r1, 0, 8)) + dataImage(part(2, 3, r2, 0, 9)) +
                       dataImage(part(3, 4, r2, 1, 15)) + dataImage(part(4, 5, r3, 0, 16)) +
                       dataImage(part(5, 6, r3, 1, 23)) + dataImage(part(6, 7, r4, 0, 24)) +
                       dataImage(part(7, 8, r4, 1, 25)) + dataImage(part(8, 0, r4, 2, 26))));
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{r1, r2, r3, r4}));
    EXPECT_EQ(queue.getDataSize(), 0u);
    vfw::DBQSingle other(512);
    ASSERT_TRUE(other.open(path(), 1, 0600, true, ""));
    enqueue(other, "c");
    EXPECT_EQ(dbq_images::readBe32(readFile(path()), 54), 3u)
        << "each queue object counts from 0; the file's ages are never read back";
}

// Popped blocks go to the free list in chain order, keeping their spanning flag and payload;
// a push takes the oldest free block. While the file's last block is free, the 101st call
// of the drop (from a pop or shrink) gives it back, and the count starts again.
TEST_F(DbqSingleTest, FreedBlocksAreReusedFirstInFirstOutAndTheLastGivenBack) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    const std::string record = pattern(1000, 9), small = pattern(300, 4);
    enqueue(queue, record);  // grown 1-3, master 4, blocks 5-7, master 8
    queue.dequeue();         // master 9, blocks 10-12, master 13; drop call 1
    EXPECT_TRUE(queue.isEmpty());
    Data b1 = part(1, 2, record, 0, 10), b2 = part(2, 3, record, 1, 11),
         b3 = part(3, 0, record, 2, 12);
    b1.free = b2.free = b3.free = true;
    b1.sizeOrPrevious = 0;
    b2.sizeOrPrevious = 1;
    b3.sizeOrPrevious = 2;
    EXPECT_TRUE(fileIs(masterImage({0, 0, 1, 3, 0, 0, 0, 0, 13}) + dataImage(b1) + dataImage(b2) +
                       dataImage(b3)));
    enqueue(queue, small);  // block 1; block 2 the free head: master 14, blocks 15, 16, 17
    Data reused = part(1, 0, record, 0, 15);
    reused.sizeOrPrevious = 300;
    reused.spanning = false;
    reused.payload.replace(0, 300, small);  // the rest keeps the old bytes
    b2.sizeOrPrevious = 0;
    b2.age = 16;
    const std::string afterPush = masterImage({1, 1, 2, 3, 0, 1, 300, 0, 17}) + dataImage(reused) +
                                  dataImage(b2) + dataImage(b3);
    EXPECT_TRUE(fileIs(afterPush));
    for (int call = 2; call <= 100; ++call) {
        queue.shrink();
    }
    EXPECT_TRUE(fileIs(afterPush));
    queue.shrink();  // block 3, the free tail: block 2 takes its place; master 18, 19, 20
    b2.age = 19;
    b2.next = 0;
    EXPECT_TRUE(
        fileIs(masterImage({1, 1, 2, 2, 0, 1, 300, 0, 20}) + dataImage(reused) + dataImage(b2)));
    for (int call = 1; call <= 100; ++call) {
        queue.shrink();
    }
    EXPECT_EQ(readFile(path()).size(), 3 * BLOCK) << "the count starts again";
    for (int call = 1; call <= 301; ++call) {
        queue.shrink();  // block 2 goes on the first; block 1 is in use
    }
    EXPECT_EQ(readFile(path()).size(), 2 * BLOCK);
    EXPECT_EQ(peek(queue), small);
    queue.dequeue();
    for (int call = 1; call <= 400; ++call) {
        queue.shrink();  // block 1 goes; the master block never does
    }
    EXPECT_TRUE(fileIs(masterImage({0, 0, 0, 0, 0, 0, 0, 0, 27})));
    enqueue(queue, "after");
    EXPECT_EQ(peek(queue), "after");
}

// Free lists built by hand, the file's last block (3) at each place in the list.
TEST_F(DbqSingleTest, DroppingUnlinksTheLastBlockWhereverItSits) {
    for (const std::vector<int32_t>& order :
         {std::vector<int32_t>{3, 1, 2}, {1, 3, 2}, {1, 2, 3}}) {
        SCOPED_TRACE(order[0] * 100 + order[1] * 10 + order[2]);
        std::string file = masterImage({0, 0, order.front(), order.back()});
        for (int32_t id = 1; id <= 3; ++id) {
            size_t at = size_t(std::find(order.begin(), order.end(), id) - order.begin());
            file += dataImage({id, at < 2 ? order[at + 1] : 0, uint32_t(at > 0 ? order[at - 1] : 0),
                               false, true});
        }
        writeFile(path(), file);
        vfw::DBQSingle shrinking(path(), 1, 512, 0600, 100);
        shrinking.shrink();
        const std::string after = readFile(path());
        ASSERT_EQ(after.size(), 3 * BLOCK);
        EXPECT_EQ(after[21], 0);
        // What is left is the list 1, 2, in both directions.
        EXPECT_EQ(dbq_images::readBe32(after, 13), 1u);
        EXPECT_EQ(dbq_images::readBe32(after, 17), 2u);
        EXPECT_EQ(dbq_images::readBe32(after, BLOCK + 5), 2u);
        EXPECT_EQ(dbq_images::readBe32(after, BLOCK + 9), 0u);
        EXPECT_EQ(dbq_images::readBe32(after, 2 * BLOCK + 5), 0u);
        EXPECT_EQ(dbq_images::readBe32(after, 2 * BLOCK + 9), 1u);
        for (const char* r : {"x", "y", "z"}) {
            enqueue(shrinking, r);
        }
        EXPECT_EQ(dbq_test::drain(shrinking), (std::vector<std::string>{"x", "y", "z"}));
    }
}

// The blocks a push grows go out in one write; when only part of it reaches the file, the
// failure names the first block that did not, as writing block by block would.
TEST_F(DbqSingleTest, AGrowthThatStopsHalfWayNamesTheFirstBlockMissing) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit small = saved;
    small.rlim_cur = 3 * BLOCK + 100;  // blocks 1 and 2 fit, block 3 only in part
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string message = thrown([&] { enqueue(queue, pattern(2000, 1)); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(message, "Block 3 write failed (fs.write) [-1]");
    const std::string file = readFile(path());
    EXPECT_EQ(file.size(), 3 * BLOCK + 100);
    EXPECT_EQ(file[21], 0) << "nothing was committed";
    queue.close();
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_TRUE(queue.isEmpty());
    enqueue(queue, "again");
    EXPECT_EQ(peek(queue), "again");
    EXPECT_EQ(readFile(path()).size(), 4 * BLOCK);
}

TEST_F(DbqSingleTest, BasicGenerationFilesAreReadAndWritten) {
    auto basic = [](int32_t id, int32_t next, const std::string& record, int k) {
        return dataImage({id, next, uint32_t(record.size()), (size_t(k) + 1) * 498 < record.size(),
                          false, 0, 0, record.substr(size_t(k) * 498, 498), true});
    };
    const std::string r1 = pattern(498, 1), r2 = pattern(600, 2), r3 = pattern(499, 3);
    Master m{1, 3, 0, 0, 0, 2, 498 + 600};
    m.basic = true;
    writeFile(path(),
              masterImage(m) + basic(1, 2, r1, 0) + basic(2, 3, r2, 0) + basic(3, 0, r2, 1));
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(peek(queue), r1);
    queue.dequeue();
    enqueue(queue, r3);  // takes block 1, grows block 4
    m.head = 2;
    m.tail = 4;
    m.dataSize = 600 + 499;
    EXPECT_EQ(readFile(path()), masterImage(m) + basic(1, 4, r3, 0) + basic(2, 3, r2, 0) +
                                    basic(3, 1, r2, 1) + basic(4, 0, r3, 1));
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{r2, r3}));
}

TEST_F(DbqSingleTest, IdsPastTheBlockLimitAreLoggedNotRefused) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    queue.setMaxSize(2 * BLOCK);  // block ids up to 2
    dbq_test::LogCapture log;
    const std::string record = pattern(1000, 1);
    enqueue(queue, record);
    EXPECT_EQ(peek(queue), record);
    queue.dequeue();
    const std::string text = log.text();
    EXPECT_EQ(text.find("q: block id 2 is beyond max id"), std::string::npos);
    for (const char* line :
         {"block id 3", "The new free list head 3", "The block id 3", "head id 3"}) {
        EXPECT_NE(text.find("q: " + std::string(line) + " is beyond max id"), std::string::npos)
            << line;
    }
}

// Without a mapping (the address space limited in a child), writable files are read and
// written with pread/pwrite: the same file results.
TEST(DbqUnmappedTest, ThePositionedIoFallbackWritesTheSameFile) {
    vfw_test::TempDir dir;
    for (bool unmapped : {false, true}) {
        const std::string path = dir.file(unmapped ? "plain" : "mapped");
        pid_t child = ::fork();
        if (child == 0) {
            if (unmapped) {
                long pages = 0;
                std::ifstream("/proc/self/statm") >> pages;
                struct rlimit limit;
                ::getrlimit(RLIMIT_AS, &limit);
                limit.rlim_cur =
                    rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(32) << 20);
                ::setrlimit(RLIMIT_AS, &limit);
            }
            vfw::BlockFileStream probe;
            probe.open(path.c_str(), O_RDWR | O_CREAT, 0600, false);
            int rc = probe.file().isMapped() == unmapped ? 3 : 0;
            probe.close();
            try {
                vfw::DBQSingle queue(path, 2, 512, 0600, 100);
                for (unsigned i = 1; i <= 6; ++i) {
                    enqueue(queue, pattern(300 * i, i));
                }
                queue.dequeue();
                queue.dequeue();
                enqueue(queue, pattern(2000, 9));
                queue.shrink();
                rc = peek(queue) == pattern(900, 3) ? rc : 1;
            } catch (...) {
                rc = 2;
            }
            ::_exit(rc);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::string mapped = readFile(dir.file("mapped")), plain = readFile(dir.file("plain"));
    ASSERT_EQ(mapped.size(), plain.size());
    for (size_t base = 0; base < plain.size(); base += BLOCK) {
        dbq_images::be32(plain, base + (base == 0 ? 50 : 26), 0);  // time stamps
        dbq_images::be32(mapped, base + (base == 0 ? 50 : 26), 0);
    }
    EXPECT_TRUE(mapped == plain);
}

// Damage the checks reach before anything is changed: the reads throw, the file stays as it
// was and so does the queue in memory.
TEST_F(DbqSingleTest, CorruptChainsAndBlocksAreFatal) {
    const std::string r1000 = pattern(1000, 1), r940 = pattern(940, 1), r600 = pattern(600, 2);
    Data absurd = part(1, 0, "x", 0, 0), looping = part(2, 1, r940, 1, 0),
         open = part(1, 0, "abc", 0, 0), basic = part(2, 0, r600, 1, 0);
    absurd.sizeOrPrevious = 0xFFFFFFF0u;
    looping.spanning = open.spanning = true;
    basic.basic = true;
    basic.payload = r600.substr(470);
    const std::string hello = dataImage(part(1, 0, "hello", 0, 0));
    const std::string at = "Queue file " + path() + " is corrupt at block ";
    struct Case {
        std::string blocks;
        int32_t tail;
        bool pop;
        std::string outcome;
    } const cases[] = {
        {dataImage(part(1, 2, r1000, 0, 0)) + dataImage(part(2, 0, r1000, 1, 0)) +
             dataImage({3, 0, 0, false, true}),
         2, false, at + "2: the record's chain ends after 2 of its 3 blocks [3]"},
        {dataImage(absurd), 1, false,
         at + "1: a record of 4294967280 bytes needs 9138229 blocks, the file holds 1 [3]"},
        {dataImage(part(1, 2, r940, 0, 0)) + dataImage(looping), 2, true,
         at + "1: the record's spanning blocks do not end within the file's 2 blocks [3]"},
        {dataImage(open), 1, true, at + "1: a spanning block ends the record chain [3]"},
        {dataImage(part(1, 2, r600, 0, 0)) + dataImage(basic), 2, false,
         at + "2: its payload of 498 bytes differs from the record's 470 [3]"},
        {std::string(hello).replace(42 + 100, 1, "\7"), 1, false,
         "Data block '1' checksum mismatch: the calculated checksum is 0x21b, the one from file "
         "is 0x214 [2]"},
        {std::string(hello).replace(14, 4, "Dqbd"), 1, true,
         "Data block '1' magic number mismatch: the expected magic number is 0x64427144, the one "
         "from file is 0x44716264 [1]"},
    };
    dbq_test::LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        const std::string file = masterImage({1, c.tail, 0, 0, 0, 1}) + c.blocks;
        writeFile(path(), file);
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
        vfw::ByteArray data;
        uint32_t length = 0;
        EXPECT_EQ(thrown([&] { c.pop ? queue.dequeue() : queue.getHead(data, length); }),
                  c.outcome);
        EXPECT_EQ(readFile(path()), file);
        EXPECT_EQ(queue.count(), 1);
        EXPECT_FALSE(queue.isEmpty());
    }
    writeFile(path(), masterImage({1, 1, 0, 0, 0, 1}) + std::string(hello).replace(3, 1, "\5"));
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(peek(queue), "hello") << "a block whose id differs from its place is still read";
    const std::string text = log.text();
    EXPECT_NE(text.find("q: file " + path() + " block id 2 unexpected type 38"), std::string::npos);
    EXPECT_NE(text.find("q: file " + path() + " block id 1 does not match that in content (5)"),
              std::string::npos);
}

}  // namespace
