// DBQSingle::dumpRawFile: every block of a queue file as it is on disk, then the free list,
// read with streams of its own and without any verification.
#include "dbq_source.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <vector>

#include "dump_output.h"
#include "vfw/dbq.h"

namespace vfw {

using namespace dbqformat;

namespace {

const char* typeName(uint8_t type) {
    switch (type) {
        case TYPE_MASTER:
            return "master";
        case TYPE_DATA:
            return "data";
        case TYPE_MASTER_X:
            return "masterX";
        case TYPE_DATA_X:
            return "dataX";
        default:
            return "unknown";
    }
}

// Opens `path` read-only. A FIFO, device or directory is refused without blocking (see
// BlockFileBuf::open), which perror then reports.
bool openRaw(BlockFileStream& stream, const std::string& path, DumpOutput& out) {
    stream.open(path.c_str(), O_RDONLY, 0, false);
    if (stream.is_open()) {
        return true;
    }
    // Flushing must not change the error that perror reports.
    int error = errno;
    out.flush();
    errno = error;
    std::perror("Cannot open database file.");
    return false;
}

// One block image of the raw dump's block size, read without looking at its contents.
class RawBlock {
  public:
    enum Status { READ, END_OF_FILE, FAILED };

    explicit RawBlock(int32_t blockSize) : m_bytes(size_t(blockSize)) {}

    Status read(std::istream& stream, int64_t id) {
        stream.seekg(std::streamoff(id) * std::streamoff(m_bytes.size()), std::ios_base::beg);
        if (!stream.fail()) {
            stream.read(reinterpret_cast<char*>(m_bytes.data()), std::streamsize(m_bytes.size()));
        }
        if (stream.good()) {
            return READ;
        }
        return stream.eof() ? END_OF_FILE : FAILED;
    }

    int32_t blockId() const { return int32_t(getBE32(&m_bytes[OFF_BLOCK_ID])); }
    uint8_t type() const { return m_bytes[OFF_TYPE]; }
    int32_t next() const { return int32_t(getBE32(&m_bytes[OFF_NEXT])); }
    int32_t sizeOrPrevious() const { return int32_t(getBE32(&m_bytes[OFF_SIZE])); }
    bool spanning() const { return (m_bytes[OFF_FLAGS] & FLAG_SPANNING) != 0; }
    bool free() const { return (m_bytes[OFF_FLAGS] & FLAG_FREE) != 0; }

  private:
    std::vector<unsigned char> m_bytes;
};

// Writes the end of a loop that stopped on a failed read.
void writeReadEnd(DumpOutput& out, RawBlock::Status status) {
    out << (status == RawBlock::END_OF_FILE ? "all blocks read.\n" : "Error in reading data.\n");
}

void writeRawLine(DumpOutput& out, int64_t id, const RawBlock& block) {
    out << "Block " << long(id) << " Header ID: " << block.blockId()
        << " Header Type: " << typeName(block.type()) << " Next: " << block.next();
    out << (block.free() ? " Previous " : " Size: ") << block.sizeOrPrevious();
    out << " Flags: " << (block.spanning() ? "spanning" : "")
        << (block.free() ? " free" : " in-use");
    if (int64_t(block.next()) != int64_t(block.blockId()) + 1) {
        out << " not-sequential";
    }
    out << '\n';
}

// Writes `text` to standard output, then to standard error.
void writeBoth(DumpOutput& out, const char* text) {
    out << text;
    out.flush();
    std::cerr << text;
}

}  // namespace

void DBQSingle::dumpRawFile(const std::string& path) {
    DumpOutput out(std::cout);
    out << "dumping raw file " << path << '\n';
    BlockFileStream stream;
    if (!openRaw(stream, path, out)) {
        return;
    }
    MasterBlock master(DEFAULT_BLOCK_SIZE);
    // A failed read of block 0 reports itself on standard output, then throws.
    out.handOver();
    master.read(0, stream);
    out << "Header ID: " << master.getBlockId() << " Header Type: " << typeName(master.getType())
        << " Head: " << master.getHead() << " Tail: " << master.getTail() << '\n'
        << "Free Head: " << master.getFreeHead() << " Free Tail: " << master.getFreeTail()
        << " Operation: " << int(master.getOperation()) << " Count: " << master.getCount()
        << " Size: " << master.getDataSize() << '\n';

    // A recorded block size that no block could have (too small to hold a data block's header,
    // or absurdly large) cannot be read by: the walks end at once as a failed read.
    int32_t blockSize = master.getBlockSizeField();
    if (blockSize == 0) {
        blockSize = DEFAULT_BLOCK_SIZE;
    }
    const bool readable = isSaneBlockSize(blockSize);
    RawBlock block(readable ? blockSize : DEFAULT_BLOCK_SIZE);

    int64_t id = 1;
    int64_t spanning = 0;
    int64_t inUseSpanning = 0;
    int64_t free = 0;
    for (;; ++id) {
        RawBlock::Status status = readable ? block.read(stream, id) : RawBlock::FAILED;
        if (status != RawBlock::READ) {
            writeReadEnd(out, status);
            break;
        }
        writeRawLine(out, id, block);
        spanning += block.spanning();
        inUseSpanning += block.spanning() && !block.free();
        free += block.free();
    }
    const int64_t total = id - 1;
    out << "Total number of data blocks: " << long(total) << '\n'
        << "Total number of spanning blocks: " << long(spanning) << '\n'
        << "Total number of inuse spanning blocks: " << long(inUseSpanning) << '\n'
        << "Total number of free blocks: " << long(free) << '\n';
    // Every record has exactly one block that is not spanning, its last.
    if (int32_t(total - free - inUseSpanning) == master.getCount()) {
        writeBoth(out, "*** Counts match!! ***\n");
    } else {
        writeBoth(out, "*** Counts do not match ****\n");
    }

    out << "Dumping free list: \n";
    stream.close();
    BlockFileStream again;
    if (!openRaw(again, path, out)) {
        return;
    }
    int64_t read = 0;
    // A file whose blocks could not be read has a total of 0, so the walk needs no check.
    if (master.getFreeHead() != 0 && total != 0) {
        // At most `total` blocks: a free list that loops ends there.
        for (int64_t freeId = master.getFreeHead();;) {
            RawBlock::Status status = block.read(again, freeId);
            if (status != RawBlock::READ) {
                writeReadEnd(out, status);
                break;
            }
            writeRawLine(out, freeId, block);
            if (!block.free()) {
                out << "Error:  block in free block list is not free!!\n";
                break;
            }
            ++read;
            if (block.next() == 0 || read == total) {
                break;
            }
            freeId = block.next();
        }
    }
    out << "Total free blocks read: " << long(read) << '\n';
    again.close();
}

}  // namespace vfw
