// Every number the three dumps print, at the extremes of its field: signed fields (ids,
// `next`, `size`/`previous`, `spanSeq`, `count`, time stamps) as signed 32-bit numbers,
// unsigned ones (`version`, `age`, `dataSize`) as unsigned, and no payload bytes for a
// record length of zero or less.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "vfw/dbq.h"

namespace {

using dbq_dump_test::block;
using dbq_dump_test::capture;
using dbq_dump_test::ctimeOf;
using dbq_dump_test::freeBlock;
using dbq_dump_test::inUse;
using dbq_images::be32;

const int32_t kMin = INT32_MIN;
const int32_t kMax = INT32_MAX;

// Blocks 1 -> 2 -> 3 hold one "record" whose size fields are -5, INT32_MIN and INT32_MAX;
// blocks 4 and 5 are free with extreme links. The checksums are sound, so every reader
// gets past verification.
class DbqDumpExtremesTest : public dbq_dump_test::DumpFileTest {
  protected:
    void SetUp() override {
        dbq_images::Master m;
        m.head = 1;
        m.tail = -1;
        m.freeHead = kMin;
        m.freeTail = kMax;
        m.operation = 255;
        m.count = kMin;
        m.dataSize = UINT64_MAX;
        m.age = UINT32_MAX;
        std::string master = dbq_dump_test::master(m, kMin);
        be32(master, 46, UINT32_MAX);  // version
        std::string first = block(inUse(1, 2, uint32_t(-5), true, kMin, "abc", UINT32_MAX), kMin);
        std::string second = block(inUse(2, 3, uint32_t(kMin), true, -1, "xyz", 1u << 31), -1);
        be32(second, 22, 1u << 31);
        std::string third = block(inUse(3, 0, uint32_t(kMax), false, kMax, "hi", 0), kMax);
        be32(third, 22, UINT32_MAX);
        vfw_test::writeFile(path(), master + first + second + third +
                                        block(freeBlock(4, -1, kMin), 0) +
                                        block(freeBlock(5, kMin, kMax), 0));
        openQueue();
    }
};

const char kAccounting[] =
    "DB accounting  empty: 0 count: -2147483648 getDataSize: 18446744073709551615 head: 1 "
    "tail: -1 freehead: -2147483648 freetail: 2147483647";

TEST_F(DbqDumpExtremesTest, DumpPrintsEachFieldWithItsSignedness) {
    EXPECT_EQ(
        dump(true).out,
        std::string(kAccounting) + " operation: 255\n" +
            " magic: 1147294061 checksum: 0 version: 4294967295 age: 4294967295 blocksize: "
            "512 time: " +
            ctimeOf(kMin) + "\n" +
            "i: 0\tBlock ID: 1\tNext block ID: 2\tSize: -5\tSpanning: 1\tFree: 0\tDatasize: "
            "470\n"
            " magic: 1682075972 checksum: 294 actual checksum: 294 version: 65536 age: "
            "4294967295 span seq: -2147483648 time: " +
            ctimeOf(kMin) + "\n\n\n" +
            "i: 1\tBlock ID: 2\tNext block ID: 3\tSize: -2147483648\tSpanning: 1\tFree: "
            "0\tDatasize: 470\n"
            " magic: 1682075972 checksum: 363 actual checksum: 363 version: 2147483648 age: "
            "2147483648 span seq: -1 time: " +
            ctimeOf(-1) + "\n\n\n" +
            "i: 2\tBlock ID: 3\tNext block ID: 0\tSize: 2147483647\tSpanning: 0\tFree: "
            "0\tDatasize: 470\n"
            " magic: 1682075972 checksum: 209 actual checksum: 209 version: 4294967295 age: 0 "
            "span seq: 2147483647 time: " +
            ctimeOf(kMax) + "\nhi\n\n");
}

TEST_F(DbqDumpExtremesTest, DumpAccountingPrintsEachFieldWithItsSignedness) {
    EXPECT_EQ(capture([&] { queue.dumpAccounting(); }).out,
              std::string(kAccounting) + " CurrentOperation: 255\n" +
                  "Block ID: 1\tNext block ID: 2\tSize: -5\tSpanning: 1\tFree: 0\tDatasize: 470\n"
                  "Block ID: 2\tNext block ID: 3\tSize: -2147483648\tSpanning: 1\tFree: "
                  "0\tDatasize: 470\n"
                  "Block ID: 3\tNext block ID: 0\tSize: 2147483647\tSpanning: 0\tFree: "
                  "0\tDatasize: 470\n"
                  "Block ID: 4\tNext block ID: -1\tSize: -2147483648\tSpanning: 0\tFree: "
                  "1\tDatasize: 470\n"
                  "Block ID: 5\tNext block ID: -2147483648\tSize: 2147483647\tSpanning: "
                  "0\tFree: 1\tDatasize: 470\n");
}

TEST_F(DbqDumpExtremesTest, RawDumpPrintsEachFieldWithItsSignedness) {
    dbq_dump_test::Outcome outcome = capture([&] { vfw::DBQSingle::dumpRawFile(path()); });
    EXPECT_EQ(outcome.out,
              "dumping raw file " + path() +
                  "\n"
                  "Header ID: 0 Header Type: masterX Head: 1 Tail: -1\n"
                  "Free Head: -2147483648 Free Tail: 2147483647 Operation: 255 Count: "
                  "-2147483648 Size: 18446744073709551615\n"
                  "Block 1 Header ID: 1 Header Type: dataX Next: 2 Size: -5 Flags: spanning "
                  "in-use\n"
                  "Block 2 Header ID: 2 Header Type: dataX Next: 3 Size: -2147483648 Flags: "
                  "spanning in-use\n"
                  "Block 3 Header ID: 3 Header Type: dataX Next: 0 Size: 2147483647 Flags:  "
                  "in-use not-sequential\n"
                  "Block 4 Header ID: 4 Header Type: dataX Next: -1 Previous -2147483648 "
                  "Flags:  free not-sequential\n"
                  "Block 5 Header ID: 5 Header Type: dataX Next: -2147483648 Previous "
                  "2147483647 Flags:  free not-sequential\n"
                  "all blocks read.\n"
                  "Total number of data blocks: 5\n"
                  "Total number of spanning blocks: 2\n"
                  "Total number of inuse spanning blocks: 2\n"
                  "Total number of free blocks: 2\n"
                  "*** Counts do not match ****\n"
                  "Dumping free list: \n"
                  "Error in reading data.\n"
                  "Total free blocks read: 0\n");
    EXPECT_EQ(outcome.err, "*** Counts do not match ****\n");
}

}  // namespace
