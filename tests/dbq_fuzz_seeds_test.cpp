// The seed corpus of the queue-file fuzz target (fuzz/corpus/dbq_fuzz): sound files written by
// the queue itself and copies damaged in every way the file format allows. Every seed goes
// through every inspection here, as in the fuzz target, so that the normal and sanitizer
// builds check them on each run; sound seeds must check clean. With VFW_WRITE_FUZZ_SEEDS set
// to a directory, the seeds are also written there (how the corpus was made).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "support/dbq_dump_test_util.h"
#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbq_images::be32;
using dbq_images::BLOCK;
using dbq_images::byteSum;
using dbq_images::Data;
using dbq_images::dataImage;
using dbq_images::Master;
using dbq_images::masterImage;
using vfw_test::readFile;
using vfw_test::writeFile;

std::string binary(size_t length, unsigned seed) {
    std::string s(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        s[i] = char(i % 5 == 0 ? 0 : (i * 131 + seed * 17) & 0xFF);
    }
    return s;
}

// A file written by the queue: `records` appended, then `popped` of them removed.
std::string written(const std::vector<std::string>& records, size_t popped) {
    vfw_test::TempDir dir;
    std::string path = dir.file("q");
    vfw::DBQSingle queue(512);
    EXPECT_TRUE(queue.open(path, 1, 0600, true, ""));
    for (const std::string& record : records) {
        dbq_test::enqueue(queue, record);
    }
    for (size_t i = 0; i < popped; ++i) {
        queue.dequeue();
    }
    queue.close();
    return readFile(path);
}

// Sets a big-endian header field of block `id` (no checksum covers header fields).
void set32(std::string& file, int id, size_t offset, uint32_t value) {
    be32(file, size_t(id) * BLOCK + offset, value);
}

// Makes the checksum of extended data block `id` right again.
void restamp(std::string& file, int id) {
    size_t base = size_t(id) * BLOCK;
    be32(file, base + 18, byteSum(file, base + 42, base + BLOCK));
}

struct Seeds {
    std::map<std::string, std::string> sound;
    std::map<std::string, std::string> damaged;
    // Damage that the inspections accept by design: an interrupted update (they open without
    // the clean-shutdown check), a stored block id that differs from the position (a WARN
    // record), a descriptor size that none of them reads.
    std::map<std::string, std::string> tolerated;
};

Seeds makeSeeds() {
    Seeds seeds;
    // Records of 5, 470, 1000 and 600 bytes in blocks 1, 2, 3-5, 6-7; the free list is empty.
    const std::string records = written({"hello", std::string(470, 't'), binary(1000, 1),
                                         "line one\nline two\r\n\b" + binary(578, 2)},
                                        0);
    // Four records appended, two removed: blocks 1 and 2 are free (list 1 -> 2).
    const std::string withFree = written({"first", "second", binary(900, 3), "fourth"}, 2);
    seeds.sound["new"] = written({}, 0);
    seeds.sound["records"] = records;
    seeds.sound["records_and_free"] = withFree;
    {
        Master m;
        m.basic = true;
        m.head = 1;
        m.tail = 2;
        m.count = 1;
        m.dataSize = 600;
        m.freeHead = 3;
        m.freeTail = 3;
        Data a;
        a.basic = true;
        a.id = 1;
        a.next = 2;
        a.sizeOrPrevious = 600;
        a.spanning = true;
        a.payload = binary(498, 4);
        Data b = a;
        b.id = 2;
        b.next = 0;
        b.spanning = false;
        b.payload = binary(102, 5);
        Data f;
        f.basic = true;
        f.id = 3;
        f.free = true;
        seeds.sound["basic"] = masterImage(m) + dataImage(a) + dataImage(b) + dataImage(f);
    }

    auto variant = [](std::map<std::string, std::string>& group, const std::string& name,
                      const std::string& base, const std::function<void(std::string&)>& change) {
        std::string file = base;
        change(file);
        group[name] = file;
    };
    auto damage = [&](const std::string& name, const std::string& base,
                      const std::function<void(std::string&)>& change) {
        variant(seeds.damaged, name, base, change);
    };
    variant(seeds.sound, "block_size_0", records, [](std::string& f) { set32(f, 0, 58, 0); });
    variant(seeds.tolerated, "unclean", records, [](std::string& f) { f[21] = 1; });
    variant(seeds.tolerated, "block_id", records, [](std::string& f) { set32(f, 3, 0, 44); });
    variant(seeds.tolerated, "descriptor_size", records,
            [](std::string& f) { set32(f, 0, 34, 0x7FFFFFFF); });
    damage("empty", records, [](std::string& f) { f.clear(); });
    damage("short_master", records, [](std::string& f) { f.resize(100); });
    damage("cut_inside_a_block", records, [](std::string& f) { f.resize(f.size() - 100); });
    damage("cut_chain", records, [](std::string& f) { f.resize(4 * BLOCK); });
    damage("chain_loop", records, [](std::string& f) { set32(f, 7, 5, 2); });
    damage("free_loop", withFree, [](std::string& f) { set32(f, 2, 5, 1); });
    damage("next_past_end", records, [](std::string& f) { set32(f, 2, 5, 900); });
    damage("next_negative", records, [](std::string& f) { set32(f, 2, 5, uint32_t(-7)); });
    damage("block_checksum", records, [](std::string& f) { f[3 * BLOCK + 100] ^= 1; });
    damage("block_magic", records, [](std::string& f) { f[4 * BLOCK + 15] = 'X'; });
    damage("block_type", records, [](std::string& f) { f[3 * BLOCK + 4] = 38; });
    damage("block_type_unknown", records, [](std::string& f) { f[3 * BLOCK + 4] = 99; });
    damage("free_flag_in_chain", records, [](std::string& f) { f[2 * BLOCK + 13] |= 2; });
    damage("used_on_free_list", withFree, [](std::string& f) { f[2 * BLOCK + 13] &= ~2; });
    damage("previous_broken", withFree, [](std::string& f) { set32(f, 2, 9, 5); });
    damage("huge_size", records, [](std::string& f) { set32(f, 1, 9, 0xFFFFFFF0u); });
    damage("span_seq", records, [](std::string& f) { set32(f, 4, 34, 9); });
    damage("orphan", records, [](std::string& f) {
        Data d;
        d.id = 8;
        f += dataImage(d);
    });
    damage("count_and_size", records, [](std::string& f) {
        set32(f, 0, 22, 77);
        set32(f, 0, 30, 12345);
    });
    damage("head_zero", records, [](std::string& f) { set32(f, 0, 5, 0); });
    damage("free_head_only", withFree, [](std::string& f) { set32(f, 0, 17, 0); });
    damage("free_tail_only", withFree, [](std::string& f) { set32(f, 0, 13, 0); });
    damage("master_checksum", records, [](std::string& f) { f[100] = 1; });
    damage("master_magic", records, [](std::string& f) { f[38] = 'X'; });
    damage("master_type_unknown", records, [](std::string& f) { f[4] = 12; });
    damage("block_size_1024", records, [](std::string& f) { set32(f, 0, 58, 1024); });
    damage("block_size_7", records, [](std::string& f) { set32(f, 0, 58, 7); });
    damage("block_size_huge", records, [](std::string& f) { set32(f, 0, 58, 0x7FFFFFFF); });
    damage("block_size_negative", records, [](std::string& f) { set32(f, 0, 58, uint32_t(-512)); });
    damage("all_restamped_garbage", records, [](std::string& f) {
        for (int id = 1; id < 8; ++id) {
            set32(f, id, 5, uint32_t(id * 3 % 8));
            set32(f, id, 9, uint32_t(id * 1000));
            f[size_t(id) * BLOCK + 13] = char(id);
            restamp(f, id);
        }
    });
    return seeds;
}

// Every inspection of the fuzz target, with its output discarded; true when all of them ended
// without an exception.
bool inspectAll(const std::string& path) {
    bool clean = true;
    auto inspect = [&](int32_t mode, const std::function<void(vfw::DBQSingle&)>& inspection) {
        try {
            vfw::DBQSingle queue(512);
            if (queue.open(path, mode, 0600, false, "seed")) {
                inspection(queue);
            } else {
                clean = false;
            }
        } catch (const VFWException&) {
            clean = false;
        }
    };
    std::ostringstream discarded;
    dbq_dump_test::Outcome outcome = dbq_dump_test::capture([&] {
        inspect(0, [](vfw::DBQSingle& q) { q.dump(true); });
        inspect(0, [](vfw::DBQSingle& q) { q.dump(false); });
        inspect(0, [](vfw::DBQSingle& q) { q.dumpAccounting(); });
        inspect(0, [&](vfw::DBQSingle& q) {
            if (q.checkQueue(true, "seed: ", discarded) != 0) {
                clean = false;
            }
        });
        try {
            vfw::DBQSingle::dumpRawFile(path);
        } catch (const VFWException&) {
            clean = false;
        }
        inspect(1, [](vfw::DBQSingle& q) { q.checkQueue(); });
    });
    return clean;
}

TEST(DbqFuzzSeedsTest, EveryInspectionOfEverySeed) {
    Seeds seeds = makeSeeds();
    const char* out = std::getenv("VFW_WRITE_FUZZ_SEEDS");
    vfw_test::TempDir dir;
    for (const auto* group : {&seeds.sound, &seeds.damaged, &seeds.tolerated}) {
        for (const auto& seed : *group) {
            SCOPED_TRACE(seed.first);
            if (out != nullptr && *out != '\0') {
                writeFile(std::string(out) + "/" + seed.first, seed.second);
            }
            std::string path = dir.file(seed.first);
            writeFile(path, seed.second);
            bool clean = inspectAll(path);
            if (group != &seeds.damaged) {
                EXPECT_TRUE(clean);
            }
        }
    }
    EXPECT_EQ(seeds.sound.size(), 5u);
    EXPECT_GE(seeds.damaged.size(), 30u);
}

// Every damaged seed is damaged: at least one inspection reports it.
TEST(DbqFuzzSeedsTest, DamagedSeedsAreNoticed) {
    Seeds seeds = makeSeeds();
    vfw_test::TempDir dir;
    for (const auto& seed : seeds.damaged) {
        SCOPED_TRACE(seed.first);
        std::string path = dir.file(seed.first);
        writeFile(path, seed.second);
        EXPECT_FALSE(inspectAll(path));
    }
}

}  // namespace
