// Disk-backed first-in first-out queues of byte records.
//
// `DBQ` is the abstract queue: 22 operations in a fixed slot order, then the destructor.
// `DBQSingle` keeps one queue file (format in vfw/dbq_format.h): a master block in memory
// while open, data blocks read on demand, and every update written by one commit that marks
// the master block's `operation` byte first and clears it last, so a process that dies in
// the middle leaves a file that the next open reports as not shut down cleanly.
//
// Contracts a caller must know:
// - Failures are thrown: IOException for I/O failures and refusals (closed queue, a file
//   not shut cleanly opened strictly), FatalErrorException for a corrupt file (bad magic
//   number or checksum, a record chain that is broken, loops or claims more blocks than the
//   file holds, an impossible block size); the latter names the file and, where there is
//   one, the block. An update that throws leaves the object's memory as before the update
//   and the file either unchanged (but for new blocks at its end, on no list) or marked as
//   interrupted; its stream stays failed, so the object should be closed and reopened.
// - Records are reference-counted byte arrays with a separate uint32 length. Empty records
//   are refused (BadDataException), so `count` always equals the records in the chain.
// - Every operation takes the queue's recursive mutex except the unclean-shutdown accessors,
//   the exception handlers, flushDb and destroy (whose close takes it). There is no locking
//   between processes: one process at a time may open a file for writing, and nothing else
//   may shrink a file while it is open for writing (such a file is mapped into memory).
#ifndef VFW_DBQ_H
#define VFW_DBQ_H

#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include "vfw/dbq_format.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/mutex.h"

namespace vfw {

// Record and descriptor bytes.
using ByteArray = boost::shared_array<unsigned char>;

class DBQ {
  public:
    explicit DBQ(int32_t blockSize) : m_blockSize(blockSize) {}
    DBQ(const DBQ&) = delete;
    DBQ& operator=(const DBQ&) = delete;

    virtual void enqueue(const ByteArray& data, uint32_t length) = 0;
    // Reads the oldest record, then removes it.
    virtual void dequeue(ByteArray& data, uint32_t& length) = 0;
    // Removes the oldest record unread.
    virtual void dequeue() = 0;
    virtual void peek(ByteArray& data, uint32_t& length) = 0;
    virtual void getHead(ByteArray& data, uint32_t& length) = 0;
    virtual void shrink() = 0;
    virtual int32_t getBlockSize() = 0;
    // mode 0: read only; 1: read and write, created when missing; 2: as 1, truncated.
    virtual bool open(const std::string& path, int32_t openMode, int32_t fileMode, bool strict,
                      const std::string& name) = 0;
    virtual void close() = 0;
    virtual void destroy() = 0;
    virtual bool isOpen() = 0;
    virtual uint64_t getDataSize() = 0;
    virtual int64_t getFileSize() = 0;
    virtual int64_t count() = 0;
    virtual bool isEmpty() = 0;
    virtual int32_t isUncleanShutdown() = 0;
    virtual void setUncleanShutdown(int32_t value) = 0;
    virtual void dump(bool withData) = 0;
    virtual void handleFatalErrorException(const FatalErrorException& e) = 0;
    virtual void handleException(const VFWException& e) = 0;
    virtual void flushDb() = 0;
    virtual void setMaxSize(uint64_t size) = 0;
    virtual ~DBQ();

  protected:
    int32_t m_blockSize;
};

class DBQSingle : public DBQ {
  public:
    // An unopened queue. The block size must lie in [62, 1 MiB] (BadDataException otherwise).
    explicit DBQSingle(int32_t blockSize);
    // As above with the shrink counter set, then open(path, openMode, fileMode, strict, "").
    DBQSingle(const std::string& path, int32_t openMode, int32_t blockSize, int32_t fileMode,
              int32_t shrinkCounter);
    // Closes the file. Never throws (a mutex still held by another thread at this point is a
    // fault of the caller and ends the process).
    ~DBQSingle() noexcept override;

    void enqueue(const ByteArray& data, uint32_t length) override;
    void dequeue(ByteArray& data, uint32_t& length) override;
    void dequeue() override;
    void peek(ByteArray& data, uint32_t& length) override;
    void getHead(ByteArray& data, uint32_t& length) override;
    void shrink() override;
    int32_t getBlockSize() override;
    bool open(const std::string& path, int32_t openMode, int32_t fileMode, bool strict,
              const std::string& name) override;
    void close() override;
    void destroy() override;
    bool isOpen() override;
    uint64_t getDataSize() override;
    int64_t getFileSize() override;
    int64_t count() override;
    bool isEmpty() override;
    int32_t isUncleanShutdown() override { return m_uncleanShutdown; }
    void setUncleanShutdown(int32_t value) override { m_uncleanShutdown = value; }
    void dump(bool withData) override;
    void handleFatalErrorException(const FatalErrorException&) override {}
    void handleException(const VFWException&) override {}
    void flushDb() override {}
    void setMaxSize(uint64_t size) override;
    // The size in bytes of the open file as its stream knows it, without a system call while
    // the file is open for writing (getFileSize asks the file system by path); -1 when the
    // queue is not open or the size cannot be had.
    int64_t openFileSize() {
        MutexLock lock(m_mutex);
        return m_open ? m_stream.file().size() : -1;
    }

    // Stores an opaque descriptor of at most the master block's payload size (450 bytes with
    // 512-byte blocks); a longer one is refused without change (DEBUG record only).
    void putDescriptor(const ByteArray& data, uint32_t length);
    // A copy of the stored descriptor; its length goes to `size`.
    ByteArray getDescriptor(int32_t& size);

    // The data size of the queue file at `path`, opened read-only; 0 when it does not exist.
    static uint64_t dataSizeOf(const std::string& path);

    // Inspection; none of these changes the file. dump(withData) (slot 17) writes the
    // accounting line, the master block and the record chain from `head` to standard output,
    // and dumpAccounting() the accounting line and one line per block of the file. Both read
    // blocks with the queue's verification, so a corrupt block ends them with its exception
    // after the text before it; both take the block size recorded in an extended master block
    // for this object's later reads. dump follows a chain for at most 1000002 blocks, so a
    // chain that loops ends with two "Too many blocks" lines. Both refuse a queue that is not
    // open (IOException).
    void dumpAccounting();
    // Walks the record chain and the free list, cross-checks them with each other and with
    // the master block, and reports every finding (logged at INFO; with `print`, also written
    // to `out` as `prefix`, the text and a newline). Returns the highest grade found, which is
    // also stored as the unclean-shutdown flag: 0 none, 2 a block on neither list, 3 the
    // accounting or a free-list link disagrees, 4 structural damage. A block that fails the
    // read verification ends the check with its exception.
    uint32_t checkQueue(bool print, const std::string& prefix, std::ostream& out);
    uint32_t checkQueue();
    // Dumps the file at `path` raw, block by block, without any verification, then walks its
    // free list; opens its own streams and needs no queue object. File problems are reported
    // in the text (standard output, and the counts verdict and an open failure on standard
    // error); only an unreadable block 0 throws (IOException).
    static void dumpRawFile(const std::string& path);

    class Iterator;

  private:
    using BlockPtr = boost::shared_ptr<DataBlock>;
    class UpdateGuard;

    // Lifecycle and commit protocol.
    void init();
    boost::shared_ptr<MasterBlock> loadMasterBlock();
    void commit(const UpdateGuard& update);
    void stampAndWrite(Block& block);
    void writeMasterBytes(int32_t offset, const unsigned char* bytes, int32_t length);
    void flushAndCheck(const char* what);
    int64_t currentFileSize();
    int32_t lastBlockId();
    void requireOpen(const char* operation);

    // Records and free list.
    void push(const ByteArray& data, uint32_t length);
    void pop();
    BlockPtr getDataBlock(int32_t id);
    void markDirty(const BlockPtr& block);
    BlockPtr getFreeBlock(uint32_t wanted);
    void addFreeBlocks(uint32_t count);
    void freeBlock(const BlockPtr& block);
    void dropLastBlock();
    void unlinkFreeBlock(int32_t id, const BlockPtr& block);
    int32_t dataPayloadSize() const;
    bool beyondLimit(int32_t id) const { return m_maxBlockId != 0 && id > m_maxBlockId; }
    [[noreturn]] void corrupt(int32_t id, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    BlockFileStream m_stream;
    boost::shared_ptr<MasterBlock> m_master;
    std::map<int32_t, BlockPtr> m_dirty;
    int32_t m_shrinkCounter;
    std::string m_path;
    Logger m_logger;
    bool m_open;
    Mutex m_mutex;
    int32_t m_uncleanShutdown;
    std::string m_label;
    uint32_t m_age;
    int32_t m_maxBlockId;
};

// A cursor over the records of a DBQSingle: the queue, the id of the block it stands on, the
// logger "vfw.dbq.iterator", a record buffer and two positions within it. Only the cursor's
// state exists, no traversal; the accessors read it back.
class DBQSingle::Iterator {
  public:
    // The end cursor: no queue, block 0.
    Iterator();
    // A cursor on the first block of the queue's oldest record (block 0 when the queue is
    // empty or closed); takes the queue's lock to read it.
    explicit Iterator(DBQSingle& queue);

    DBQSingle* queue() const { return m_queue; }
    int32_t blockId() const { return m_blockId; }
    const Logger& logger() const { return m_logger; }
    const ByteArray& buffer() const { return m_buffer; }
    int64_t position() const { return m_position; }
    int64_t limit() const { return m_limit; }

  private:
    DBQSingle* m_queue;
    int32_t m_blockId;
    Logger m_logger;
    ByteArray m_buffer;
    int64_t m_position;
    int64_t m_limit;
};

}  // namespace vfw

#endif
