// DBQComposite layout and book-keeping: the member listing, the open modes, numeric member
// order, the totals rebuilt from the master blocks, members that cannot be opened, the file
// size, destroy and the static probe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq_composite.h"

namespace {

using dbqc_test::descriptorsOn;
using dbqc_test::entries;
using dbqc_test::memberTotals;
using dbqc_test::thrown;
using dbqc_test::writeMember;
using vfw::DBQComposite;
using vfw_test::readFile;
using vfw_test::writeFile;

class DbqCompositeTest : public ::testing::Test {
  protected:
    std::string spool() const { return dir.file("spool"); }
    std::string member(long n) const { return spool() + "/" + std::to_string(n); }
    void makeSpool() { ASSERT_EQ(::mkdir(spool().c_str(), 0700), 0); }
    mode_t modeOf(const std::string& path) {
        struct stat status;
        EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }
    vfw_test::TempDir dir;
};

TEST_F(DbqCompositeTest, ListingTakesLeadingDecimalNumbersInNumericOrder) {
    makeSpool();
    for (const char* name :
         {"10", "3", "12abc", "abc", "+4", "-2", " 7", "99999999999999999999", "x12", ""}) {
        if (*name != '\0') {
            writeFile(spool() + "/" + name, "");
        }
    }
    std::vector<int64_t> ids;
    ASSERT_TRUE(DBQComposite::listFileIds(spool(), ids));
    EXPECT_EQ(ids, (std::vector<int64_t>{-2, 3, 4, 7, 10, 12}));

    writeFile(spool() + "/12", "");
    ids.clear();
    ASSERT_TRUE(DBQComposite::listFileIds(spool(), ids));
    EXPECT_EQ(ids, (std::vector<int64_t>{-2, 3, 4, 7, 10, 12, 12})) << "duplicates stay listed";

    ids.clear();
    EXPECT_FALSE(DBQComposite::listFileIds(dir.file("missing"), ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(DBQComposite::listFileIds(spool() + "/3", ids)) << "a file is no directory";
}

TEST_F(DbqCompositeTest, ModeOneCreatesTheDirectoryAndFileZero) {
    std::string nested = dir.file("a/b/spool");
    DBQComposite queue(512);
    ASSERT_TRUE(queue.open(nested, 1, 0640, true, "owner"));
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(modeOf(dir.file("a")), 0755u);
    EXPECT_EQ(modeOf(nested), 0755u);
    EXPECT_EQ(entries(nested), (std::vector<std::string>{"0"}));
    EXPECT_EQ(readFile(nested + "/0").size(), 512u);
    EXPECT_EQ(modeOf(nested + "/0"), 0640u);
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.getBlockSize(), 512);
    EXPECT_EQ(queue.isUncleanShutdown(), 0);
    EXPECT_EQ(descriptorsOn(nested + "/0"), 1) << "one object serves both ends";
    queue.close();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(descriptorsOn(nested + "/0"), 0);
}

TEST_F(DbqCompositeTest, ModeOneOnAnEmptyDirectoryCreatesFileZero) {
    makeSpool();
    DBQComposite queue(spool(), 1, 512, 0600);
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(modeOf(spool()), 0700u) << "an existing directory keeps its mode";
}

TEST_F(DbqCompositeTest, ModeZeroCreatesNothing) {
    dbqc_test::CompositeLog log;
    DBQComposite missing(spool(), 0, 512, 0600);
    EXPECT_FALSE(missing.isOpen());
    EXPECT_NE(::access(spool().c_str(), F_OK), 0);
    EXPECT_NE(log.text().find(spool() + ": Directory " + spool() + " doesn't exist"),
              std::string::npos);

    makeSpool();
    DBQComposite empty(512);
    EXPECT_FALSE(empty.open(spool(), 0, 0600, true, ""));
    EXPECT_FALSE(empty.isOpen());
    EXPECT_TRUE(entries(spool()).empty()) << "file 0 cannot be made read-only";
}

TEST_F(DbqCompositeTest, ModeTwoTruncatesFileZeroAndLeavesTheOthers) {
    makeSpool();
    writeMember(member(0), {"zero-a", "zero-b"});
    writeMember(member(1), {"one"});
    std::string one = readFile(member(1));
    DBQComposite queue(spool(), 2, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    EXPECT_EQ(readFile(member(0)).size(), 512u);
    EXPECT_EQ(readFile(member(1)), one);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_EQ(descriptorsOn(member(1)), 0);
}

TEST_F(DbqCompositeTest, ModesAboveTwoOpenNothing) {
    makeSpool();
    for (int mode : {3, 7, -1}) {
        DBQComposite queue(512);
        EXPECT_TRUE(queue.open(spool(), mode, 0600, true, "")) << mode;
        EXPECT_FALSE(queue.isOpen()) << mode;
        EXPECT_TRUE(entries(spool()).empty()) << mode;
    }
}

TEST_F(DbqCompositeTest, APathThatIsNoDirectoryDoesNotOpen) {
    writeFile(spool(), "plain file");
    DBQComposite queue(512);
    EXPECT_FALSE(queue.open(spool(), 1, 0600, true, ""));
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(readFile(spool()), "plain file");
}

TEST_F(DbqCompositeTest, MembersOpenInNumericOrderAndOnlyTheEndsStayOpen) {
    makeSpool();
    writeMember(member(10), {"ten"});
    writeMember(member(3), {"three-a", "three-b"});
    writeMember(member(4), {"four"});
    dbqc_test::CompositeLog log;
    DBQComposite queue(spool(), 1, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getDequeueId(), 3);
    EXPECT_EQ(queue.getEnqueueId(), 10);
    EXPECT_EQ(queue.count(), 4);
    EXPECT_EQ(queue.getDataSize(), 7u + 7 + 4 + 3);
    EXPECT_FALSE(queue.isEmpty());
    EXPECT_EQ(descriptorsOn(member(3)), 1);
    EXPECT_EQ(descriptorsOn(member(4)), 0) << "a middle member is counted and closed";
    EXPECT_EQ(descriptorsOn(member(10)), 1);
    std::string text = log.text();
    EXPECT_NE(text.find("DBQC enqueues to 10 and dequeue from 3"), std::string::npos) << text;
    EXPECT_NE(text.find("DBQC's enqueue end has count 1 and data size 3"), std::string::npos);
    EXPECT_NE(text.find("DBQC's dequeue end has count 2 and data size 14"), std::string::npos);
    EXPECT_NE(text.find("DBQC has count 4 and data size 21"), std::string::npos);

    EXPECT_EQ(dbq_test::drain(queue),
              (std::vector<std::string>{"three-a", "three-b", "four", "ten"}));
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"10"}));
}

TEST_F(DbqCompositeTest, ASingleMemberServesBothEnds) {
    makeSpool();
    writeMember(member(5), {"five"});
    dbqc_test::CompositeLog log;
    DBQComposite queue(spool(), 0, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getDequeueId(), 5);
    EXPECT_EQ(queue.getEnqueueId(), 5);
    EXPECT_EQ(descriptorsOn(member(5)), 1);
    EXPECT_NE(log.text().find("DBQC's enqueue end is same as dequeue end"), std::string::npos);
    queue.close();
    EXPECT_EQ(descriptorsOn(member(5)), 0);
    EXPECT_EQ(queue.count(), 1) << "close keeps the totals";
}

TEST_F(DbqCompositeTest, TotalsEqualTheSumsOfTheMasterBlocks) {
    makeSpool();
    writeMember(member(0), {std::string(1000, 'a'), "b"});
    writeMember(member(1), {std::string(471, 'c')});
    writeMember(member(2), {"d", "ee", std::string(2000, 'f')});
    DBQComposite queue(spool(), 0, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    dbqc_test::Totals totals = memberTotals(spool());
    EXPECT_EQ(totals.count, 6);
    EXPECT_EQ(queue.count(), totals.count);
    EXPECT_EQ(queue.getDataSize(), totals.size);
    EXPECT_EQ(totals.size, 1000u + 1 + 471 + 1 + 2 + 2000);
}

TEST_F(DbqCompositeTest, NameWithTrailingTextIsTheMemberOfItsNumber) {
    makeSpool();
    writeMember(spool() + "/12abc", {"not read under this name"});
    dbq_test::LogCapture log;
    DBQComposite alone(spool(), 0, 512, 0600);
    EXPECT_FALSE(alone.isOpen());
    EXPECT_NE(log.text().find("Open file " + member(12) + " failed (error 2)"), std::string::npos);

    writeMember(member(12), {"twelve", "again"});
    DBQComposite both(spool(), 0, 512, 0600);
    ASSERT_TRUE(both.isOpen());
    EXPECT_EQ(both.getDequeueId(), 12);
    EXPECT_EQ(both.count(), 2) << "member 12 is one file, counted once";
    EXPECT_EQ(both.getDataSize(), 11u);
}

TEST_F(DbqCompositeTest, MemberNotShutCleanlyStopsAStrictOpen) {
    makeSpool();
    writeMember(member(0), {"fine"});
    writeMember(member(1), {"interrupted"});
    std::string file = readFile(member(1));
    file[21] = 1;  // an update in progress
    writeFile(member(1), file);

    EXPECT_EQ(thrown<vfw::IOException>([&] { DBQComposite queue(spool(), 0, 512, 0600); }),
              "DBQSingle is not shut cleanly.");
    DBQComposite strict(512);
    EXPECT_EQ(thrown<vfw::IOException>([&] { strict.open(spool(), 1, 0600, true, ""); }),
              "DBQSingle is not shut cleanly.");
    EXPECT_FALSE(strict.isOpen());
    EXPECT_EQ(readFile(member(1)), file) << "the file is left as found";

    DBQComposite lenient(512);
    EXPECT_TRUE(lenient.open(spool(), 0, 0600, false, ""));
    EXPECT_EQ(lenient.count(), 2);
    EXPECT_EQ(lenient.isUncleanShutdown(), 0);
}

TEST_F(DbqCompositeTest, MembersThatAreNoFilesFailTheOpenWithoutBlocking) {
    makeSpool();
    writeMember(member(0), {"zero"});
    ASSERT_EQ(::mkfifo(member(1).c_str(), 0600), 0);
    DBQComposite fifo(spool(), 0, 512, 0600);
    EXPECT_FALSE(fifo.isOpen());
    EXPECT_EQ(fifo.isUncleanShutdown(), 0);
    DBQComposite writer(spool(), 1, 512, 0600);
    EXPECT_FALSE(writer.isOpen());

    ASSERT_EQ(::unlink(member(1).c_str()), 0);
    ASSERT_EQ(::mkdir(member(1).c_str(), 0700), 0);
    DBQComposite directory(spool(), 0, 512, 0600);
    EXPECT_FALSE(directory.isOpen());
}

TEST_F(DbqCompositeTest, FileSizeIsTheSumOverTheMembers) {
    DBQComposite queue(512);
    EXPECT_FALSE(queue.open(spool(), 0, 0600, true, ""));
    EXPECT_EQ(queue.getFileSize(), -1) << "missing directory";
    makeSpool();
    EXPECT_EQ(queue.getFileSize(), 0) << "no member";
    writeMember(member(0), {std::string(1000, 'x')});
    writeMember(member(1), {"y"});
    EXPECT_EQ(queue.getFileSize(), 512 * 4 + 512 * 2);
    writeFile(spool() + "/7abc", "");
    EXPECT_EQ(queue.getFileSize(), -1) << "member 7 has no size";
}

TEST_F(DbqCompositeTest, AnUnopenedCompositeIsEmpty) {
    DBQComposite queue(512);
    EXPECT_FALSE(queue.isOpen());
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.getBlockSize(), 0);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getMaxSize(), 104857600u);
    queue.setMaxSize(4096);
    EXPECT_EQ(queue.getMaxSize(), 4096u);
    queue.close();
    queue.shrink();
}

TEST_F(DbqCompositeTest, DestroyRemovesEveryMemberAndTheDirectory) {
    makeSpool();
    writeMember(member(0), {"a"});
    writeMember(member(1), {"b"});
    writeMember(member(2), {"c"});
    DBQComposite queue(spool(), 1, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    queue.destroy();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_NE(::access(spool().c_str(), F_OK), 0);
}

TEST_F(DbqCompositeTest, DestroyLeavesWhatItCannotOpen) {
    makeSpool();
    writeMember(member(0), {"a"});
    DBQComposite queue(spool(), 1, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    ASSERT_EQ(::mkdir(member(3).c_str(), 0700), 0);
    dbqc_test::CompositeLog log;
    queue.destroy();
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"3"}));
    EXPECT_NE(log.text().find("Error when removing dbq file " + spool() +
                              " (error: Directory not empty)"),
              std::string::npos);
}

TEST_F(DbqCompositeTest, DataSizeOfProbesReadOnly) {
    EXPECT_EQ(DBQComposite::dataSizeOf(spool()), 0u);
    makeSpool();
    writeMember(member(4), {"abc", std::string(600, 'z')});
    writeMember(member(5), {"de"});
    std::string before = readFile(member(4));
    EXPECT_EQ(DBQComposite::dataSizeOf(spool()), 605u);
    EXPECT_EQ(readFile(member(4)), before);
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"4", "5"}));
}

}  // namespace
