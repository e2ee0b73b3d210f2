// DBQSingle: lifecycle, opening and reading existing files (sound and corrupt), records, free
// list and drops as whole-file images, mapped and through pread/pwrite, basic files.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "vfw/dbq.h"
#include "vfw/file_util.h"

namespace {

using namespace dbq_images;
using namespace dbq_test;
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
Data part(int32_t id, int32_t next, const std::string& r, int k, uint32_t age) {
    const bool spans = (size_t(k) + 1) * 470 < r.size();
    return {id, next, uint32_t(r.size()), spans, false, age, k, r.substr(size_t(k) * 470, 470)};
}

// With the parameter true, no mapping fits in the address space left: pread/pwrite are used.
class DbqSingleTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_EQ(::getrlimit(RLIMIT_AS, &saved), 0);
        struct rlimit limit = saved;
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        limit.rlim_cur = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(32) << 20);
        ASSERT_TRUE(!GetParam() || ::setrlimit(RLIMIT_AS, &limit) == 0);
        writeFile(dir.file("probe"), std::string(BLOCK, '\0'));
        vfw::BlockFileStream probe;
        probe.open(dir.file("probe").c_str(), O_RDWR, 0, false);
        EXPECT_NE(probe.file().isMapped(), GetParam());
    }
    void TearDown() override { ::setrlimit(RLIMIT_AS, &saved); }
    std::string path() const { return dir.file("q"); }
    ::testing::AssertionResult fileIs(const std::string& expected) {
        return sameFile(readFile(path()), expected, from, time(nullptr));
    }
    bool has(const std::string& text) { return log.text().find(text) != std::string::npos; }
    struct rlimit saved;
    vfw_test::TempDir dir;
    time_t from = time(nullptr);
    LogCapture log;
    vfw::DBQSingle queue{512};
};

INSTANTIATE_TEST_SUITE_P(Io, DbqSingleTest, ::testing::Values(false, true));

// Calls on a closed queue throw; 450 descriptor bytes fit, 451 not; a reopen's stream is good.
TEST_P(DbqSingleTest, Lifecycle) {
    vfw::ByteArray data;
    uint32_t length = 0;
    int32_t size = 0;
    const std::pair<std::string, std::function<void()>> calls[] = {
        {"enqueue", [&] { enqueue(queue, "x"); }},
        {"peek", [&] { queue.peek(data, length); }},
        {"peek", [&] { queue.dequeue(data, length); }},
        {"dequeue", [&] { queue.dequeue(); }},
        {"getHead", [&] { queue.getHead(data, length); }},
        {"putDescriptor", [&] { queue.putDescriptor(bytes("d"), 1); }},
        {"getDescriptor", [&] { queue.getDescriptor(size); }},
        {"dump", [&] { queue.dump(true); }},
        {"dumpAccounting", [&] { queue.dumpAccounting(); }},
        {"checkQueue", [&] { queue.checkQueue(true, "", std::cout); }}};
    auto refused = [&](int64_t held) {
        for (const auto& call : calls) {
            EXPECT_EQ(thrown(call.second), "DBQSingle (" + call.first + ") is not opened. [-1]");
        }
        queue.shrink();
        EXPECT_TRUE(queue.count() == held && queue.getDataSize() == uint64_t(4 * held) &&
                    queue.isEmpty() == (held == 0));
        EXPECT_EQ(vfw::DBQSingle::Iterator(queue).blockId(), 0);
    };
    refused(0);
    EXPECT_FALSE(queue.open(path(), 0, 0600, true, "owner") ||
                 queue.open(path(), 3, 0600, true, "") || queue.open(path(), -1, 0600, true, ""));
    EXPECT_TRUE(has("owner/q: Open file " + path() + " failed (error 2)"));
    EXPECT_NE(::access(path().c_str(), F_OK), 0) << "no mode but 1 and 2 creates";
    ASSERT_TRUE(queue.open(path(), 1, 0640, true, ""));
    struct stat st;
    EXPECT_TRUE(::stat(path().c_str(), &st) == 0 && (st.st_mode & 07777) == 0640);
    EXPECT_EQ(queue.getFileSize(), 512);
    EXPECT_TRUE(fileIs(masterImage(Master())));
    EXPECT_EQ(
        thrown([&] { enqueue(queue, ""); }) + thrown([&] { queue.enqueue(vfw::ByteArray(), 4); }) +
            thrown([&] { queue.putDescriptor(vfw::ByteArray(), 4); }),
        "DBQSingle (enqueue) refuses an empty record. [-1]DBQSingle (enqueue) has no record bytes. "
        "[-1]DBQSingle (putDescriptor) has no descriptor bytes. [-1]");
    const std::string descriptor = pattern(450, 3);
    queue.putDescriptor(bytes(descriptor), 450);
    queue.putDescriptor(bytes(std::string(451, 'x')), 451);
    EXPECT_TRUE(fileIs(masterImage({0, 0, 0, 0, 0, 0, 0, 450, 2, 512, descriptor})));
    EXPECT_TRUE(has("q: descriptor is too bigdata size 451, limitation 450."));
    queue.putDescriptor(bytes(""), 0);
    // A growth written in part names the first block missing and commits nothing.
    struct rlimit unlimited;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    const struct rlimit fileSize = {3 * BLOCK + 100, unlimited.rlim_max};  // block 3 in part
    sighandler_t previous = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &fileSize), 0);
    const std::string message = thrown([&] { enqueue(queue, pattern(2000, 1)); });
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    ::signal(SIGXFSZ, previous);
    EXPECT_EQ(message, "Block 3 write failed (fs.write) [-1]");
    EXPECT_EQ(readFile(path()).size(), 3 * BLOCK + 100);
    queue.close();
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    enqueue(queue, "kept");
    EXPECT_EQ(readFile(path()).size(), 4 * BLOCK);
    EXPECT_EQ(vfw::DBQSingle::Iterator(queue).blockId(), 3) << "after the last whole block";
    queue.close();
    refused(1);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
        EXPECT_EQ(peek(queue), "kept");
        testing::internal::CaptureStdout();
        EXPECT_THROW(enqueue(queue, "x"), vfw::IOException) << "read-only";
        EXPECT_EQ(queue.count(), 1) << "a failed update changes nothing in memory";
        EXPECT_THROW(peek(queue), vfw::IOException) << "the stream stays failed";
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Seekg for block 3 failed\nEOF: 0\nBad: 1\nFail: 1\nFile pos: -1\n");
        queue.close();
    }
    ASSERT_TRUE(queue.open(path(), 2, 0600, true, ""));
    EXPECT_EQ(readFile(path()).size(), BLOCK) << "truncated to the master block";
    enqueue(queue, "kept");
    queue.close();
    EXPECT_EQ(vfw::DBQSingle::dataSizeOf(path()) + vfw::DBQSingle::dataSizeOf(path() + "x"), 4u);
    queue.destroy();
    queue.destroy();  // the file is gone: the second fails
    EXPECT_TRUE(has("q: Remove file " + path() + " failed (error 2)"));
    for (int32_t bad : {0, 61, (1 << 20) + 1}) {
        EXPECT_THROW(vfw::DBQSingle{bad}, vfw::BadDataException) << bad;
    }
}

// An open of a file image (strict unless said), then a read: the outcome; nothing is written,
// a failed read changes nothing in memory; an unexpected block type or id is only logged.
TEST_P(DbqSingleTest, OpeningAndReadingAnExistingFile) {
    const std::string hello = dataImage(part(1, 0, "hello", 0, 0));
    const std::string good = masterImage({1, 1, 0, 0, 0, 1, 5}) + hello;
    auto changed = [&](size_t at, uint32_t v, size_t length = 4) {
        std::string file = good, bytes(4, '\0');
        be32(bytes, 0, v);
        return file.replace(at, length, bytes.substr(4 - length));
    };
    auto one = [](const std::string& blocks) { return masterImage({1, 1, 0, 0, 0, 1}) + blocks; };
    auto descriptor = [](int32_t size) { return masterImage({0, 0, 0, 0, 0, 0, 0, size}); };
    const std::string r1000 = pattern(1000, 1), r940 = pattern(940, 1), r600 = pattern(600, 2);
    const std::string ok = "count 1, block size 512, unclean 0: ", empty = "count 0, block size ",
                      at = ok + "Queue file " + path() + " is corrupt at block ",
                      impossible = "Queue file " + path() + " records an impossible block size ",
                      area = empty + "512, unclean 0: Queue file " + path() +
                             " records a descriptor of ";
    const std::string two =
        one(dataImage(part(1, 2, r1000, 0, 0)) + dataImage(part(2, 0, r1000, 1, 0)));
    enum Read { NONE, HEAD, POP, DESCRIPTOR };
    struct Case {
        std::string file;
        Read read;
        std::string outcome;
        int mode = 1;
        bool strict = true;
    };
    std::vector<Case> cases = {
        {changed(300, 1, 1), NONE,
         "Master block's checksum mismatch: the calculated checksum is 0x1, the one from file is "
         "0x0 [2], unclean 0"},
        {changed(38, 0x6d516244), NONE,
         "Master block's magic number mismatch: the expected magic number is 0x4462516d, the one "
         "from file is 0x6d516244 [1], unclean 0"},
        {changed(5, 2).replace(25, 1, "\11"), NONE, "count 9, block size 512, unclean 0: ", 0},
        {"", NONE, "Block 0 write failed (fs.write) [-1], unclean 0", 0},
        {changed(21, 1, 1), NONE, "DBQSingle is not shut cleanly. [-1], unclean 1"},
        {changed(21, 4, 1), HEAD, "count 1, block size 512, unclean 1: hello", 1, false},
        {masterImage({0, 0, 0, 0, 0, 0, 0, 3, 0, 0, "abc", true}).replace(140, 4, "junk"),
         DESCRIPTOR, empty + "0, unclean 0: 3 abc"},
        {descriptor(451), DESCRIPTOR, area + "451 bytes in an area of 450 bytes [3]"},
        {descriptor(-1), DESCRIPTOR, area + "-1 bytes in an area of 450 bytes [3]"},
        {two + dataImage({3, 0, 0, false, true}), HEAD,
         at + "2: the record's chain ends after 2 of its 3 blocks [3]"},
        {two, HEAD, at + "1: a record of 1000 bytes needs 3 blocks, the file holds 2 [3]"},
        {one(dataImage({1, 0, 0xFFFFFFF0u, false, false, 0, 0, "x"})), HEAD,
         at + "1: a record of 4294967280 bytes needs 9138229 blocks, the file holds 1 [3]"},
        {one(dataImage(part(1, 2, r940, 0, 0)) +
             dataImage({2, 1, 940, true, false, 0, 1, r940.substr(470)})),
         POP, at + "1: the record's spanning blocks do not end within the file's 2 blocks [3]"},
        // Block 3 just past the end: the walk stops at exactly the file's block count.
        {one(dataImage(part(1, 2, r940, 0, 0)) +
             dataImage({2, 3, 940, true, false, 0, 1, r940.substr(470)})),
         POP, at + "1: the record's spanning blocks do not end within the file's 2 blocks [3]"},
        {one(dataImage({1, 0, 3, true, false, 0, 0, "abc"})), POP,
         at + "1: a spanning block ends the record chain [3]"},
        {one(dataImage(part(1, 2, r600, 0, 0)) +
             dataImage({2, 0, 600, false, false, 0, 1, r600.substr(470), true})),
         HEAD, at + "2: its payload of 498 bytes differs from the record's 470 [3]"},
        {one(std::string(hello).replace(142, 1, "\7")), HEAD,
         ok + "Data block '1' checksum mismatch: the calculated checksum is 0x21b, the one from "
              "file is 0x214 [2]"},
        {one(std::string(hello).replace(14, 4, "Dqbd")), POP,
         ok + "Data block '1' magic number mismatch: the expected magic number is 0x64427144, "
              "the one from file is 0x44716264 [1]"},
        {one(std::string(hello).replace(3, 1, "\5")), HEAD, ok + "hello"}};
    for (int32_t size : {-512, 1, 61, (1 << 20) + 1, 0x7FFFFFFF, 0, 62, 4096, 1 << 20}) {
        const bool bad = size < 62 ? size != 0 : size > (1 << 20);
        const std::string n = std::to_string(size);
        cases.push_back({changed(58, uint32_t(size)), NONE,
                         bad ? impossible + n + " [3], unclean 0"
                             : "count 1, block size " + n + ", unclean 0: "});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        writeFile(path(), c.file);
        ::chmod(path().c_str(), 0640);
        vfw::DBQSingle queue(512);
        std::string outcome =
            thrown([&] { EXPECT_TRUE(queue.open(path(), c.mode, 0600, c.strict, "")); });
        const int64_t count = queue.count();
        if (outcome.empty()) {
            outcome = "count " + std::to_string(count) + ", block size " +
                      std::to_string(queue.getBlockSize());
        }
        outcome += ", unclean " + std::to_string(queue.isUncleanShutdown());
        if (queue.isOpen()) {
            outcome += ": ";
            int32_t size = 7;
            std::string read;
            const std::string error = thrown([&] {
                if (c.read == DESCRIPTOR) {
                    vfw::ByteArray copy = queue.getDescriptor(size);
                    read = std::to_string(size) + " " +
                           std::string(reinterpret_cast<char*>(copy.get()), size_t(size));
                } else if (c.read != NONE) {
                    read = c.read == HEAD ? peek(queue) : (queue.dequeue(), "popped");
                }
            });
            outcome += error.empty() ? read : error;
            EXPECT_TRUE(error.empty() || (size == 7 && queue.count() == count));
        }
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(readFile(path()), c.file);
        EXPECT_EQ(vfw::GetFileMode(path()), 0640u) << "an existing file keeps its mode";
    }
    EXPECT_TRUE(has("q: File " + path() + " is not shut cleanly. Close the file."));
    EXPECT_TRUE(has("q: file " + path() + " block id 2 unexpected type 38"));
    EXPECT_TRUE(has("q: file " + path() + " block id 1 does not match that in content (5)"));
    writeFile(path(), masterImage({1, 1, 0, 0, 0, 1, 3}) + hello);  // holds more than recorded
    vfw::DBQSingle popped(path(), 1, 512, 0600, 0);
    popped.dequeue();
    EXPECT_EQ(popped.getDataSize(), 0u) << "the data size does not go below 0";
    writeFile(path(), changed(21, 1, 1));
    EXPECT_EQ(thrown([&] { vfw::DBQSingle probe(path(), 0, 512, 0600, 0); }),
              "DBQSingle is not shut cleanly. [-1]")
        << "the opening constructor is strict";
}

// Grown blocks, then master, changed blocks in id order, master; each write takes the next age:
// r1 1, 2, 3, 4; r2 5-6, 7, 8-10, 11; r3 12-13, 14, 15-17, 18; r4 19-21, 22, 23-26, 27.
// Ids beyond the block limit are logged, never refused.
TEST_P(DbqSingleTest, RecordsAreCutIntoChainedBlocks) {
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    queue.setMaxSize(7 * BLOCK);  // block ids up to 7
    queue.setMaxSize(BLOCK);      // set once
    const std::vector<std::string> r = {pattern(470, 1), pattern(471, 2), pattern(940, 3),
                                        pattern(1000, 4)};
    for (const std::string& record : r) {
        enqueue(queue, record);
    }
    EXPECT_TRUE(fileIs(masterImage({1, 8, 0, 0, 0, 4, 2881, 0, 27}) +
                       dataImage(part(1, 2, r[0], 0, 8)) + dataImage(part(2, 3, r[1], 0, 9)) +
                       dataImage(part(3, 4, r[1], 1, 15)) + dataImage(part(4, 5, r[2], 0, 16)) +
                       dataImage(part(5, 6, r[2], 1, 23)) + dataImage(part(6, 7, r[3], 0, 24)) +
                       dataImage(part(7, 8, r[3], 1, 25)) + dataImage(part(8, 0, r[3], 2, 26))));
    EXPECT_EQ(drain(queue), r);
    for (const char* line :
         {"block id 8", "The new free list head 8", "The block id 8", "head id 8"}) {
        EXPECT_TRUE(has("q: " + std::string(line) + " is beyond max id")) << line;
    }
    EXPECT_FALSE(has("q: block id 7 is beyond"));
    vfw::DBQSingle other(512);
    ASSERT_TRUE(other.open(path(), 1, 0600, true, ""));
    enqueue(other, "c");
    EXPECT_EQ(readBe32(readFile(path()), 54), 3u) << "each queue object counts from 0";
}

// Popped blocks are freed in chain order and reused oldest first; while the last block is free
// the 101st drop call gives it back; an in-use last block and the master never go.
TEST_P(DbqSingleTest, FreedBlocksAreReusedFirstInFirstOutAndTheLastGivenBack) {
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    const std::string record = pattern(1000, 9), small = pattern(300, 4);
    auto freed = [&](int32_t id, int32_t next, uint32_t age) {  // previous in the size field
        return Data{id,   next, uint32_t(id - 1), id < 3,
                    true, age,  id - 1,           record.substr(size_t(id - 1) * 470, 470)};
    };
    auto shrink = [&](int calls) {
        for (int call = 0; call < calls; ++call) {
            queue.shrink();
        }
    };
    enqueue(queue, record);  // grown 1-3, master 4, blocks 5-7, master 8
    queue.dequeue();         // master 9, blocks 10-12, master 13; drop call 1
    Data b2 = freed(2, 3, 11);
    EXPECT_TRUE(fileIs(masterImage({0, 0, 1, 3, 0, 0, 0, 0, 13}) + dataImage(freed(1, 2, 10)) +
                       dataImage(b2) + dataImage(freed(3, 0, 12))));
    enqueue(queue, small);  // block 1; block 2 the free head: master 14, blocks 15, 16, 17
    const Data reused{1, 0, 300, false, false, 15, 0, small + record.substr(300, 170)};  // old rest
    b2.sizeOrPrevious = 0;
    b2.age = 16;
    shrink(99);
    EXPECT_TRUE(fileIs(masterImage({1, 1, 2, 3, 0, 1, 300, 0, 17}) + dataImage(reused) +
                       dataImage(b2) + dataImage(freed(3, 0, 12))));
    shrink(1);  // block 3, the free tail, goes: block 2 takes its place; master 18, 19, 20
    b2.age = 19;
    b2.next = 0;
    EXPECT_TRUE(
        fileIs(masterImage({1, 1, 2, 2, 0, 1, 300, 0, 20}) + dataImage(reused) + dataImage(b2)));
    shrink(100);
    EXPECT_EQ(readFile(path()).size(), 3 * BLOCK) << "the count starts again";
    shrink(301);  // block 2 goes on the first; block 1 is in use
    EXPECT_EQ(readFile(path()).size(), 2 * BLOCK);
    EXPECT_EQ(peek(queue), small);
    queue.dequeue();
    shrink(400);  // block 1 goes on the 100th; the master block never does
    EXPECT_TRUE(fileIs(masterImage({0, 0, 0, 0, 0, 0, 0, 0, 27})));
}

// The last block (3) at each place of a free list: 1, 2 is left, linked both ways.
TEST_P(DbqSingleTest, DroppingUnlinksTheLastBlockWhereverItSits) {
    for (const std::vector<int32_t>& order :
         {std::vector<int32_t>{3, 1, 2}, {1, 3, 2}, {1, 2, 3}}) {
        std::string file = masterImage({0, 0, order.front(), order.back()});
        for (int32_t id = 1; id <= 3; ++id) {
            size_t at = size_t(std::find(order.begin(), order.end(), id) - order.begin());
            file += dataImage({id, at < 2 ? order[at + 1] : 0, uint32_t(at > 0 ? order[at - 1] : 0),
                               false, true});
        }
        writeFile(path(), file);
        vfw::DBQSingle(path(), 1, 512, 0600, 100).shrink();
        file = readFile(path());
        std::string links = std::to_string(file.size()) + ":";
        for (size_t at : {13, 17, 21, 512 + 5, 512 + 9, 1024 + 5, 1024 + 9}) {
            links += " " + std::to_string(readBe32(file, at));
        }
        EXPECT_EQ(links, "1536: 1 2 0 2 0 0 1");  // heads, tails and operation; next, previous
    }
    writeFile(path(), masterImage({0, 0, 0x02000000}));  // read as a data block, block 0 is free
    vfw::DBQSingle(path(), 1, 512, 0600, 100).shrink();
    EXPECT_EQ(readFile(path()).size(), BLOCK) << "the master block is never given back";
}

// A torn last block (the end of a record cut short by a crash) fails only its own record: the
// pop before it still returns its record although giving the last block back cannot read it.
TEST_P(DbqSingleTest, ATornLastBlockFailsOnlyItsOwnRecord) {
    {
        vfw::DBQSingle writer(path(), 1, 512, 0600, 0);
        enqueue(writer, "first");
        enqueue(writer, "second");
    }
    std::string file = readFile(path());
    file[2 * BLOCK + 42] ^= 1;  // a payload byte of block 2
    writeFile(path(), file);
    vfw::DBQSingle queue(path(), 1, 512, 0600, 0);
    EXPECT_EQ(drain(queue, 1), std::vector<std::string>{"first"});
    EXPECT_EQ(queue.count(), 1);
    EXPECT_NE(thrown([&] { drain(queue, 1); }).find("'2' checksum mismatch"), std::string::npos);
}

TEST_P(DbqSingleTest, BasicGenerationFilesAreReadAndWritten) {
    auto basic = [](int32_t id, int32_t next, const std::string& record, int k) {
        return dataImage({id, next, uint32_t(record.size()), (size_t(k) + 1) * 498 < record.size(),
                          false, 0, 0, record.substr(size_t(k) * 498, 498), true});
    };
    const std::string r1 = pattern(498, 1), r2 = pattern(600, 2), r3 = pattern(499, 3);
    Master m{1, 3, 0, 0, 0, 2, 498 + 600, 0, 0, 0, "", true};
    writeFile(path(),
              masterImage(m) + basic(1, 2, r1, 0) + basic(2, 3, r2, 0) + basic(3, 0, r2, 1));
    ASSERT_TRUE(queue.open(path(), 1, 0600, true, ""));
    EXPECT_EQ(peek(queue), r1);
    queue.dequeue();
    enqueue(queue, r3);  // takes block 1, grows block 4
    m = {2, 4, 0, 0, 0, 2, 600 + 499, 0, 0, 0, "", true};
    EXPECT_EQ(readFile(path()), masterImage(m) + basic(1, 4, r3, 0) + basic(2, 3, r2, 0) +
                                    basic(3, 1, r2, 1) + basic(4, 0, r3, 1));
    EXPECT_EQ(drain(queue), (std::vector<std::string>{r2, r3}));
}

}  // namespace
