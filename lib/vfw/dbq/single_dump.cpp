// DBQSingle dumps: the record chain with its blocks and payloads, and one line per block of
// the file.
#include "dbq_source.h"

#include <atomic>
#include <climits>
#include <iostream>

#include "../dbq_seam.h"
#include "dump_output.h"
#include "single_internal.h"

namespace vfw {

using namespace dbqformat;

namespace {

// A chain longer than this is taken for a loop, not followed to its end.
const int32_t kDefaultDumpEntryLimit = 1000002;
std::atomic<int32_t> g_dumpEntryLimit{kDefaultDumpEntryLimit};

// The block size recorded in an extended master block, 512 for one that records 0.
int32_t recordedBlockSize(const MasterBlock& master) {
    int32_t recorded = master.getBlockSizeField();
    return recorded == 0 ? DEFAULT_BLOCK_SIZE : recorded;
}

// "Block ID: .." up to the payload capacity and the line feed, the part of a block's line
// that dump and dumpAccounting share.
void writeBlockFields(DumpOutput& out, int32_t id, const DataBlock& block) {
    out << "Block ID: " << id << "\tNext block ID: " << block.getNext()
        << "\tSize: " << block.getSize() << "\tSpanning: " << int(block.isSpanning())
        << "\tFree: " << int(block.isFree()) << "\tDatasize: " << block.payloadSize() << '\n';
}

void writeBlockDetail(DumpOutput& out, const DataBlock& block) {
    uint32_t stored = block.getChecksum();
    uint32_t actual = block.payloadChecksum();
    out << " magic: " << int32_t(block.getMagic()) << " checksum: " << stored
        << " actual checksum: " << actual;
    if (stored != actual) {
        out << "(mismatch)";
    }
    out << " version: " << block.getVersion() << " age: " << block.getAge()
        << " span seq: " << block.getSpanSeq() << " time: ";
    out.ctimeText(block.getTime());
    out << '\n';
}

// The first bytes of the payload: as many as the record's length, at most the capacity.
void writePayload(DumpOutput& out, DataBlock& block) {
    int64_t shown = block.getSize();
    if (shown > block.payloadSize()) {
        shown = block.payloadSize();
    }
    if (shown > 0) {
        out.payload(block.data(), size_t(shown));
    }
}

// The first line of both dumps; they differ only in the label of the operation byte.
void writeAccounting(DumpOutput& out, DBQSingle& queue, const MasterBlock& master,
                     const char* operationLabel) {
    out << "DB accounting "
        << " empty: " << int(queue.isEmpty()) << " count: " << int32_t(queue.count())
        << " getDataSize: " << queue.getDataSize() << " head: " << master.getHead()
        << " tail: " << master.getTail() << " freehead: " << master.getFreeHead()
        << " freetail: " << master.getFreeTail() << operationLabel << int(master.getOperation())
        << '\n';
}

}  // namespace

void seam::setDumpEntryLimit(int32_t entries) {
    g_dumpEntryLimit.store(entries < 1 ? 1 : entries);
}

void DBQSingle::dump(bool withData) {
    MutexLock lock(m_mutex);
    requireOpen("dump");
    DumpOutput out(std::cout);
    writeAccounting(out, *this, *m_master, " operation: ");
    if (m_master->isExtended()) {
        m_blockSize = recordedBlockSize(*m_master);
        out << " magic: " << int32_t(m_master->getMagic())
            << " checksum: " << m_master->getChecksum() << " version: " << m_master->getVersion()
            << " age: " << m_master->getAge() << " blocksize: " << m_blockSize << " time: ";
        out.ctimeText(m_master->getTime());
        out << '\n';
    }
    if (isEmpty()) {
        out << "DB is empty\n"
            << "empty: " << int(isEmpty()) << '\n'
            << "count: " << int32_t(count()) << '\n'
            << "getDataSize: " << getDataSize() << '\n';
        return;
    }
    const int32_t lastEntry = g_dumpEntryLimit.load() - 1;
    int32_t id = m_master->getHead();
    BlockPtr block = getDataBlock(id);
    for (int32_t i = 0;; ++i) {
        out << "i: " << i << '\t';
        writeBlockFields(out, id, *block);
        if (block->isExtended()) {
            writeBlockDetail(out, *block);
        }
        if (withData) {
            writePayload(out, *block);
            out << '\n' << '\n';
        }
        const int32_t next = block->getNext();
        if (next == 0) {
            return;
        }
        block = getDataBlock(next);
        id = next;
        if (i == lastEntry) {
            out << "Too many blocks to follow. Quit without finishing all readings.\n"
                << "Is there a loop between the blocks; or just a big DB?\n";
            return;
        }
    }
}

void DBQSingle::dumpAccounting() {
    MutexLock lock(m_mutex);
    requireOpen("dumpAccounting");
    DumpOutput out(std::cout);
    writeAccounting(out, *this, *m_master, " CurrentOperation: ");
    if (m_master->isExtended()) {
        m_blockSize = recordedBlockSize(*m_master);
    }
    const int64_t blocks = getFileSize() / m_blockSize;
    for (int64_t id = 1; id < blocks && id <= INT32_MAX; ++id) {
        BlockPtr block = getDataBlock(int32_t(id));
        writeBlockFields(out, int32_t(id), *block);
    }
}

}  // namespace vfw
