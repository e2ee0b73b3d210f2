// DBQSingle records: appending, reading and removing, and fetching data blocks.
#include "dbq_source.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "single_internal.h"

namespace vfw {

using namespace dbqformat;

void DBQSingle::corrupt(int32_t id, const char* format, ...) {
    char detail[400];
    va_list args;
    va_start(args, format);
    ::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);
    VFW_THROW(FatalErrorException, 3, "Queue file %s is corrupt at block %d: %s", m_path.c_str(),
              id, detail);
}

int32_t DBQSingle::dataPayloadSize() const {
    return m_blockSize - (m_master->isExtended() ? HEADER_DATA_X : HEADER_DATA);
}

DBQSingle::BlockPtr DBQSingle::getDataBlock(int32_t id) {
    auto cached = m_dirty.find(id);
    if (cached != m_dirty.end()) {
        return cached->second;
    }
    BlockPtr block = boost::make_shared<DataBlock>(m_blockSize);
    block->read(id, m_stream);
    uint8_t expected = m_master->isExtended() ? TYPE_DATA_X : TYPE_DATA;
    if (block->getType() != expected) {
        VFW_LOG(m_logger, LEVEL_WARN, "%s: file %s block id %d unexpected type %d", m_label.c_str(),
                m_path.c_str(), id, int(block->getType()));
    }
    if (block->getBlockId() != id) {
        VFW_LOG(m_logger, LEVEL_WARN, "%s: file %s block id %d does not match that in content (%d)",
                m_label.c_str(), m_path.c_str(), id, block->getBlockId());
    }
    if (block->isExtended()) {
        block->refreshPayloadSize();
        if (block->getMagic() != DATA_MAGIC) {
            VFW_THROW(FatalErrorException, 1,
                      "Data block '%d' magic number mismatch: the expected magic number is 0x%x, "
                      "the one from file is 0x%x",
                      id, DATA_MAGIC, block->getMagic());
        }
        uint32_t computed = block->payloadChecksum();
        if (computed != block->getChecksum()) {
            VFW_THROW(FatalErrorException, 2,
                      "Data block '%d' checksum mismatch: the calculated checksum is 0x%x, the one "
                      "from file is 0x%x",
                      id, computed, block->getChecksum());
        }
    }
    return block;
}

void DBQSingle::markDirty(const BlockPtr& block) {
    m_dirty[block->getBlockId()] = block;
}

void DBQSingle::enqueue(const ByteArray& data, uint32_t length) {
    MutexLock lock(m_mutex);
    requireOpen("enqueue");
    if (length == 0) {
        VFW_THROW(BadDataException, -1, "DBQSingle (enqueue) refuses an empty record.");
    }
    if (!data) {
        VFW_THROW(BadDataException, -1, "DBQSingle (enqueue) has no record bytes.");
    }
    push(data, length);
}

void DBQSingle::dequeue(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    peek(data, length);
    pop();
}

void DBQSingle::dequeue() {
    MutexLock lock(m_mutex);
    requireOpen("dequeue");
    pop();
}

void DBQSingle::peek(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    requireOpen("peek");
    getHead(data, length);
}

void DBQSingle::push(const ByteArray& data, uint32_t length) {
    UpdateGuard guard(*this);
    const uint32_t payload = uint32_t(dataPayloadSize());
    const uint32_t blocks = recordBlocks(length, payload);
    const uint32_t lastChunk = length % payload != 0 ? length % payload : payload;
    VFW_LOG(m_logger, LEVEL_DEBUG,
            "%s: Push data, size:%d, block size:%d, blocks: %d, the last blocks size: %d",
            m_label.c_str(), int(length), int(payload), int(blocks), int(lastChunk));
    for (uint32_t k = 0; k < blocks; ++k) {
        BlockPtr block = getFreeBlock(blocks - k);
        int32_t id = block->getBlockId();
        block->setNext(0);
        block->setSize(length);
        if (m_master->getTail() != 0) {
            BlockPtr tail = getDataBlock(m_master->getTail());
            tail->setNext(id);
            markDirty(tail);
        }
        if (beyondLimit(id)) {
            VFW_LOG(m_logger, LEVEL_WARN, "%s: block id %d is beyond max id", m_label.c_str(), id);
        }
        if (m_master->getHead() == 0) {
            m_master->setHead(id);
        }
        m_master->setTail(id);
        bool last = k + 1 == blocks;
        block->setSpanning(!last);
        block->setSpanSeq(int32_t(k));
        if (!block->setData(data.get() + size_t(k) * payload, last ? lastChunk : payload)) {
            corrupt(id, "a free block of type %d cannot hold %u record bytes",
                    int(block->getType()), last ? lastChunk : payload);
        }
    }
    m_master->setCount(m_master->getCount() + 1);
    m_master->setDataSize(m_master->getDataSize() + length);
    m_master->setOperation(OP_PUSH);
    commit(guard);
    guard.done();
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Push data, count: %d", m_label.c_str(),
            m_master->getCount());
}

void DBQSingle::getHead(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    requireOpen("getHead");
    length = 0;
    int32_t id = m_master->getHead();
    if (id == 0) {
        return;
    }
    BlockPtr block = getDataBlock(id);
    const int32_t payload = block->payloadSize();
    const uint32_t size = uint32_t(block->getSize());
    const uint32_t blocks = recordBlocks(size, uint32_t(payload));
    const uint32_t lastChunk =
        size % uint32_t(payload) != 0 ? size % uint32_t(payload) : uint32_t(payload);
    VFW_LOG(m_logger, LEVEL_DEBUG,
            "%s: Get head data, size:%d, block size:%d, blocks: %d, the last blocks size: %d",
            m_label.c_str(), int(size), payload, int(blocks), int(lastChunk));
    // A length that implies more blocks than the file has is corrupt; checking it first keeps
    // a damaged size field from allocating gigabytes.
    if (blocks > 1 && int64_t(blocks) > lastBlockId()) {
        corrupt(id, "a record of %u bytes needs %u blocks, the file holds %d", size, blocks,
                lastBlockId());
    }
    ByteArray record(new unsigned char[size], boost::checked_array_deleter<unsigned char>());
    for (uint32_t k = 0; k < blocks; ++k) {
        if (block->payloadSize() != payload) {
            corrupt(block->getBlockId(), "its payload of %d bytes differs from the record's %d",
                    block->payloadSize(), payload);
        }
        std::memcpy(record.get() + size_t(k) * uint32_t(payload), block->data(),
                    k + 1 == blocks ? lastChunk : uint32_t(payload));
        if (k + 1 < blocks) {
            int32_t next = block->getNext();
            if (next == 0) {
                corrupt(block->getBlockId(), "the record's chain ends after %u of its %u blocks",
                        k + 1, blocks);
            }
            block = getDataBlock(next);
        }
    }
    data = record;
    length = size;
}

void DBQSingle::pop() {
    if (m_master->getHead() == 0) {
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Pop data, data blocks queue is empty.",
                m_label.c_str());
        return;
    }
    UpdateGuard guard(*this);
    const int32_t first = m_master->getHead();
    BlockPtr block = getDataBlock(first);
    const uint32_t size = uint32_t(block->getSize());
    const int32_t payload = block->payloadSize();
    VFW_LOG(m_logger, LEVEL_DEBUG,
            "%s: Pop data, the first data block id: %d, data blocks size: %d", m_label.c_str(),
            first, int(size));
    // A record cannot span more blocks than the file holds: a chain that does loops.
    const int32_t limit = lastBlockId();
    int32_t freed = 0;
    bool spanning = true;
    while (spanning) {
        if (freed > 0) {
            block = getDataBlock(m_master->getHead());
        }
        int32_t id = block->getBlockId();
        int32_t next = block->getNext();
        m_master->setHead(next);
        if (beyondLimit(next)) {
            VFW_LOG(m_logger, LEVEL_WARN, "%s: head id %d is beyond max id", m_label.c_str(), next);
        }
        spanning = block->isSpanning();
        freeBlock(block);
        ++freed;
        if (spanning && next == 0) {
            corrupt(id, "a spanning block ends the record chain");
        }
        if (spanning && freed >= limit) {
            corrupt(first, "the record's spanning blocks do not end within the file's %d blocks",
                    limit);
        }
    }
    int32_t head = m_master->getHead();
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Data blocks are freed, block count %d, id: %d",
            m_label.c_str(), freed, head);
    if (head == 0) {
        m_master->setHead(0);
        m_master->setTail(0);
    }
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: The data blocks recorded in data block is %d",
            m_label.c_str(), int(recordBlocks(size, uint32_t(payload))));
    m_master->setCount(m_master->getCount() - 1);
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Pop data count:%d", m_label.c_str(), m_master->getCount());
    uint64_t held = m_master->getDataSize();
    m_master->setDataSize(held > size ? held - size : 0);
    m_master->setOperation(OP_POP);
    commit(guard);
    guard.done();
    dropLastBlock();
}

}  // namespace vfw
