// DBQSingle::dump and dumpAccounting: golden texts written from the dump rules for empty,
// extended, basic, damaged and looping files; the order of standard output and standard
// error around failures; and the iterator's state. Payload rendering: dbq_dump_render_test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_dump_test::block;
using dbq_dump_test::capture;
using dbq_dump_test::childOutput;
using dbq_dump_test::ctimeOf;
using dbq_dump_test::freeBlock;
using dbq_dump_test::inUse;
using dbq_dump_test::master;
using dbq_dump_test::MASTER_TIME;
using dbq_dump_test::Outcome;
using dbq_dump_test::payloadSum;
using dbq_images::be32;
using dbq_images::Data;
using dbq_images::Master;
using dbq_images::readBe32;
using vfw_test::readFile;
using vfw_test::writeFile;

class DbqDumpTest : public dbq_dump_test::DumpFileTest {};

TEST_F(DbqDumpTest, EmptyExtendedFileCreatedByTheQueue) {
    {
        vfw::DBQSingle writer(512);
        ASSERT_TRUE(writer.open(path(), 1, 0600, true, ""));
    }
    std::string file = readFile(path());
    ASSERT_EQ(file.size(), 512u);
    openQueue();
    const std::string expected =
        "DB accounting  empty: 1 count: 0 getDataSize: 0 head: 0 tail: 0 freehead: 0 freetail: 0 "
        "operation: 0\n"
        " magic: 1147294061 checksum: 0 version: 65536 age: 0 blocksize: 512 time: " +
        ctimeOf(int32_t(readBe32(file, 50))) +
        "\n"
        "DB is empty\n"
        "empty: 1\n"
        "count: 0\n"
        "getDataSize: 0\n";
    for (bool withData : {true, false}) {
        Outcome outcome = dump(withData);
        EXPECT_EQ(outcome.out, expected);
        EXPECT_EQ(outcome.error, "");
    }
}

// A record of 1000 bytes in blocks of 470: every block carries Size 1000, spanSeq 0, 1, 2, and
// at most 470 bytes are shown per block, so the last block shows its 60 record bytes and the
// 410 stale bytes behind them.
TEST_F(DbqDumpTest, ThousandByteRecordOverThreeBlocks) {
    std::string record;
    for (int i = 0; i < 1000; ++i) {
        record += char('a' + i % 26);
    }
    const std::string stale(410, 'Q');
    const std::string payloads[3] = {record.substr(0, 470), record.substr(470, 470),
                                     record.substr(940) + stale};
    const int32_t times[3] = {1600000000, 1600000100, 1600003600};
    std::string images[3];
    for (int k = 0; k < 3; ++k) {
        images[k] =
            block(inUse(k + 1, k < 2 ? k + 2 : 0, 1000, k < 2, k, payloads[k], 20 + k), times[k]);
    }
    Master m;
    m.head = 1;
    m.tail = 3;
    m.count = 1;
    m.dataSize = 1000;
    m.age = 9;
    writeFile(path(), master(m) + images[0] + images[1] + images[2]);
    openQueue();

    std::string head =
        "DB accounting  empty: 0 count: 1 getDataSize: 1000 head: 1 tail: 3 freehead: 0 "
        "freetail: 0 operation: 0\n"
        " magic: 1147294061 checksum: 0 version: 65536 age: 9 blocksize: 512 time: " +
        ctimeOf(MASTER_TIME) + "\n";
    const char* lines[3] = {
        "i: 0\tBlock ID: 1\tNext block ID: 2\tSize: 1000\tSpanning: 1\tFree: 0\tDatasize: 470\n",
        "i: 1\tBlock ID: 2\tNext block ID: 3\tSize: 1000\tSpanning: 1\tFree: 0\tDatasize: 470\n",
        "i: 2\tBlock ID: 3\tNext block ID: 0\tSize: 1000\tSpanning: 0\tFree: 0\tDatasize: 470\n"};
    std::string withData = head;
    std::string withoutData = head;
    for (int k = 0; k < 3; ++k) {
        std::string sum = std::to_string(payloadSum(images[k]));
        std::string detail = " magic: 1682075972 checksum: " + sum + " actual checksum: " + sum +
                             " version: 65536 age: " + std::to_string(20 + k) +
                             " span seq: " + std::to_string(k) + " time: " + ctimeOf(times[k]) +
                             "\n";
        withoutData += lines[k] + detail;
        withData += lines[k] + detail + payloads[k] + "\n\n";
    }
    EXPECT_EQ(dump(true).out, withData);
    EXPECT_EQ(dump(false).out, withoutData);
}

// The same record written by the queue itself: the fields come back from the file.
TEST_F(DbqDumpTest, RecordWrittenByTheQueue) {
    {
        vfw::DBQSingle writer(512);
        ASSERT_TRUE(writer.open(path(), 1, 0600, true, ""));
        dbq_test::enqueue(writer, "hello\nworld");
    }
    std::string file = readFile(path());
    ASSERT_EQ(file.size(), 1024u);
    openQueue();
    std::string blockImage = file.substr(512);
    std::string expected =
        "DB accounting  empty: 0 count: 1 getDataSize: 11 head: 1 tail: 1 freehead: 0 freetail: 0 "
        "operation: 0\n"
        " magic: 1147294061 checksum: 0 version: 65536 age: " +
        std::to_string(readBe32(file, 54)) +
        " blocksize: 512 time: " + ctimeOf(int32_t(readBe32(file, 50))) +
        "\n"
        "i: 0\tBlock ID: 1\tNext block ID: 0\tSize: 11\tSpanning: 0\tFree: 0\tDatasize: 470\n"
        " magic: 1682075972 checksum: " +
        std::to_string(payloadSum(blockImage)) +
        " actual checksum: " + std::to_string(payloadSum(blockImage)) +
        " version: 65536 age: " + std::to_string(readBe32(blockImage, 30)) +
        " span seq: 0 time: " + ctimeOf(int32_t(readBe32(blockImage, 26))) +
        "\n"
        "hello\\nworld\n"
        "\n";
    EXPECT_EQ(dump(true).out, expected);
}

// A basic file: no master detail line, no block detail line, 498 payload bytes a block.
TEST_F(DbqDumpTest, BasicGenerationFile) {
    std::string record(600, 'r');
    Data first = inUse(1, 2, 600, true, 0, record.substr(0, 498), 0);
    Data second = inUse(2, 0, 600, false, 0, record.substr(498), 0);
    first.basic = second.basic = true;
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = 2;
    m.count = 1;
    m.dataSize = 600;
    m.operation = 2;
    writeFile(path(), master(m) + block(first, 0) + block(second, 0));
    openQueue();
    EXPECT_EQ(
        dump(true).out,
        "DB accounting  empty: 0 count: 1 getDataSize: 600 head: 1 tail: 2 freehead: 0 "
        "freetail: 0 operation: 2\n"
        "i: 0\tBlock ID: 1\tNext block ID: 2\tSize: 600\tSpanning: 1\tFree: 0\tDatasize: 498\n" +
            std::string(498, 'r') +
            "\n\n"
            "i: 1\tBlock ID: 2\tNext block ID: 0\tSize: 600\tSpanning: 0\tFree: 0\tDatasize: "
            "498\n" +
            std::string(102, 'r') + "\n\n");
    EXPECT_EQ(queue.getBlockSize(), 0);
}

// A checksum that is wrong on disk ends the dump with the read's exception; the text of the
// blocks before it is already written.
TEST_F(DbqDumpTest, ChecksumWrongOnDiskEndsTheDump) {
    std::string images[3];
    for (int k = 0; k < 3; ++k) {
        images[k] = block(
            inUse(k + 1, k < 2 ? k + 2 : 0, 1000, k < 2, k, std::string(470, 'x'), uint32_t(k)), 0);
    }
    uint32_t sum = payloadSum(images[2]);
    be32(images[2], 18, sum + 1);
    Master m;
    m.head = 1;
    m.tail = 3;
    m.count = 1;
    m.dataSize = 1000;
    writeFile(path(), master(m) + images[0] + images[1] + images[2]);
    openQueue();
    Outcome outcome = dump(true);
    std::string xs(470, 'x');
    std::string detail0 = " magic: 1682075972 checksum: " + std::to_string(sum) +
                          " actual checksum: " + std::to_string(sum) +
                          " version: 65536 age: 0 span seq: 0 time: " + ctimeOf(0) + "\n";
    std::string detail1 = " magic: 1682075972 checksum: " + std::to_string(sum) +
                          " actual checksum: " + std::to_string(sum) +
                          " version: 65536 age: 1 span seq: 1 time: " + ctimeOf(0) + "\n";
    EXPECT_EQ(
        outcome.out,
        "DB accounting  empty: 0 count: 1 getDataSize: 1000 head: 1 tail: 3 freehead: 0 "
        "freetail: 0 operation: 0\n"
        " magic: 1147294061 checksum: 0 version: 65536 age: 0 blocksize: 512 time: " +
            ctimeOf(MASTER_TIME) +
            "\n"
            "i: 0\tBlock ID: 1\tNext block ID: 2\tSize: 1000\tSpanning: 1\tFree: 0\tDatasize: "
            "470\n" +
            detail0 + xs +
            "\n\n"
            "i: 1\tBlock ID: 2\tNext block ID: 3\tSize: 1000\tSpanning: 1\tFree: 0\tDatasize: "
            "470\n" +
            detail1 + xs + "\n\n");
    char message[200];
    std::snprintf(message, sizeof message,
                  "FatalErrorException: Data block '3' checksum mismatch: the calculated checksum "
                  "is 0x%x, the one from file is 0x%x",
                  sum, sum + 1);
    EXPECT_EQ(outcome.error, message);
}

// A chain that points past the end of the file or to a negative id: the entries before it,
// then the read's own report on standard output, then its exception.
TEST_F(DbqDumpTest, ChainPointingOutsideTheFile) {
    struct Case {
        int32_t next;
        const char* report;
        const char* error;
    };
    const Case cases[] = {
        {9, "Read for block 9 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n",
         "IOException: Block 9 read failed (fs.read)"},
        {-3, "Seekg for block -3 failed\nEOF: 0\nBad: 0\nFail: 1\nFile pos: -1\n",
         "IOException: Block -3 read failed (fs.seekg)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.next);
        Data d = inUse(1, c.next, 5, false, 0, "abcde", 0);
        d.basic = true;
        Master m;
        m.basic = true;
        m.head = 1;
        m.tail = 1;
        m.count = 1;
        m.dataSize = 5;
        writeFile(path(), master(m) + block(d, 0));
        vfw::DBQSingle reader(512);
        ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
        Outcome outcome = capture([&] { reader.dump(false); });
        EXPECT_EQ(outcome.out,
                  "DB accounting  empty: 0 count: 1 getDataSize: 5 head: 1 tail: 1 freehead: 0 "
                  "freetail: 0 operation: 0\n"
                  "i: 0\tBlock ID: 1\tNext block ID: " +
                      std::to_string(c.next) + "\tSize: 5\tSpanning: 0\tFree: 0\tDatasize: 498\n" +
                      c.report);
        EXPECT_EQ(outcome.error, c.error);
    }
}

// Checks lines as they stream by, so that a dump of a million blocks needs no memory.
class LineSink : public std::streambuf {
  public:
    explicit LineSink(std::function<void(const std::string&)> onLine) : m_onLine(onLine) {}
    // What is left after the last line feed.
    const std::string& rest() const { return m_line; }

  protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        const char* end = s + n;
        while (s < end) {
            const char* feed = static_cast<const char*>(std::memchr(s, '\n', size_t(end - s)));
            if (feed == nullptr) {
                m_line.append(s, end);
                break;
            }
            m_line.append(s, feed);
            m_onLine(m_line);
            m_line.clear();
            s = feed + 1;
        }
        return n;
    }

  private:
    std::function<void(const std::string&)> m_onLine;
    std::string m_line;
};

// Blocks 1 and 2 point at each other. The dump prints entries i = 0 .. limit - 1, alternating
// between them, then gives up with two lines.
class LoopDump {
  public:
    LoopDump(const std::string& path, int32_t entries, bool extended)
        : m_entries(entries), m_extended(extended) {
        Master m;
        m.basic = !extended;
        m.head = 1;
        m.tail = 2;
        m.count = 1;
        m.dataSize = 7;
        std::string file = master(m);
        for (int32_t id : {1, 2}) {
            Data d = inUse(id, 3 - id, 7, false, 0, "loop", 5);
            d.basic = !extended;
            file += block(d, MASTER_TIME);
        }
        writeFile(path, file);
        m_sum = std::to_string(uint32_t('l' + 'o' + 'o' + 'p'));
    }

    std::string expectedLine(size_t n) const {
        const size_t head = m_extended ? 3 : 1;
        const size_t perEntry = m_extended ? 3 : 1;
        if (n == 0) {
            return "DB accounting  empty: 0 count: 1 getDataSize: 7 head: 1 tail: 2 freehead: 0 "
                   "freetail: 0 operation: 0";
        }
        if (n < head) {
            return n == 1 ? " magic: 1147294061 checksum: 0 version: 65536 age: 0 blocksize: 512 "
                            "time: " +
                                chomp(ctimeOf(MASTER_TIME))
                          : "";
        }
        size_t i = (n - head) / perEntry;
        if (i >= size_t(m_entries)) {
            return i == size_t(m_entries) && (n - head) % perEntry == 0
                       ? "Too many blocks to follow. Quit without finishing all readings."
                       : "Is there a loop between the blocks; or just a big DB?";
        }
        int32_t id = i % 2 == 0 ? 1 : 2;
        switch ((n - head) % perEntry) {
            case 0:
                return "i: " + std::to_string(i) + "\tBlock ID: " + std::to_string(id) +
                       "\tNext block ID: " + std::to_string(3 - id) +
                       "\tSize: 7\tSpanning: 0\tFree: 0\tDatasize: " + (m_extended ? "470" : "498");
            case 1:
                return " magic: 1682075972 checksum: " + m_sum + " actual checksum: " + m_sum +
                       " version: 65536 age: 5 span seq: 0 time: " + chomp(ctimeOf(MASTER_TIME));
            default:
                return "";
        }
    }

    size_t expectedLines() const {
        return (m_extended ? 3 : 1) + size_t(m_entries) * (m_extended ? 3 : 1) + 2;
    }

  private:
    static std::string chomp(std::string text) {
        text.pop_back();
        return text;
    }

    int32_t m_entries;
    bool m_extended;
    std::string m_sum;
};

void checkLoopDump(vfw::DBQSingle& queue, const LoopDump& loop) {
    size_t lines = 0;
    size_t wrong = 0;
    std::string firstWrong;
    LineSink sink([&](const std::string& line) {
        if (line != loop.expectedLine(lines)) {
            if (wrong++ == 0) {
                firstWrong = "line " + std::to_string(lines) + ": '" + line + "', expected '" +
                             loop.expectedLine(lines) + "'";
            }
        }
        ++lines;
    });
    std::streambuf* previous = std::cout.rdbuf(&sink);
    try {
        queue.dump(false);
    } catch (...) {
        std::cout.rdbuf(previous);
        throw;
    }
    std::cout.rdbuf(previous);
    EXPECT_EQ(lines, loop.expectedLines());
    EXPECT_EQ(wrong, 0u) << firstWrong;
    EXPECT_EQ(sink.rest(), "");
}

TEST_F(DbqDumpTest, LoopingChainStopsAfterAMillionAndTwoEntries) {
    ASSERT_EQ(vfw::DBQSingle::getDumpEntryLimit(), 1000002);
    LoopDump loop(path(), 1000002, true);
    openQueue();
    checkLoopDump(queue, loop);
}

class EntryLimit {
  public:
    explicit EntryLimit(int32_t entries) { vfw::DBQSingle::setDumpEntryLimit(entries); }
    ~EntryLimit() { vfw::DBQSingle::setDumpEntryLimit(1000002); }
};

TEST_F(DbqDumpTest, EntryLimitSeam) {
    for (int32_t entries : {1, 2, 5}) {
        SCOPED_TRACE(entries);
        EntryLimit limit(entries);
        LoopDump loop(path(), entries, false);
        vfw::DBQSingle reader(512);
        ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
        checkLoopDump(reader, loop);
    }
    EntryLimit nonsense(-7);
    EXPECT_EQ(vfw::DBQSingle::getDumpEntryLimit(), 1);
}

// A chain of exactly the limit ends normally: the two lines are only for a chain that goes on.
TEST_F(DbqDumpTest, ChainOfExactlyTheLimitEndsNormally) {
    EntryLimit limit(2);
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = 2;
    m.count = 2;
    m.dataSize = 2;
    Data first = inUse(1, 2, 1, false, 0, "A", 0);
    Data second = inUse(2, 0, 1, false, 0, "B", 0);
    first.basic = second.basic = true;
    writeFile(path(), master(m) + block(first, 0) + block(second, 0));
    openQueue();
    std::string out = dump(true).out;
    EXPECT_EQ(out.find("Too many"), std::string::npos);
    EXPECT_NE(out.find("i: 1\tBlock ID: 2\tNext block ID: 0"), std::string::npos);
}

TEST_F(DbqDumpTest, ExtendedMasterSetsTheBlockSizeForLaterReads) {
    // A file of 1024-byte blocks: the images are 512-byte images followed by 512 zero bytes,
    // which changes no checksum.
    const std::string pad(512, '\0');
    Master m;
    m.blockSize = 1024;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.dataSize = 3;
    writeFile(path(), master(m) + pad + block(inUse(1, 0, 3, false, 0, "abc", 4), 0) + pad);
    openQueue();
    Outcome outcome = dump(true);
    EXPECT_NE(outcome.out.find(" blocksize: 1024 time: "), std::string::npos);
    EXPECT_NE(outcome.out.find("i: 0\tBlock ID: 1\tNext block ID: 0\tSize: 3\tSpanning: 0\tFree: "
                               "0\tDatasize: 982\n"),
              std::string::npos);
    EXPECT_NE(outcome.out.find("\nabc\n\n"), std::string::npos);
    EXPECT_EQ(outcome.error, "");

    // A block size of 0 reads as 512.
    m.blockSize = 0;
    m.head = m.tail = m.count = 0;
    m.dataSize = 0;
    writeFile(path(), master(m));
    vfw::DBQSingle reader(512);
    ASSERT_TRUE(reader.open(path(), 0, 0600, true, ""));
    Outcome zero = capture([&] { reader.dump(false); });
    EXPECT_NE(zero.out.find(" blocksize: 512 time: "), std::string::npos);
}

TEST_F(DbqDumpTest, DumpAccountingListsEveryBlock) {
    Master m;
    m.head = 1;
    m.tail = 2;
    m.count = 1;
    m.dataSize = 600;
    m.freeHead = 3;
    m.freeTail = 4;
    m.operation = 2;
    std::string record(600, 'z');
    writeFile(path(), master(m) + block(inUse(1, 2, 600, true, 0, record.substr(0, 470), 1), 0) +
                          block(inUse(2, 0, 600, false, 1, record.substr(470), 2), 0) +
                          block(freeBlock(3, 4, 0), 0) + block(freeBlock(4, 0, 3), 0));
    openQueue();
    Outcome outcome = capture([&] { queue.dumpAccounting(); });
    EXPECT_EQ(outcome.out,
              "DB accounting  empty: 0 count: 1 getDataSize: 600 head: 1 tail: 2 freehead: 3 "
              "freetail: 4 CurrentOperation: 2\n"
              "Block ID: 1\tNext block ID: 2\tSize: 600\tSpanning: 1\tFree: 0\tDatasize: 470\n"
              "Block ID: 2\tNext block ID: 0\tSize: 600\tSpanning: 0\tFree: 0\tDatasize: 470\n"
              "Block ID: 3\tNext block ID: 4\tSize: 0\tSpanning: 0\tFree: 1\tDatasize: 470\n"
              "Block ID: 4\tNext block ID: 0\tSize: 3\tSpanning: 0\tFree: 1\tDatasize: 470\n");
    EXPECT_EQ(outcome.error, "");
}

TEST_F(DbqDumpTest, DumpAccountingStopsAtACorruptBlock) {
    Master m;
    m.freeHead = 1;
    m.freeTail = 2;
    std::string bad = block(freeBlock(2, 0, 1), 0);
    bad.replace(14, 4, "xxxx");
    writeFile(path(), master(m) + block(freeBlock(1, 2, 0), 0) + bad);
    openQueue();
    Outcome outcome = capture([&] { queue.dumpAccounting(); });
    EXPECT_EQ(outcome.out,
              "DB accounting  empty: 1 count: 0 getDataSize: 0 head: 0 tail: 0 freehead: 1 "
              "freetail: 2 CurrentOperation: 0\n"
              "Block ID: 1\tNext block ID: 2\tSize: 0\tSpanning: 0\tFree: 1\tDatasize: 470\n");
    EXPECT_EQ(outcome.error,
              "FatalErrorException: Data block '2' magic number mismatch: the expected magic "
              "number is 0x64427144, the one from file is 0x78787878");
}

TEST_F(DbqDumpTest, DumpAccountingOfAFileWithoutDataBlocks) {
    writeFile(path(), master(Master()));
    openQueue();
    EXPECT_EQ(capture([&] { queue.dumpAccounting(); }).out,
              "DB accounting  empty: 1 count: 0 getDataSize: 0 head: 0 tail: 0 freehead: 0 "
              "freetail: 0 CurrentOperation: 0\n");
}

TEST_F(DbqDumpTest, ClosedQueueIsRefused) {
    Outcome dumped = dump(true);
    EXPECT_EQ(dumped.error, "IOException: DBQSingle (dump) is not opened.");
    EXPECT_EQ(dumped.out, "");
    EXPECT_EQ(capture([&] { queue.dumpAccounting(); }).error,
              "IOException: DBQSingle (dumpAccounting) is not opened.");
}

// Standard output and standard error share one file in a child: everything the dump wrote
// is there before the exception's report, and a failed read's lines sit in between.
TEST_F(DbqDumpTest, OutputReachesTheFileBeforeTheException) {
    Data d = inUse(1, 2, 5, true, 0, "abcde", 0);
    d.basic = true;
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.dataSize = 5;
    writeFile(path(), master(m) + block(d, 0));
    std::string text = childOutput([&] {
        vfw::DBQSingle reader(512);
        reader.open(path(), 0, 0600, true, "");
        reader.dump(true);
    });
    EXPECT_EQ(text,
              "DB accounting  empty: 0 count: 1 getDataSize: 5 head: 1 tail: 1 freehead: 0 "
              "freetail: 0 operation: 0\n"
              "i: 0\tBlock ID: 1\tNext block ID: 2\tSize: 5\tSpanning: 1\tFree: 0\tDatasize: 498\n"
              "abcde\n\n"
              "Read for block 2 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n"
              "caught: Block 2 read failed (fs.read)\n");
}

// A directory or a FIFO is no queue file: the open is refused at once (a FIFO without a
// writer would block a plain open), so there is nothing to dump.
TEST_F(DbqDumpTest, PathsThatAreNoQueueFiles) {
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& p : {dir.path(), dir.file("fifo"), dir.file("missing")}) {
        SCOPED_TRACE(p);
        vfw::DBQSingle reader(512);
        EXPECT_FALSE(reader.open(p, 0, 0600, false, ""));
        EXPECT_EQ(capture([&] { reader.dump(true); }).error,
                  "IOException: DBQSingle (dump) is not opened.");
    }
}

TEST(DbqIteratorTest, EndCursorAndCursorOnAQueue) {
    vfw::DBQSingle::Iterator end;
    EXPECT_EQ(end.queue(), nullptr);
    EXPECT_EQ(end.blockId(), 0);
    ASSERT_TRUE(end.logger());
    EXPECT_EQ(end.logger()->getName(), "vfw.dbq.iterator");
    EXPECT_FALSE(end.buffer());
    EXPECT_EQ(end.position(), 0);
    EXPECT_EQ(end.limit(), 0);

    vfw_test::TempDir dir;
    vfw::DBQSingle queue(512);
    EXPECT_EQ(vfw::DBQSingle::Iterator(queue).blockId(), 0);  // closed
    ASSERT_TRUE(queue.open(dir.file("q"), 1, 0600, true, ""));
    EXPECT_EQ(vfw::DBQSingle::Iterator(queue).blockId(), 0);  // empty
    dbq_test::enqueue(queue, std::string(500, 'a'));
    dbq_test::enqueue(queue, "b");
    dbq_test::drain(queue, 1);
    vfw::DBQSingle::Iterator cursor(queue);
    EXPECT_EQ(cursor.queue(), &queue);
    EXPECT_EQ(cursor.blockId(), 3);
    EXPECT_EQ(cursor.logger()->getName(), "vfw.dbq.iterator");
    EXPECT_FALSE(cursor.buffer());
    EXPECT_EQ(cursor.position(), 0);
    EXPECT_EQ(cursor.limit(), 0);
}

}  // namespace
