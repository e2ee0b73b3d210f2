// DBQSingle lifecycle: construction, open, the master block, the commit protocol, the
// descriptor, close and destroy.
#include "dbq_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "single_internal.h"
#include "vfw/file_util.h"
#include "vfw/path.h"
#include "vfw/string_util.h"

namespace vfw {

using namespace dbqformat;

DBQ::~DBQ() = default;

DBQSingle::DBQSingle(int32_t blockSize)
    : DBQ(blockSize),
      m_shrinkCounter(0),
      m_open(false),
      m_uncleanShutdown(0),
      m_age(0),
      m_maxBlockId(0) {
    if (!isSaneBlockSize(blockSize)) {
        VFW_THROW(BadDataException, -1, "DBQSingle block size %d is out of range", blockSize);
    }
}

DBQSingle::DBQSingle(const std::string& path, int32_t openMode, int32_t blockSize, int32_t fileMode,
                     int32_t shrinkCounter)
    : DBQSingle(blockSize) {
    m_shrinkCounter = shrinkCounter;
    open(path, openMode, fileMode, true, "");
}

DBQSingle::~DBQSingle() noexcept {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; the descriptor is released by the stream regardless.
    }
}

bool DBQSingle::open(const std::string& path, int32_t openMode, int32_t fileMode, bool strict,
                     const std::string& name) {
    MutexLock lock(m_mutex);
    std::string fileName = vfw::path(path).getLeaf();
    m_label = name.empty() ? fileName : name + "/" + fileName;
    m_logger = getLogger("vfw.dbqs");
    m_path = path;

    int flags = -1;
    if (openMode == 0) {
        flags = O_RDONLY;
    } else if (openMode == 1 || openMode == 2) {
        flags = O_RDWR | O_CREAT;
    }
    if (flags == -1) {
        errno = EINVAL;
    } else {
        m_stream.open(path.c_str(), flags, mode_t(fileMode) & 07777, openMode == 2);
    }
    if (!m_stream.is_open()) {
        int error = errno;
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Open file %s failed (error %d)", m_label.c_str(),
                path.c_str(), error);
        if (error == ENFILE || error == EMFILE) {
            VFW_LOG(m_logger, LEVEL_WARN,
                    "%s: The number of open files reached the limitation. Need to increase the "
                    "limitation, then restart vaud to take effect.",
                    m_label.c_str());
        }
        m_open = false;
        return false;
    }
    m_dirty.clear();
    if (currentFileSize() > 0) {
        m_master = loadMasterBlock();
    } else {
        // A file opened for reading only is not this queue's to change, not even its mode;
        // init then fails to write block 0, as it must for a file without a master block.
        if (openMode != 0 && ::fchmod(m_stream.fd(), mode_t(fileMode) & 07777) != 0) {
            int error = errno;
            VFW_THROW(IOException, 0, "Can't change permissions of %s to %x: %s", path.c_str(),
                      unsigned(fileMode), std::strerror(error));
        }
        init();
    }
    if (m_master->getOperation() == OP_NONE) {
        m_open = true;
        return true;
    }
    VFW_LOG(m_logger, LEVEL_INFO, "%s: File %s is not shut cleanly. Close the file.",
            m_label.c_str(), path.c_str());
    setUncleanShutdown(1);
    if (strict) {
        m_open = false;
        close();
        VFW_THROW(IOException, -1, "DBQSingle is not shut cleanly.");
    }
    m_open = true;
    return true;
}

void DBQSingle::close() {
    MutexLock lock(m_mutex);
    m_stream.close();
    m_dirty.clear();
    m_open = false;
}

void DBQSingle::destroy() {
    close();
    if (::unlink(m_path.c_str()) != 0) {
        int error = errno;
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Remove file %s failed (error %d)", m_label.c_str(),
                m_path.c_str(), error);
    }
}

boost::shared_ptr<MasterBlock> DBQSingle::loadMasterBlock() {
    boost::shared_ptr<MasterBlock> master(new MasterBlock(m_blockSize));
    master->read(0, m_stream);
    if (master->getType() != TYPE_MASTER_X) {
        return master;
    }
    master->refreshPayloadSize();
    if (master->getMagic() != MASTER_MAGIC) {
        VFW_THROW(FatalErrorException, 1,
                  "Master block's magic number mismatch: the expected magic number is 0x%x, the "
                  "one from file is 0x%x",
                  MASTER_MAGIC, master->getMagic());
    }
    uint32_t computed = master->payloadChecksum();
    if (computed != master->getChecksum()) {
        VFW_THROW(FatalErrorException, 2,
                  "Master block's checksum mismatch: the calculated checksum is 0x%x, the one "
                  "from file is 0x%x",
                  computed, master->getChecksum());
    }
    int32_t recorded = master->getBlockSizeField();
    if (recorded != 0 && !isSaneBlockSize(recorded)) {
        VFW_THROW(FatalErrorException, 3, "Queue file %s records an impossible block size %d",
                  m_path.c_str(), recorded);
    }
    return master;
}

void DBQSingle::init() {
    boost::shared_ptr<MasterBlock> master(new MasterBlock(m_blockSize));
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Initialize master block.", m_label.c_str());
    master->setFreeHead(0);
    master->setFreeTail(0);
    master->setHead(0);
    master->setTail(0);
    master->setBlockId(0);
    master->setCount(0);
    master->setDataSize(0);
    master->setOperation(OP_NONE);
    master->setType(TYPE_MASTER_X);
    master->setMagic(MASTER_MAGIC);
    master->setVersion(VERSION);
    master->setChecksum();
    master->setTime();
    master->setAge(m_age++);
    master->setBlockSizeField(m_blockSize);
    master->write(m_stream);
    m_stream.flush();
    m_master = master;
}

void DBQSingle::stampAndWrite(Block& block) {
    block.setChecksum();
    block.setTime();
    block.setAge(m_age++);
    block.write(m_stream);
}

void DBQSingle::flushAndCheck(const char* what) {
    m_stream.flush();
    if (m_stream.fail()) {
        VFW_LOG(m_logger, LEVEL_WARN, "%s: %s.  EOF: %s, Bad: %s, Fail: %s", m_label.c_str(), what,
                boolToString(m_stream.eof()).c_str(), boolToString(m_stream.bad()).c_str(),
                boolToString(m_stream.fail()).c_str());
    }
}

// Writes `length` bytes at `offset` of block 0.
void DBQSingle::writeMasterBytes(int32_t offset, const unsigned char* bytes, int32_t length) {
    m_stream.seekp(offset, std::ios_base::beg);
    bool seekFailed = m_stream.fail();
    if (!seekFailed) {
        m_stream.write(reinterpret_cast<const char*>(bytes), length);
        if (m_stream.good()) {
            return;
        }
    }
    failBlockWrite(0, m_stream, seekFailed);
}

// A copy into a mapped file can be cut short at any byte when the process dies, so the
// operation byte that marks an update goes to the file before the rest of the master block,
// and its clearing after everything else: whatever part of an update reached the file, the
// mark reached it too. The mark is written with the bytes before it as block 0 holds them
// (`before`, the image when the update began), so that part of the write changes nothing.
void DBQSingle::commit(const UpdateGuard& update) {
    unsigned char mark[OFF_OPERATION + 1];
    std::memcpy(mark, update.before(), OFF_OPERATION);
    mark[OFF_OPERATION] = m_master->getOperation();
    writeMasterBytes(0, mark, OFF_OPERATION + 1);
    stampAndWrite(*m_master);
    flushAndCheck("flush failed");
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Flush data block to disk, data blocks: %d", m_label.c_str(),
            int(m_dirty.size()));
    for (const auto& entry : m_dirty) {
        stampAndWrite(*entry.second);
    }
    stampAndWrite(*m_master);  // still marked
    m_master->setOperation(OP_NONE);
    writeMasterBytes(OFF_OPERATION, m_master->buffer() + OFF_OPERATION, 1);
    flushAndCheck("flush failed(2)");
    m_dirty.clear();
}

void DBQSingle::putDescriptor(const ByteArray& data, uint32_t length) {
    MutexLock lock(m_mutex);
    requireOpen("putDescriptor");
    int32_t capacity = m_master->payloadSize();
    if (int64_t(length) > capacity) {
        VFW_LOG(m_logger, LEVEL_DEBUG, "%s: descriptor is too bigdata size %d, limitation %d.",
                m_label.c_str(), int(length), capacity);
        return;
    }
    if (length > 0 && !data) {
        VFW_THROW(BadDataException, -1, "DBQSingle (putDescriptor) has no descriptor bytes.");
    }
    UpdateGuard guard(*this);
    m_master->setDescriptorSize(int32_t(length));
    if (length > 0) {
        m_master->setData(data.get(), length);
    }
    m_master->setOperation(OP_PUT_DESCRIPTOR);
    commit(guard);
    guard.done();
}

ByteArray DBQSingle::getDescriptor(int32_t& size) {
    MutexLock lock(m_mutex);
    requireOpen("getDescriptor");
    int32_t recorded = m_master->getDescriptorSize();
    if (recorded < 0 || recorded > m_master->payloadSize()) {
        VFW_THROW(FatalErrorException, 3,
                  "Queue file %s records a descriptor of %d bytes in an area of %d bytes",
                  m_path.c_str(), recorded, m_master->payloadSize());
    }
    size = recorded;
    ByteArray copy(new unsigned char[size_t(recorded)],
                   boost::checked_array_deleter<unsigned char>());
    std::memcpy(copy.get(), m_master->data(), size_t(recorded));
    VFW_LOG(m_logger, LEVEL_DEBUG, "%s: Get descriptor from master block. data size: %d",
            m_label.c_str(), recorded);
    return copy;
}

void DBQSingle::requireOpen(const char* operation) {
    if (!m_open) {
        VFW_THROW(IOException, -1, "DBQSingle (%s) is not opened.", operation);
    }
}

int64_t DBQSingle::currentFileSize() {
    int64_t size = m_stream.file().size();
    if (size < 0) {
        int error = errno;
        VFW_THROW(SystemException, -1, "OS call failed: %s", std::strerror(error));
    }
    return size;
}

int32_t DBQSingle::lastBlockId() {
    int64_t last = currentFileSize() / m_blockSize - 1;
    return last > INT32_MAX ? INT32_MAX : int32_t(last);
}

int64_t DBQSingle::getFileSize() {
    MutexLock lock(m_mutex);
    return GetFileSize(m_path);
}

int32_t DBQSingle::getBlockSize() {
    MutexLock lock(m_mutex);
    return m_master ? m_master->getBlockSizeField() : 0;
}

bool DBQSingle::isOpen() {
    MutexLock lock(m_mutex);
    return m_open;
}

uint64_t DBQSingle::getDataSize() {
    MutexLock lock(m_mutex);
    return m_master ? m_master->getDataSize() : 0;
}

int64_t DBQSingle::count() {
    MutexLock lock(m_mutex);
    return m_master ? m_master->getCount() : 0;
}

bool DBQSingle::isEmpty() {
    MutexLock lock(m_mutex);
    return !m_master || m_master->getHead() == 0;
}

void DBQSingle::setMaxSize(uint64_t size) {
    MutexLock lock(m_mutex);
    if (m_maxBlockId == 0) {
        uint64_t blocks = size / uint64_t(m_blockSize);
        m_maxBlockId = blocks > uint64_t(INT32_MAX) ? INT32_MAX : int32_t(blocks);
    }
}

uint64_t DBQSingle::dataSizeOf(const std::string& path) {
    if (!vfw::path(path).exists()) {
        return 0;
    }
    DBQSingle queue(path, 0, DEFAULT_BLOCK_SIZE, 0600, 0);
    return queue.getDataSize();
}

}  // namespace vfw
