// DBQSingle::dumpRawFile: golden texts of the raw block lines, the totals and the counts
// verdict on both streams in order, the free-list walk and its bound, and files that cannot be
// dumped: missing, a directory, a FIFO, empty, cut short, or with an impossible block size.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_dump_test::capture;
using dbq_dump_test::childOutput;
using dbq_dump_test::Outcome;
using dbq_images::be32;
using dbq_images::Data;
using dbq_images::dataImage;
using dbq_images::Master;
using dbq_images::masterImage;
using vfw_test::writeFile;

Data make(int32_t id, int32_t next, uint32_t sizeOrPrevious, bool spanning, bool free) {
    Data d;
    d.id = id;
    d.next = next;
    d.sizeOrPrevious = sizeOrPrevious;
    d.spanning = spanning;
    d.free = free;
    return d;
}

// A block that is no block: type 99, id 77.
std::string garbage() {
    std::string b(512, '\0');
    be32(b, 0, 77);
    b[4] = char(99);
    return b;
}

class DbqRawDumpTest : public ::testing::Test {
  protected:
    std::string path() const { return dir.file("q"); }
    Outcome raw() {
        return capture([&] { vfw::DBQSingle::dumpRawFile(path()); });
    }

    // Record A in blocks 1 and 2, a block that is no block (4), and the free list 3 -> 5 whose
    // first block still carries the spanning flag of the record it once held.
    void writeMixed(int32_t count) {
        Master m;
        m.head = 1;
        m.tail = 2;
        m.count = count;
        m.dataSize = 600;
        m.freeHead = 3;
        m.freeTail = 5;
        writeFile(path(), masterImage(m) + dataImage(make(1, 2, 600, true, false)) +
                              dataImage(make(2, 0, 600, false, false)) +
                              dataImage(make(3, 5, 0, true, true)) + garbage() +
                              dataImage(make(5, 0, 3, false, true)));
    }

    std::string mixedText(int32_t count, const char* verdict) const {
        return "dumping raw file " + path() +
               "\n"
               "Header ID: 0 Header Type: masterX Head: 1 Tail: 2\n"
               "Free Head: 3 Free Tail: 5 Operation: 0 Count: " +
               std::to_string(count) +
               " Size: 600\n"
               "Block 1 Header ID: 1 Header Type: dataX Next: 2 Size: 600 Flags: spanning in-use\n"
               "Block 2 Header ID: 2 Header Type: dataX Next: 0 Size: 600 Flags:  in-use "
               "not-sequential\n"
               "Block 3 Header ID: 3 Header Type: dataX Next: 5 Previous 0 Flags: spanning free "
               "not-sequential\n"
               "Block 4 Header ID: 77 Header Type: unknown Next: 0 Size: 0 Flags:  in-use "
               "not-sequential\n"
               "Block 5 Header ID: 5 Header Type: dataX Next: 0 Previous 3 Flags:  free "
               "not-sequential\n"
               "all blocks read.\n"
               "Total number of data blocks: 5\n"
               "Total number of spanning blocks: 2\n"
               "Total number of inuse spanning blocks: 1\n"
               "Total number of free blocks: 2\n" +
               verdict +
               "Dumping free list: \n"
               "Block 3 Header ID: 3 Header Type: dataX Next: 5 Previous 0 Flags: spanning free "
               "not-sequential\n"
               "Block 5 Header ID: 5 Header Type: dataX Next: 0 Previous 3 Flags:  free "
               "not-sequential\n"
               "Total free blocks read: 2\n";
    }

    vfw_test::TempDir dir;
};

// 5 blocks - 2 free - 1 in-use spanning = 2 records by the raw count (the garbage block ends
// one); the verdict goes to standard output, then to standard error, before the free list.
TEST_F(DbqRawDumpTest, CountsMatch) {
    writeMixed(2);
    Outcome outcome = raw();
    EXPECT_EQ(outcome.out, mixedText(2, "*** Counts match!! ***\n"));
    EXPECT_EQ(outcome.err, "*** Counts match!! ***\n");
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(childOutput([&] { vfw::DBQSingle::dumpRawFile(path()); }),
              mixedText(2, "*** Counts match!! ***\n*** Counts match!! ***\n"));
}

TEST_F(DbqRawDumpTest, CountsDoNotMatch) {
    writeMixed(1);
    Outcome outcome = raw();
    EXPECT_EQ(outcome.out, mixedText(1, "*** Counts do not match ****\n"));
    EXPECT_EQ(outcome.err, "*** Counts do not match ****\n");
    EXPECT_EQ(childOutput([&] { vfw::DBQSingle::dumpRawFile(path()); }),
              mixedText(1, "*** Counts do not match ****\n*** Counts do not match ****\n"));
}

TEST_F(DbqRawDumpTest, BasicFile) {
    Master m;
    m.basic = true;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.dataSize = 9;
    Data d = make(1, 0, 9, false, false);
    d.basic = true;
    writeFile(path(), masterImage(m) + dataImage(d));
    EXPECT_EQ(raw().out, "dumping raw file " + path() +
                             "\n"
                             "Header ID: 0 Header Type: master Head: 1 Tail: 1\n"
                             "Free Head: 0 Free Tail: 0 Operation: 0 Count: 1 Size: 9\n"
                             "Block 1 Header ID: 1 Header Type: data Next: 0 Size: 9 Flags:  "
                             "in-use not-sequential\n"
                             "all blocks read.\n"
                             "Total number of data blocks: 1\n"
                             "Total number of spanning blocks: 0\n"
                             "Total number of inuse spanning blocks: 0\n"
                             "Total number of free blocks: 0\n"
                             "*** Counts match!! ***\n"
                             "Dumping free list: \n"
                             "Total free blocks read: 0\n");
}

const char* const TOTALS_OF_THREE =
    "all blocks read.\n"
    "Total number of data blocks: 3\n"
    "Total number of spanning blocks: 0\n"
    "Total number of inuse spanning blocks: 0\n"
    "Total number of free blocks: 2\n"
    "*** Counts match!! ***\n"
    "Dumping free list: \n";

// Block 1 holds a record; 2 and 3 are free and point at each other. The walk stops after as
// many blocks as the file has.
TEST_F(DbqRawDumpTest, FreeListWalkIsBoundedByTheTotal) {
    Master m;
    m.head = 1;
    m.tail = 1;
    m.count = 1;
    m.freeHead = 2;
    m.freeTail = 3;
    writeFile(path(), masterImage(m) + dataImage(make(1, 0, 4, false, false)) +
                          dataImage(make(2, 3, 3, false, true)) +
                          dataImage(make(3, 2, 2, false, true)));
    std::string out = raw().out;
    const std::string two =
        "Block 2 Header ID: 2 Header Type: dataX Next: 3 Previous 3 Flags:  free\n";
    const std::string three =
        "Block 3 Header ID: 3 Header Type: dataX Next: 2 Previous 2 Flags:  free "
        "not-sequential\n";
    std::string tail =
        std::string(TOTALS_OF_THREE) + two + three + two + "Total free blocks read: 3\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(DbqRawDumpTest, FreeListWalkEndings) {
    struct Case {
        const char* name;
        int32_t freeHead;
        const char* ending;
    };
    const Case cases[] = {
        {"used block on the list", 1,
         "Block 1 Header ID: 1 Header Type: dataX Next: 0 Size: 4 Flags:  in-use "
         "not-sequential\n"
         "Error:  block in free block list is not free!!\n"
         "Total free blocks read: 0\n"},
        {"past the end", 9, "all blocks read.\nTotal free blocks read: 0\n"},
        {"negative", -4, "Error in reading data.\nTotal free blocks read: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Master m;
        m.head = 1;
        m.tail = 1;
        m.count = 1;
        m.freeHead = c.freeHead;
        m.freeTail = 3;
        writeFile(path(), masterImage(m) + dataImage(make(1, 0, 4, false, false)) +
                              dataImage(make(2, 3, 0, false, true)) +
                              dataImage(make(3, 0, 2, false, true)));
        std::string out = raw().out;
        std::string tail = std::string(TOTALS_OF_THREE) + c.ending;
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

// A last block cut short ends the block loop like the end of the file.
TEST_F(DbqRawDumpTest, FileCutInsideABlock) {
    Master m;
    m.freeHead = 1;
    m.freeTail = 1;
    writeFile(path(),
              masterImage(m) + dataImage(make(1, 0, 0, false, true)) + std::string(100, 'z'));
    EXPECT_EQ(raw().out, "dumping raw file " + path() +
                             "\n"
                             "Header ID: 0 Header Type: masterX Head: 0 Tail: 0\n"
                             "Free Head: 1 Free Tail: 1 Operation: 0 Count: 0 Size: 0\n"
                             "Block 1 Header ID: 1 Header Type: dataX Next: 0 Previous 0 Flags:  "
                             "free not-sequential\n"
                             "all blocks read.\n"
                             "Total number of data blocks: 1\n"
                             "Total number of spanning blocks: 0\n"
                             "Total number of inuse spanning blocks: 0\n"
                             "Total number of free blocks: 1\n"
                             "*** Counts match!! ***\n"
                             "Dumping free list: \n"
                             "Block 1 Header ID: 1 Header Type: dataX Next: 0 Previous 0 Flags:  "
                             "free not-sequential\n"
                             "Total free blocks read: 1\n");
}

// A recorded block size too small for a block header (or absurdly large) cannot be read by:
// the block loop ends at once as a failed read.
TEST_F(DbqRawDumpTest, ImpossibleBlockSize) {
    for (int32_t size : {7, -512, 1 << 30}) {
        SCOPED_TRACE(size);
        Master m;
        m.blockSize = size;
        m.count = 0;
        writeFile(path(), masterImage(m) + dataImage(make(1, 0, 0, false, false)));
        EXPECT_EQ(raw().out, "dumping raw file " + path() +
                                 "\n"
                                 "Header ID: 0 Header Type: masterX Head: 0 Tail: 0\n"
                                 "Free Head: 0 Free Tail: 0 Operation: 0 Count: 0 Size: 0\n"
                                 "Error in reading data.\n"
                                 "Total number of data blocks: 0\n"
                                 "Total number of spanning blocks: 0\n"
                                 "Total number of inuse spanning blocks: 0\n"
                                 "Total number of free blocks: 0\n"
                                 "*** Counts match!! ***\n"
                                 "Dumping free list: \n"
                                 "Total free blocks read: 0\n");
    }
}

// A file of 1024-byte blocks is read in 1024-byte blocks after the 512-byte master read.
TEST_F(DbqRawDumpTest, RecordedBlockSizeIsUsed) {
    Master m;
    m.blockSize = 1024;
    m.count = 1;
    const std::string pad(512, '\0');
    writeFile(path(), masterImage(m) + pad + dataImage(make(1, 0, 5, false, false)) + pad);
    std::string out = raw().out;
    EXPECT_NE(out.find("Block 1 Header ID: 1 Header Type: dataX Next: 0 Size: 5 Flags:  in-use "
                       "not-sequential\nall blocks read.\nTotal number of data blocks: 1\n"),
              std::string::npos)
        << out;
}

TEST_F(DbqRawDumpTest, EmptyFileThrowsFromTheMasterRead) {
    writeFile(path(), "");
    Outcome outcome = raw();
    EXPECT_EQ(outcome.out, "dumping raw file " + path() +
                               "\n"
                               "Read for block 0 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n");
    EXPECT_EQ(outcome.error, "IOException: Block 0 read failed (fs.read)");
    EXPECT_EQ(childOutput([&] { vfw::DBQSingle::dumpRawFile(path()); }),
              outcome.out + "caught: Block 0 read failed (fs.read)\n");
}

// Paths that cannot be opened as a queue file: the perror line on standard error, after the
// first line on standard output, and no hang on a FIFO without a writer.
TEST_F(DbqRawDumpTest, PathsThatCannotBeOpened) {
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* error;
    };
    const Case cases[] = {
        {dir.file("missing"), "No such file or directory"},
        {dir.path(), "Is a directory"},
        {dir.file("fifo"), "Invalid argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(childOutput([&] { vfw::DBQSingle::dumpRawFile(c.path); }),
                  "dumping raw file " + c.path + "\nCannot open database file.: " + c.error + "\n");
    }
}

// Standard output that cannot be written (closed): flushing it before the perror line fails,
// and the line still names the open's error, not the flush's.
TEST_F(DbqRawDumpTest, PerrorNamesTheOpenErrorWhenStandardOutputFails) {
    std::string errors = dir.file("errors");
    std::string missing = dir.file("missing");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 2) < 0) {
            ::_exit(3);
        }
        ::close(1);
        vfw::DBQSingle::dumpRawFile(missing);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(vfw_test::readFile(errors),
              "Cannot open database file.: No such file or directory\n");
}

}  // namespace
