// DBQComposite as a whole: the dump of every member, the exception handlers (moving a damaged
// directory out of the way under a name with the process id and a UUID, recreating a missing
// one) and the renewal of an empty queue.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq_composite.h"

namespace {

using dbq_test::enqueue;
using dbqc_test::CoutCapture;
using dbqc_test::entries;
using dbqc_test::thrown;
using dbqc_test::writeMember;
using vfw::DBQComposite;
using vfw_test::readFile;

class DbqCompositeRecoveryTest : public ::testing::Test {
  protected:
    std::string spool() const { return dir.file("spool"); }
    std::string member(long n) const { return spool() + "/" + std::to_string(n); }
    void makeSpool() { ASSERT_EQ(::mkdir(spool().c_str(), 0700), 0); }
    void openSmall(DBQComposite& queue) {
        queue.setMaxSize(1024);
        ASSERT_TRUE(queue.open(spool(), 1, 0600, true, "small"));
    }
    // Every file of a directory with its bytes.
    std::map<std::string, std::string> snapshot(const std::string& directory) {
        std::map<std::string, std::string> files;
        for (const std::string& name : entries(directory)) {
            files[name] = readFile(directory + "/" + name);
        }
        return files;
    }
    // What DBQSingle::dump prints for one file on its own.
    static std::string singleDump(const std::string& path) {
        CoutCapture capture;
        vfw::DBQSingle queue(path, 0, 512, 0600, 0);
        queue.dump(true);
        return capture.text();
    }
    vfw_test::TempDir dir;
};

// "spool", ".", the process id, "." and 32 lower-case hexadecimal digits.
bool isAsideName(const std::string& name) {
    std::string prefix = "spool." + std::to_string(::getpid()) + ".";
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() != prefix.size() + 32) {
        return false;
    }
    return name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

vfw::IOException ioFailure() {
    return vfw::IOException(__FILE__, __LINE__, "Block 9 read failed (fs.read)", "IOException", -1,
                            false);
}

TEST_F(DbqCompositeRecoveryTest, DumpOfAMissingDirectorySaysSo) {
    DBQComposite missing(spool(), 0, 512, 0600);
    ASSERT_FALSE(missing.isOpen());
    CoutCapture capture;
    missing.dump(true);
    DBQComposite never(512);
    never.dump(false);
    EXPECT_EQ(capture.text(), "Database files don't exist.\nDatabase files don't exist.\n");
}

TEST_F(DbqCompositeRecoveryTest, DumpOfADirectoryWithoutMembersSaysSo) {
    makeSpool();
    vfw_test::writeFile(spool() + "/notes", "no member");
    DBQComposite queue(spool(), 0, 512, 0600);
    CoutCapture capture;
    queue.dump(true);
    EXPECT_EQ(capture.text(), "Database files don't exist.\n");
}

TEST_F(DbqCompositeRecoveryTest, DumpFollowsNumericOrderWithNothingBetween) {
    makeSpool();
    writeMember(member(10), {"ten"});
    writeMember(member(2), {"two", std::string(500, 't')});
    auto before = snapshot(spool());
    DBQComposite queue(spool(), 0, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    std::string expected = singleDump(member(2)) + singleDump(member(10));
    CoutCapture capture;
    queue.dump(true);
    EXPECT_EQ(capture.text(), expected);
    EXPECT_TRUE(queue.isOpen()) << "the composite's own ends are not used";
    EXPECT_EQ(snapshot(spool()), before);
}

TEST_F(DbqCompositeRecoveryTest, AMemberThatCannotBeOpenedStopsTheDumpNamingIt) {
    makeSpool();
    ASSERT_EQ(::mkdir(member(1).c_str(), 0700), 0);
    writeMember(member(2), {"two"});
    DBQComposite queue(spool(), 0, 512, 0600);
    EXPECT_FALSE(queue.isOpen());
    CoutCapture capture;
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dump(true); }),
              "Queue file " + member(1) + " cannot be opened: it is a directory");
    EXPECT_EQ(capture.text(), "");

    ASSERT_EQ(::rmdir(member(1).c_str()), 0);
    ASSERT_EQ(::mkfifo(member(1).c_str(), 0600), 0);
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dump(true); }),
              "Queue file " + member(1) + " cannot be opened: it is a FIFO");

    ASSERT_EQ(::unlink(member(1).c_str()), 0);
    vfw_test::writeFile(spool() + "/1st", "");
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.dump(true); }),
              "Queue file " + member(1) + " cannot be opened: No such file or directory");
}

TEST_F(DbqCompositeRecoveryTest, HandleExceptionMovesTheDirectoryAsideAndStartsAfresh) {
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c'}) {
        enqueue(queue, std::string(400, c));
    }
    auto before = snapshot(spool());
    ASSERT_EQ(before.size(), 2u);
    dbqc_test::CompositeLog log;
    queue.handleException(ioFailure());

    std::vector<std::string> names = entries(dir.path());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "spool");
    EXPECT_TRUE(isAsideName(names[1])) << names[1];
    EXPECT_EQ(snapshot(dir.file(names[1])), before) << "the damaged files are kept untouched";

    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(readFile(member(0)).size(), 512u);
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.getDequeueId(), 0);
    std::string text = log.text();
    EXPECT_NE(text.find("WARN  vfw.dbqc small: Error encountered in audit database: Block 9 read "
                        "failed (fs.read). Please call Vantrel support"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("small:   Moving the file out of the way to: " + dir.file(names[1])),
              std::string::npos);
    EXPECT_NE(text.find("small: Renaming " + spool() + " to " + dir.file(names[1]) + " succeeded."),
              std::string::npos);

    enqueue(queue, "after the move");
    EXPECT_EQ(dbq_test::drain(queue), (std::vector<std::string>{"after the move"}));

    queue.handleException(ioFailure());
    EXPECT_EQ(entries(dir.path()).size(), 3u) << "every move finds a name of its own";
}

TEST_F(DbqCompositeRecoveryTest, HandleExceptionRecreatesAMissingDirectory) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, "lost with the directory");
    ASSERT_EQ(std::system(("rm -rf '" + spool() + "'").c_str()), 0);
    dbqc_test::CompositeLog log;
    queue.handleException(ioFailure());
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"spool"}));
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.count(), 0);
    EXPECT_NE(log.text().find("small:   Creating the file " + spool() + "."), std::string::npos);
}

TEST_F(DbqCompositeRecoveryTest, AFailedMoveIsThrownAndLeavesTheQueueClosed) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, "stays");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A mount point cannot be renamed: bind the spool over itself in a namespace of its own.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(spool().c_str(), spool().c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(10);
        }
        std::string message = thrown<vfw::IOException>([&] { queue.handleException(ioFailure()); });
        bool named = message == "Unable to move corrupt " + spool() +
                                    " out of the way: Device or resource busy (error: 16).";
        bool kept = entries(dir.path()) == std::vector<std::string>{"spool"} &&
                    entries(spool()) == std::vector<std::string>{"0"};
        ::_exit(!named ? 11 : !kept ? 12 : queue.isOpen() ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no namespace, 11: message, 12: files, 13: open";
}

TEST_F(DbqCompositeRecoveryTest, HandleFatalErrorExceptionOnlyCloses) {
    DBQComposite queue(512);
    openSmall(queue);
    enqueue(queue, "kept");
    auto before = snapshot(spool());
    dbqc_test::CompositeLog log;
    vfw::FatalErrorException fatal(__FILE__, __LINE__, "Data block '4' magic number mismatch",
                                   "FatalErrorException", 1, false);
    queue.handleFatalErrorException(fatal);
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"spool"}));
    EXPECT_EQ(snapshot(spool()), before);
    EXPECT_NE(log.text().find("FATAL vfw.dbqc small: Fatal Error encountered in audit database: "
                              "Data block '4' magic number mismatch. Please call Vantrel support"),
              std::string::npos);
    EXPECT_EQ(thrown<vfw::IOException>([&] { enqueue(queue, "x"); }),
              "DBQC (enqueue) is not opened.");
}

TEST_F(DbqCompositeRecoveryTest, FlushDbRenewsAnEmptyQueue) {
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c', 'd', 'e'}) {
        enqueue(queue, std::string(400, c));
    }
    dbq_test::drain(queue);
    ASSERT_EQ(entries(spool()), (std::vector<std::string>{"2"}));
    ASSERT_GT(readFile(member(2)).size(), 512u);
    dbqc_test::CompositeLog log;
    queue.flushDb();
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0"}));
    EXPECT_EQ(readFile(member(0)).size(), 512u);
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getEnqueueId(), 0);
    EXPECT_EQ(queue.getDequeueId(), 0);
    EXPECT_NE(log.text().find("small: DBQ (small) Data size becomes 0. Renew DBQ."),
              std::string::npos);
    enqueue(queue, "new life");
    EXPECT_EQ(queue.count(), 1);
}

TEST_F(DbqCompositeRecoveryTest, FlushDbKeepsAQueueWithData) {
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c'}) {
        enqueue(queue, std::string(400, c));
    }
    queue.dequeue();
    auto before = snapshot(spool());
    queue.flushDb();
    EXPECT_EQ(snapshot(spool()), before);
    EXPECT_EQ(queue.count(), 2);
}

TEST_F(DbqCompositeRecoveryTest, FlushDbLeavesAHalfOpenedQueueAlone) {
    makeSpool();
    writeMember(member(0), {});
    ASSERT_EQ(::mkfifo(member(1).c_str(), 0600), 0);
    writeMember(member(2), {"must survive"});
    DBQComposite queue(spool(), 1, 512, 0600);
    ASSERT_FALSE(queue.isOpen());
    ASSERT_EQ(queue.getDataSize(), 0u) << "only member 0 was counted";
    queue.flushDb();
    EXPECT_EQ(entries(spool()), (std::vector<std::string>{"0", "1", "2"}));
}

}  // namespace
