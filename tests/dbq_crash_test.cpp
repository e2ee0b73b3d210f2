// Crash safety of DBQSingle updates: a write that fails at every possible point of a push, a
// pop, a drop of the last block and a descriptor update, and writer processes killed with
// SIGKILL before chosen writes and at random moments.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
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

// Whether a strict open of a copy of `path` accepts it (a refusal must be the unclean one),
// and the records, at most `limit`, that a lenient open of another copy reads up to the first
// failure: the record in flight may be damaged, the ones before it count.
std::vector<std::string> readCopies(const std::string& path, size_t limit, bool& strictAccepts) {
    const std::string copy = path + ".copy";
    writeFile(copy, readFile(path));
    vfw::DBQSingle strict(512), lenient(512);
    try {
        strictAccepts = strict.open(copy, 1, 0600, true, "");
    } catch (const vfw::IOException& e) {
        EXPECT_STREQ(e.what(), "DBQSingle is not shut cleanly.");
        strictAccepts = false;
    }
    strict.close();
    writeFile(copy, readFile(path));
    std::vector<std::string> records;
    EXPECT_TRUE(lenient.open(copy, 1, 0600, false, ""));
    try {
        dbq_test::drainInto(lenient, records, limit);
    } catch (const VFWException&) {
    }
    return records;
}

int g_writes = 0, g_failAt = 0;
std::vector<std::pair<int64_t, size_t>> g_writesDone;  // offset and length

bool countingHook(int, int64_t offset, size_t length) {
    g_writesDone.emplace_back(offset, length);
    return ++g_writes != g_failAt;
}

// Runs `update` on the file at `base`, holding the records `held`, once to count its writes,
// then once for every k with the k-th write failing. The first write into the master block (its
// first 22 bytes) marks the file interrupted and the last, the operation byte alone, clears the
// mark. Before the mark nothing but blocks grown at the end reached the file; after it a strict
// open refuses the file and a lenient one reads the held records intact, less the first when
// `removing` and the removal reached the file. The shrink counter starts at 100, so that a drop
// of the last block gives it back; a removal leaves its drop for later.
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
            for (writes = int(g_writesDone.size()); g_writesDone[size_t(mark)].first >= 512;) {
                ++mark;
            }
            EXPECT_EQ(g_writesDone[size_t(mark)], std::make_pair(int64_t(0), size_t(22)));
            EXPECT_EQ(g_writesDone.back(), std::make_pair(int64_t(21), size_t(1)));
            continue;
        }
        const std::string after = readFile(work);
        const bool interrupted = after[21] != 0;
        bool accepted = false;
        std::vector<std::string> read = readCopies(work, held.size() + 1, accepted),
                                 expected = held;
        EXPECT_EQ(interrupted, k > mark + 1);
        EXPECT_EQ(accepted, !interrupted);
        EXPECT_TRUE(interrupted || after.compare(0, before.size(), before) == 0);
        if (interrupted && removing && (read.empty() || read[0] != held[0])) {
            expected.erase(expected.begin());
        }
        ASSERT_GE(read.size(), expected.size());
        read.resize(expected.size());
        EXPECT_TRUE(read == expected);
    }
}

// The base file holds two records in blocks 1 and 2; block 3, its last, is the free list. A
// push takes block 3 and grows two, a pop frees block 1, a drop gives back block 3.
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
    sweep(
        base, [](vfw::DBQSingle& q) { dbq_test::enqueue(q, pattern(1000, 4)); }, {c, e}, false);
    sweep(
        base, [](vfw::DBQSingle& q) { q.dequeue(); }, {c, e}, true);
    sweep(
        base, [](vfw::DBQSingle& q) { q.shrink(); }, {c, e}, false);
    sweep(
        base, [](vfw::DBQSingle& q) { q.putDescriptor(dbq_test::bytes("d"), 1); }, {c, e}, false);
}

// A writer process appends and removes records numbered from `next` on and reports each step
// through a pipe: 'A' n appended (committed), 'R' n removal of the head record n begins, 'W'
// stopped before its chosen block write, waiting to be killed.
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
        if (queue.count() < 2 || (queue.count() < 40 && random() % 100 < 55)) {
            dbq_test::enqueue(queue, recordOf(next));
            report('A', next++);
        } else {
            uint64_t head = 0;
            std::memcpy(&head, dbq_test::peek(queue).data(), 8);
            report('R', head);
            queue.dequeue();
        }
        for (int i = random() % 500 == 0 ? 0 : 101; i < 101; ++i) {
            queue.shrink();  // now and then enough calls to give back a free last block
        }
    }
}

// What the parent knows: the file holds the records first..next-1, and a removal reported
// last (of first - 1) may or may not have committed; so may an append not yet reported.
struct Model {
    uint64_t first = 0, next = 0;
    bool removing = false;

    void apply(const Event& e) {
        if (e.kind == 'A') {
            ASSERT_EQ(e.number, next++);
            removing = false;
        } else if (e.kind == 'R') {
            ASSERT_TRUE(first < next && e.number == first++);
            removing = true;
        }
    }

    // Checks the file a killed writer left; true when the kill left an update unfinished, after
    // which the file is started anew, as the daemon's strict open would refuse it.
    bool check(const std::string& path) {
        const std::string file = readFile(path);
        const bool clean = file.size() <= 21 || file[21] == 0;  // empty: killed creating it
        bool accepted = false;
        std::vector<std::string> read = readCopies(path, size_t(next - first) + 2, accepted);
        const uint64_t start =
            removing && !read.empty() && read[0] == recordOf(first - 1) ? first - 1 : first;
        EXPECT_EQ(accepted, clean);
        EXPECT_GE(read.size(), next - start) << "records lost";
        for (size_t i = 0; i < read.size() && start + i < next + (clean ? 1 : 0); ++i) {
            EXPECT_TRUE(read[i] == recordOf(start + i)) << "record " << start + i << " damaged";
        }
        EXPECT_TRUE(!clean || read.size() <= next + 1 - start) << "one unreported append at most";
        first = clean ? start : next;
        next = clean ? start + read.size() : next;
        removing = false;
        if (!clean) {
            EXPECT_EQ(::unlink(path.c_str()), 0);
        }
        return !clean;
    }
};

// Half the writers are stopped before a chosen block write and killed there, so that kills land
// between every pair of writes of an update; the others are killed at a random moment after a
// random number of reported steps, which also cuts copies into the mapped file anywhere. Both
// are driven by what the writer reported, never by the clock.
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
        const pid_t pid = ::fork();
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
    // Which writes fall inside an update follows from the commit protocol alone; a stop at one
    // of the first 40 writes lands inside one for most choices.
    EXPECT_GE(inside[1], 150 / 4);
}

}  // namespace
