// Crash safety of DBQSingle updates: each write of a push, pop, drop or descriptor update fails
// in turn or its writer is SIGKILLed before it; writers are killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "vfw/dbq.h"
#include "vfw/dbq_seam.h"

namespace {

using dbq_images::pattern;
using vfw_test::readFile;
using vfw_test::writeFile;

int g_writes = 0, g_stopAt = 0;                        // the write to fail or stop at; 0: none
bool g_kill = false;                                   // in a writer process: die there
std::vector<std::pair<int64_t, size_t>> g_writesDone;  // offset and length

// Fails the chosen write, or in a writer process dies before it.
bool hook(int, int64_t offset, size_t length) {
    g_writesDone.emplace_back(offset, length);
    if (++g_writes == g_stopAt && g_kill) {
        ::raise(SIGKILL);
    }
    return g_writes != g_stopAt;
}

class DbqCrashTest : public ::testing::Test {
  protected:
    // The base file holds the records c and e in blocks 1 and 2; block 3, its last, is free.
    void SetUp() override {
        vfw::DBQSingle queue(work, 1, 512, 0600, 0);
        dbq_test::enqueue(queue, pattern(470, 1));
        dbq_test::enqueue(queue, pattern(940, 2));
        dbq_test::drain(queue);
        dbq_test::enqueue(queue, c);
        dbq_test::enqueue(queue, e);
        before = readFile(work);
    }

    // Update `u` (0 push, 1 pop, 2 drop, 3 descriptor) on a copy of the base, write `stopAt`
    // failing (0: none) or killing the writer; only a drop gives back the last block.
    void runOnCopy(int u, int stopAt, bool killed) {
        writeFile(work, before);
        g_writes = 0;
        g_stopAt = stopAt;
        g_writesDone.clear();
        const pid_t pid = killed ? ::fork() : -1;
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed";
            return;
        }
        g_kill = pid == 0;
        vfw::seam::setBlockWriteHook(hook);
        try {
            vfw::DBQSingle q(work, 1, 512, 0600, u == 1 ? 0 : 100);
            u == 0   ? dbq_test::enqueue(q, pattern(1000, 4))
            : u == 1 ? q.dequeue()
            : u == 2 ? q.shrink()
                     : q.putDescriptor(dbq_test::bytes("d"), 1);
            EXPECT_EQ(stopAt, 0);
        } catch (const vfw::IOException&) {
            EXPECT_NE(stopAt, 0);
        }
        vfw::seam::setBlockWriteHook(nullptr);
        if (pid == 0) {
            ::_exit(4);  // the chosen write never came
        }
    }

    // A strict open refuses the file exactly when `marked`; returned: up to `limit` records a
    // lenient open of a copy reads before the first failure.
    std::vector<std::string> readCopy(bool marked, size_t limit) {
        writeFile(work + ".copy", readFile(work));
        vfw::DBQSingle strict(512), lenient(512);
        try {
            EXPECT_TRUE(strict.open(work, 1, 0600, true, ""));
        } catch (const vfw::IOException& e) {
            EXPECT_STREQ(e.what(), "DBQSingle is not shut cleanly.");
        }
        EXPECT_EQ(strict.isOpen(), !marked);
        EXPECT_TRUE(lenient.open(work + ".copy", 1, 0600, false, ""));
        std::vector<std::string> read;
        try {
            dbq_test::drain(lenient, limit, &read);
        } catch (const VFWException&) {
        }
        return read;
    }

    vfw_test::TempDir dir;
    const std::string work = dir.file("work");
    const std::string c = pattern(300, 3), e = pattern(470, 5);
    std::string before;
};

// The first master write (22 bytes) marks the file, the last (byte 21) clears it. Stopped at any
// write, the file is marked from the mark on, else unchanged but for grown blocks; c, e intact.
TEST_F(DbqCrashTest, EveryWriteOfAnUpdateMayFailOrBeTheLast) {
    for (int u = 0; u < 4; ++u) {
        runOnCopy(u, 0, false);
        const int writes = g_writes;
        const int mark = int(std::find_if(g_writesDone.begin(), g_writesDone.end(),
                                          [](const auto& w) { return w.first < 512; }) -
                             g_writesDone.begin());
        ASSERT_LT(mark, writes);
        EXPECT_EQ(g_writesDone[size_t(mark)], std::make_pair(int64_t(0), size_t(22))) << u;
        EXPECT_EQ(g_writesDone.back(), std::make_pair(int64_t(21), size_t(1))) << u;
        for (int k = 1; k <= writes; ++k) {
            for (bool killed : {false, true}) {
                SCOPED_TRACE(testing::Message() << u << (killed ? " killed" : " failing") << " at "
                                                << k << " of " << writes);
                runOnCopy(u, k, killed);
                const std::string after = readFile(work);
                const bool marked = after[21] != 0;
                EXPECT_EQ(marked, k > mark + 1);
                EXPECT_TRUE(marked || after.compare(0, before.size(), before) == 0);
                std::vector<std::string> read = readCopy(marked, 3), expected = {c, e};
                if (u == 1 && (read.empty() || read[0] != c)) {
                    expected.erase(expected.begin());
                }
                EXPECT_GE(read.size(), expected.size()) << "records lost";
                read.resize(std::min(read.size(), expected.size()));
                EXPECT_TRUE(read == expected) << "records damaged";
            }
        }
    }
}

// A writer pushes 0, 1, 2, ..., pops every third step, reports each, and is killed at random:
// the records from the last reported pop (or one before) on are intact and in order, at least
// to the last reported push and, unmarked, at most one more.
TEST_F(DbqCrashTest, WritersKilledAtRandomMomentsLeaveTheRecordsIntact) {
    auto recordOf = [](uint32_t n) {
        return std::to_string(n) + ":" + pattern(8 + n * 7919 % 1700, n);
    };
    std::mt19937 random(20240611);
    for (int kill = 0; kill < 200; ++kill) {
        writeFile(work, "");
        int channel[2];
        ASSERT_EQ(::pipe(channel), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            vfw::DBQSingle queue(work, 1, 512, 0600, 0);
            for (uint32_t n = 0;; ++n) {
                if (n % 3 == 2 && ::write(channel[1], "R", 1) == 1) {
                    queue.dequeue();
                }
                dbq_test::enqueue(queue, recordOf(n));
                if (::write(channel[1], "A", 1) != 1) {
                    ::_exit(4);
                }
            }
        }
        ::close(channel[1]);
        uint32_t done[2] = {0, 0}, wait = random() % 12;  // pushes and pops reported
        char step = 0;
        while (done[0] + done[1] < wait && ::read(channel[0], &step, 1) == 1) {
            ++done[step == 'R'];
        }
        for (volatile uint32_t spin = random() % 20000; spin > 0; spin = spin - 1) {
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        while (::read(channel[0], &step, 1) == 1) {
            ++done[step == 'R'];
        }
        ::close(channel[0]);
        const std::string file = readFile(work);
        const bool marked = file.size() > 21 && file[21] != 0;
        std::vector<std::string> read = readCopy(marked, done[0] + 2);
        const uint32_t first = read.empty() ? done[1] : uint32_t(std::stoul(read[0]));
        EXPECT_TRUE(first == done[1] || (step == 'R' && first + 1 == done[1])) << first;
        EXPECT_GE(read.size() + first, done[0]) << "records lost";
        EXPECT_TRUE(marked || read.size() + first <= done[0] + 1);
        for (uint32_t i = 0; i < read.size() && first + i < done[0] + (marked ? 0 : 1); ++i) {
            EXPECT_TRUE(read[i] == recordOf(first + i)) << "record " << first + i << " damaged";
        }
        ASSERT_FALSE(HasFailure()) << "kill " << kill;
    }
}

}  // namespace
