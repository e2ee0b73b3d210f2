// DBQComposite. A std::deque model under random appends, reads, removals, shrinks, reopens
// and renewals with a small size limit: after every step the totals equal the model's and
// the member files' master blocks, the members are the consecutive numbers between the two
// ends, and only the ends are open. Beside it: the member listing, the open modes, members
// that cannot be opened, destroy, the size boundary, skipped head members, refusals, failing
// members, new members that cannot be made, the dump, the exception handlers and flushDb.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_images.h"
#include "support/sandbox.h"
#include "vfw/dbq_composite.h"

namespace {

using dbqc_test::entries;
using dbqc_test::Names;
using dbqc_test::thrown;
using dbqc_test::writeMember;
using vfw::DBQComposite;
using vfw_test::readFile;
using vfw_test::writeFile;
namespace fs = std::filesystem;

// The oldest record through peek (0), getHead (1), dequeue with data (2) or without (3).
std::string take(DBQComposite& queue, int how) {
    vfw::ByteArray data;
    uint32_t length = 0;
    if (how == 0)
        queue.peek(data, length);
    else if (how == 1)
        queue.getHead(data, length);
    else if (how == 2)
        queue.dequeue(data, length);
    else
        queue.dequeue();
    return length == 0 ? "" : std::string(reinterpret_cast<const char*>(data.get()), length);
}

// The files this process holds open, once per descriptor.
Names openFiles() {
    Names files;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd"))
        files.push_back(fs::read_symlink(fd.path(), error));
    return files;
}

int descriptorsOn(const std::string& path) {
    Names files = openFiles();
    return int(std::count(files.begin(), files.end(), path));
}

std::map<std::string, std::string> snapshot(const std::string& directory) {
    std::map<std::string, std::string> files;
    for (const std::string& name : entries(directory))
        files[name] = readFile(directory + "/" + name);
    return files;
}

vfw::IOException ioFailure() {
    return vfw::IOException(__FILE__, __LINE__, "Block 9 read failed", "IOException", -1, false);
}

class DbqCompositeTest : public ::testing::Test {
  protected:
    DbqCompositeTest() { vfw::getLogger("vfw.dbqc")->setLevel(vfw::LEVEL_DEBUG); }
    ~DbqCompositeTest() override {
        vfw::getLogger("vfw.dbqc")->setLevel(-1);
        vfw::BlockFileBuf::setWriteHook(nullptr);
    }
    std::string member(int64_t n) const { return spool + "/" + std::to_string(n); }
    void makeSpool(const std::map<int64_t, Names>& members = {}) {
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
        for (const auto& [n, records] : members)
            writeMember(member(n), records);
    }
    // Opens `queue` on the spool as "small"; by default one one-block record fills a member.
    void openSmall(DBQComposite& queue, int32_t mode = 1, uint64_t limit = 1024) {
        queue.setMaxSize(limit);
        ASSERT_TRUE(queue.open(spool, mode, 0600, true, "small"));
    }
    ::testing::AssertionResult logged(const std::string& text) {
        std::string all = log.text();
        if (all.find(text) != std::string::npos)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no record \"" << text << "\" in\n" << all;
    }
    // Count, data size and file size against the members' master blocks and files.
    ::testing::AssertionResult totalsMatch(DBQComposite& queue) {
        int64_t count = 0, bytes = 0;
        uint64_t size = 0;
        for (const std::string& name : entries(spool)) {
            std::string file = readFile(spool + "/" + name);
            count += int32_t(dbq_images::readBe32(file, 22));
            size += uint64_t(dbq_images::readBe32(file, 26)) << 32 | dbq_images::readBe32(file, 30);
            bytes += int64_t(file.size());
        }
        if (queue.count() == count && queue.getDataSize() == size && queue.getFileSize() == bytes)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "queue " << queue.count() << "/" << queue.getDataSize() << "/"
               << queue.getFileSize() << ", files " << count << "/" << size << "/" << bytes;
    }
    vfw_test::TempDir dir;
    std::string spool = dir.file("spool");
    dbq_test::LogCapture log;
};

TEST_F(DbqCompositeTest, ModelOfRandomOperations) {
    vfw::getLogger("vfw.dbqs")->setLevel(-1);
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        // The queue's records, TRACE included, for half the seeds; none for the others.
        vfw::getLogger("vfw.dbqc")->setLevel(seed % 2 ? vfw::LEVEL_TRACE : vfw::LEVEL_INFO);
        std::mt19937 random(seed);
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
        fs::remove_all(spool);
        std::deque<std::string> model;
        auto queue = std::make_unique<DBQComposite>(512);
        openSmall(*queue, 1, 1500);
        int64_t highest = 0;
        for (int step = 0; step < 1200 && !HasFatalFailure(); ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            int choice = pick(100);
            if (choice < 40) {  // mostly short records, some of several blocks, some past the limit
                int kind = pick(10);
                std::string record(kind < 6   ? 1 + pick(300)
                                   : kind < 9 ? 400 + pick(1200)
                                              : 1500 + pick(2000),
                                   '\0');
                for (char& c : record)
                    c = char(pick(256));
                dbq_test::enqueue(*queue, record);
                model.push_back(record);
            } else if (choice < 90) {
                int how = "01222333"[choice % 8] - '0';
                std::string got = take(*queue, how);
                ASSERT_EQ(got, how == 3 || model.empty() ? "" : model.front());
                if (how >= 2 && !model.empty())
                    model.pop_front();
            } else if (choice < 94) {
                queue->shrink();
            } else if (choice < 98) {  // a new object, or the same one opened again
                if (choice % 2)
                    queue = std::make_unique<DBQComposite>(512);
                openSmall(*queue, 1, 1500);
            } else {
                queue->flushDb();
            }
            uint64_t size = 0;
            for (const std::string& record : model)
                size += record.size();
            ASSERT_TRUE(queue->isOpen());
            ASSERT_EQ(queue->count(), int64_t(model.size()));
            ASSERT_EQ(queue->getDataSize(), size);
            ASSERT_TRUE(totalsMatch(*queue));
            int64_t first = queue->getDequeueId(), last = queue->getEnqueueId();
            ASSERT_EQ(queue->isEmpty(), model.empty() && first == last);
            Names expected, open = openFiles();
            for (int64_t id = first; id <= last; ++id) {
                expected.push_back(std::to_string(id));
                ASSERT_EQ(std::count(open.begin(), open.end(), member(id)),
                          id == first || id == last);
            }
            std::sort(expected.begin(), expected.end());
            ASSERT_EQ(entries(spool), expected);
            highest = std::max(highest, last);
        }
        EXPECT_GT(highest, 20) << "the sequence rotated through many members";
    }
}

TEST_F(DbqCompositeTest, ListingReadsLeadingNumbersInNumericOrder) {
    makeSpool();
    for (const char* name :
         {"10", "3", "12abc", "abc", "+4", "-2", " 7", "99999999999999999999", "x1", "12"})
        writeFile(spool + "/" + name, "");
    std::vector<int64_t> ids;
    ASSERT_TRUE(DBQComposite::listFileIds(spool, ids));
    EXPECT_EQ(ids, (std::vector<int64_t>{-2, 3, 4, 7, 10, 12, 12})) << "duplicates stay listed";
    ids.clear();
    EXPECT_FALSE(DBQComposite::listFileIds(dir.file("missing"), ids));
    EXPECT_TRUE(ids.empty());
    EXPECT_FALSE(DBQComposite::listFileIds(member(3), ids)) << "a file is no directory";
}

TEST_F(DbqCompositeTest, OpenModes) {
    auto modeOf = [](const std::string& path) { return int(fs::status(path).permissions()); };
    EXPECT_FALSE(DBQComposite(spool, 0, 512, 0600).isOpen());
    EXPECT_TRUE(logged(spool + ": Directory " + spool + " doesn't exist"));
    makeSpool();
    EXPECT_FALSE(DBQComposite(spool, 0, 512, 0600).isOpen()) << "no member 0 read-only";
    for (int mode : {3, 7, -1}) {
        DBQComposite queue(512);
        EXPECT_TRUE(queue.open(spool, mode, 0600, true, "")) << mode;
        EXPECT_FALSE(queue.isOpen()) << mode;
    }
    EXPECT_EQ(entries(spool), Names{});
    EXPECT_TRUE(DBQComposite(spool, 1, 512, 0600).isOpen());
    EXPECT_EQ(entries(spool), Names{"0"});
    EXPECT_EQ(modeOf(spool), 0700) << "an existing directory keeps its mode";

    DBQComposite queue(512);
    writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(queue.open(dir.file("plain"), 1, 0600, true, ""));
    EXPECT_FALSE(queue.open(dir.file("plain/sub"), 1, 0600, true, ""));
    EXPECT_TRUE(logged("Directory " + dir.file("plain/sub") + " couldn't be created: "));
    EXPECT_EQ(readFile(dir.file("plain")), "x");

    std::string nested = dir.file("a/b/spool");
    ASSERT_TRUE(queue.open(nested, 1, 0640, true, "owner"));
    EXPECT_EQ(modeOf(dir.file("a")), 0755);
    EXPECT_EQ(modeOf(nested), 0755);
    EXPECT_EQ(modeOf(nested + "/0"), 0640);
    EXPECT_EQ(entries(nested), Names{"0"});
    EXPECT_EQ(readFile(nested + "/0").size(), 512u);
    EXPECT_EQ(queue.getEnqueueId() + queue.getDequeueId() + queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.getBlockSize(), 512);
    EXPECT_EQ(queue.isUncleanShutdown(), 0);
    EXPECT_EQ(descriptorsOn(nested + "/0"), 1) << "one object serves both ends";
    queue.close();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(descriptorsOn(nested + "/0"), 0);

    writeMember(member(0), {"zero-a", "zero-b"});
    writeMember(member(1), {"one"});
    std::string one = readFile(member(1));
    ASSERT_TRUE(queue.open(spool, 2, 0600, true, ""));
    EXPECT_EQ(readFile(member(0)).size(), 512u) << "mode 2 truncates member 0";
    EXPECT_EQ(readFile(member(1)), one);
    EXPECT_EQ(descriptorsOn(member(1)), 0);
    EXPECT_EQ(queue.count(), 0);
    EXPECT_EQ(queue.getEnqueueId(), 0);
}

TEST_F(DbqCompositeTest, MembersOpenInNumericOrderAndOnlyTheEndsStayOpen) {
    makeSpool({{10, {"ten"}}, {3, {"three-a", "three-b"}}, {4, {"four"}}});
    DBQComposite queue(spool, 1, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getDequeueId(), 3);
    EXPECT_EQ(queue.getEnqueueId(), 10);
    EXPECT_EQ(queue.count(), 4);
    EXPECT_EQ(queue.getDataSize(), 21u);
    EXPECT_EQ(descriptorsOn(member(3)) + descriptorsOn(member(10)), 2);
    EXPECT_EQ(descriptorsOn(member(4)), 0) << "a middle member is counted and closed";
    EXPECT_EQ(take(queue, 2), "three-a");
    EXPECT_EQ(take(queue, 3), "");
    EXPECT_EQ(entries(spool), (Names{"10", "4"}));
    EXPECT_EQ(queue.getDequeueId(), 4);
    EXPECT_EQ(descriptorsOn(member(4)), 1);
    EXPECT_TRUE(totalsMatch(queue));
    for (const char* line :
         {"DBQC enqueues to 10 and dequeue from 3",
          "DBQC's enqueue end has count 1 and data size 3",
          "DBQC's dequeue end has count 2 and data size 14", "DBQC has count 4 and data size 21",
          "DBQC dequeue and purge data", "Rotate dequeue end - open next DBQSingle: 4.",
          "Dequeue rotate dequeue end successful."})
        EXPECT_TRUE(logged(line));
    EXPECT_EQ(dbq_test::drain(queue), (Names{"four", "ten"}));
    EXPECT_EQ(entries(spool), Names{"10"});
}

TEST_F(DbqCompositeTest, ANameWithTrailingTextIsTheMemberOfItsNumber) {
    makeSpool();
    writeMember(spool + "/12abc", {"not read under this name"});
    EXPECT_FALSE(DBQComposite(spool, 0, 512, 0600).isOpen());
    EXPECT_TRUE(logged("Open file " + member(12) + " failed (error 2)"));
    writeMember(member(12), {"twelve", "again"});
    DBQComposite queue(spool, 0, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getDequeueId() + queue.getEnqueueId(), 24);
    EXPECT_EQ(queue.count(), 2) << "member 12 is one file, counted once";
    EXPECT_EQ(queue.getDataSize(), 11u);
    EXPECT_EQ(descriptorsOn(member(12)), 1);
    EXPECT_TRUE(logged("DBQC's enqueue end is same as dequeue end"));
    queue.close();
    EXPECT_EQ(descriptorsOn(member(12)), 0);
    EXPECT_EQ(queue.count(), 2) << "close keeps the totals";
}

TEST_F(DbqCompositeTest, MembersThatCannotBeOpened) {
    makeSpool({{0, {"fine"}}, {1, {"interrupted"}}});
    std::string file = readFile(member(1));
    file[21] = 1;  // the master block says an append was in progress
    writeFile(member(1), file);
    const std::string notClean = "DBQSingle is not shut cleanly.";
    EXPECT_EQ(thrown<vfw::IOException>([&] { DBQComposite(spool, 0, 512, 0600); }), notClean);
    DBQComposite queue(512);
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.open(spool, 1, 0600, true, ""); }), notClean);
    EXPECT_FALSE(queue.isOpen());
    EXPECT_EQ(readFile(member(1)), file) << "the file is left as found";
    EXPECT_TRUE(queue.open(spool, 0, 0600, false, ""));
    EXPECT_EQ(queue.count(), 2);
    EXPECT_EQ(queue.isUncleanShutdown(), 0);
    queue.close();
    for (const char* make : {"mkfifo", "mkdir"}) {  // fails the open without blocking
        fs::remove(member(1));
        ASSERT_EQ(std::system((std::string(make) + " " + member(1)).c_str()), 0);
        for (int mode : {0, 1}) {
            DBQComposite other(spool, mode, 512, 0600);
            EXPECT_FALSE(other.isOpen()) << make << mode;
            EXPECT_EQ(other.isUncleanShutdown(), 0);
        }
    }
}

TEST_F(DbqCompositeTest, UnopenedQueueFileSizeAndProbe) {
    DBQComposite queue(512);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.getBlockSize() + queue.count(), 0);
    EXPECT_EQ(queue.getDataSize(), 0u);
    EXPECT_EQ(queue.getMaxSize(), 104857600u);
    queue.setMaxSize(4096);
    EXPECT_EQ(queue.getMaxSize(), 4096u);
    queue.close();
    queue.shrink();
    EXPECT_EQ(DBQComposite::dataSizeOf(spool), 0u);
    EXPECT_FALSE(queue.open(spool, 0, 0600, true, ""));
    EXPECT_EQ(queue.getFileSize(), -1) << "missing directory";
    makeSpool();
    EXPECT_EQ(queue.getFileSize(), 0);
    writeMember(member(4), {"abc", std::string(600, 'z')});
    writeMember(member(5), {"de"});
    std::map<std::string, std::string> before = snapshot(spool);
    EXPECT_EQ(queue.getFileSize(), 512 * 4 + 512 * 2);
    EXPECT_EQ(DBQComposite::dataSizeOf(spool), 605u);
    EXPECT_EQ(snapshot(spool), before);
    writeFile(spool + "/7abc", "");
    EXPECT_EQ(queue.getFileSize(), -1) << "member 7 has no size";
}

TEST_F(DbqCompositeTest, DestroyRemovesWhatItCanOpen) {
    makeSpool({{0, {"a"}}, {1, {"b"}}, {2, {"c"}}});
    DBQComposite queue(spool, 1, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    queue.destroy();
    EXPECT_FALSE(queue.isOpen());
    EXPECT_FALSE(fs::exists(spool));
    queue.destroy();
    ASSERT_TRUE(queue.open(spool, 1, 0600, true, ""));
    ASSERT_EQ(::mkdir(member(3).c_str(), 0700), 0);
    queue.destroy();
    EXPECT_EQ(entries(spool), Names{"3"});
    EXPECT_TRUE(logged(": Destroying 2"));
    EXPECT_TRUE(logged("Error when removing dbq file " + spool + " (error: Directory not empty)"));
}

TEST_F(DbqCompositeTest, AMemberTakesAppendsUntilItIsPastTheLimit) {
    DBQComposite queue(512);
    openSmall(queue, 2);
    Names records;
    for (char c : {'A', 'B', 'C', 'D', 'E'}) {
        records.push_back(std::string(400, c));
        dbq_test::enqueue(queue, records.back());
        EXPECT_EQ(entries(spool).size(), c < 'C' ? 1u : c < 'E' ? 2u : 3u) << c;
    }
    EXPECT_EQ(entries(spool), (Names{"0", "1", "2"}));
    EXPECT_EQ(readFile(member(0)).size(), 1536u);
    EXPECT_EQ(dbq_test::drain(queue), records) << "mode 2 truncates no later member";
    EXPECT_TRUE(totalsMatch(queue));
}

TEST_F(DbqCompositeTest, EmptyAndMissingMembersAtTheHeadAreSkipped) {
    makeSpool({{3, {}}, {5, {"five"}}});
    {
        DBQComposite reader(512);
        openSmall(reader, 0);
        EXPECT_EQ(take(reader, 0), "") << "member 4 cannot be opened read-only";
        EXPECT_EQ(reader.getDequeueId(), 3);
        EXPECT_TRUE(logged("small: DBQC dequeue failed to open " + member(4) +
                           ". Error: 2. Please recover the machine and restart the process."));
        EXPECT_EQ(entries(spool), (Names{"3", "5"}));
    }
    DBQComposite writer(512);
    openSmall(writer);
    EXPECT_EQ(take(writer, 1), "five");
    EXPECT_EQ(writer.getDequeueId(), 5);
    EXPECT_EQ(entries(spool), Names{"5"});
}

TEST_F(DbqCompositeTest, AClosedQueueRefusesRecordOperations) {
    vfw::ByteArray data;
    uint32_t length = 0;
    for (bool opened : {false, true}) {
        DBQComposite queue(512);
        if (opened) {
            openSmall(queue);
            dbq_test::enqueue(queue, "kept");
            queue.handleFatalErrorException(
                vfw::FatalErrorException(__FILE__, __LINE__, "Data block '4' magic number mismatch",
                                         "FatalErrorException", 1, false));
            EXPECT_TRUE(
                logged("FATAL vfw.dbqc small: Fatal Error encountered in audit database: "
                       "Data block '4' magic number mismatch. Please call Vantrel support"));
        }
        for (const auto& [operation, call] : std::map<std::string, std::function<void()>>{
                 {"enqueue", [&] { dbq_test::enqueue(queue, "x"); }},
                 {"dequeue(..)", [&] { queue.dequeue(data, length); }},
                 {"dequeue()", [&] { queue.dequeue(); }},
                 {"peek", [&] { queue.peek(data, length); }},
                 {"getHead", [&] { queue.getHead(data, length); }}}) {
            try {
                call();
                ADD_FAILURE() << operation << " was not refused";
            } catch (const vfw::IOException& e) {
                EXPECT_EQ(e.what(), "DBQC (" + operation + ") is not opened.");
                EXPECT_EQ(e.getRc(), -1);
            }
        }
        queue.shrink();
    }
    EXPECT_EQ(entries(dir.path()), Names{"spool"}) << "the fatal handler moves nothing";
    EXPECT_EQ(dbq_test::drain(*std::make_unique<DBQComposite>(spool, 1, 512, 0600)), Names{"kept"});
}

TEST_F(DbqCompositeTest, AFailingMemberLeavesTotalsEqualToTheFiles) {
    for (bool purge : {false, true}) {
        fs::remove_all(spool);
        makeSpool({{0, purge ? Names{"good", "bad"} : Names{"good", "bad", "third"}}});
        std::string file = readFile(member(0));
        file[2 * 512 + 42] ^= 0x20;  // a payload byte of the second record, the last block
        writeFile(member(0), file);
        DBQComposite queue(512);
        openSmall(queue);
        EXPECT_EQ(purge ? "good" : take(queue, 2), "good");
        EXPECT_NE(thrown<vfw::FatalErrorException>([&] {
                      take(queue, purge ? 3 : 2);
                  }).find("Data block '2' checksum mismatch"),
                  std::string::npos);
        EXPECT_EQ(queue.count(), purge ? 1 : 2);
        EXPECT_EQ(queue.getDataSize(), purge ? 3u : 8u);
        EXPECT_TRUE(totalsMatch(queue));
    }
}

// Writes to files whose path starts with g_failing fail.
std::string g_failing;
bool failWrites(int fd, int64_t, size_t) {
    std::error_code error;
    std::string path = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return path.compare(0, g_failing.size(), g_failing) != 0;
}

TEST_F(DbqCompositeTest, ANewMemberThatCannotBeMadeLosesNoRecord) {
    DBQComposite queue(512);
    openSmall(queue);
    Names records;
    auto add = [&](char c) {
        records.push_back(std::string(400, c));
        dbq_test::enqueue(queue, records.back());
    };
    add('A');
    add('B');  // member 0 is past the limit
    ASSERT_EQ(::mkdir(member(1).c_str(), 0700), 0);
    add('C');
    EXPECT_TRUE(logged("ERROR vfw.dbqc small: DBQC failed to make new file. Can't enqueue to " +
                       member(1) + "; the record goes to 0 instead. Error: 21."));
    ASSERT_EQ(::rmdir(member(1).c_str()), 0);
    g_failing = member(1);
    vfw::BlockFileBuf::setWriteHook(failWrites);
    add('D');
    EXPECT_EQ(entries(spool), Names{"0"}) << "the half-made member is removed";
    EXPECT_TRUE(totalsMatch(queue));
    g_failing = spool + "/";
    EXPECT_NE(thrown<vfw::IOException>([&] { dbq_test::enqueue(queue, "E"); }).find("write failed"),
              std::string::npos);
    vfw::BlockFileBuf::setWriteHook(nullptr);
    EXPECT_EQ(queue.count(), 4);
    EXPECT_TRUE(totalsMatch(queue));
    EXPECT_EQ(queue.getEnqueueId(), 0);
    queue.close();
    DBQComposite reopened(512);
    openSmall(reopened);
    EXPECT_EQ(dbq_test::drain(reopened), records);
}

TEST_F(DbqCompositeTest, DumpWritesEveryMemberInNumericOrder) {
    const std::pair<std::string, std::string> none = {"Database files don't exist.\n", ""};
    EXPECT_EQ(dbqc_test::coutOf([&] { DBQComposite(spool, 0, 512, 0600).dump(true); }), none);
    EXPECT_EQ(dbqc_test::coutOf([&] { DBQComposite(512).dump(false); }), none);
    makeSpool();
    writeFile(spool + "/notes", "no member");
    EXPECT_EQ(dbqc_test::coutOf([&] { DBQComposite(spool, 0, 512, 0600).dump(true); }), none);
    writeMember(member(10), {"ten"});
    writeMember(member(2), {"two", std::string(500, 't')});
    std::map<std::string, std::string> before = snapshot(spool);
    DBQComposite queue(spool, 0, 512, 0600);
    ASSERT_TRUE(queue.isOpen());
    std::string two = dbqc_test::singleDump(member(2));
    EXPECT_EQ(dbqc_test::coutOf([&] { queue.dump(true); }),
              std::make_pair(two + dbqc_test::singleDump(member(10)), std::string()));
    EXPECT_TRUE(queue.isOpen()) << "the queue's own ends are not used";
    EXPECT_EQ(snapshot(spool), before);
    std::string five = member(5);
    for (const auto& [command, problem] : std::map<std::string, std::string>{
             {"mkdir " + five, "it is a directory"},
             {"mkfifo " + five, "it is a FIFO"},
             {"mknod -m 600 " + five + " c 1 3", "it is a device"},
             {"touch " + five + "th", "No such file or directory"}}) {
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(dbqc_test::coutOf([&] { queue.dump(true); }),
                  std::make_pair(two, "Queue file " + five + " cannot be opened: " + problem));
        fs::remove(five);
        fs::remove(five + "th");
    }
}

TEST_F(DbqCompositeTest, HandleExceptionMovesTheDirectoryAsideAndStartsAfresh) {
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c'})
        dbq_test::enqueue(queue, std::string(400, c));
    std::map<std::string, std::string> before = snapshot(spool);
    ASSERT_EQ(before.size(), 2u);
    queue.handleException(ioFailure());
    Names names = entries(dir.path());
    ASSERT_EQ(names.size(), 2u);
    std::string prefix = "spool." + std::to_string(::getpid()) + ".";
    EXPECT_EQ(names[1].compare(0, prefix.size(), prefix), 0) << names[1];
    EXPECT_EQ(names[1].size(), prefix.size() + 32) << names[1];
    EXPECT_EQ(names[1].find_first_not_of("0123456789abcdef", prefix.size()), std::string::npos);
    EXPECT_EQ(snapshot(dir.file(names[1])), before) << "the damaged files are kept untouched";
    EXPECT_EQ(readFile(member(0)).size(), 512u);
    EXPECT_EQ(entries(spool), Names{"0"});
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.count() + queue.getEnqueueId() + queue.getDequeueId(), 0);
    for (const std::string& line :
         Names{"WARN  vfw.dbqc small: Error encountered in audit database: Block 9 "
               "read failed. Please call Vantrel support",
               "small:   Moving the file out of the way to: " + dir.file(names[1]),
               "small: Renaming " + spool + " to " + dir.file(names[1]) + " succeeded."})
        EXPECT_TRUE(logged(line));
    dbq_test::enqueue(queue, "after the move");
    EXPECT_EQ(dbq_test::drain(queue), Names{"after the move"});
    queue.handleException(ioFailure());
    EXPECT_EQ(entries(dir.path()).size(), 3u) << "every move finds a name of its own";
    fs::remove_all(spool);
    queue.handleException(ioFailure());
    EXPECT_EQ(entries(dir.path()).size(), 3u) << "a missing directory is recreated, not moved";
    EXPECT_EQ(entries(spool), Names{"0"});
    EXPECT_TRUE(queue.isOpen());
    EXPECT_TRUE(logged("small:   Creating the file " + spool + "."));
}

NS_TEST(DbqCompositeNsTest, AFailedMoveIsThrownAndLeavesTheQueueClosed) {
    vfw_test::TempDir dir;
    std::string spool = dir.file("spool");
    dbq_test::LogCapture log;
    DBQComposite queue(512);
    ASSERT_TRUE(queue.open(spool, 1, 0600, true, "small"));
    dbq_test::enqueue(queue, "stays");
    // A mount point cannot be renamed.
    ASSERT_EQ(::mount(spool.c_str(), spool.c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(thrown<vfw::IOException>([&] { queue.handleException(ioFailure()); }),
              "Unable to move corrupt " + spool +
                  " out of the way: Device or resource busy (error: 16).");
    EXPECT_EQ(entries(dir.path()), Names{"spool"});
    EXPECT_EQ(entries(spool), Names{"0"});
    EXPECT_FALSE(queue.isOpen());
    ::umount2(spool.c_str(), MNT_DETACH);
}

TEST_F(DbqCompositeTest, FlushDbRenewsOnlyAnEmptyOpenQueue) {
    makeSpool({{0, {}}, {2, {"must survive"}}});
    ASSERT_EQ(::mkfifo(member(1).c_str(), 0600), 0);
    DBQComposite(spool, 1, 512, 0600).flushDb();
    EXPECT_EQ(entries(spool), (Names{"0", "1", "2"})) << "a half-opened queue is left alone";
    fs::remove_all(spool);
    DBQComposite queue(512);
    openSmall(queue);
    for (char c : {'a', 'b', 'c', 'd', 'e'})
        dbq_test::enqueue(queue, std::string(400, c));
    queue.dequeue();
    std::map<std::string, std::string> before = snapshot(spool);
    queue.flushDb();
    EXPECT_EQ(snapshot(spool), before);
    dbq_test::drain(queue);
    ASSERT_EQ(entries(spool), Names{"2"});
    queue.flushDb();
    EXPECT_EQ(entries(spool), Names{"0"});
    EXPECT_EQ(readFile(member(0)).size(), 512u);
    EXPECT_TRUE(queue.isOpen());
    EXPECT_EQ(queue.getEnqueueId() + queue.getDequeueId(), 0);
    EXPECT_TRUE(logged("small: DBQ (small) Data size becomes 0. Renew DBQ."));
}

}  // namespace
