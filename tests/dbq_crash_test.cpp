// Crash safety of DBQSingle updates: a write that fails at every possible point of a push, a
// pop, a drop of the last block and a descriptor update, and writer processes killed with
// SIGKILL before chosen writes and at random moments.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_images::pattern;
using vfw_test::readFile;
using vfw_test::writeFile;

// Reads at most `limit` records from a copy of `path` opened without the strict check,
// stopping at the first failure: the record in flight may be damaged, the ones before count.
std::vector<std::string> readLeniently(const std::string& path, size_t limit) {
    writeFile(path + ".copy", readFile(path));
    vfw::DBQSingle queue(512);
    std::vector<std::string> records;
    EXPECT_TRUE(queue.open(path + ".copy", 1, 0600, false, ""));
    try {
        dbq_test::drainInto(queue, records, limit);
    } catch (const VFWException&) {
    }
    return records;
}

// True when a strict open of a copy of `path` succeeds; a refusal must be the unclean one.
bool strictOpenAccepts(const std::string& path) {
    writeFile(path + ".copy", readFile(path));
    vfw::DBQSingle queue(512);
    try {
        return queue.open(path + ".copy", 1, 0600, true, "");
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "DBQSingle is not shut cleanly.");
    }
    return false;
}

int g_writes = 0, g_failAt = 0;
std::vector<std::pair<int64_t, size_t>> g_writesDone;  // offset and length

bool countingHook(int, int64_t offset, size_t length) {
    g_writesDone.emplace_back(offset, length);
    return ++g_writes != g_failAt;
}

// Runs `update` on the file at `base` (held records `held`) once to count its writes, then
// once for every k with the k-th write failing. The first write into the master block (its
// first 22 bytes) marks the file interrupted and the last one, the operation byte alone,
// clears the mark. Before the mark nothing but blocks grown at the end changed; after it a
// strict open refuses the file, and a lenient one reads the held records intact, less the
// first when `removing` and the removal may have reached the file. The shrink counter starts
// at 100, so that a drop of the last block gives it back; a removal leaves it for later.
void sweep(const std::string& base, const std::function<void(vfw::DBQSingle&)>& update,
           const std::vector<std::string>& held, bool removing) {
    const std::string before = readFile(base), work = base + ".work";
    for (int k = 0, writes = 1, mark = 0; k <= writes; ++k) {
        SCOPED_TRACE("failing write " + std::to_string(k) + " of " + std::to_string(writes));
        writeFile(work, before);
        {
            vfw::DBQSingle queue(work, 1, 512, 0600, removing ? 0 : 100);
            g_writes = 0;
            g_failAt = k;
            g_writesDone.clear();
            vfw::BlockFileBuf::setWriteHook(countingHook);
            if (k == 0) {
                update(queue);
            } else {
                EXPECT_THROW(update(queue), vfw::IOException);
            }
            vfw::BlockFileBuf::setWriteHook(nullptr);
        }
        if (k == 0) {
            writes = g_writes;
            while (mark < writes && g_writesDone[size_t(mark)].first >= 512) {
                ++mark;
            }
            ASSERT_LT(mark, writes);
            EXPECT_EQ(g_writesDone[size_t(mark)], std::make_pair(int64_t(0), size_t(22)))
                << "the mark goes first";
            EXPECT_EQ(g_writesDone.back(), std::make_pair(int64_t(21), size_t(1)))
                << "and its removal last";
            continue;
        }
        const std::string after = readFile(work);
        const bool interrupted = after[21] != 0;
        EXPECT_EQ(interrupted, k > mark + 1);
        EXPECT_EQ(strictOpenAccepts(work), !interrupted);
        EXPECT_TRUE(interrupted || after.compare(0, before.size(), before) == 0)
            << "nothing of the update but a grown block at the end reached the file";
        std::vector<std::string> read = readLeniently(work, held.size() + 1), expected = held;
        if (interrupted && removing && (read.empty() || read[0] != held[0])) {
            expected.erase(expected.begin());
        }
        ASSERT_GE(read.size(), expected.size());
        read.resize(expected.size());
        EXPECT_EQ(read, expected);
    }
}

// The base file holds two records in blocks 1 and 2; block 3, its last, is the free list.
TEST(DbqFaultTest, EveryFailingWriteOfAnUpdateLeavesCommittedRecordsIntact) {
    vfw_test::TempDir dir;
    const std::string base = dir.file("base"), c = pattern(300, 3), e = pattern(470, 5);
    {
        vfw::DBQSingle queue(512);
        ASSERT_TRUE(queue.open(base, 1, 0600, true, ""));
        dbq_test::enqueue(queue, pattern(470, 1));
        dbq_test::enqueue(queue, pattern(940, 2));
        queue.dequeue();
        queue.dequeue();
        dbq_test::enqueue(queue, c);
        dbq_test::enqueue(queue, e);
    }
    // A push takes block 3 and grows two; a pop frees block 1; a drop gives back block 3.
    sweep(
        base, [](vfw::DBQSingle& q) { dbq_test::enqueue(q, pattern(1000, 4)); }, {c, e}, false);
    sweep(
        base, [](vfw::DBQSingle& q) { q.dequeue(); }, {c, e}, true);
    sweep(
        base, [](vfw::DBQSingle& q) { q.shrink(); }, {c, e}, false);
    sweep(
        base, [](vfw::DBQSingle& q) { q.putDescriptor(dbq_test::bytes("d"), 1); }, {c, e}, false);
}

// A writer process appends and removes numbered records and reports its progress through a
// pipe: 'O' open, 'A' record appended (committed), 'R' removal of the head record begins,
// 'W' stopped before a write, waiting to be killed.
struct Event {
    char kind;
    uint64_t number;
};

std::string recordOf(uint64_t number) {
    std::string record = pattern(8 + size_t((number * 7919) % 1700), unsigned(number));
    std::memcpy(&record[0], &number, 8);
    return record;
}

int g_reportFd = -1, g_stopAtWrite = 0;  // the writer's n-th block write stops it; 0: never

void report(char kind, uint64_t number) {
    Event e{kind, number};
    if (::write(g_reportFd, &e, sizeof e) != sizeof e) {
        ::_exit(4);
    }
}

bool stoppingHook(int, int64_t, size_t) {
    if (--g_stopAtWrite == 0) {
        report('W', 0);
        for (;;) {
            ::pause();
        }
    }
    return true;
}

[[noreturn]] void writer(const std::string& path, uint64_t next, unsigned seed) {
    std::mt19937 random(seed);
    vfw::BlockFileBuf::setWriteHook(g_stopAtWrite > 0 ? stoppingHook : nullptr);
    vfw::DBQSingle queue(512);
    if (!queue.open(path, 1, 0600, true, "")) {
        ::_exit(3);
    }
    report('O', 0);
    for (;;) {
        int64_t held = queue.count();
        if (held < 2 || (held < 40 && random() % 100 < 55)) {
            dbq_test::enqueue(queue, recordOf(next));
            report('A', next++);
        } else {
            uint64_t number = 0;
            std::memcpy(&number, dbq_test::peek(queue).data(), 8);
            report('R', number);
            queue.dequeue();
        }
        if (random() % 500 == 0) {
            for (int i = 0; i < 101; ++i) {
                queue.shrink();
            }
        }
    }
}

// What the parent knows of the file: the records it holds, oldest first, and a removal
// reported without a later event, which may or may not have committed.
struct Model {
    std::deque<uint64_t> records;
    uint64_t next = 0, removing = 0;
    bool removalPending = false;

    void apply(const Event& e) {
        if (e.kind == 'A') {
            ASSERT_EQ(e.number, next);
            records.push_back(next++);
            removalPending = false;
        } else if (e.kind == 'R') {
            ASSERT_FALSE(records.empty());
            ASSERT_EQ(e.number, records.front());
            removing = records.front();
            records.pop_front();
            removalPending = true;
        }
    }

    // Checks the file a killed writer left; true when the kill left an update unfinished,
    // after which the file is started anew, as the daemon's strict open would refuse it.
    bool check(const std::string& path) {
        const std::string file = readFile(path);
        if (file.empty()) {  // killed before the new file's master block was written
            EXPECT_TRUE(records.empty());
            return false;
        }
        const bool clean = file[21] == 0;
        EXPECT_EQ(strictOpenAccepts(path), clean);
        std::vector<std::string> read = readLeniently(path, records.size() + 2);
        const bool undone = removalPending && !read.empty() && read[0] == recordOf(removing);
        size_t at = undone ? 1 : 0;
        for (uint64_t number : records) {
            EXPECT_TRUE(at < read.size() && read[at++] == recordOf(number))
                << "record " << number << " lost or damaged";
        }
        if (!clean) {
            EXPECT_EQ(::unlink(path.c_str()), 0);
            records.clear();
        } else if (read.size() > at) {
            // A step that committed without being reported: the file goes on with it.
            EXPECT_EQ(read.size(), at + 1);
            EXPECT_EQ(read[at], recordOf(next));
            records.push_back(next++);
        }
        if (clean && undone) {
            records.push_front(removing);
        }
        removalPending = false;
        return !clean;
    }
};

// Half the writers are stopped before a chosen block write and killed there, so that kills
// land between every pair of writes of an update; the others are killed at a random moment
// after a random number of reported steps, which also cuts copies into the mapped file
// anywhere. Both are driven by what the writer reported, never by the clock.
TEST(DbqCrashTest, KilledWritersLeaveEveryCommittedRecordIntactAndInOrder) {
    vfw_test::TempDir dir;
    const std::string path = dir.file("q");
    std::mt19937 random(20240611);
    Model model;
    int inside[2] = {0, 0};
    for (int kill = 0; kill < 300; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const bool atWrite = kill % 2 == 0;
        const unsigned seed = unsigned(random());
        const int stopAt = atWrite ? int(1 + random() % 40) : 0, reports = 1 + int(random() % 12);
        int channel[2];
        ASSERT_EQ(::pipe(channel), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(channel[0]);
            g_reportFd = channel[1];
            g_stopAtWrite = stopAt;
            writer(path, model.next, seed);
        }
        ::close(channel[1]);
        // A writer that reports nothing for a minute is taken for hung; no verdict rests on it.
        auto next = [&](Event& e) {
            pollfd p{channel[0], POLLIN, 0};
            if (::poll(&p, 1, 60000) != 1) {
                ADD_FAILURE() << "the writer reported nothing for 60 s";
                return false;
            }
            return ::read(channel[0], &e, sizeof e) == ssize_t(sizeof e);
        };
        Event e;
        for (int seen = 0; seen < reports && next(e);) {
            ASSERT_NO_FATAL_FAILURE(model.apply(e));
            seen = e.kind == 'W' ? reports : seen + (atWrite ? 0 : 1);
        }
        for (volatile uint32_t spin = random() % 20000; spin > 0; spin = spin - 1) {
        }
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer exited with " << WEXITSTATUS(status);
        while (next(e)) {
            ASSERT_NO_FATAL_FAILURE(model.apply(e));
        }
        ::close(channel[0]);
        inside[atWrite] += model.check(path) ? 1 : 0;
        ASSERT_FALSE(HasFailure());
    }
    std::cout << "300 kills inside an update: " << inside[1] << " of 150 before a chosen write, "
              << inside[0] << " of 150 at random moments; " << model.next << " records appended"
              << std::endl;
    // Which writes fall inside an update follows from the commit protocol alone; a stop at
    // one of the first 40 writes lands inside one for most choices.
    EXPECT_GE(inside[1], 150 / 4);
}

}  // namespace
