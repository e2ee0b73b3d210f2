// DBQSingle records and free list: whole-file images after pushes and pops, block reuse,
// giving back the last block, basic-generation files, and corrupt chains.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
using dbq_images::sameFile;
using vfw_test::readFile;
using vfw_test::writeFile;

// An in-use extended block of a record: `k`-th block of `record`, 470 payload bytes a block.
Data part(int32_t id, int32_t next, const std::string& record, int k, uint32_t age) {
    Data d;
    d.id = id;
    d.next = next;
    d.sizeOrPrevious = uint32_t(record.size());
    d.spanning = (size_t(k) + 1) * 470 < record.size();
    d.spanSeq = k;
    d.age = age;
    d.payload = record.substr(size_t(k) * 470, 470);
    return d;
}

class DbqRecordsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        from = time(nullptr);
        ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    }
    std::string path() const { return dir.file("q"); }
    ::testing::AssertionResult fileIs(const std::string& expected) {
        return sameFile(readFile(path()), expected, from, time(nullptr));
    }
    void push(const std::string& record) { dbq_test::enqueue(queue, record); }

    vfw_test::TempDir dir;
    vfw::DBQSingle queue{512};
    time_t from = 0;
};

// In a new file, the n blocks of a record are grown one by one (ages 1..n), then the commit
// writes the master (n + 1), the blocks (n + 2 ..) and the master again (2n + 2).
TEST_F(DbqRecordsTest, OneRecordInANewFile) {
    struct Case {
        size_t length;
        int blocks;
    };
    for (Case c : {Case{470, 1}, Case{471, 2}, Case{940, 2}, Case{1000, 3}}) {
        SCOPED_TRACE(c.length);
        vfw::DBQSingle fresh(512);
        ASSERT_TRUE(fresh.open(path(), 2, 0600, true, ""));
        std::string record = pattern(c.length, unsigned(c.length));
        dbq_test::enqueue(fresh, record);
        Master m;
        m.head = 1;
        m.tail = c.blocks;
        m.count = 1;
        m.dataSize = c.length;
        m.age = uint32_t(2 * c.blocks + 2);
        std::string expected = masterImage(m);
        for (int k = 0; k < c.blocks; ++k) {
            int32_t next = k + 1 < c.blocks ? k + 2 : 0;
            expected += dataImage(part(k + 1, next, record, k, uint32_t(c.blocks + 2 + k)));
        }
        EXPECT_TRUE(fileIs(expected));
        EXPECT_EQ(dbq_test::peek(fresh), record);
        EXPECT_EQ(fresh.count(), 1);
        EXPECT_EQ(fresh.getDataSize(), c.length);
    }
}

TEST_F(DbqRecordsTest, RecordsFollowOneAnotherInTheChain) {
    std::string r1 = pattern(470, 1), r2 = pattern(471, 2), r3 = pattern(1000, 3);
    push(r1);  // grows 1 (age 1); master 2, block 1: 3, master 4
    push(r2);  // grows 2, 3 (5, 6); master 7; blocks 1, 2, 3: 8, 9, 10; master 11
    push(r3);  // grows 4, 5, 6 (12-14); master 15; blocks 3-6: 16-19; master 20
    Master m;
    m.head = 1;
    m.tail = 6;
    m.count = 3;
    m.dataSize = 1941;
    m.age = 20;
    EXPECT_TRUE(fileIs(masterImage(m) + dataImage(part(1, 2, r1, 0, 8)) +
                       dataImage(part(2, 3, r2, 0, 9)) + dataImage(part(3, 4, r2, 1, 16)) +
                       dataImage(part(4, 5, r3, 0, 17)) + dataImage(part(5, 6, r3, 1, 18)) +
                       dataImage(part(6, 0, r3, 2, 19))));
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{r1, r2, r3}));
}

TEST_F(DbqRecordsTest, PopFreesTheBlocksInChainOrderAndPushReusesTheOldest) {
    std::string record = pattern(1000, 9);
    push(record);  // ages: grows 1-3, master 4, blocks 5-7, master 8
    queue.dequeue();
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    // master 9, blocks 10-12, master 13; freed blocks keep their spanning flag and payload
    Master m;
    m.freeHead = 1;
    m.freeTail = 3;
    m.age = 13;
    Data b1 = part(1, 2, record, 0, 10), b2 = part(2, 3, record, 1, 11),
         b3 = part(3, 0, record, 2, 12);
    b1.free = b2.free = b3.free = true;
    b1.sizeOrPrevious = 0;
    b2.sizeOrPrevious = 1;
    b3.sizeOrPrevious = 2;
    EXPECT_TRUE(fileIs(masterImage(m) + dataImage(b1) + dataImage(b2) + dataImage(b3)));

    std::string small = pattern(300, 4);
    push(small);  // takes block 1, block 2 becomes the free head: master 14, blocks 15-16, 17
    m.head = m.tail = 1;
    m.freeHead = 2;
    m.count = 1;
    m.dataSize = 300;
    m.age = 17;
    Data reused = part(1, 0, record, 0, 15);
    reused.sizeOrPrevious = 300;
    reused.spanning = false;
    reused.payload.replace(0, 300, small);  // the rest keeps the old bytes
    b2.sizeOrPrevious = 0;
    b2.age = 16;
    EXPECT_TRUE(fileIs(masterImage(m) + dataImage(reused) + dataImage(b2) + dataImage(b3)));
    EXPECT_EQ(dbq_test::peek(queue), small);
}

TEST_F(DbqRecordsTest, TheLastFreeBlockIsGivenBackOnThe101stQualifyingCall) {
    std::string record = pattern(1000, 9);
    push(record);
    queue.dequeue();  // its own drop attempt is qualifying call 1
    std::string afterPop = readFile(path());
    for (int call = 2; call <= 100; ++call) {
        queue.shrink();
    }
    EXPECT_EQ(readFile(path()), afterPop);
    queue.shrink();  // block 3 is the free tail: block 2 becomes it; master 14, block 2 15, 16
    Master m;
    m.freeHead = 1;
    m.freeTail = 2;
    m.age = 16;
    Data b1 = part(1, 2, record, 0, 10), b2 = part(2, 0, record, 1, 15);
    b1.free = b2.free = true;
    b1.sizeOrPrevious = 0;
    b2.sizeOrPrevious = 1;
    EXPECT_TRUE(fileIs(masterImage(m) + dataImage(b1) + dataImage(b2)));
    for (int call = 1; call <= 100; ++call) {
        queue.shrink();
    }
    EXPECT_EQ(readFile(path()).size(), 3 * BLOCK) << "the count starts again";
    queue.shrink();
    EXPECT_EQ(readFile(path()).size(), 2 * BLOCK);
    for (int call = 1; call <= 101; ++call) {
        queue.shrink();
    }
    EXPECT_EQ(readFile(path()).size(), BLOCK);
    m.freeHead = m.freeTail = 0;
    m.age = 21;  // block 2 dropped: master 17, block 1 18, master 19; block 1: master 20, 21
    EXPECT_TRUE(fileIs(masterImage(m)));
    for (int call = 1; call <= 300; ++call) {
        queue.shrink();  // the master block is never given back
    }
    EXPECT_EQ(readFile(path()).size(), BLOCK);
    push("after");
    EXPECT_EQ(dbq_test::peek(queue), "after");
}

// The blocks a push grows go out in one write; when only part of it reaches the file, the
// failure names the first block that did not, as writing block by block would.
TEST_F(DbqRecordsTest, AGrowthThatStopsHalfWayNamesTheFirstBlockMissing) {
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    struct rlimit small = saved;
    small.rlim_cur = 3 * BLOCK + 100;  // blocks 1 and 2 fit, block 3 only in part
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        push(pattern(2000, 1));  // five blocks
    } catch (const vfw::IOException& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    EXPECT_EQ(message, "Block 3 write failed (fs.write)");
    std::string file = readFile(path());
    EXPECT_EQ(file.size(), 3 * BLOCK + 100);
    EXPECT_EQ(file[21], 0) << "nothing was committed";
    queue.close();
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_TRUE(queue.isEmpty());
    push("again");
    EXPECT_EQ(dbq_test::peek(queue), "again");
    EXPECT_EQ(readFile(path()).size(), 4 * BLOCK);
}

TEST_F(DbqRecordsTest, AnInUseLastBlockIsNeverGivenBack) {
    push("a");
    push("b");
    queue.dequeue();
    for (int call = 0; call < 300; ++call) {
        queue.shrink();
    }
    EXPECT_EQ(readFile(path()).size(), 3 * BLOCK);
    EXPECT_EQ(dbq_test::peek(queue), "b");
}

// Free lists built by hand, the last block (3) at each place in the list.
TEST_F(DbqRecordsTest, DroppingUnlinksTheLastBlockWhereverItSits) {
    queue.close();
    struct Case {
        std::vector<int32_t> order;
        int32_t head, tail;
        std::vector<std::pair<int32_t, int32_t>> links;  // remaining blocks' next, previous
    };
    std::vector<Case> cases = {
        {{3, 1, 2}, 1, 2, {{2, 0}, {0, 1}}},
        {{1, 3, 2}, 1, 2, {{2, 0}, {0, 1}}},
        {{1, 2, 3}, 1, 2, {{2, 0}, {0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.order[0] * 100 + c.order[1] * 10 + c.order[2]);
        Master m;
        m.freeHead = c.order.front();
        m.freeTail = c.order.back();
        std::string file = masterImage(m);
        for (int32_t id = 1; id <= 3; ++id) {
            size_t at = 0;
            while (c.order[at] != id) {
                ++at;
            }
            Data d;
            d.id = id;
            d.free = true;
            d.next = at + 1 < 3 ? c.order[at + 1] : 0;
            d.sizeOrPrevious = uint32_t(at > 0 ? c.order[at - 1] : 0);
            file += dataImage(d);
        }
        writeFile(path(), file);
        vfw::DBQSingle shrinking(path(), 1, 512, 0600, 100);
        shrinking.shrink();
        std::string after = readFile(path());
        ASSERT_EQ(after.size(), 3 * BLOCK);
        EXPECT_EQ(dbq_images::readBe32(after, 13), uint32_t(c.head));
        EXPECT_EQ(dbq_images::readBe32(after, 17), uint32_t(c.tail));
        for (int32_t id = 1; id <= 2; ++id) {
            EXPECT_EQ(dbq_images::readBe32(after, id * BLOCK + 5), uint32_t(c.links[id - 1].first));
            EXPECT_EQ(dbq_images::readBe32(after, id * BLOCK + 9),
                      uint32_t(c.links[id - 1].second));
        }
        EXPECT_EQ(after[21], 0);
        dbq_test::enqueue(shrinking, "x");
        dbq_test::enqueue(shrinking, "y");
        dbq_test::enqueue(shrinking, "z");
        EXPECT_EQ(dbq_test::drain(shrinking), (std::vector<std::string>{"x", "y", "z"}));
    }
}

TEST_F(DbqRecordsTest, BasicGenerationFilesAreReadAndWritten) {
    queue.close();
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = 3;
    m.count = 2;
    m.dataSize = 498 + 600;
    std::string r1 = pattern(498, 1), r2 = pattern(600, 2);
    auto basic = [](int32_t id, int32_t next, const std::string& record, int k) {
        Data d;
        d.basic = true;
        d.id = id;
        d.next = next;
        d.sizeOrPrevious = uint32_t(record.size());
        d.spanning = (size_t(k) + 1) * 498 < record.size();
        d.payload = record.substr(size_t(k) * 498, 498);
        return dataImage(d);
    };
    writeFile(path(),
              masterImage(m) + basic(1, 2, r1, 0) + basic(2, 3, r2, 0) + basic(3, 0, r2, 1));
    vfw::DBQSingle old(512);
    ASSERT_TRUE(old.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(old.getBlockSize(), 0);
    EXPECT_EQ(dbq_test::peek(old), r1);
    old.dequeue();
    EXPECT_EQ(dbq_test::peek(old), r2);

    std::string r3 = pattern(499, 3);
    dbq_test::enqueue(old, r3);  // takes block 1, grows block 4
    std::string file = readFile(path());
    ASSERT_EQ(file.size(), 5 * BLOCK);
    m.head = 2;
    m.tail = 4;
    m.freeHead = m.freeTail = 0;
    m.dataSize = 600 + 499;
    EXPECT_EQ(file.substr(0, BLOCK), masterImage(m));
    std::string reused = basic(1, 4, r3, 0);
    EXPECT_EQ(file.substr(BLOCK, BLOCK), reused);
    EXPECT_EQ(file.substr(4 * BLOCK), basic(4, 0, r3, 1));
    EXPECT_EQ(dbq_test::drain(old), (std::vector<std::string>{r2, r3}));
}

TEST_F(DbqRecordsTest, IdsPastTheBlockLimitAreLoggedNotRefused) {
    queue.setMaxSize(2 * BLOCK);  // block ids up to 2
    dbq_test::LogCapture log;
    std::string record = pattern(1000, 1);
    push(record);
    EXPECT_EQ(dbq_test::peek(queue), record);
    std::string text = log.text();
    EXPECT_EQ(text.find("q: block id 2 is beyond max id"), std::string::npos);
    EXPECT_NE(text.find("q: block id 3 is beyond max id"), std::string::npos);
    EXPECT_NE(text.find("q: The new free list head 3 is beyond max id"), std::string::npos);
    queue.dequeue();
    text = log.text();
    EXPECT_NE(text.find("q: The block id 3 is beyond max id"), std::string::npos);
    EXPECT_NE(text.find("q: head id 3 is beyond max id"), std::string::npos);
}

// Runs `work` on a queue file in a child process, with the address space limited so that the
// file cannot be mapped when `unmapped`; the child's exit status is returned.
int inChild(bool unmapped, const std::function<void()>& work) {
    pid_t child = ::fork();
    if (child == 0) {
        if (unmapped) {
            long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            struct rlimit limit;
            ::getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(32) << 20);
            ::setrlimit(RLIMIT_AS, &limit);
        }
        try {
            work();
        } catch (...) {
            ::_exit(2);
        }
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Without a mapping, writable files are read and written with pread/pwrite: the same file.
TEST(DbqUnmappedTest, ThePositionedIoFallbackWritesTheSameFile) {
    vfw_test::TempDir dir;
    time_t from = time(nullptr);
    auto work = [&](const std::string& path, bool unmapped) {
        vfw::BlockFileStream probe;
        probe.open(path.c_str(), O_RDWR | O_CREAT, 0600, false);
        if (probe.file().isMapped() == unmapped) {
            ::_exit(3);
        }
        probe.close();
        vfw::DBQSingle queue(path, 2, 512, 0600, 100);
        for (unsigned i = 1; i <= 6; ++i) {
            dbq_test::enqueue(queue, pattern(300 * i, i));
        }
        queue.dequeue();
        queue.dequeue();
        dbq_test::enqueue(queue, pattern(2000, 9));
        queue.shrink();
        EXPECT_EQ(dbq_test::peek(queue), pattern(900, 3));
    };
    ASSERT_EQ(inChild(false, [&] { work(dir.file("mapped"), false); }), 0);
    ASSERT_EQ(inChild(true, [&] { work(dir.file("plain"), true); }), 0);
    std::string mapped = readFile(dir.file("mapped"));
    std::string plain = readFile(dir.file("plain"));
    ASSERT_EQ(mapped.size(), plain.size());
    for (size_t base = 0; base < plain.size(); base += BLOCK) {
        dbq_images::be32(plain, base + (base == 0 ? 50 : 26), 0);  // time stamps
    }
    EXPECT_TRUE(sameFile(mapped, plain, from, time(nullptr)));
}

class DbqCorruptTest : public DbqRecordsTest {
  protected:
    // Writes `blocks` after an extended master with the given head, tail and count, and
    // reopens the queue on it.
    void build(int32_t head, int32_t tail, int32_t count, const std::vector<Data>& blocks) {
        queue.close();
        Master m;
        m.head = head;
        m.tail = tail;
        m.count = count;
        std::string file = masterImage(m);
        for (const Data& d : blocks) {
            file += dataImage(d);
        }
        writeFile(path(), file);
        ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
        image = file;
    }
    std::string fatal(void (DbqCorruptTest::*operation)()) {
        try {
            (this->*operation)();
        } catch (const vfw::FatalErrorException& e) {
            EXPECT_EQ(e.getRc(), 3);
            return e.what();
        }
        return "<nothing thrown>";
    }

  public:
    void getHead() {
        vfw::ByteArray data;
        uint32_t length = 0;
        queue.getHead(data, length);
    }
    void pop() { queue.dequeue(); }

  protected:
    std::string where(int32_t block) {
        return "Queue file " + path() + " is corrupt at block " + std::to_string(block) + ": ";
    }
    std::string image;
};

TEST_F(DbqCorruptTest, AChainEndingEarlyIsFatal) {
    std::string record = pattern(1000, 1);
    Data spare;
    spare.id = 3;
    spare.free = true;
    build(1, 2, 1, {part(1, 2, record, 0, 0), part(2, 0, record, 1, 0), spare});
    EXPECT_EQ(fatal(&DbqCorruptTest::getHead),
              where(2) + "the record's chain ends after 2 of its 3 blocks");
}

TEST_F(DbqCorruptTest, AnAbsurdSizeIsFatalBeforeAnyAllocation) {
    Data d = part(1, 0, "x", 0, 0);
    d.sizeOrPrevious = 0xFFFFFFF0u;
    d.spanning = false;
    build(1, 1, 1, {d});
    EXPECT_EQ(fatal(&DbqCorruptTest::getHead),
              where(1) + "a record of 4294967280 bytes needs 9138229 blocks, the file holds 1");
}

TEST_F(DbqCorruptTest, ALoopOfSpanningBlocksIsFatalAndChangesNothing) {
    std::string record = pattern(940, 1);
    Data b1 = part(1, 2, record, 0, 0), b2 = part(2, 1, record, 1, 0);
    b2.spanning = true;
    build(1, 2, 1, {b1, b2});
    EXPECT_EQ(fatal(&DbqCorruptTest::pop),
              where(1) + "the record's spanning blocks do not end within the file's 2 blocks");
    EXPECT_EQ(readFile(path()), image);
    EXPECT_EQ(queue.count(), 1);
    EXPECT_FALSE(queue.isEmpty());
    vfw::ByteArray data;
    uint32_t length = 0;
    queue.getHead(data, length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data.get()), length), record)
        << "the failed pop left the queue as it was in memory";
}

TEST_F(DbqCorruptTest, ASpanningBlockThatEndsTheChainIsFatal) {
    Data d = part(1, 0, "abc", 0, 0);
    d.spanning = true;
    build(1, 1, 1, {d});
    EXPECT_EQ(fatal(&DbqCorruptTest::pop), where(1) + "a spanning block ends the record chain");
    EXPECT_EQ(readFile(path()), image) << "the master block was not put on the free list";
}

TEST_F(DbqCorruptTest, ABlockOfTheOtherGenerationInAChainIsFatal) {
    std::string record = pattern(600, 2);
    Data b2 = part(2, 0, record, 1, 0);
    b2.basic = true;
    b2.payload = record.substr(470);
    build(1, 2, 1, {part(1, 2, record, 0, 0), b2});
    dbq_test::LogCapture log;
    EXPECT_EQ(fatal(&DbqCorruptTest::getHead),
              where(2) + "its payload of 498 bytes differs from the record's 470");
    EXPECT_NE(log.text().find("q: file " + path() + " block id 2 unexpected type 38"),
              std::string::npos);
}

TEST_F(DbqCorruptTest, DataBlockVerification) {
    Data d = part(1, 0, "hello", 0, 0);
    build(1, 1, 1, {d});
    std::string file = image;
    file[BLOCK + 42 + 100] = 7;
    writeFile(path(), file);
    vfw::ByteArray data;
    uint32_t length = 0;
    try {
        queue.getHead(data, length);
        FAIL() << "no exception";
    } catch (const vfw::FatalErrorException& e) {
        EXPECT_EQ(e.getRc(), 2);
        EXPECT_STREQ(e.what(),
                     "Data block '1' checksum mismatch: the calculated checksum is 0x21b, the one "
                     "from file is 0x214");
    }
    file = image;
    file.replace(BLOCK + 14, 4, "Dqbd");
    writeFile(path(), file);
    try {
        queue.getHead(data, length);
        FAIL() << "no exception";
    } catch (const vfw::FatalErrorException& e) {
        EXPECT_EQ(e.getRc(), 1);
        EXPECT_STREQ(e.what(),
                     "Data block '1' magic number mismatch: the expected magic number is "
                     "0x64427144, the one from file is 0x44716264");
    }
    file = image;
    dbq_images::be32(file, BLOCK, 5);
    writeFile(path(), file);
    dbq_test::LogCapture log;
    EXPECT_EQ(dbq_test::peek(queue), "hello");
    EXPECT_NE(
        log.text().find("q: file " + path() + " block id 1 does not match that in content (5)"),
        std::string::npos);
}

}  // namespace
