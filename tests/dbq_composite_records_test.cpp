// DBQComposite records with a small size limit: rotation to a new member past the limit, the
// old enqueue end kept open while it is the dequeue end, removal of drained members, skipping
// empty and missing members, refusals, failures of the members, and an append whose new
// member cannot be made.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq_composite.h"

namespace {

using dbq_test::enqueue;
using dbqc_test::descriptorsOn;
using dbqc_test::entries;
using dbqc_test::memberTotals;
using dbqc_test::peekText;
using dbqc_test::thrown;
using dbqc_test::writeMember;
using vfw::DBQComposite;
using vfw_test::readFile;
using vfw_test::writeFile;

// Two blocks: a member holding one record of one block is exactly at the limit.
const uint64_t LIMIT = 1024;

class DbqCompositeRecordsTest : public ::testing::Test {
  protected:
    void TearDown() override { vfw::BlockFileBuf::setWriteHook(nullptr); }
    std::string spool() const { return dir.file("spool"); }
    std::string member(long n) const { return spool() + "/" + std::to_string(n); }
    void makeSpool() { ASSERT_EQ(::mkdir(spool().c_str(), 0700), 0); }
    // Opens `queue` on the spool with the small limit.
    void openSmall(DBQComposite& queue, int32_t mode = 1) {
        queue.setMaxSize(LIMIT);
        ASSERT_TRUE(queue.open(spool(), mode, 0600, true, "small"));
    }
    ::testing::AssertionResult totalsMatch(DBQComposite& queue) {
        dbqc_test::Totals totals = memberTotals(spool());
        if (queue.count() != totals.count || queue.getDataSize() != totals.size) {
            return ::testing::AssertionFailure()
                   << "composite " << queue.count() << "/" << queue.getDataSize() << ", members "
                   << totals.count << "/" << totals.size;
        }
        return ::testing::AssertionSuccess();
    }
    vfw_test::TempDir dir;
};

std::string rec(char c) {
    return std::string(400, c);
}

std::string dequeueText(DBQComposite& queue) {
    vfw::ByteArray data;
    uint32_t length = 0;
    queue.dequeue(data, length);
    return length == 0 ? "" : std::string(reinterpret_cast<const char*>(data.get()), length);
}

TEST_F(DbqCompositeRecordsTest, BelowTheLimitEverythingGoesToFileZero) {
    DBQComposite queue(512);
    ASSERT_TRUE(queue.open(spool(), 1, 0600, true, ""));
    for (char c : {'a', 'b', 'c'}) {
        enqueue(queue, rec(c));
    }
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_EQ(queue.count(), 3);
    EXPECT_TRUE(totalsMatch(queue));
}

TEST_F(DbqCompositeRecordsTest, RotationThroughNewFilesAndDrainedOnes) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, rec('A'));
    EXPECT_EQ(readFile(member(0)).size(), 1024u);
    enqueue(queue, rec('B'));  // the file is at the limit, not past it
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(readFile(member(0)).size(), 1536u);

    enqueue(queue, rec('C'));  // past the limit: file 1 starts
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0", "1"}));
    EXPECT_EQ(queue.getEnqueueId(), 1);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_EQ(descriptorsOn(member(0)), 1) << "the old enqueue end stays open for reading";
    EXPECT_EQ(descriptorsOn(member(1)), 1);
    EXPECT_TRUE(totalsMatch(queue));

    enqueue(queue, rec('D'));
    enqueue(queue, rec('E'));  // file 1 is past the limit: file 2 starts, file 1 is closed
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(queue.getEnqueueId(), 2);
    EXPECT_EQ(descriptorsOn(member(0)), 1);
    EXPECT_EQ(descriptorsOn(member(1)), 0);
    EXPECT_EQ(descriptorsOn(member(2)), 1);
    EXPECT_EQ(queue.count(), 5);
    EXPECT_TRUE(totalsMatch(queue));

    EXPECT_EQ(peekText(queue), rec('A'));
    EXPECT_EQ(dequeueText(queue), rec('A'));
    EXPECT_EQ(entries(spool()).size(), 3u);
    EXPECT_EQ(dequeueText(queue), rec('B'));  // file 0 drained: removed, file 1 opened
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(queue.getDequeueId(), 1);
    EXPECT_EQ(descriptorsOn(member(0)), 0);
    EXPECT_EQ(descriptorsOn(member(1)), 1);
    EXPECT_TRUE(totalsMatch(queue));

    EXPECT_EQ(dequeueText(queue), rec('C'));
    EXPECT_EQ(dequeueText(queue), rec('D'));  // file 1 drained: both ends are file 2
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"2"}));
    EXPECT_EQ(queue.getDequeueId(), 2);
    EXPECT_EQ(queue.getEnqueueId(), 2);
    EXPECT_EQ(descriptorsOn(member(2)), 1);

    EXPECT_EQ(dequeueText(queue), rec('E'));
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"2"})) << "the newest file stays";
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_TRUE(totalsMatch(queue));
}

TEST_F(DbqCompositeRecordsTest, DrainingFileThreeOpensFourAndKeepsFive) {
    makeSpool();
    writeMember(member(3), {"three-a", "three-b"});
    writeMember(member(4), {"four"});
    writeMember(member(5), {"five"});
    dbqc_test::CompositeLog log;
    DBQComposite queue(512);
    openSmall(queue);
    EXPECT_EQ(descriptorsOn(member(4)), 0);
    EXPECT_EQ(dequeueText(queue), "three-a");
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"3", "4", "5"}));
    queue.dequeue();
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"4", "5"}));
    EXPECT_EQ(queue.getDequeueId(), 4);
    EXPECT_EQ(queue.getEnqueueId(), 5);
    EXPECT_EQ(descriptorsOn(member(4)), 1);
    EXPECT_EQ(descriptorsOn(member(5)), 1);
    EXPECT_EQ(queue.count(), 2);
    EXPECT_TRUE(totalsMatch(queue));
    std::string text = log.text();
    EXPECT_NE(text.find("small: Rotate dequeue end - open next DBQSingle: 4."), std::string::npos)
        << text;
    EXPECT_NE(text.find("small: Dequeue rotate dequeue end successful."), std::string::npos);
    EXPECT_NE(text.find("small: DBQC dequeue and purge data"), std::string::npos);
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{"four", "five"}));
}

TEST_F(DbqCompositeRecordsTest, DequeueFromOneEmptyFileChangesNothing) {
    DBQComposite queue(512);
    openSmall(queue);
    EXPECT_EQ(dequeueText(queue), "");
    queue.dequeue();
    EXPECT_EQ(peekText(queue), "");
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_TRUE(queue.isOpen());
}

TEST_F(DbqCompositeRecordsTest, EmptyAndMissingMembersAtTheHeadAreSkipped) {
    makeSpool();
    writeMember(member(3), {});
    writeMember(member(5), {"five"});
    {
        DBQComposite reader(512);
        openSmall(reader, 0);
        dbqc_test::CompositeLog log;
        EXPECT_EQ(peekText(reader), "") << "member 4 cannot be opened read-only";
        EXPECT_EQ(reader.getDequeueId(), 3);
        EXPECT_NE(log.text().find("small: DBQC dequeue failed to open " + member(4) +
                                  ". Error: 2. Please recover the machine and restart the "
                                  "process."),
                  std::string::npos);
        EXPECT_EQ(entries(spool()), (std::vector<std::string>{"3", "5"})) << "nothing removed";
    }
    DBQComposite writer(512);
    openSmall(writer);
    EXPECT_EQ(peekText(writer), "five");
    EXPECT_EQ(writer.getDequeueId(), 5);
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"5"}));
    EXPECT_EQ(writer.count(), 1);
}

TEST_F(DbqCompositeRecordsTest, PeekAndGetHeadLeaveTheTotals) {
    makeSpool();
    writeMember(member(0), {"first", "second"});
    DBQComposite queue(512);
    openSmall(queue);
    EXPECT_EQ(peekText(queue), "first");
    vfw::ByteArray data;
    uint32_t length = 0;
    queue.getHead(data, length);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get()), length), "first");
    EXPECT_EQ(queue.count(), 2);
    EXPECT_EQ(queue.getDataSize(), 11u);
}

TEST_F(DbqCompositeRecordsTest, AnUnopenedCompositeRefusesRecordOperations) {
    vfw::ByteArray data;
    uint32_t length = 0;
    for (int closed = 0; closed < 2; ++closed) {
        DBQComposite queue(512);
        if (closed == 1) {
            openSmall(queue);
            enqueue(queue, "kept");
            queue.close();
        }
        EXPECT_EQ(thrown<vfw::IOException>([&] { enqueue(queue, "x"); }),
                  "DBQC (enqueue) is not opened.");
        EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dequeue(data, length); }),
                  "DBQC (dequeue(..)) is not opened.");
        EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dequeue(); }),
                  "DBQC (dequeue()) is not opened.");
        EXPECT_EQ(thrown<vfw::IOException>([&] { queue.peek(data, length); }),
                  "DBQC (peek) is not opened.");
        EXPECT_EQ(thrown<vfw::IOException>([&] { queue.getHead(data, length); }),
                  "DBQC (getHead) is not opened.");
        try {
            queue.peek(data, length);
        } catch (const vfw::IOException& e) {
            EXPECT_EQ(e.getRc(), -1);
        }
        queue.shrink();
    }
    EXPECT_EQ(dbq_test::drain(*std::make_unique<DBQComposite>(spool(), 1, 512, 0600)),
              (std::vector<std::string>{"kept"}));
}

TEST_F(DbqCompositeRecordsTest, AReopenCountsTheMembersAfresh) {
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c', 'd'}) {
        enqueue(queue, rec(c));
    }
    ASSERT_TRUE(queue.open(spool(), 1, 0600, true, "small"));
    EXPECT_EQ(queue.count(), 4);
    EXPECT_EQ(queue.getDataSize(), 1600u);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_EQ(queue.getEnqueueId(), 1);
    EXPECT_EQ(descriptorsOn(member(0)), 1) << "members of the first open are released";
    EXPECT_EQ(dequeueText(queue), rec('a'));
}

TEST_F(DbqCompositeRecordsTest, ACorruptBlockLeavesTheTotalsAsTheyWere) {
    makeSpool();
    writeMember(member(0), {"good", "bad", "third"});
    std::string file = readFile(member(0));
    file[2 * 512 + 42] ^= 0x20;  // the payload of the second record's block
    writeFile(member(0), file);
    DBQComposite queue(512);
    openSmall(queue);
    EXPECT_EQ(dequeueText(queue), "good");
    EXPECT_NE(thrown<vfw::FatalErrorException>([&] {
                  dequeueText(queue);
              }).find("Data block '2' checksum mismatch"),
              std::string::npos);
    EXPECT_EQ(queue.count(), 2);
    EXPECT_EQ(queue.getDataSize(), 8u);
    EXPECT_TRUE(totalsMatch(queue));
}

TEST_F(DbqCompositeRecordsTest, TotalsFollowAMemberThatChangedBeforeItFailed) {
    makeSpool();
    writeMember(member(0), {"good", "bad"});
    std::string file = readFile(member(0));
    file[2 * 512 + 42] ^= 0x20;  // the last block of the file, read when giving blocks back
    writeFile(member(0), file);
    DBQComposite queue(512);
    openSmall(queue);
    EXPECT_NE(thrown<vfw::FatalErrorException>([&] {
                  queue.dequeue();
              }).find("Data block '2' checksum mismatch"),
              std::string::npos);
    EXPECT_EQ(queue.count(), 1);
    EXPECT_EQ(queue.getDataSize(), 3u);
    EXPECT_TRUE(totalsMatch(queue));
}

TEST_F(DbqCompositeRecordsTest, ModeTwoNeverTruncatesTheNextMember) {
    DBQComposite queue(512);
    openSmall(queue, 2);
    for (char c : {'A', 'B', 'C', 'D', 'E'}) {
        enqueue(queue, rec(c));
    }
    ASSERT_EQ(queue.getEnqueueId(), 2);
    std::vector<std::string> expected;
    for (char c : {'A', 'B', 'C', 'D', 'E'}) {
        expected.push_back(rec(c));
    }
    EXPECT_EQ(dbq_test::drain(queue), expected);
    EXPECT_TRUE(totalsMatch(queue));
}

// The member that a failed attempt must not leave behind, for the write hook.
std::string g_failingPath;

bool failWritesTo(int fd, int64_t, size_t) {
    char target[4096];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    std::string path = length > 0 ? std::string(target, size_t(length)) : "";
    return path.compare(0, g_failingPath.size(), g_failingPath) != 0;
}

TEST_F(DbqCompositeRecordsTest, ANewFileThatCannotBeMadeDoesNotLoseTheRecord) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, rec('A'));
    enqueue(queue, rec('B'));
    ASSERT_EQ(::mkdir(member(1).c_str(), 0700), 0);  // the name of the next member is taken
    dbqc_test::CompositeLog log;
    enqueue(queue, rec('C'));
    std::string text = log.text();
    EXPECT_NE(text.find("ERROR"), std::string::npos) << text;
    EXPECT_NE(text.find("small: DBQC failed to make new file. Can't enqueue to " + member(1) +
                        "; the record goes to 0 instead. Error: 21."),
              std::string::npos)
        << text;
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.count(), 3);
    EXPECT_EQ(readFile(member(0)).size(), 2048u);
    EXPECT_EQ(dequeueText(queue), rec('A'));
    EXPECT_EQ(dequeueText(queue), rec('B'));
    EXPECT_EQ(dequeueText(queue), rec('C'));
}

TEST_F(DbqCompositeRecordsTest, AHalfMadeNewFileIsRemovedAndTheRecordKept) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, rec('A'));
    enqueue(queue, rec('B'));
    g_failingPath = member(1);
    vfw::BlockFileBuf::setWriteHook(failWritesTo);
    enqueue(queue, rec('C'));
    vfw::BlockFileBuf::setWriteHook(nullptr);
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(queue.count(), 3);
    EXPECT_TRUE(totalsMatch(queue));
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{rec('A'), rec('B'), rec('C')}));
}

TEST_F(DbqCompositeRecordsTest, WhenTheCurrentFileFailsTooTheCallerIsTold) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, rec('A'));
    enqueue(queue, rec('B'));
    g_failingPath = spool() + "/";
    vfw::BlockFileBuf::setWriteHook(failWritesTo);
    EXPECT_NE(thrown<vfw::IOException>([&] { enqueue(queue, rec('C')); }).find("write failed"),
              std::string::npos);
    vfw::BlockFileBuf::setWriteHook(nullptr);
    EXPECT_EQ(queue.count(), 2);
    EXPECT_EQ(queue.getDataSize(), 800u);
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    queue.close();
    DBQComposite reopened(512);
    openSmall(reopened);
    EXPECT_EQ(dbq_test::drain(reopened), (std::vector<std::string>{rec('A'), rec('B')}));
}

}  // namespace
