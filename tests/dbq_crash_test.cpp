// Crash safety of DBQSingle updates: a write that fails at every possible point of an
// update, and a writer process killed with SIGKILL at random moments.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using vfw_test::readFile;
using vfw_test::writeFile;

// Write counting and failing for the fault-injection seam of the block stream.
int g_writes = 0;
int g_failAt = 0;
std::vector<int64_t> g_offsets;

bool countingHook(int, int64_t offset, size_t) {
    ++g_writes;
    g_offsets.push_back(offset);
    return g_writes != g_failAt;
}

// Reads records from a copy of `path` opened without the strict check, stopping at the first
// failure; at most `limit` records.
std::vector<std::string> readLeniently(const std::string& path, const std::string& copy,
                                       size_t limit) {
    writeFile(copy, readFile(path));
    vfw::DBQSingle queue(512);
    std::vector<std::string> records;
    EXPECT_TRUE(queue.open(copy, 1, 0600, false, ""));
    try {
        dbq_test::drainInto(queue, records, limit);
    } catch (const VFWException&) {
        // the record in flight may be damaged; what came before is what counts
    }
    return records;
}

// True when a strict open of a copy of `path` succeeds; a refusal must be the unclean one.
bool strictOpenAccepts(const std::string& path, const std::string& copy) {
    writeFile(copy, readFile(path));
    vfw::DBQSingle queue(512);
    try {
        return queue.open(copy, 1, 0600, true, "");
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "DBQSingle is not shut cleanly.");
        EXPECT_EQ(queue.isUncleanShutdown(), 1);
    }
    return false;
}

class DbqFaultTest : public ::testing::Test {
  protected:
    void TearDown() override { vfw::BlockFileBuf::setWriteHook(nullptr); }

    // Runs `update` on copies of the file at `base` with its k-th write failing, for every k
    // of the writes the update makes, and checks the files left behind. `committed` are the
    // records the file holds before the update; when `removing`, the update removes the first
    // of them, which an interrupted file may still show or not. A record being appended may
    // show after the others, intact or not.
    void sweep(const std::string& base, const std::function<void(vfw::DBQSingle&)>& update,
               const std::vector<std::string>& committed, bool removing) {
        std::string work = dir.file("work");
        std::string before = readFile(base);
        writeFile(work, before);
        g_writes = 0;
        g_failAt = 0;
        g_offsets.clear();
        {
            vfw::DBQSingle queue(work, 1, 512, 0600, 100);
            vfw::BlockFileBuf::setWriteHook(countingHook);
            update(queue);
            vfw::BlockFileBuf::setWriteHook(nullptr);
        }
        const int writes = g_writes;
        // The first write into the master block (its first 22 bytes) marks the file
        // interrupted; the last one, the operation byte alone, marks it consistent again.
        int firstMaster = 0;
        while (firstMaster < writes && g_offsets[size_t(firstMaster)] >= 512) {
            ++firstMaster;
        }
        ++firstMaster;
        ASSERT_LE(firstMaster, writes);
        ASSERT_EQ(g_offsets[size_t(firstMaster) - 1], 0) << "the mark goes first";
        ASSERT_EQ(g_offsets.back(), 21) << "and its removal last";
        for (int k = 1; k <= writes; ++k) {
            SCOPED_TRACE("failing write " + std::to_string(k) + " of " + std::to_string(writes));
            writeFile(work, before);
            {
                vfw::DBQSingle queue(work, 1, 512, 0600, 100);
                g_writes = 0;
                g_failAt = k;
                vfw::BlockFileBuf::setWriteHook(countingHook);
                EXPECT_THROW(update(queue), vfw::IOException);
                vfw::BlockFileBuf::setWriteHook(nullptr);
            }
            std::string after = readFile(work);
            bool interrupted = after[21] != 0;
            EXPECT_EQ(interrupted, k > firstMaster);
            EXPECT_EQ(strictOpenAccepts(work, dir.file("strict")), !interrupted);
            if (!interrupted) {
                EXPECT_EQ(after.substr(0, before.size()), before)
                    << "nothing of the update reached the file but a grown block at its end";
            }
            std::vector<std::string> read =
                readLeniently(work, dir.file("lenient"), committed.size() + 1);
            std::vector<std::string> expected = committed;
            if (interrupted && removing && (read.empty() || read[0] != committed[0])) {
                expected.erase(expected.begin());
            }
            ASSERT_GE(read.size(), expected.size());
            read.resize(expected.size());
            EXPECT_EQ(read, expected);
        }
    }

    vfw_test::TempDir dir;
};

TEST_F(DbqFaultTest, EveryFailingWriteOfAPushLeavesCommittedRecordsIntact) {
    std::string base = dir.file("base");
    std::string a = dbq_images::pattern(470, 1), b = dbq_images::pattern(1000, 2),
                c = dbq_images::pattern(471, 3), d = dbq_images::pattern(1000, 4);
    {
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(base, 1, 0600, true, ""));
        for (const std::string* r : {&a, &b, &c}) {
            dbq_test::enqueue(queue, *r);
        }
        queue.dequeue();  // block 1 goes to the free list: the push takes it, then grows two
    }
    sweep(
        base, [&](vfw::DBQSingle& q) { dbq_test::enqueue(q, d); }, {b, c}, false);
}

TEST_F(DbqFaultTest, EveryFailingWriteOfAPopLeavesTheOtherRecordsIntact) {
    std::string base = dir.file("base");
    std::string a = dbq_images::pattern(470, 1), b = dbq_images::pattern(1000, 2),
                c = dbq_images::pattern(471, 3);
    {
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(base, 1, 0600, true, ""));
        for (const std::string* r : {&a, &b, &c}) {
            dbq_test::enqueue(queue, *r);
        }
        queue.dequeue();  // a free list to append the popped blocks to
    }
    sweep(
        base, [](vfw::DBQSingle& q) { q.dequeue(); }, {b, c}, true);
}

TEST_F(DbqFaultTest, EveryFailingWriteOfADropOrADescriptorLeavesTheRecordsIntact) {
    std::string base = dir.file("base");
    std::string a = dbq_images::pattern(470, 1), b = dbq_images::pattern(940, 2),
                c = dbq_images::pattern(300, 3);
    {
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(base, 1, 0600, true, ""));
        dbq_test::enqueue(queue, a);
        dbq_test::enqueue(queue, b);
        queue.dequeue();
        queue.dequeue();
        dbq_test::enqueue(queue, c);  // free list: blocks 2, 3; block 3 is the file's last
    }
    sweep(
        base, [](vfw::DBQSingle& q) { q.shrink(); }, {c}, false);
    sweep(
        base, [](vfw::DBQSingle& q) { q.putDescriptor(dbq_test::bytes("d"), 1); }, {c}, false);
}

// A writer process appends and removes numbered records and reports each step through a pipe;
// it is killed at random moments and the file it leaves is checked.
struct Event {
    char kind;  // 'A': record appended (committed); 'R': removal of the head record begins
    uint64_t number;
};

std::string recordOf(uint64_t number) {
    size_t length = 8 + size_t((number * 7919) % 1700);
    std::string record = dbq_images::pattern(length, unsigned(number));
    std::memcpy(&record[0], &number, 8);
    return record;
}

uint64_t numberOf(const std::string& record) {
    uint64_t number = ~uint64_t(0);
    if (record.size() >= 8) {
        std::memcpy(&number, record.data(), 8);
    }
    return number;
}

[[noreturn]] void writer(const std::string& path, int fd, uint64_t next, unsigned seed) {
    std::mt19937 random(seed);
    vfw::DBQSingle queue(512);
    if (!queue.open(path, 1, 0600, true, "")) {
        ::_exit(3);
    }
    for (;;) {
        int64_t held = queue.count();
        bool append = held < 2 || (held < 40 && random() % 100 < 55);
        if (append) {
            dbq_test::enqueue(queue, recordOf(next));
            Event e{'A', next++};
            if (::write(fd, &e, sizeof e) != sizeof e) {
                ::_exit(4);
            }
        } else {
            Event e{'R', numberOf(dbq_test::peek(queue))};
            if (::write(fd, &e, sizeof e) != sizeof e) {
                ::_exit(4);
            }
            queue.dequeue();
        }
        if (random() % 500 == 0) {
            for (int i = 0; i < 101; ++i) {
                queue.shrink();
            }
        }
    }
}

TEST(DbqCrashTest, KilledWritersLeaveEveryCommittedRecordIntactAndInOrder) {
    vfw_test::TempDir dir;
    const std::string path = dir.file("q");
    std::mt19937 random(20240611);
    std::deque<uint64_t> model;  // records of the file, oldest first
    uint64_t next = 0;
    int kills = 0, interrupted = 0, restarts = 0;
    const auto start = std::chrono::steady_clock::now();
    while (kills < 300 && std::chrono::steady_clock::now() - start < std::chrono::seconds(50)) {
        int channel[2];
        ASSERT_EQ(::pipe(channel), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(channel[0]);
            writer(path, channel[1], next, unsigned(random()));
        }
        ::close(channel[1]);
        ::usleep(useconds_t(200 + random() % 4000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited with " << WEXITSTATUS(status);
        ++kills;

        Event e;
        bool removalPending = false;
        uint64_t removing = 0;
        while (::read(channel[0], &e, sizeof e) == ssize_t(sizeof e)) {
            removalPending = false;
            if (e.kind == 'A') {
                ASSERT_EQ(e.number, next);
                model.push_back(next++);
            } else {
                ASSERT_FALSE(model.empty());
                ASSERT_EQ(e.number, model.front());
                removing = model.front();
                model.pop_front();
                removalPending = true;
            }
        }
        ::close(channel[0]);

        std::string file = readFile(path);
        if (file.empty()) {
            // Killed while creating the file, before its master block was written: the next
            // open formats it as a new file.
            ASSERT_TRUE(model.empty());
            continue;
        }
        ASSERT_GE(file.size(), 512u);
        bool clean = file[21] == 0;
        interrupted += clean ? 0 : 1;
        ASSERT_EQ(strictOpenAccepts(path, dir.file("strict")), clean) << "after kill " << kills;
        std::vector<std::string> records =
            readLeniently(path, dir.file("lenient"), model.size() + 2);
        const bool removalUndone =
            removalPending && !records.empty() && records[0] == recordOf(removing);
        size_t at = removalUndone ? 1 : 0;
        ASSERT_GE(records.size(), at + model.size()) << "after kill " << kills;
        for (uint64_t number : model) {
            ASSERT_EQ(records[at++], recordOf(number)) << "record " << number << ", kill " << kills;
        }
        if (clean) {
            // A consistent file is used on: a step that committed without being reported
            // shows in it and becomes part of the model.
            ASSERT_LE(records.size(), at + 1);
            if (records.size() == at + 1) {
                ASSERT_EQ(records[at], recordOf(next)) << "kill " << kills;
                model.push_back(next++);
            }
            if (removalUndone) {
                model.push_front(removing);
            }
        } else {
            // An interrupted file is refused by the daemon's strict open: start a new one.
            ASSERT_EQ(::unlink(path.c_str()), 0);
            model.clear();
            ++restarts;
        }
    }
    EXPECT_GE(kills, 200);
    EXPECT_GT(interrupted, 0) << "kills should land inside updates too";
    std::cout << kills << " kills, " << interrupted << " inside an update, " << next
              << " records appended" << std::endl;
}

}  // namespace
