// QueueFile: a queue file read with pread and verified block by block (see queue_file.h).
#include "queue_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vaudbq {

using namespace vfw::dbqformat;

namespace {

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

QueueFile::QueueFile(const std::string& path)
    : m_path(path), m_fd(-1), m_blockSize(DEFAULT_BLOCK_SIZE), m_blocks(0) {
    checkReadable(path);
    m_fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = errno;
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        throw Failure(ERROR, path + ": cannot open: " + std::strerror(error));
    }
    m_stamp = stampOf(st);
    loadMaster();
    m_blocks = st.st_size / m_blockSize;
}

QueueFile::~QueueFile() {
    ::close(m_fd);
}

// False at the end of the file; a read error other than that stops the whole file.
bool QueueFile::readAt(int64_t offset, unsigned char* buffer, int32_t length) {
    int32_t done = 0;
    while (done < length) {
        const ssize_t got =
            ::pread(m_fd, buffer + done, size_t(length - done), off_t(offset + done));
        if (got > 0) {
            done += int32_t(got);
        } else if (got == 0) {
            return false;
        } else if (errno != EINTR) {
            throw Failure(ERROR, m_path + ": read failed: " + std::strerror(errno));
        }
    }
    return true;
}

// The master block at the block size it records; an extended block that cannot be trusted
// keeps the default block size and says why in masterProblem().
void QueueFile::loadMaster() {
    m_master.reset(new vfw::MasterBlock(DEFAULT_BLOCK_SIZE));
    if (!readAt(0, m_master->buffer(), DEFAULT_BLOCK_SIZE)) {
        m_masterProblem = "the file ends within its master block";
        return;
    }
    const uint8_t type = m_master->getType();
    if (type == TYPE_MASTER) {
        return;
    }
    if (type != TYPE_MASTER_X) {
        m_masterProblem = "the master block's type is " + std::to_string(type);
        return;
    }
    m_master->refreshPayloadSize();
    const int32_t recorded = m_master->getBlockSizeField();
    if (recorded != 0 && !isSaneBlockSize(recorded)) {
        m_masterProblem =
            "the master block records an impossible block size " + std::to_string(recorded);
        return;
    }
    if (recorded != 0 && recorded != DEFAULT_BLOCK_SIZE) {
        m_master.reset(new vfw::MasterBlock(recorded));
        if (!readAt(0, m_master->buffer(), recorded)) {
            m_masterProblem = "the file ends within its master block";
            return;
        }
        m_master->refreshPayloadSize();
        m_blockSize = recorded;
    }
    if (m_master->getMagic() != MASTER_MAGIC) {
        m_masterProblem = "the master block's magic number is " + hex(m_master->getMagic());
    } else if (m_master->payloadChecksum() != m_master->getChecksum()) {
        m_masterProblem = "the master block's checksum is wrong (recorded " +
                          hex(m_master->getChecksum()) + ", computed " +
                          hex(m_master->payloadChecksum()) + ")";
    }
}

std::string QueueFile::read(int32_t id, vfw::DataBlock& block, bool* headerSound) {
    if (headerSound != nullptr) {
        *headerSound = false;
    }
    if (id <= 0 || id >= m_blocks) {
        return "lies outside the file of " + std::to_string(m_blocks) + " blocks";
    }
    if (!readAt(int64_t(id) * m_blockSize, block.buffer(), m_blockSize)) {
        return "cannot be read: the file ends before it";
    }
    block.refreshPayloadSize();
    const uint8_t expected = extended() ? TYPE_DATA_X : TYPE_DATA;
    if (block.getType() != expected) {
        return "is of type " + std::to_string(block.getType()) + ", not " +
               std::to_string(expected);
    }
    if (block.getBlockId() != id) {
        return "carries the id " + std::to_string(block.getBlockId());
    }
    if (block.getMagic() != DATA_MAGIC) {
        return "has a wrong magic number (" + hex(block.getMagic()) + ")";
    }
    if (headerSound != nullptr) {
        *headerSound = true;
    }
    if (block.payloadChecksum() != block.getChecksum()) {
        return "has a wrong checksum (recorded " + hex(block.getChecksum()) + ", computed " +
               hex(block.payloadChecksum()) + ")";
    }
    return "";
}

}  // namespace vaudbq
