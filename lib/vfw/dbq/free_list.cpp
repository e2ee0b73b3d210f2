// DBQSingle free list: taking and returning blocks, growing the file, and giving back its
// last block.
#include "dbq_source.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "single_internal.h"

namespace vfw {

using namespace dbqformat;

// `wanted`: how many blocks the caller is about to take, this one included; when the free
// list is empty the file grows by that many (at most kGrowthBatch) at once.
DBQSingle::BlockPtr DBQSingle::getFreeBlock(uint32_t wanted) {
    if (m_master->getFreeHead() == 0) {
        addFreeBlocks(wanted);
    }
    BlockPtr block = getDataBlock(m_master->getFreeHead());
    int32_t id = block->getBlockId();
    if (beyondLimit(id)) {
        VFW_LOG(m_logger, LEVEL_WARN, "%s: The new free list head %d is beyond max id",
                m_label.c_str(), id);
    }
    int32_t next = block->getNext();
    m_master->setFreeHead(next);
    if (next != 0) {
        BlockPtr first = getDataBlock(next);
        first->setPrevious(0);
        markDirty(first);
    } else {
        m_master->setFreeTail(0);
    }
    block->setFree(false);
    markDirty(block);
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Get a free block id:%d", m_label.c_str(), id);
    return block;
}

// Grows the file by `count` new blocks past its end and puts them on the free list. The new
// blocks are written at once, before the update is committed, so a crash before the commit
// leaves them at the end of the file on no list. Consecutive new blocks go out in one write:
// the same bytes in the same order as block by block, one system call instead of many.
void DBQSingle::addFreeBlocks(uint32_t count) {
    const uint32_t kGrowthBatch = 64;
    count = count < 1 ? 1 : count > kGrowthBatch ? kGrowthBatch : count;
    const int64_t first = currentFileSize() / m_blockSize;
    if (first + count - 1 > INT32_MAX) {
        VFW_THROW(IOException, -1, "Queue file %s has no block id left to grow", m_path.c_str());
    }
    std::vector<BlockPtr> blocks;
    std::vector<char> images(size_t(count) * size_t(m_blockSize));
    for (uint32_t i = 0; i < count; ++i) {
        BlockPtr block = boost::make_shared<DataBlock>(m_blockSize);
        if (m_master->isExtended()) {
            block->setType(TYPE_DATA_X);
            block->setMagic(DATA_MAGIC);
            block->setVersion(VERSION);
        }
        block->setFree(false);
        block->setBlockId(int32_t(first + i));
        block->setChecksum();
        block->setTime();
        block->setAge(m_age++);
        std::memcpy(&images[size_t(i) * size_t(m_blockSize)], block->buffer(), size_t(m_blockSize));
        blocks.push_back(block);
    }
    m_stream.seekp(std::streamoff(first) * m_blockSize, std::ios_base::beg);
    bool seekFailed = m_stream.fail();
    if (!seekFailed) {
        m_stream.write(images.data(), std::streamsize(images.size()));
    }
    if (seekFailed || !m_stream.good()) {
        // Name the first block that did not reach the file, as block-by-block writing would.
        int64_t reached = m_stream.file().size();
        int64_t failed = reached > first * m_blockSize ? reached / m_blockSize : first;
        failBlockWrite(int32_t(failed), m_stream, seekFailed);
    }
    for (const BlockPtr& block : blocks) {
        freeBlock(block);
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Added an new free block id:%d", m_label.c_str(),
                block->getBlockId());
    }
    flushAndCheck("flush failed(3)");
}

void DBQSingle::freeBlock(const BlockPtr& block) {
    int32_t id = block->getBlockId();
    block->setFree(true);
    block->setNext(0);
    if (beyondLimit(id)) {
        VFW_LOG(m_logger, LEVEL_WARN, "%s: The block id %d is beyond max id", m_label.c_str(), id);
    }
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Free a block(id:%d)", m_label.c_str(), id);
    int32_t oldTail = m_master->getFreeTail();
    if (oldTail != 0) {
        BlockPtr tail = getDataBlock(oldTail);
        tail->setNext(id);
        markDirty(tail);
    } else {
        m_master->setFreeHead(id);
    }
    block->setPrevious(oldTail);
    m_master->setFreeTail(id);
    markDirty(block);
}

void DBQSingle::shrink() {
    MutexLock lock(m_mutex);
    // Never refused: a closed queue has nothing to give back.
    if (m_open) {
        dropLastBlock();
    }
}

void DBQSingle::dropLastBlock() {
    // Block 0 is the master block: a file without data blocks has nothing to give back.
    const int32_t id = lastBlockId();
    if (id < 1) {
        return;
    }
    BlockPtr block;
    try {
        block = getDataBlock(id);
    } catch (const VFWException& e) {
        // Giving blocks back is housekeeping after a committed update: a last block that does
        // not read back (the end of a record cut short by a crash, or damage) stays, and the
        // caller's update still succeeds.
        VFW_LOG(m_logger, LEVEL_WARN, "%s: the last block %d is kept: %s", m_label.c_str(), id,
                e.what());
        return;
    }
    if (!block->isFree()) {
        return;
    }
    if (m_shrinkCounter++ < 100) {
        return;
    }
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Drop the last free block at the tail of the file id:%d",
            m_label.c_str(), id);
    m_shrinkCounter = 0;
    UpdateGuard guard(*this);
    unlinkFreeBlock(id, block);
    m_master->setOperation(OP_DROP_LAST_BLOCK);
    commit(guard);
    guard.done();
    if (!m_stream.file().truncate(int64_t(id) * m_blockSize)) {
        int error = errno;
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Drop the last free block of the file failed:%s",
                m_label.c_str(), std::strerror(error));
    }
}

// Takes the free block `id` out of the free list in memory, its neighbours marked dirty, for
// the caller's commit.
void DBQSingle::unlinkFreeBlock(int32_t id, const BlockPtr& block) {
    const int32_t next = block->getNext();
    const int32_t previous = block->getPrevious();
    BlockPtr successor;
    BlockPtr predecessor;
    if (next != 0) {
        successor = getDataBlock(next);
        markDirty(successor);
    }
    if (previous != 0) {
        predecessor = getDataBlock(previous);
        markDirty(predecessor);
    }
    const bool isHead = m_master->getFreeHead() == id;
    const bool isTail = m_master->getFreeTail() == id;
    if (isHead && isTail) {
        m_master->setFreeHead(0);
        m_master->setFreeTail(0);
    } else if (isHead) {
        m_master->setFreeHead(next);
        if (beyondLimit(next)) {
            VFW_LOG(m_logger, LEVEL_WARN, "%s: The new free list head %d is beyond max id",
                    m_label.c_str(), next);
        }
        if (successor) {
            successor->setPrevious(0);
        }
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: The new free list head is id:%d", m_label.c_str(),
                next);
    } else if (isTail) {
        m_master->setFreeTail(previous);
        if (beyondLimit(previous)) {
            VFW_LOG(m_logger, LEVEL_WARN, "%s: The new free list tail %d is beyond max id",
                    m_label.c_str(), previous);
        }
        if (predecessor) {
            predecessor->setNext(0);
        }
    } else {
        if (predecessor) {
            predecessor->setNext(next);
        }
        if (successor) {
            successor->setPrevious(previous);
        }
    }
}

}  // namespace vfw
