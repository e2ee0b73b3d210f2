// On-disk format of queue files, shared by the queue's writer and reader, the dumps and the
// integrity check, and the block stream through which queue files are read and written.
//
// A queue file is an array of fixed-size blocks (512 bytes in this system); block N starts at
// byte N x blockSize. Block 0 is the master block (list anchors, accounting, an opaque
// descriptor); every other block is a data block that carries part of a record or sits on the
// free list. Every multi-byte integer is big-endian. Two generations exist: basic (master 37,
// data 38, no magic or checksum) and extended (master 39, data 40); every file created here
// is extended, basic files are still read.
//
// Contracts:
// - A `Block` holds exactly one block image in its buffer, byte for byte as on disk; the
//   accessors convert between host order and big-endian. Extended-only fields of a block
//   that is not of its kind's extended type read as 0 (magic reads as the expected value) and
//   ignore writes. Setting `time` stores the current time; setting `checksum` stores the sum
//   of the payload bytes.
// - Block::read and Block::write position the stream themselves and throw IOException
//   ("Block %d read failed (fs.read)" and the like) after a WARN record on "vfw.dbq"; reads
//   also print the failure to standard output, which is part of the dump command's output.
//   Block::tryRead reads the same way but only returns how the read ended.
// - BlockFileBuf is a stream buffer over a file descriptor that holds no written bytes back:
//   every write has reached the kernel (or the shared mapping) when it returns, so a flush
//   costs nothing. Reads of a file opened read-only may be served from a read-ahead window.
#ifndef VFW_DBQ_FORMAT_H
#define VFW_DBQ_FORMAT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <istream>
#include <memory>
#include <streambuf>

namespace vfw {
namespace dbqformat {

// Block type codes (byte 4 of every block).
const uint8_t TYPE_MASTER = 37;
const uint8_t TYPE_DATA = 38;
const uint8_t TYPE_MASTER_X = 39;
const uint8_t TYPE_DATA_X = 40;

// Header sizes; the payload (descriptor area of a master block) follows the header.
const int32_t HEADER_MASTER = 38;
const int32_t HEADER_DATA = 14;
const int32_t HEADER_MASTER_X = 62;
const int32_t HEADER_DATA_X = 42;

// Fields common to both kinds of block.
const int32_t OFF_BLOCK_ID = 0;
const int32_t OFF_TYPE = 4;

// Master block fields.
const int32_t OFF_HEAD = 5;
const int32_t OFF_TAIL = 9;
const int32_t OFF_FREE_HEAD = 13;
const int32_t OFF_FREE_TAIL = 17;
const int32_t OFF_OPERATION = 21;
const int32_t OFF_COUNT = 22;
const int32_t OFF_DATA_SIZE = 26;
const int32_t OFF_DESCRIPTOR_SIZE = 34;
const int32_t OFF_MASTER_MAGIC = 38;
const int32_t OFF_MASTER_CHECKSUM = 42;
const int32_t OFF_MASTER_VERSION = 46;
const int32_t OFF_MASTER_TIME = 50;
const int32_t OFF_MASTER_AGE = 54;
const int32_t OFF_MASTER_BLOCK_SIZE = 58;

// Data block fields.
const int32_t OFF_NEXT = 5;
const int32_t OFF_SIZE = 9;  // the record length in use, `previous` on the free list
const int32_t OFF_FLAGS = 13;
const int32_t OFF_DATA_MAGIC = 14;
const int32_t OFF_DATA_CHECKSUM = 18;
const int32_t OFF_DATA_VERSION = 22;
const int32_t OFF_DATA_TIME = 26;
const int32_t OFF_DATA_AGE = 30;
const int32_t OFF_SPAN_SEQ = 34;
const int32_t OFF_RESERVED = 38;

const uint8_t FLAG_SPANNING = 0x01;
const uint8_t FLAG_FREE = 0x02;

const uint32_t MASTER_MAGIC = 0x4462516D;  // "DbQm" on disk
const uint32_t DATA_MAGIC = 0x64427144;    // "dBqD" on disk
const uint32_t VERSION = 0x00010000;

// The block size of this system, and the one a reader assumes when an extended master block
// records 0. An extended master recording anything else outside [MIN_BLOCK_SIZE,
// MAX_BLOCK_SIZE] is corrupt: such a block cannot even hold its own header.
const int32_t DEFAULT_BLOCK_SIZE = 512;
const int32_t MIN_BLOCK_SIZE = HEADER_MASTER_X;
const int32_t MAX_BLOCK_SIZE = 1 << 20;

// Codes of the master block's `operation` byte: the update in progress, 0 when none.
const uint8_t OP_NONE = 0;
const uint8_t OP_PUSH = 1;
const uint8_t OP_POP = 2;
const uint8_t OP_PUT_DESCRIPTOR = 3;
const uint8_t OP_DROP_LAST_BLOCK = 4;

// True for a block size this code can read and write blocks of.
inline bool isSaneBlockSize(int64_t blockSize) {
    return blockSize >= MIN_BLOCK_SIZE && blockSize <= MAX_BLOCK_SIZE;
}

// The number of blocks a record of `size` bytes spans with `capacity` payload bytes in each
// block (capacity > 0): size / capacity rounded up, 0 for a size of 0. It cannot overflow:
// the result is at most `size`.
inline uint32_t recordBlocks(uint32_t size, uint32_t capacity) {
    return size / capacity + (size % capacity != 0 ? 1 : 0);
}

// Sum of the bytes of an area, in 32 bits with wrap-around; 0 for an empty or negative length.
uint32_t checksum(const unsigned char* area, int32_t length);

inline uint32_t getBE32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline void putBE32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint64_t getBE64(const unsigned char* p) {
    return (uint64_t(getBE32(p)) << 32) | getBE32(p + 4);
}
inline void putBE64(unsigned char* p, uint64_t v) {
    putBE32(p, uint32_t(v >> 32));
    putBE32(p + 4, uint32_t(v));
}

// Logs the WARN record of a failed write of block `id` to "vfw.dbq" and throws its
// IOException ("Block %d write failed (fs.write)", or "(fs.seekp)" when `seekFailed`). Shared
// by Block::write and writers of several consecutive blocks at once.
[[noreturn]] void failBlockWrite(int32_t id, std::iostream& stream, bool seekFailed);

}  // namespace dbqformat

// One block image and the fields common to master and data blocks. The two kinds keep those
// fields at different places; each describes its own in a Layout, through which the
// accessors here read and write them.
class Block {
  public:
    // Where a kind of block keeps the fields of Block: its basic and extended type codes and
    // header sizes, the offsets of its extended-only fields and the magic number it carries.
    struct Layout {
        uint8_t basicType;
        uint8_t extendedType;
        int32_t basicHeader;
        int32_t extendedHeader;
        int32_t magicOffset;
        int32_t checksumOffset;
        int32_t versionOffset;
        int32_t timeOffset;
        int32_t ageOffset;
        uint32_t magic;
    };

    // A zero-filled block of the layout's basic type until setType says otherwise.
    Block(int32_t blockSize, const Layout& layout);
    virtual ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    // The payload area: the buffer past the header of the current type.
    unsigned char* data();
    // Copies `length` bytes to the start of the payload; false (nothing copied) when `source`
    // is null or the length exceeds the payload area.
    bool setData(const void* source, uint32_t length);
    int32_t headerSize() const;
    bool isExtended() const { return getType() == m_layout.extendedType; }

    int32_t blockSize() const { return m_blockSize; }
    int32_t payloadSize() const { return m_payloadSize; }
    unsigned char* buffer() { return m_buffer; }
    const unsigned char* buffer() const { return m_buffer; }
    // Recomputes the payload size from the type byte (after a read).
    void refreshPayloadSize() { m_payloadSize = m_blockSize - headerSize(); }
    // Sum of the payload area's bytes.
    uint32_t payloadChecksum() const;

    int32_t getBlockId() const { return int32_t(get32(dbqformat::OFF_BLOCK_ID)); }
    void setBlockId(int32_t id) { put32(dbqformat::OFF_BLOCK_ID, uint32_t(id)); }
    uint8_t getType() const { return m_buffer[dbqformat::OFF_TYPE]; }
    void setType(uint8_t type);

    // Extended-only fields.
    uint32_t getMagic() const {
        return isExtended() ? get32(m_layout.magicOffset) : m_layout.magic;
    }
    void setMagic(uint32_t v) { putExtended(m_layout.magicOffset, v); }
    uint32_t getChecksum() const { return getExtended(m_layout.checksumOffset); }
    void setChecksum() { putExtended(m_layout.checksumOffset, payloadChecksum()); }
    uint32_t getVersion() const { return getExtended(m_layout.versionOffset); }
    void setVersion(uint32_t v) { putExtended(m_layout.versionOffset, v); }
    int32_t getTime() const { return int32_t(getExtended(m_layout.timeOffset)); }
    void setTime();
    uint32_t getAge() const { return getExtended(m_layout.ageOffset); }
    void setAge(uint32_t v) { putExtended(m_layout.ageOffset, v); }

    // Writes the image at the position of its own blockId; does not flush.
    void write(std::iostream& stream);
    // How tryRead ended: the whole block read, the file ending before the block does, or the
    // seek or the read failing otherwise.
    enum class ReadStatus { READ, END_OF_FILE, SEEK_FAILED, READ_FAILED };
    // Fills the image from block `id` of the stream; does not look at the contents. Reports
    // nothing and throws nothing: a failure leaves the stream in the state it caused.
    ReadStatus tryRead(int64_t id, std::istream& stream);
    // As tryRead, but a failure is reported and thrown (see the contracts above).
    void read(int32_t id, std::istream& stream);

  protected:
    uint32_t get32(int32_t offset) const { return dbqformat::getBE32(m_buffer + offset); }
    void put32(int32_t offset, uint32_t v) { dbqformat::putBE32(m_buffer + offset, v); }
    // An extended-only field: 0 in a basic block, where writes are ignored.
    uint32_t getExtended(int32_t offset) const { return isExtended() ? get32(offset) : 0; }
    void putExtended(int32_t offset, uint32_t v) {
        if (isExtended()) {
            put32(offset, v);
        }
    }

  private:
    const Layout& m_layout;
    int32_t m_blockSize;
    unsigned char* m_buffer;
    int32_t m_payloadSize;
};

// Block 0: list anchors, accounting and the descriptor area.
class MasterBlock : public Block {
  public:
    // A zero-filled block of type 37 (basic) until setType says otherwise.
    explicit MasterBlock(int32_t blockSize);
    ~MasterBlock() override;

    int32_t getHead() const { return int32_t(get32(dbqformat::OFF_HEAD)); }
    void setHead(int32_t v) { put32(dbqformat::OFF_HEAD, uint32_t(v)); }
    int32_t getTail() const { return int32_t(get32(dbqformat::OFF_TAIL)); }
    void setTail(int32_t v) { put32(dbqformat::OFF_TAIL, uint32_t(v)); }
    int32_t getFreeHead() const { return int32_t(get32(dbqformat::OFF_FREE_HEAD)); }
    void setFreeHead(int32_t v) { put32(dbqformat::OFF_FREE_HEAD, uint32_t(v)); }
    int32_t getFreeTail() const { return int32_t(get32(dbqformat::OFF_FREE_TAIL)); }
    void setFreeTail(int32_t v) { put32(dbqformat::OFF_FREE_TAIL, uint32_t(v)); }
    uint8_t getOperation() const { return buffer()[dbqformat::OFF_OPERATION]; }
    void setOperation(uint8_t v) { buffer()[dbqformat::OFF_OPERATION] = v; }
    int32_t getCount() const { return int32_t(get32(dbqformat::OFF_COUNT)); }
    void setCount(int32_t v) { put32(dbqformat::OFF_COUNT, uint32_t(v)); }
    uint64_t getDataSize() const { return dbqformat::getBE64(buffer() + dbqformat::OFF_DATA_SIZE); }
    void setDataSize(uint64_t v) { dbqformat::putBE64(buffer() + dbqformat::OFF_DATA_SIZE, v); }
    int32_t getDescriptorSize() const { return int32_t(get32(dbqformat::OFF_DESCRIPTOR_SIZE)); }
    void setDescriptorSize(int32_t v) { put32(dbqformat::OFF_DESCRIPTOR_SIZE, uint32_t(v)); }

    // Extended-only: the block size the file was written with.
    int32_t getBlockSizeField() const {
        return int32_t(getExtended(dbqformat::OFF_MASTER_BLOCK_SIZE));
    }
    void setBlockSizeField(int32_t v) {
        putExtended(dbqformat::OFF_MASTER_BLOCK_SIZE, uint32_t(v));
    }
};

// A block of a record chain or of the free list.
class DataBlock : public Block {
  public:
    // A zero-filled block of type 38 (basic) until setType says otherwise.
    explicit DataBlock(int32_t blockSize);
    ~DataBlock() override;

    int32_t getNext() const { return int32_t(get32(dbqformat::OFF_NEXT)); }
    void setNext(int32_t v) { put32(dbqformat::OFF_NEXT, uint32_t(v)); }
    // The record length of a block in use: a signed field, which the record layer reads as
    // the record's unsigned 32-bit length.
    int32_t getSize() const { return int32_t(get32(dbqformat::OFF_SIZE)); }
    void setSize(uint32_t v) { put32(dbqformat::OFF_SIZE, v); }
    // The same field while the block is on the free list.
    int32_t getPrevious() const { return int32_t(get32(dbqformat::OFF_SIZE)); }
    void setPrevious(int32_t v) { put32(dbqformat::OFF_SIZE, uint32_t(v)); }
    uint8_t getFlags() const { return buffer()[dbqformat::OFF_FLAGS]; }
    bool isSpanning() const { return (getFlags() & dbqformat::FLAG_SPANNING) != 0; }
    void setSpanning(bool on) { setFlag(dbqformat::FLAG_SPANNING, on); }
    bool isFree() const { return (getFlags() & dbqformat::FLAG_FREE) != 0; }
    void setFree(bool on) { setFlag(dbqformat::FLAG_FREE, on); }

    // Extended-only: the block's place among the blocks of its record, from 0.
    int32_t getSpanSeq() const { return int32_t(getExtended(dbqformat::OFF_SPAN_SEQ)); }
    void setSpanSeq(int32_t v) { putExtended(dbqformat::OFF_SPAN_SEQ, uint32_t(v)); }

  private:
    void setFlag(uint8_t bit, bool on);
};

// An unbuffered stream buffer over a file descriptor, with one position shared by reading and
// writing (as std::filebuf has). A short read (end of file) or a failed write is reported to
// the stream as a short transfer, so the stream sets eofbit/failbit or badbit exactly as over
// a std::filebuf; a hard read error other than end of file sets badbit. Nothing is buffered:
// when a write returns, its bytes are in the kernel's page cache, where a crash of the process
// cannot lose them, so flushing costs nothing.
//
// A file opened read-only is read with pread; once reads follow one another through the file,
// each pread reads ahead into a window of its own (up to READ_AHEAD_MAX bytes), from which
// the next reads inside it are served. A reader of a file that another process writes thus
// sees the bytes of a window as they were when it was read. The file is never mapped for
// reading, since another process may shrink it. A file opened for writing is also mapped
// (shared) into memory: reads and writes inside the file are copies to and from the page
// cache, and only writes that extend the file (and truncate()) are system calls. The size of
// such a file is tracked here (a read past its end asks the kernel again), so a file open for
// writing must have no other writer; above all nothing else may shrink it (a mapped page past
// the end of the file faults). If the file cannot be mapped, pread/pwrite serve instead.
class BlockFileBuf : public std::streambuf {
  public:
    BlockFileBuf();
    ~BlockFileBuf() override;
    BlockFileBuf(const BlockFileBuf&) = delete;
    BlockFileBuf& operator=(const BlockFileBuf&) = delete;

    // Opens `path` with open(2) `flags` (O_NONBLOCK and O_CLOEXEC are added) and creation
    // permissions `mode`; anything but a regular file is refused (errno EISDIR for a
    // directory, EINVAL otherwise) without blocking. With `truncate` the regular file is then
    // cut to length 0. False with errno set on failure.
    bool open(const char* path, int flags, mode_t mode, bool truncate);
    bool isOpen() const { return m_fd >= 0; }
    // False when close(2) reported an error (the descriptor is released either way).
    bool close();
    int fd() const { return m_fd; }
    // Size of the file in bytes; -1 with errno set when it cannot be had.
    int64_t size();
    // Cuts or extends the file to `length` bytes; false with errno set on failure.
    bool truncate(int64_t length);
    // Whether reads and writes inside the file are served by the memory mapping.
    bool isMapped() const { return m_map != nullptr; }
    // The largest read-ahead window of a file opened read-only.
    static constexpr size_t READ_AHEAD_MAX = size_t(1) << 20;

  protected:
    pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;
    std::streamsize xsgetn(char* s, std::streamsize n) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type overflow(int_type c) override;
    std::streamsize showmanyc() override;

  private:
    void map(int64_t fileSize);
    void cover(int64_t fileSize);
    void unmap();
    void prefault(off_t from, off_t to);
    size_t preadFully(char* s, size_t n, off_t at);
    std::streamsize readAhead(char* s, std::streamsize n);

    int m_fd;
    off_t m_position;
    unsigned char* m_map;  // shared mapping of the file's first m_mapLength bytes, or null
    size_t m_mapLength;
    off_t m_size;  // the file's size while it is mapped
    bool m_readOnly;
    // Read-ahead of a read-only file: m_aheadLength bytes from m_aheadStart in m_ahead, read
    // in one pread; the next window is m_aheadWant bytes, grown while reads stay sequential.
    std::unique_ptr<char[]> m_ahead;
    off_t m_aheadStart;
    size_t m_aheadLength;
    size_t m_aheadWant;
    off_t m_lastReadEnd;  // where the previous read ended, -1 before any
};

// A binary read/write stream over a BlockFileBuf; a failed open sets failbit, a successful
// one clears the state.
class BlockFileStream : public std::iostream {
  public:
    BlockFileStream();
    ~BlockFileStream() override;
    void open(const char* path, int flags, mode_t mode, bool truncate);
    bool is_open() const { return m_buf.isOpen(); }
    // Sets failbit when closing failed.
    void close();
    int fd() const { return m_buf.fd(); }
    BlockFileBuf& file() { return m_buf; }

  private:
    BlockFileBuf m_buf;
};

}  // namespace vfw

#endif
