// Crash safety of DBQSingle updates: a write that fails at every possible point of an
// update, and a writer process killed with SIGKILL at random moments.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <stdexcept>
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

// A writer process appends and removes numbered records and reports its progress through a
// pipe; the parent kills it, driven by that progress, and checks the file it leaves.
struct Event {
    char kind;  // 'O': file open; 'A': record appended (committed); 'R': removal of the head
                // record begins; 'W': stopped before a write, waiting to be killed
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

int g_reportFd = -1;
int g_stopAtWrite = 0;  // the writer's n-th block write stops it; 0: never

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
    if (g_stopAtWrite > 0) {
        vfw::BlockFileBuf::setWriteHook(stoppingHook);
    }
    vfw::DBQSingle queue(512);
    if (!queue.open(path, 1, 0600, true, "")) {
        ::_exit(3);
    }
    report('O', 0);
    for (;;) {
        int64_t held = queue.count();
        bool append = held < 2 || (held < 40 && random() % 100 < 55);
        if (append) {
            dbq_test::enqueue(queue, recordOf(next));
            report('A', next++);
        } else {
            report('R', numberOf(dbq_test::peek(queue)));
            queue.dequeue();
        }
        if (random() % 500 == 0) {
            for (int i = 0; i < 101; ++i) {
                queue.shrink();
            }
        }
    }
}

// The parent's side of one writer: its pid and the events it reported.
class WriterRun {
  public:
    WriterRun(const std::string& path, uint64_t next, unsigned seed, int stopAtWrite) {
        int channel[2];
        if (::pipe(channel) != 0) {
            throw std::runtime_error("pipe failed");
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(channel[0]);
            g_reportFd = channel[1];
            g_stopAtWrite = stopAtWrite;
            writer(path, next, seed);
        }
        ::close(channel[1]);
        m_fd = channel[0];
    }
    ~WriterRun() { ::close(m_fd); }

    // The next event; false at the end of the stream. A writer that reports nothing for a
    // minute is taken for hung (no verdict rests on this bound).
    bool nextEvent(Event& e) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 60000) != 1) {
            ADD_FAILURE() << "the writer reported nothing for 60 s";
            return false;
        }
        return ::read(m_fd, &e, sizeof e) == ssize_t(sizeof e);
    }

    // Kills the writer and waits for it; false when it had ended by itself.
    bool kill() {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "writer exited with " << WEXITSTATUS(status);
        return WIFSIGNALED(status);
    }

  private:
    pid_t m_pid = -1;
    int m_fd = -1;
};

// What the parent knows of the file: the records it holds, oldest first, and the removal
// that was reported last without a later event, which may or may not have committed.
struct Model {
    std::deque<uint64_t> records;
    uint64_t next = 0;
    bool removalPending = false;
    uint64_t removing = 0;

    void apply(const Event& e) {
        if (e.kind == 'A') {
            removalPending = false;
            ASSERT_EQ(e.number, next);
            records.push_back(next++);
        } else if (e.kind == 'R') {
            ASSERT_FALSE(records.empty());
            ASSERT_EQ(e.number, records.front());
            removing = records.front();
            records.pop_front();
            removalPending = true;
        }
    }
};

// Checks the file a killed writer left against the model; returns true when the kill left
// an update unfinished (the operation byte set), after which the file is started anew.
bool checkLeftFile(const vfw_test::TempDir& dir, const std::string& path, Model& model) {
    std::string file = readFile(path);
    if (file.empty()) {
        // Killed while creating the file, before its master block was written: the next
        // open formats it as a new file.
        EXPECT_TRUE(model.records.empty());
        return false;
    }
    EXPECT_GE(file.size(), 512u);
    const bool clean = file[21] == 0;
    EXPECT_EQ(strictOpenAccepts(path, dir.file("strict")), clean);
    std::vector<std::string> records =
        readLeniently(path, dir.file("lenient"), model.records.size() + 2);
    const bool removalUndone =
        model.removalPending && !records.empty() && records[0] == recordOf(model.removing);
    size_t at = removalUndone ? 1 : 0;
    EXPECT_GE(records.size(), at + model.records.size());
    for (uint64_t number : model.records) {
        if (at >= records.size() || records[at] != recordOf(number)) {
            ADD_FAILURE() << "record " << number << " lost or damaged";
            return !clean;
        }
        ++at;
    }
    if (clean) {
        // A consistent file is used on: a step that committed without being reported
        // shows in it and becomes part of the model.
        EXPECT_LE(records.size(), at + 1);
        if (records.size() == at + 1) {
            EXPECT_EQ(records[at], recordOf(model.next));
            model.records.push_back(model.next++);
        }
        if (removalUndone) {
            model.records.push_front(model.removing);
        }
    } else {
        // An interrupted file is refused by the daemon's strict open: start a new one.
        EXPECT_EQ(::unlink(path.c_str()), 0);
        model.records.clear();
    }
    model.removalPending = false;
    return !clean;
}

// Half the writers are stopped before a chosen block write and killed there, so that kills
// land between every pair of writes of an update; the others are killed at a random moment
// after a random number of reported commits, which also cuts copies into the mapped file
// anywhere. Both are driven by what the writer reported, never by the clock.
TEST(DbqCrashTest, KilledWritersLeaveEveryCommittedRecordIntactAndInOrder) {
    vfw_test::TempDir dir;
    const std::string path = dir.file("q");
    std::mt19937 random(20240611);
    Model model;
    const int kKills = 300;
    int atWrite = 0, atWriteInside = 0, atMoment = 0, atMomentInside = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const bool stopAtWrite = kill % 2 == 0;
        WriterRun run(path, model.next, unsigned(random()),
                      stopAtWrite ? int(1 + random() % 40) : 0);
        // Progress reports to wait for: the open, then up to 11 steps.
        const int reports = 1 + int(random() % 12);
        Event e;
        for (int seen = 0; seen < reports && run.nextEvent(e);) {
            ASSERT_NO_FATAL_FAILURE(model.apply(e));
            seen = e.kind == 'W' ? reports : seen + (stopAtWrite ? 0 : 1);
        }
        for (volatile uint32_t spin = random() % 20000; spin > 0; spin = spin - 1) {
        }
        ASSERT_TRUE(run.kill());
        while (run.nextEvent(e)) {
            ASSERT_NO_FATAL_FAILURE(model.apply(e));
        }
        const bool inside = checkLeftFile(dir, path, model);
        ASSERT_FALSE(HasFailure());
        (stopAtWrite ? atWrite : atMoment) += 1;
        (stopAtWrite ? atWriteInside : atMomentInside) += inside ? 1 : 0;
    }
    std::cout << kKills << " kills: " << atWriteInside << " of " << atWrite
              << " before a chosen write and " << atMomentInside << " of " << atMoment
              << " at random moments inside an update; " << model.next << " records appended"
              << std::endl;
    // Which writes fall inside an update follows from the commit protocol alone; a
    // stop at the first 40 writes lands inside one for most choices.
    EXPECT_GE(atWriteInside, atWrite / 4);
}

}  // namespace
