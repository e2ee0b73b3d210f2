// DBQSingle::checkQueue: one case per finding with its exact text and grade, the order of the
// findings, the grade kept in the unclean-shutdown flag, the print/prefix/out form and the log
// records, reads that fail, and a block left on no list by an update that died after growing
// the file.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_images::Data;
using dbq_images::dataImage;
using dbq_images::Master;
using dbq_images::masterImage;
using vfw_test::writeFile;

const char* const START = "chk> Checking queue for integrity\n";

// A sound extended file: record A (600 bytes) in blocks 1 and 2, record B (10 bytes) in block
// 3, and the free list 4 -> 5.
struct Layout {
    Master master;
    std::vector<Data> blocks;  // blocks[i] is block i + 1

    Layout() {
        master.head = 1;
        master.tail = 3;
        master.count = 2;
        master.dataSize = 610;
        master.freeHead = 4;
        master.freeTail = 5;
        blocks.resize(5);
        for (int i = 0; i < 5; ++i) {
            blocks[size_t(i)].id = i + 1;
        }
        Data& a1 = at(1);
        a1.next = 2;
        a1.sizeOrPrevious = 600;
        a1.spanning = true;
        a1.payload = std::string(470, 'a');
        Data& a2 = at(2);
        a2.next = 3;
        a2.sizeOrPrevious = 600;
        a2.spanSeq = 1;
        a2.payload = std::string(130, 'a');
        Data& b = at(3);
        b.sizeOrPrevious = 10;
        b.payload = "0123456789";
        Data& f4 = at(4);
        f4.next = 5;
        f4.free = true;
        Data& f5 = at(5);
        f5.sizeOrPrevious = 4;
        f5.free = true;
    }

    Data& at(int id) { return blocks[size_t(id - 1)]; }

    void write(const std::string& path) const {
        std::string file = masterImage(master);
        for (const Data& d : blocks) {
            file += dataImage(d);
        }
        writeFile(path, file);
    }
};

class DbqCheckTest : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("q"); }

    // Writes the layout, opens it read-only without the clean-shutdown check and runs the
    // check with print on; returns the printed text and keeps the grade.
    std::string check(const Layout& layout) {
        layout.write(path());
        vfw::DBQSingle queue(512);
        EXPECT_TRUE(queue.open(path(), 0, 0600, false, ""));
        queue.setUncleanShutdown(77);
        std::ostringstream out;
        grade = queue.checkQueue(true, "chk> ", out);
        EXPECT_EQ(uint32_t(queue.isUncleanShutdown()), grade);
        return out.str();
    }

    vfw_test::TempDir dir;
    uint32_t grade = 99;
};

TEST_F(DbqCheckTest, SoundFileHasNoFinding) {
    EXPECT_EQ(check(Layout()), START);
    EXPECT_EQ(grade, 0u);
}

TEST_F(DbqCheckTest, SoundBasicFileHasNoFinding) {
    Layout layout;
    layout.master.basic = true;
    for (Data& d : layout.blocks) {
        d.basic = true;
    }
    layout.at(1).payload = std::string(498, 'a');
    layout.at(2).payload = std::string(102, 'a');
    EXPECT_EQ(check(layout), START);
    EXPECT_EQ(grade, 0u);
}

TEST_F(DbqCheckTest, ChainThatLoopsIsSeenTwice) {
    Layout layout;
    layout.at(3).next = 1;
    EXPECT_EQ(check(layout),
              std::string(START) +
                  "chk> Queue is abnormal. Block ID 1 is seen more than once in the "
                  "queue\n"
                  "chk> Queue is abnormal. Recorded tail is 3; and tail we see is 0.\n"
                  "chk> Queue is abnormal. Recorded free-tail is 5; and free-tail we "
                  "see is 0.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, BlockTypeDifferentFromTheMaster) {
    Layout layout;
    layout.at(3).basic = true;  // a basic data block in an extended file
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Block (ID 3) type does not match with the master block.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, ExtendedBlockInABasicFile) {
    Layout layout;
    layout.master.basic = true;
    for (Data& d : layout.blocks) {
        d.basic = true;
    }
    layout.at(1).payload = std::string(498, 'a');
    layout.at(2).payload = std::string(102, 'a');
    layout.at(3).basic = false;  // sound by its own magic and checksum
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Block (ID 3) type does not match with the master block.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, SpanningBlockOutOfOrder) {
    Layout layout;
    layout.at(1).spanSeq = 1;
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 1 is a spanning record but the "
                                 "order is wrong.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, LastBlockWithWrongSequenceNumber) {
    Layout layout;
    layout.at(2).spanSeq = 5;
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 2 is the last spanning record "
                                 "but the sequence number is wrong.\n");
    EXPECT_EQ(grade, 4u);
}

// A record that claims 1000 bytes (3 blocks) ends after 2; the data size then disagrees too.
TEST_F(DbqCheckTest, RecordWithTooFewBlocks) {
    Layout layout;
    layout.at(1).sizeOrPrevious = 1000;
    layout.at(2).sizeOrPrevious = 1000;
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Expect there are 3 number of block in a "
                                 "record; but see 2 number of blocks.\n"
                                 "chk> Queue is abnormal. Recorded queue has 610 data; but we see "
                                 "1010 data.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, ChainBlockFlaggedFree) {
    Layout layout;
    layout.at(3).free = true;
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 3 is seen in queue, but it "
                                 "claims itself as a free block.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, BlockOnBothLists) {
    Layout layout;
    layout.master.freeHead = 3;
    EXPECT_EQ(check(layout),
              std::string(START) +
                  "chk> Queue is abnormal. Block ID 3 is seen in the queue and "
                  "appears again in the free-block-list.\n"
                  "chk> Queue is abnormal. Recorded free-tail is 5; and free-tail we "
                  "see is 0.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, FreeListThatLoops) {
    Layout layout;
    layout.at(5).next = 4;
    EXPECT_EQ(check(layout),
              std::string(START) +
                  "chk> Queue is abnormal. Block ID 4 is seen more than once in the "
                  "queue\n"
                  "chk> Queue is abnormal. Recorded free-tail is 5; and free-tail we "
                  "see is 0.\n");
    EXPECT_EQ(grade, 4u);
}

TEST_F(DbqCheckTest, UsedBlockOnTheFreeList) {
    Layout layout;
    layout.at(5).free = false;
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 5 is seen in the "
                                 "free-block-list, but it claims itself as a used block.\n");
    EXPECT_EQ(grade, 3u);
}

TEST_F(DbqCheckTest, BrokenPreviousLink) {
    Layout layout;
    layout.at(5).sizeOrPrevious = 1;
    EXPECT_EQ(check(layout),
              std::string(START) +
                  "chk> Queue is abnormal. Free block ID 5 records its previous "
                  "block is 1; but the previous block is 4.\n"
                  "chk> Queue is abnormal. Recorded free-tail is 5; and free-tail we "
                  "see is 0.\n");
    EXPECT_EQ(grade, 3u);
}

TEST_F(DbqCheckTest, AccountingDisagreements) {
    struct Case {
        const char* name;
        void (*change)(Master&);
        const char* finding;
    };
    const Case cases[] = {
        {"tail", [](Master& m) { m.tail = 2; },
         "Queue is abnormal. Recorded tail is 2; and tail we see is 3."},
        {"free tail", [](Master& m) { m.freeTail = 4; },
         "Queue is abnormal. Recorded free-tail is 4; and free-tail we see is 5."},
        {"count", [](Master& m) { m.count = 3; },
         "Queue is abnormal. Recorded number of records is 3; and number of records we count is "
         "2."},
        {"data size", [](Master& m) { m.dataSize = 600; },
         "Queue is abnormal. Recorded queue has 600 data; but we see 610 data."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout;
        c.change(layout.master);
        EXPECT_EQ(check(layout), std::string(START) + "chk> " + c.finding + "\n");
        EXPECT_EQ(grade, 3u);
    }
}

// The four comparisons come in a fixed order, the recorded value first.
TEST_F(DbqCheckTest, AccountingFindingsInOrder) {
    Layout layout;
    layout.master.tail = 1;
    layout.master.freeTail = 9;
    layout.master.count = -1;
    layout.master.dataSize = 5000000000ULL;
    EXPECT_EQ(check(layout),
              std::string(START) +
                  "chk> Queue is abnormal. Recorded tail is 1; and tail we see is 3.\n"
                  "chk> Queue is abnormal. Recorded free-tail is 9; and free-tail we "
                  "see is 5.\n"
                  "chk> Queue is abnormal. Recorded number of records is -1; and "
                  "number of records we count is 2.\n"
                  "chk> Queue is abnormal. Recorded queue has 5000000000 data; but "
                  "we see 610 data.\n");
    EXPECT_EQ(grade, 3u);
}

TEST_F(DbqCheckTest, BlockOnNeitherList) {
    Layout layout;
    Data stray;
    stray.id = 6;
    stray.free = true;
    layout.blocks.push_back(stray);
    Data another;
    another.id = 7;
    another.sizeOrPrevious = 3;
    layout.blocks.push_back(another);
    EXPECT_EQ(check(layout), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 6 is reserved but belongs to "
                                 "neither used nor free list.\n"
                                 "chk> Queue is abnormal. Block ID 7 is reserved but belongs to "
                                 "neither used nor free list.\n");
    EXPECT_EQ(grade, 2u);
}

// The highest grade wins, whatever the order of the findings.
TEST_F(DbqCheckTest, HighestGradeIsKept) {
    Layout layout;
    Data stray;
    stray.id = 6;
    layout.blocks.push_back(stray);
    layout.master.count = 7;
    check(layout);
    EXPECT_EQ(grade, 3u);
    layout.at(1).spanSeq = 4;
    check(layout);
    EXPECT_EQ(grade, 4u);
}

// Without a free list the sweep still runs: it finds the block that an update which died
// after growing the file left behind (written before the update's first master write).
TEST_F(DbqCheckTest, BlockLeftByAnUpdateThatDiedAfterGrowingTheFile) {
    {
        vfw::DBQSingle writer(512);
        ASSERT_TRUE(writer.open(path(), 1, 0600, true, ""));
        dbq_test::enqueue(writer, "first");
        static int writes;
        writes = 0;
        // The growth write is let through, the commit's first master write fails.
        vfw::BlockFileBuf::setWriteHook(
            [](int, int64_t offset, size_t) { return !(offset == 0 && ++writes == 1); });
        EXPECT_THROW(dbq_test::enqueue(writer, "second"), vfw::IOException);
        vfw::BlockFileBuf::setWriteHook(nullptr);
    }
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
    ASSERT_EQ(queue.getFileSize(), 3 * 512);
    std::ostringstream out;
    EXPECT_EQ(queue.checkQueue(true, "", out), 2u);
    EXPECT_EQ(out.str(),
              "Checking queue for integrity\n"
              "Queue is abnormal. Block ID 2 is reserved but belongs to neither used nor free "
              "list.\n");
}

// A head without a tail: the list is walked and the recorded tail disagrees. A tail without a
// head: nothing to walk (block 0 is the master block, never a free block), the tail disagrees
// and the blocks of the list are on no list.
TEST_F(DbqCheckTest, FreeListAnchorsThatDisagree) {
    Layout headOnly;
    headOnly.master.freeTail = 0;
    EXPECT_EQ(check(headOnly), std::string(START) +
                                   "chk> Queue is abnormal. Recorded free-tail is 0; and free-tail "
                                   "we see is 5.\n");
    EXPECT_EQ(grade, 3u);

    Layout tailOnly;
    tailOnly.master.freeHead = 0;
    EXPECT_EQ(check(tailOnly), std::string(START) +
                                   "chk> Queue is abnormal. Block ID 4 is reserved but belongs to "
                                   "neither used nor free list.\n"
                                   "chk> Queue is abnormal. Block ID 5 is reserved but belongs to "
                                   "neither used nor free list.\n"
                                   "chk> Queue is abnormal. Recorded free-tail is 5; and free-tail "
                                   "we see is 0.\n");
    EXPECT_EQ(grade, 3u);
}

// Wrong magic numbers and checksums on disk are caught by the read's verification first: the
// check ends with its exception after the findings so far.
TEST_F(DbqCheckTest, BlocksThatFailTheReadEndTheCheck) {
    struct Case {
        const char* name;
        void (*damage)(std::string& file);
        const char* error;
    };
    const Case cases[] = {
        {"magic", [](std::string& f) { f.replace(2 * 512 + 14, 4, "dBqX"); },
         "FatalErrorException: Data block '2' magic number mismatch: the expected magic number "
         "is 0x64427144, the one from file is 0x64427158"},
        {"checksum", [](std::string& f) { f[5 * 512 + 300] = 'x'; },
         "FatalErrorException: Data block '5' checksum mismatch: the calculated checksum is "
         "0x78, the one from file is 0x0"},
        {"past the end", [](std::string& f) { dbq_images::be32(f, 3 * 512 + 5, 40); },
         "IOException: Block 40 read failed (fs.read)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Layout layout;
        layout.at(1).spanSeq = 3;  // a finding before the failure
        layout.write(path());
        std::string file = vfw_test::readFile(path());
        c.damage(file);
        writeFile(path(), file);
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
        std::ostringstream out;
        dbq_dump_test::Outcome outcome =
            dbq_dump_test::capture([&] { queue.checkQueue(true, "chk> ", out); });
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(out.str(), std::string(START) +
                                 "chk> Queue is abnormal. Block ID 1 is a spanning record but the "
                                 "order is wrong.\n");
        EXPECT_EQ(queue.isUncleanShutdown(), 0);
    }
}

TEST_F(DbqCheckTest, QuietFormsPrintNothing) {
    Layout layout;
    layout.master.count = 5;
    layout.write(path());
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 0, 0600, true, ""));
    std::ostringstream out;
    EXPECT_EQ(queue.checkQueue(false, "chk> ", out), 3u);
    EXPECT_EQ(out.str(), "");
    queue.setUncleanShutdown(0);
    dbq_dump_test::Outcome outcome =
        dbq_dump_test::capture([&] { EXPECT_EQ(queue.checkQueue(), 3u); });
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(queue.isUncleanShutdown(), 3);
}

// Every finding is an INFO record of the queue's logger, from the function checkQueue, with
// the queue's label in front of the text.
TEST_F(DbqCheckTest, FindingsAreLoggedWithTheLabel) {
    Layout layout;
    layout.master.count = 5;
    layout.write(path());
    dbq_test::LogCapture log;
    vfw::getLogger("vfw.dbqs")->setShowMore(4);
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path(), 0, 0600, true, "spool"));
    std::ostringstream out;
    queue.checkQueue(false, "", out);
    vfw::getLogger("vfw.dbqs")->setShowMore(-1);
    std::string text = log.text();
    for (const char* finding :
         {"spool/q: Checking queue for integrity\n",
          "spool/q: Queue is abnormal. Recorded number of records is 5; and number of records we "
          "count is 2.\n"}) {
        size_t at = text.find(finding);
        ASSERT_NE(at, std::string::npos) << text;
        std::string line = text.substr(text.rfind('\n', at) + 1, at - text.rfind('\n', at));
        EXPECT_NE(line.find("INFO"), std::string::npos) << line;
        EXPECT_NE(line.find("vfw.dbqs"), std::string::npos) << line;
        EXPECT_NE(line.find("checkQueue"), std::string::npos) << line;
    }
}

TEST_F(DbqCheckTest, ClosedQueueIsRefused) {
    vfw::DBQSingle queue(512);
    std::ostringstream out;
    EXPECT_THROW(queue.checkQueue(true, "", out), vfw::IOException);
    EXPECT_EQ(out.str(), "");
}

}  // namespace
