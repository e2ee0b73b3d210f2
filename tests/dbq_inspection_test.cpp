// Queue file inspections (dump, dumpAccounting, raw dump, integrity check): golden texts, payload
// rendering, every check finding, stream order.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"
#include "vfw/dbq_seam.h"

namespace {

using dbq_images::Data;
using dbq_images::Master;

Master master(int32_t head, int32_t tail, int32_t count, uint64_t dataSize, int32_t freeHead = 0,
              int32_t freeTail = 0, bool basic = false) {
    return {head, tail, freeHead, freeTail, 0, count, dataSize, 0, 0, 512, "", basic};
}

// `flags`: 's' spanning, 'f' free.
Data data(int32_t id, int32_t next, int64_t sizeOrPrevious, const char* flags = "",
          const std::string& payload = "", int32_t spanSeq = 0, uint32_t age = 0) {
    const bool spans = std::strchr(flags, 's') != nullptr,
               free = std::strchr(flags, 'f') != nullptr;
    return {id, next, uint32_t(sizeOrPrevious), spans, free, age, spanSeq, payload};
}

// The master block, then `blocks`, whose `basic` means "in the other layout"; time stamps 0.
std::string image(const Master& m, std::vector<Data> blocks) {
    std::string file = dbq_images::masterImage(m);
    for (Data& d : blocks) {
        d.basic = d.basic != m.basic;
        file += dbq_images::dataImage(d);
    }
    return file;
}

template <class... T>
std::string cat(const T&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

std::string ctimeOf(int64_t seconds) {
    time_t t = seconds;
    char text[64];
    return ::ctime_r(&t, text);
}

// Lines of the dumps, by the rules.
std::string accountingLine(bool empty, int64_t count, uint64_t size, int64_t head, int64_t tail,
                           int64_t freeHead, int64_t freeTail, const char* operation) {
    return cat("DB accounting  empty: ", empty, " count: ", count, " getDataSize: ", size,
               " head: ", head, " tail: ", tail, " freehead: ", freeHead, " freetail: ", freeTail,
               operation);
}

std::string masterLine(uint64_t version, uint64_t age, int64_t size, int64_t time) {
    return cat(" magic: 1147294061 checksum: 0 version: ", version, " age: ", age,
               " blocksize: ", size, " time: ", ctimeOf(time), "\n");
}

// A block's line in dump and dumpAccounting from "Block ID: " on.
std::string fields(int64_t id, int64_t next, int64_t size, bool spanning, bool free, int capacity) {
    return cat("Block ID: ", id, "\tNext block ID: ", next, "\tSize: ", size,
               "\tSpanning: ", spanning, "\tFree: ", free, "\tDatasize: ", capacity, "\n");
}

// The line of an extended data block whose checksum is right.
std::string detail(uint64_t sum, uint64_t version, uint64_t age, int64_t seq, int64_t time) {
    return cat(" magic: 1682075972 checksum: ", sum, " actual checksum: ", sum,
               " version: ", version, " age: ", age, " span seq: ", seq, " time: ", ctimeOf(time),
               "\n");
}

std::string rawLine(int64_t id, int64_t blockId, const char* type, int64_t next,
                    int64_t sizeOrPrevious, bool spanning, bool free) {
    return cat("Block ", id, " Header ID: ", blockId, " Header Type: ", type, " Next: ", next,
               free ? " Previous " : " Size: ", sizeOrPrevious,
               " Flags: ", spanning ? "spanning" : "", free ? " free" : " in-use",
               next != blockId + 1 ? " not-sequential\n" : "\n");
}

// The raw dump's totals and its verdict, on standard output, then on standard error.
std::string totals(int blocks, int spanning, int inUseSpanning, int free, bool match) {
    const char* verdict = match ? "*** Counts match!! ***\n" : "*** Counts do not match ****\n";
    return cat("Total number of data blocks: ", blocks,
               "\nTotal number of spanning blocks: ", spanning,
               "\nTotal number of inuse spanning blocks: ", inUseSpanning,
               "\nTotal number of free blocks: ", free, "\n", verdict, verdict);
}

std::string ending(const std::string& text, size_t length) {
    return text.substr(text.size() - std::min(text.size(), length));
}

// What the body wrote to std::cout and std::cerr in order, then the exception that ended it.
template <class Body>
std::string capture(Body body) {
    std::ostringstream out;
    std::streambuf *savedOut = std::cout.rdbuf(out.rdbuf()),
                   *savedErr = std::cerr.rdbuf(out.rdbuf());
    try {
        body();
    } catch (const std::exception& e) {
        out << "exception: " << e.what();
    }
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    return out.str();
}

// One inspection of `file` opened leniently: 'd' dump, 'n' without payloads, 'a' accounting, 'c'
// check and its grade, 'w' check opened writable, 'r' raw dump after its first line.
std::string inspect(const std::string& file, char what) {
    static vfw_test::TempDir dir;
    const std::string path = dir.file("q");
    vfw_test::writeFile(path, file);
    vfw::DBQSingle q(512);
    std::string text = capture([&] {
        if (what == 'r') {
            return vfw::DBQSingle::dumpRawFile(path);
        }
        q.open(path, what == 'w' ? 1 : 0, 0600, false, "");
        if (what != 'c' && what != 'w') {
            return what == 'a' ? q.dumpAccounting() : q.dump(what == 'd');
        }
        q.setUncleanShutdown(77);
        const uint32_t grade = q.checkQueue(what == 'c', "", std::cout);
        std::cout << (what == 'c' ? cat("grade ", grade) : "");
        EXPECT_EQ(uint32_t(q.isUncleanShutdown()), grade);
    });
    if (what == 'r') {
        EXPECT_EQ(text.substr(0, text.find('\n')), "dumping raw file " + path);
        text.erase(0, std::min(text.find('\n'), text.size()));
    }
    return text;
}

// The raw dump of `path` in a child whose descriptors 1 (or closed) and 2 share a file.
std::string childRawDump(const std::string& path, bool closeOut = false) {
    vfw_test::TempDir dir;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
        if (fd >= 0 && (closeOut ? ::close(1) : ::dup2(fd, 1)) >= 0 && ::dup2(fd, 2) >= 0) {
            vfw::DBQSingle::dumpRawFile(path);
            std::cout.flush();
        }
        ::_exit(0);
    }
    int status = 0;
    EXPECT_TRUE(::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && !WEXITSTATUS(status));
    return vfw_test::readFile(dir.file("out"));
}

// Block size 0 reads as 512; 1000 bytes over three blocks, the last showing 410 stale bytes.
TEST(DbqDumpTest, EmptyFileAndRecordOverThreeBlocks) {
    const Master m{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ""};  // block size 0
    EXPECT_EQ(inspect(image(m, {}), 'd'), accountingLine(1, 0, 0, 0, 0, 0, 0, " operation: 0\n") +
                                              masterLine(65536, 0, 512, 0) +
                                              "DB is empty\nempty: 1\ncount: 0\ngetDataSize: 0\n");
    std::string record, expected = accountingLine(0, 1, 1000, 1, 3, 0, 0, " operation: 0\n") +
                                   masterLine(65536, 0, 512, 0);
    for (int i = 0; i < 1410; ++i) {
        record += char(i < 1000 ? 'a' + i % 26 : 'Q');
    }
    std::vector<Data> blocks;
    for (int k = 0; k < 3; ++k) {
        const std::string payload = record.substr(size_t(k) * 470, 470);
        blocks.push_back(data(k + 1, k < 2 ? k + 2 : 0, 1000, k < 2 ? "s" : "", payload, k, 20));
        expected += cat("i: ", k, '\t') + fields(k + 1, k < 2 ? k + 2 : 0, 1000, k < 2, 0, 470) +
                    detail(dbq_images::byteSum(payload, 0, 470), 65536, 20, k, 0) + payload +
                    "\n\n";
    }
    EXPECT_EQ(inspect(image(master(1, 3, 1, 1000), blocks), 'd'), expected);
}

// Every field at its extremes (signed or unsigned as it is); a size <= 0 shows no payload.
TEST(DbqDumpTest, EveryFieldAtItsExtremes) {
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    const uint32_t top = UINT32_MAX, half = 1u << 31;
    const Master m{1, -1, lo, hi, 255, lo, UINT64_MAX, 0, top, 512, ""};
    std::string file =
        image(m, {data(1, 2, -5, "s", "abc", lo, top), data(2, 3, lo, "s", "xyz", -1, half),
                  data(3, 0, hi, "", "hi", hi), data(4, -1, lo, "f"), data(5, lo, hi, "f")});
    for (const auto& p : std::vector<std::pair<size_t, uint32_t>>{
             {46, top}, {50, lo}, {538, lo}, {1046, half}, {1050, top}, {1558, top}, {1562, hi}}) {
        dbq_images::be32(file, p.first, p.second);  // versions and times
    }
    EXPECT_EQ(inspect(file, 'd'),
              accountingLine(0, lo, UINT64_MAX, 1, -1, lo, hi, " operation: 255\n") +
                  masterLine(top, top, 512, lo) + "i: 0\t" + fields(1, 2, -5, 1, 0, 470) +
                  detail(294, 65536, top, lo, lo) + "\n\ni: 1\t" + fields(2, 3, lo, 1, 0, 470) +
                  detail(363, half, half, -1, -1) + "\n\ni: 2\t" + fields(3, 0, hi, 0, 0, 470) +
                  detail(209, top, 0, hi, hi) + "hi\n\n");
    EXPECT_EQ(inspect(file, 'a'),
              accountingLine(0, lo, UINT64_MAX, 1, -1, lo, hi, " CurrentOperation: 255\n") +
                  fields(1, 2, -5, 1, 0, 470) + fields(2, 3, lo, 1, 0, 470) +
                  fields(3, 0, hi, 0, 0, 470) + fields(4, -1, lo, 0, 1, 470) +
                  fields(5, lo, hi, 0, 1, 470));
    EXPECT_EQ(inspect(file, 'r'),
              "\nHeader ID: 0 Header Type: masterX Head: 1 Tail: -1\nFree Head: -2147483648 Free "
              "Tail: 2147483647 Operation: 255 Count: -2147483648 Size: 18446744073709551615\n" +
                  rawLine(1, 1, "dataX", 2, -5, 1, 0) + rawLine(2, 2, "dataX", 3, lo, 1, 0) +
                  rawLine(3, 3, "dataX", 0, hi, 0, 0) + rawLine(4, 4, "dataX", -1, lo, 0, 1) +
                  rawLine(5, 5, "dataX", lo, hi, 0, 1) + "all blocks read.\n" +
                  totals(5, 2, 2, 2, false) + "Dumping free list: \n" +
                  "Error in reading data.\nTotal free blocks read: 0\n");
}

// The rendering rules byte by byte: the reference for the renderer, which goes 8 bytes at a time.
std::string renderByRules(const std::string& bytes) {
    std::string text;
    size_t nuls = 0;
    for (unsigned char c : bytes) {
        text += c == 0 || nuls == 0 ? "" : "<NULL*" + std::to_string(nuls) + ">";
        nuls = c == 0 ? nuls + 1 : 0;
        text += c == 0      ? ""
                : c == '\n' ? "\\n"
                : c == '\r' ? "\\r"
                : c == 8    ? "<BS>"
                            : std::string(1, c >= 32 && c <= 126 ? char(c) : '?');
    }
    return text;
}

// 300 one-block records of mixed kinds of bytes, sizes around the capacity; one 64 KiB block.
TEST(DbqDumpTest, PayloadRendering) {
    EXPECT_EQ(renderByRules(std::string("ab\0\0\0c\n\r\b\x7f\xc8 ~\0\0", 15)),
              "ab<NULL*3>c\\n\\r<BS>?? ~");
    EXPECT_EQ(renderByRules(std::string(12, '\0') + "!"), "<NULL*12>!");
    uint32_t x = 7;
    std::string bytes(65494 + 300 * 498, '\0');
    for (size_t i = 0, kind = 0; i < bytes.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        const unsigned r = x >> 24;
        kind = i >= 20000 && i < 29000 ? 4 : i % 16 == 0 ? r % 8 : kind;
        bytes[i] = char(kind < 2    ? 32 + r % 95
                        : kind < 4  ? r
                        : kind == 4 ? 0
                        : kind == 5 ? "\0\n\r\b\x7f ~\x1f\xc8"[r % 9]
                                    : r % 2 * 'x');
    }
    std::vector<Data> blocks;
    std::string expected;
    uint64_t total = 0;
    for (int i = 0; i < 300; ++i, x = x * 1664525u + 1013904223u) {
        const uint32_t size = i == 0 ? 0 : x % 560, next = i < 299 ? i + 2 : 0;
        const std::string payload = bytes.substr(65494 + size_t(i) * 498, 498);
        blocks.push_back(data(i + 1, next, size, "", payload));
        expected += cat("i: ", i, '\t') + fields(i + 1, next, size, 0, 0, 498) +
                    renderByRules(payload.substr(0, size)) + "\n\n";
        total += size;
    }
    EXPECT_EQ(inspect(image(master(1, 300, 300, total, 0, 0, true), blocks), 'd'),
              accountingLine(0, 300, total, 1, 300, 0, 0, " operation: 0\n") + expected);
    const size_t size = 65536, capacity = size - 42;
    const std::string payload = bytes.substr(0, capacity - 1) + "e";
    const uint32_t sum = dbq_images::byteSum(payload, 0, capacity);
    std::string file =
        image({1, 1, 0, 0, 0, 1, capacity, 0, 0, int32_t(size), ""}, {data(1, 0, capacity)});
    file = file.substr(0, 512) + std::string(size - 512, '\0') + file.substr(512, 42) + payload;
    dbq_images::be32(file, size + 18, sum);
    const std::string tail = masterLine(65536, 0, size, 0) + "i: 0\t" +
                             fields(1, 0, capacity, 0, 0, 65494) + detail(sum, 65536, 0, 0, 0) +
                             renderByRules(payload) + "\n\n";
    EXPECT_EQ(ending(inspect(file, 'd'), tail.size()), tail);
}

// Blocks 1 and 2 point at each other: entries 0 to the limit - 1, then two lines, and no more.
void expectLoop(int32_t entries) {
    const std::string text =
        inspect(image(master(1, 2, 1, 7, 0, 0, true), {data(1, 2, 7), data(2, 1, 7)}), 'n');
    const std::string last = cat("\ni: ", entries - 1, "\t") +
                             fields(2 - entries % 2, 1 + entries % 2, 7, 0, 0, 498) +
                             "Too many blocks to follow. Quit without finishing all readings.\n"
                             "Is there a loop between the blocks; or just a big DB?\n";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), entries + 3);
    EXPECT_EQ(ending(text, last.size()), last);
}

// The entry limit, also lowered; a chain leaving the file ends in the read's report and exception.
TEST(DbqDumpTest, ChainEndings) {
    expectLoop(1000002);
    vfw::seam::setDumpEntryLimit(2);
    EXPECT_EQ(inspect(image(master(1, 2, 2, 2, 0, 0, true), {data(1, 2, 1), data(2, 0, 1)}), 'n'),
              accountingLine(0, 2, 2, 1, 2, 0, 0, " operation: 0\ni: 0\t") +
                  fields(1, 2, 1, 0, 0, 498) + "i: 1\t" + fields(2, 0, 1, 0, 0, 498));
    vfw::seam::setDumpEntryLimit(-7);
    expectLoop(1);
    vfw::seam::setDumpEntryLimit(1000002);
    EXPECT_EQ(inspect(image(master(1, 1, 1, 5, 0, 0, true), {data(1, 9, 5, "s", "abcde")}), 'd'),
              accountingLine(0, 1, 5, 1, 1, 0, 0, " operation: 0\ni: 0\t") +
                  fields(1, 9, 5, 1, 0, 498) +
                  "abcde\n\nRead for block 9 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n"
                  "exception: Block 9 read failed (fs.read)");
}

// 1 in use, 2 (spanning) and 3 free, 4 no block (type 99, id 77). Free list from 2 loops, from 1
// meets a used block, from 9 or -4 fails; 1024-byte blocks; a bad block size ends the walk.
TEST(DbqRawDumpTest, GoldenTextsAndWalkEndings) {
    auto file = [](int32_t freeHead, int32_t blockSize) {
        std::string f =
            image({1, 1, freeHead, 3, 0, 2, 4, 0, 0, blockSize, ""},
                  {data(1, 0, 4), data(2, 3, 0, "sf"), data(3, 2, 2, "f"), data(4, 0, 0)});
        return f.replace(4 * 512, 5, std::string("\0\0\0\x4d\x63", 5));
    };
    const std::string two = rawLine(2, 2, "dataX", 3, 0, 1, 1),
                      three = rawLine(3, 3, "dataX", 2, 2, 0, 1);
    const std::string walk =
        "\nHeader ID: 0 Header Type: masterX Head: 1 Tail: 1\nFree Head: 2 Free Tail: 3 "
        "Operation: 0 Count: 2 Size: 4\n" +
        rawLine(1, 1, "dataX", 0, 4, 0, 0) + two + three + rawLine(4, 77, "unknown", 0, 0, 0, 0) +
        "all blocks read.\n" + totals(4, 1, 0, 2, true);
    const std::string rest =
        "Dumping free list: \n" + two + three + two + three + "Total free blocks read: 4\n";
    EXPECT_EQ(inspect(file(2, 512), 'r'), walk + rest);
    // In a child, the verdict reaches descriptor 2 after the text before it reached descriptor 1.
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("q"), file(2, 512));
    EXPECT_EQ(childRawDump(dir.file("q")), "dumping raw file " + dir.file("q") + walk + rest);
    EXPECT_EQ(childRawDump(dir.file("q"), true), "*** Counts match!! ***\n");
    const std::string none = "\nError in reading data.\n" + totals(0, 0, 0, 0, false) +
                             "Dumping free list: \nTotal free blocks read: 0\n";
    std::string large = file(3, 1024).insert(512, 512, '\0').substr(0, 1536).append(512, '\0');
    const std::pair<std::string, std::string> cases[] = {
        {file(1, 512),
         rawLine(1, 1, "dataX", 0, 4, 0, 0) +
             "Error:  block in free block list is not free!!\nTotal free blocks read: 0\n"},
        {file(9, 512), "Dumping free list: \nall blocks read.\nTotal free blocks read: 0\n"},
        {file(-4, 512), "Dumping free list: \nError in reading data.\nTotal free blocks read: 0\n"},
        {large, rawLine(1, 1, "dataX", 0, 4, 0, 0) + "all blocks read.\n" +
                    totals(1, 0, 0, 0, false) +
                    "Dumping free list: \nall blocks read.\nTotal free blocks read: 0\n"},
        {file(1, 7), none},
        {file(1, -512), none},
        {file(1, 1 << 30), none}};
    for (const auto& c : cases) {
        EXPECT_EQ(ending(inspect(c.first, 'r'), c.second.size()), c.second);
    }
    EXPECT_EQ(inspect(image(master(1, 1, 1, 9, 0, 0, true), {data(1, 0, 9)}), 'r'),
              "\nHeader ID: 0 Header Type: master Head: 1 Tail: 1\nFree Head: 0 Free Tail: 0 "
              "Operation: 0 Count: 1 Size: 9\n" +
                  rawLine(1, 1, "data", 0, 9, 0, 0) + "all blocks read.\n" +
                  totals(1, 0, 0, 0, true) + "Dumping free list: \nTotal free blocks read: 0\n");
}

// An empty file; paths that cannot be opened (no hang on a FIFO), also with stdout closed.
TEST(DbqRawDumpTest, FilesThatCannotBeDumped) {
    EXPECT_EQ(inspect("", 'r'),
              "\nRead for block 0 failed\nEOF: 1\nBad: 0\nFail: 1\nFile pos: -1\n"
              "exception: Block 0 read failed (fs.read)");
    vfw_test::TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::string perror = "\nCannot open database file.: ";
    const std::pair<std::string, const char*> cases[] = {
        {dir.file("missing"), "No such file or directory\n"},
        {dir.path(), "Is a directory\n"},
        {dir.file("fifo"), "Invalid argument\n"}};
    for (const auto& c : cases) {
        EXPECT_EQ(childRawDump(c.first), "dumping raw file " + c.first + perror + c.second);
    }
    EXPECT_EQ(childRawDump(dir.file("missing"), true),
              perror.substr(1) + "No such file or directory\n");
}

// Record A (600 bytes) in blocks 1 and 2, B (470, one full block) in 3, the free list 4 -> 5.
struct Layout {
    Master m = master(1, 3, 2, 1070, 4, 5);
    std::vector<Data> b = {
        data(1, 2, 600, "s", std::string(470, 'a')), data(2, 3, 600, "", std::string(130, 'a'), 1),
        data(3, 0, 470, "", std::string(470, 'b')), data(4, 5, 0, "f"), data(5, 0, 4, "f")};
};

const char* const ORPHAN_2 =
    "Queue is abnormal. Block ID 2 is reserved but belongs to neither used nor free list.";

// A change to the sound layout, its findings in order (the recorded value first), its grade.
TEST(DbqCheckTest, EveryFindingWithItsGrade) {
    const std::pair<const char*, void (*)(Layout&)> cases[] = {
        {"sound", [](Layout&) {}},
        {"basic", [](Layout& l) { l.m.basic = true; }},
        {"spans",
         [](Layout& l) {
             l.b[0].spanSeq = 1, l.b[1].spanSeq = 5, l.b[2].basic = l.b[2].free = true,
             l.b[0].sizeOrPrevious = l.b[1].sizeOrPrevious = 1000;
         }},
        {"loop", [](Layout& l) { l.b[2].next = 1; }},
        {"freeInQueue", [](Layout& l) { l.m.freeHead = 3; }},
        {"freeLoop", [](Layout& l) { l.b[4].next = 4; }},
        {"usedFree", [](Layout& l) { l.b[3].free = false, l.b[4].sizeOrPrevious = 1; }},
        {"master", [](Layout& l) { l.m = master(1, 1, -1, 5000000000, 4, 9); }},
        {"orphans",
         [](Layout& l) { l.b.push_back(data(6, 0, 0, "f")), l.b.push_back(data(7, 0, 3)); }},
        // A free head without a tail is walked; a tail without a head leaves the list unwalked.
        {"noFreeTail", [](Layout& l) { l.m.freeTail = 0; }},
        {"noFreeHead", [](Layout& l) { l.m.freeHead = 0; }},
    };
    std::map<std::string, std::string> expected;
    for (const auto& row : vfw_test::table("dbq_check_findings")) {
        expected[row.at(0)] += "\n" + row.at(1);
    }
    for (const auto& c : cases) {
        Layout l;
        c.second(l);
        EXPECT_EQ(inspect(image(l.m, l.b), 'c'), "Checking queue for integrity" + expected[c.first])
            << c.first;
    }
}

// The sweep finds the block a push left when its first master write failed; the prefix starts
// each line; quietly the grade is kept; findings are INFO records from checkQueue.
TEST(DbqCheckTest, BlockLeftByAnUpdateThatDiedAfterGrowingTheFile) {
    vfw_test::TempDir dir;
    {
        vfw::DBQSingle writer(512);
        ASSERT_TRUE(writer.open(dir.file("q"), 1, 0600, true, ""));
        dbq_test::enqueue(writer, "first");
        static int writes;
        writes = 0;
        vfw::seam::setBlockWriteHook(
            [](int, int64_t offset, size_t) { return !(offset == 0 && ++writes == 1); });
        EXPECT_THROW(dbq_test::enqueue(writer, "second"), vfw::IOException);
        vfw::seam::setBlockWriteHook(nullptr);
    }
    dbq_test::LogCapture log;
    vfw::getLogger("vfw.dbqs")->setShowMore(4);
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(dir.file("q"), 0, 0600, true, "spool"));
    std::ostringstream out, quiet;
    EXPECT_EQ(queue.checkQueue(true, "chk> ", out), 2u);
    EXPECT_EQ(out.str(), "chk> Checking queue for integrity\nchk> " + std::string(ORPHAN_2) + "\n");
    EXPECT_EQ(queue.checkQueue(false, "chk> ", quiet), 2u);
    queue.setUncleanShutdown(0);
    EXPECT_EQ(capture([&] { EXPECT_EQ(queue.checkQueue(), 2u); }) + quiet.str(), "");
    EXPECT_EQ(queue.isUncleanShutdown(), 2);
    vfw::getLogger("vfw.dbqs")->setShowMore(-1);
    const std::vector<std::string> records = log.records();
    const std::string finding = "INFO  vfw.dbqs \"checkQueue()\" spool/q: " + std::string(ORPHAN_2);
    EXPECT_NE(std::find(records.begin(), records.end(), finding), records.end()) << log.text();
}

}  // namespace
