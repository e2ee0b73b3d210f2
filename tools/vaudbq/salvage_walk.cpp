// The salvage walk of one queue file.
//
// Every block is read with its checksum verified. The record chain is followed from the
// master block's head; a record is taken only when every block of it is sound, in use, of
// the record's length, at its place in the span sequence and spanning exactly up to its last
// block, and no block is reached twice. At the first record that fails (or when the master
// block cannot be trusted) the chain can no longer be believed, and the walk resynchronises:
// it reads every block of the file, takes as a record start each sound block in use that is
// at span sequence 0 (extended files), that no sound spanning block points to and that no
// record has used yet, and reads a record from each. Those records are put in chain order
// where their links join them, the pieces ordered by their first block's time, then its id.
// Every record outside the damaged ones thus comes back byte for byte; a block that a crash
// left on no list can come back too (it cannot be told from a record the damage cut off), and
// resynchronising says so. Everything skipped is named on standard error: file, block, why.
#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "queue_file.h"
#include "salvage.h"

namespace vaudbq {

namespace {

struct Record {
    int32_t first = 0;
    int32_t next = 0;  // the last block's link: the next record's first block
    int32_t time = 0;
    std::string bytes;
};

class Walk {
  public:
    Walk(QueueFile& file, RecordSink& sink)
        : m_file(file), m_sink(sink), m_taken(size_t(file.blocks()), 0) {}

    int run() {
        if (!m_file.masterProblem().empty()) {
            say(m_file.masterProblem() + "; looking for records block by block");
            m_damaged = true;
        } else {
            followChain();
        }
        if (m_damaged) {
            resynchronise();
        }
        noteChange(m_file.path(), m_file.stamp());
        return m_damaged ? DAMAGE : OK;
    }

  private:
    void say(const std::string& text) { complain(m_file.path() + ": " + text); }

    // Names a skipped block once, however many walks meet it.
    void skip(int32_t id, const std::string& why, const char* what) {
        m_damaged = true;
        if (m_reported.insert(id).second) {
            say(std::string(what) + ": block " + std::to_string(id) + " " + why);
        }
    }

    bool taken(int32_t id) const {
        return id > 0 && id < int32_t(m_taken.size()) && m_taken[size_t(id)] != 0;
    }

    void followChain() {
        for (int32_t id = m_file.master().getHead(); id != 0;) {
            if (taken(id)) {
                say("the chain loops back to block " + std::to_string(id) + "; it ends there");
                m_damaged = true;
                return;
            }
            Record record;
            int32_t at = 0;
            std::string why = readRecord(id, record, at);
            if (!why.empty()) {
                skip(at, why, "record skipped");
                return;
            }
            m_sink.add(record.bytes);
            id = record.next;
        }
    }

    // Why block `id` cannot open a record of `size` bytes, or "".
    std::string startProblem(uint32_t size, int32_t capacity, int64_t& blocks) const {
        if (size == 0) {
            return "starts a record of 0 bytes";
        }
        blocks = vfw::dbqformat::recordBlocks(size, uint32_t(capacity));
        if (blocks > m_file.blocks() - 1) {
            return "starts a record of " + std::to_string(size) + " bytes, which needs " +
                   std::to_string(blocks) + " blocks; the file holds " +
                   std::to_string(m_file.blocks() - 1);
        }
        return "";
    }

    // Reads the record that starts at block `start`, marking the blocks it used. "" when the
    // record is whole; otherwise why, with the block at fault in `at`.
    std::string readRecord(int32_t start, Record& record, int32_t& at) {
        at = start;
        vfw::DataBlock block(m_file.blockSize());
        uint32_t size = 0;
        int64_t blocks = 1;
        for (int64_t k = 0; k < blocks; ++k) {
            if (taken(at)) {
                return "is reached twice: the chain loops";
            }
            std::string why = m_file.read(at, block);
            if (!why.empty()) {
                return why;
            }
            if (block.isFree()) {
                return "is a free block";
            }
            const int32_t capacity = block.payloadSize();
            if (k == 0) {
                size = uint32_t(block.getSize());
                why = startProblem(size, capacity, blocks);
                if (!why.empty()) {
                    return why;
                }
                record.bytes.assign(size, '\0');
                record.time = block.getTime();
            } else if (uint32_t(block.getSize()) != size) {
                return "gives the record " + std::to_string(uint32_t(block.getSize())) +
                       " bytes; its first block gives it " + std::to_string(size);
            }
            if (block.isExtended() && block.getSpanSeq() != k) {
                return "is at span sequence " + std::to_string(block.getSpanSeq()) + ", not " +
                       std::to_string(k);
            }
            const bool last = k + 1 == blocks;
            if (block.isSpanning() == last) {
                return last ? "spans past the record's last block"
                            : "ends the record after " + std::to_string(k + 1) + " of its " +
                                  std::to_string(blocks) + " blocks";
            }
            const size_t offset = size_t(k) * size_t(capacity);
            record.bytes.replace(offset, std::min(size_t(capacity), size - offset),
                                 reinterpret_cast<const char*>(block.data()),
                                 std::min(size_t(capacity), size - offset));
            m_taken[size_t(at)] = 1;
            if (!last) {
                at = block.getNext();
            }
        }
        record.first = start;
        record.next = block.getNext();
        return "";
    }

    // Record starts: sound blocks in use at span sequence 0 that no sound spanning block
    // points to. A block whose header cannot be believed and that no record took is named.
    std::vector<int32_t> findStarts() {
        const int32_t blocks = int32_t(std::min<int64_t>(m_file.blocks(), INT32_MAX));
        std::vector<uint8_t> continued(size_t(blocks), 0);
        std::vector<int32_t> candidates;
        vfw::DataBlock block(m_file.blockSize());
        for (int32_t id = 1; id < blocks; ++id) {
            bool headerSound = false;
            const std::string why = m_file.read(id, block, &headerSound);
            if (headerSound && !block.isFree() && block.isSpanning() && block.getNext() > 0 &&
                block.getNext() < blocks) {
                continued[size_t(block.getNext())] = 1;
            }
            if (!why.empty() && !taken(id) && !(headerSound && block.isFree())) {
                skip(id, why, "block skipped");
            }
            if (why.empty() && !block.isFree() &&
                (!block.isExtended() || block.getSpanSeq() == 0)) {
                candidates.push_back(id);
            }
        }
        std::vector<int32_t> starts;
        for (int32_t id : candidates) {
            if (!continued[size_t(id)] && !taken(id)) {
                starts.push_back(id);
            }
        }
        return starts;
    }

    void resynchronise() {
        std::vector<Record> records;
        for (int32_t start : findStarts()) {
            Record record;
            int32_t at = 0;
            const std::string why = readRecord(start, record, at);
            if (why.empty()) {
                records.push_back(std::move(record));
            } else {
                skip(at, why, "record skipped");
            }
        }
        emitInChainOrder(records);
    }

    // Pieces of chain first in the order of their first block's time and id, each followed
    // along its links; records on a closed loop of links come last, in the same order.
    void emitInChainOrder(std::vector<Record>& records) {
        std::map<int32_t, size_t> byFirst;
        std::set<int32_t> linkedTo;
        for (size_t i = 0; i < records.size(); ++i) {
            byFirst[records[i].first] = i;
            linkedTo.insert(records[i].next);
        }
        std::vector<size_t> order(records.size());
        for (size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        auto key = [&](size_t i) {
            return std::make_tuple(linkedTo.count(records[i].first), records[i].time,
                                   records[i].first);
        };
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
        std::vector<bool> emitted(records.size(), false);
        for (size_t head : order) {
            if (!emitted[head]) {
                say("resynchronised at block " + std::to_string(records[head].first));
            }
            for (size_t i = head; !emitted[i];) {
                emitted[i] = true;
                m_sink.add(records[i].bytes);
                auto next = byFirst.find(records[i].next);
                if (next == byFirst.end()) {
                    break;
                }
                i = next->second;
            }
        }
    }

    QueueFile& m_file;
    RecordSink& m_sink;
    std::vector<uint8_t> m_taken;
    std::set<int32_t> m_reported;
    bool m_damaged = false;
};

}  // namespace

int salvageFile(const std::string& path, RecordSink& sink) {
    QueueFile file(path);
    return Walk(file, sink).run();
}

}  // namespace vaudbq
