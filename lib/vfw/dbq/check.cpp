// DBQSingle::checkQueue: the integrity check of a queue file. It walks the record chain and
// the free list, marking every block it meets, so that no block is visited twice and the work
// is bounded by the file's size; then it sweeps for blocks on neither list and compares the
// master block's accounting with what the walks found.
#include "dbq_source.h"

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <iostream>
#include <vector>

#include "single_internal.h"

namespace vfw {

using namespace dbqformat;

namespace {

const uint32_t kGradeOrphan = 2;
const uint32_t kGradeAccounting = 3;
const uint32_t kGradeStructure = 4;

// Reports findings and keeps the highest grade seen.
class Findings {
  public:
    Findings(const Logger& logger, const std::string& label, bool print, const std::string& prefix,
             std::ostream& out)
        : m_logger(logger), m_label(label), m_print(print), m_prefix(prefix), m_out(out) {}

    void report(uint32_t grade, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        char text[1024];
        va_list args;
        va_start(args, format);
        ::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (m_logger && m_logger->isEnabled(LEVEL_INFO)) {
            m_logger->WriteMessage(LEVEL_INFO, VFW_FILE, __LINE__, "checkQueue", "%s: %s",
                                   m_label.c_str(), text);
        }
        if (m_print) {
            m_out << m_prefix << text << std::endl;
        }
        if (grade > m_severity) {
            m_severity = grade;
        }
    }

    uint32_t severity() const { return m_severity; }

  private:
    const Logger& m_logger;
    const std::string& m_label;
    const bool m_print;
    const std::string& m_prefix;
    std::ostream& m_out;
    uint32_t m_severity = 0;
};

class IntegrityCheck {
  public:
    using Fetch = std::function<boost::shared_ptr<DataBlock>(int32_t)>;

    // `blocks`: the number of blocks in the file, which sizes the marks table.
    IntegrityCheck(const MasterBlock& master, int64_t blocks, Fetch fetch, Findings& findings)
        : m_master(master),
          m_marks(size_t(blocks > 0 ? blocks : 0)),
          m_fetch(fetch),
          m_findings(findings) {}

    void run() {
        if (m_master.getMagic() != MASTER_MAGIC) {
            m_findings.report(kGradeStructure, "Master block's magic is wrong.");
        }
        if (walkChain() && walkFreeList()) {
            sweep();
        }
        compareAccounting();
    }

  private:
    enum Mark : uint8_t { UNSEEN = 0, IN_CHAIN = 1, IN_FREE_LIST = 2 };

    // Ids are those of blocks read successfully, so never negative; a file that has grown
    // since the table was sized grows the table.
    uint8_t& mark(int32_t id) {
        if (size_t(id) >= m_marks.size()) {
            m_marks.resize(size_t(id) + 1, UNSEEN);
        }
        return m_marks[size_t(id)];
    }

    // False when the chain loops: the walk stops there and the free list is not walked.
    bool walkChain() {
        m_seenTail = m_master.getHead();
        if (m_master.getHead() == 0) {
            return true;
        }
        int32_t id = m_master.getHead();
        boost::shared_ptr<DataBlock> block = m_fetch(id);
        int64_t k = 0;  // blocks of the current record seen before this one
        for (;;) {
            mark(id) = IN_CHAIN;
            checkChainBlock(id, *block, k);
            const int32_t next = block->getNext();
            if (next == 0) {
                m_seenTail = id;
                return true;
            }
            block = m_fetch(next);
            if (mark(next) != UNSEEN) {
                m_findings.report(kGradeStructure,
                                  "Queue is abnormal. Block ID %ld is seen more than once in the "
                                  "queue",
                                  long(next));
                m_seenTail = 0;
                m_seenFreeTail = 0;
                return false;
            }
            id = next;
        }
    }

    void checkChainBlock(int32_t id, DataBlock& block, int64_t& k) {
        const uint8_t expectedType = m_master.isExtended() ? TYPE_DATA_X : TYPE_DATA;
        if (block.getType() != expectedType) {
            m_findings.report(kGradeStructure,
                              "Block (ID %ld) type does not match with the master block.",
                              long(id));
        }
        if (block.getMagic() != DATA_MAGIC) {
            m_findings.report(kGradeStructure, "Block (ID %ld) magic is wrong.", long(id));
        }
        if (block.isExtended()) {
            if (block.payloadChecksum() != block.getChecksum()) {
                m_findings.report(kGradeStructure, "Block (ID %ld) checksum is wrong.", long(id));
            }
            if (block.isSpanning() && block.getSpanSeq() != k) {
                m_findings.report(kGradeStructure,
                                  "Queue is abnormal. Block ID %ld is a spanning record but the "
                                  "order is wrong.",
                                  long(id));
            }
        }
        if (block.isFree()) {
            m_findings.report(kGradeStructure,
                              "Queue is abnormal. Block ID %ld is seen in queue, but it claims "
                              "itself as a free block.",
                              long(id));
        }
        if (block.isSpanning()) {
            ++k;
            return;
        }
        // The last block of a record.
        ++m_records;
        const uint32_t size = uint32_t(block.getSize());
        m_data += size;
        const uint32_t capacity = uint32_t(block.payloadSize());
        const int64_t expected = recordBlocks(size, capacity);
        if (expected != k + 1) {
            m_findings.report(kGradeStructure,
                              "Queue is abnormal. Expect there are %ld number of block in a "
                              "record; but see %ld number of blocks.",
                              long(expected), long(k + 1));
        }
        if (block.isExtended() && block.getSpanSeq() != k) {
            m_findings.report(kGradeStructure,
                              "Queue is abnormal. Block ID %ld is the last spanning record but "
                              "the sequence number is wrong.",
                              long(id));
        }
        k = 0;
    }

    // True when the walk ended normally. An empty list (no head) has nothing to walk and has
    // ended normally, so that the sweep still finds a block that a crash left on no list.
    bool walkFreeList() {
        m_seenFreeTail = 0;
        int32_t id = m_master.getFreeHead();
        if (id == 0) {
            return true;
        }
        boost::shared_ptr<DataBlock> block = m_fetch(id);
        int32_t previous = 0;
        for (;;) {
            const uint8_t seen = mark(id);
            if (seen == IN_CHAIN) {
                m_findings.report(kGradeStructure,
                                  "Queue is abnormal. Block ID %ld is seen in the queue and "
                                  "appears again in the free-block-list.",
                                  long(id));
                return false;
            }
            if (seen == IN_FREE_LIST) {
                m_findings.report(kGradeStructure,
                                  "Queue is abnormal. Block ID %ld is seen more than once in the "
                                  "queue",
                                  long(id));
                return false;
            }
            mark(id) = IN_FREE_LIST;
            if (!block->isFree()) {
                m_findings.report(kGradeAccounting,
                                  "Queue is abnormal. Block ID %ld is seen in the free-block-list, "
                                  "but it claims itself as a used block.",
                                  long(id));
            }
            if (block->getPrevious() != previous) {
                m_findings.report(kGradeAccounting,
                                  "Queue is abnormal. Free block ID %ld records its previous "
                                  "block is %ld; but the previous block is %ld.",
                                  long(id), long(block->getPrevious()), long(previous));
                return false;
            }
            const int32_t next = block->getNext();
            if (next == 0) {
                m_seenFreeTail = id;
                return true;
            }
            block = m_fetch(next);
            previous = id;
            id = next;
        }
    }

    void sweep() {
        for (size_t id = 1; id < m_marks.size(); ++id) {
            if (m_marks[id] == UNSEEN) {
                m_findings.report(kGradeOrphan,
                                  "Queue is abnormal. Block ID %ld is reserved but belongs to "
                                  "neither used nor free list.",
                                  long(id));
            }
        }
    }

    // The recorded value first, what the walks found second. A queue recorded as empty has
    // no head, so its walk counts no record: that disagreement cannot arise.
    void compareAccounting() {
        if (m_master.getTail() != m_seenTail) {
            m_findings.report(kGradeAccounting,
                              "Queue is abnormal. Recorded tail is %ld; and tail we see is %ld.",
                              long(m_master.getTail()), long(m_seenTail));
        }
        if (m_master.getFreeTail() != m_seenFreeTail) {
            m_findings.report(kGradeAccounting,
                              "Queue is abnormal. Recorded free-tail is %ld; and free-tail we see "
                              "is %ld.",
                              long(m_master.getFreeTail()), long(m_seenFreeTail));
        }
        if (m_master.getCount() != int32_t(m_records)) {
            m_findings.report(kGradeAccounting,
                              "Queue is abnormal. Recorded number of records is %ld; and number "
                              "of records we count is %ld.",
                              long(m_master.getCount()), long(m_records));
        }
        if (m_master.getDataSize() != m_data) {
            m_findings.report(kGradeAccounting,
                              "Queue is abnormal. Recorded queue has %lu data; but we see %lu "
                              "data.",
                              static_cast<unsigned long>(m_master.getDataSize()),
                              static_cast<unsigned long>(m_data));
        }
    }

    const MasterBlock& m_master;
    std::vector<uint8_t> m_marks;
    Fetch m_fetch;
    Findings& m_findings;
    int32_t m_seenTail = 0;
    int32_t m_seenFreeTail = 0;
    int64_t m_records = 0;
    uint64_t m_data = 0;
};

}  // namespace

uint32_t DBQSingle::checkQueue(bool print, const std::string& prefix, std::ostream& out) {
    MutexLock lock(m_mutex);
    requireOpen("checkQueue");
    Findings findings(m_logger, m_label, print, prefix, out);
    findings.report(0, "Checking queue for integrity");
    IntegrityCheck check(
        *m_master, getFileSize() / m_blockSize, [this](int32_t id) { return getDataBlock(id); },
        findings);
    check.run();
    setUncleanShutdown(int32_t(findings.severity()));
    return findings.severity();
}

uint32_t DBQSingle::checkQueue() {
    return checkQueue(false, "", std::cout);
}

}  // namespace vfw
