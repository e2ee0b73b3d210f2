// DBQSingle::dumpRawFile: every block of a queue file as it is on disk, then the free list,
// read with streams of its own and without any verification.
#include "dbq_source.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

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

// What the walk over every block after the master block counted.
struct RawCounts {
    int64_t total = 0;
    int64_t spanning = 0;
    int64_t inUseSpanning = 0;
    int64_t free = 0;
};

// Writes the end of a loop that stopped on a failed read.
void writeReadEnd(DumpOutput& out, Block::ReadStatus status) {
    out << (status == Block::ReadStatus::END_OF_FILE ? "all blocks read.\n"
                                                     : "Error in reading data.\n");
}

void writeMasterLines(DumpOutput& out, const MasterBlock& master) {
    out << "Header ID: " << master.getBlockId() << " Header Type: " << typeName(master.getType())
        << " Head: " << master.getHead() << " Tail: " << master.getTail() << '\n'
        << "Free Head: " << master.getFreeHead() << " Free Tail: " << master.getFreeTail()
        << " Operation: " << int(master.getOperation()) << " Count: " << master.getCount()
        << " Size: " << master.getDataSize() << '\n';
}

void writeRawLine(DumpOutput& out, int64_t id, const DataBlock& block) {
    out << "Block " << long(id) << " Header ID: " << block.getBlockId()
        << " Header Type: " << typeName(block.getType()) << " Next: " << block.getNext();
    out << (block.isFree() ? " Previous " : " Size: ") << block.getSize();
    out << " Flags: " << (block.isSpanning() ? "spanning" : "")
        << (block.isFree() ? " free" : " in-use");
    if (int64_t(block.getNext()) != int64_t(block.getBlockId()) + 1) {
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

// One line for every block after the master block, until a read fails; a file whose block
// size is not `readable` ends at once as a failed read.
RawCounts walkBlocks(DumpOutput& out, std::istream& stream, DataBlock& block, bool readable) {
    RawCounts counts;
    for (int64_t id = 1;; ++id) {
        const Block::ReadStatus status =
            readable ? block.tryRead(id, stream) : Block::ReadStatus::READ_FAILED;
        if (status != Block::ReadStatus::READ) {
            writeReadEnd(out, status);
            counts.total = id - 1;
            return counts;
        }
        writeRawLine(out, id, block);
        counts.spanning += block.isSpanning();
        counts.inUseSpanning += block.isSpanning() && !block.isFree();
        counts.free += block.isFree();
    }
}

void writeCounts(DumpOutput& out, const RawCounts& counts, int32_t recordCount) {
    out << "Total number of data blocks: " << long(counts.total) << '\n'
        << "Total number of spanning blocks: " << long(counts.spanning) << '\n'
        << "Total number of inuse spanning blocks: " << long(counts.inUseSpanning) << '\n'
        << "Total number of free blocks: " << long(counts.free) << '\n';
    // Every record has exactly one block that is not spanning, its last.
    if (int32_t(counts.total - counts.free - counts.inUseSpanning) == recordCount) {
        writeBoth(out, "*** Counts match!! ***\n");
    } else {
        writeBoth(out, "*** Counts do not match ****\n");
    }
}

// Follows the free list from `head` for at most `total` blocks, so that a list that loops ends
// there; a file whose blocks could not be read has a total of 0 and is not walked.
void writeFreeList(DumpOutput& out, std::istream& stream, DataBlock& block, int32_t head,
                   int64_t total) {
    int64_t read = 0;
    if (head != 0 && total != 0) {
        for (int64_t freeId = head;;) {
            const Block::ReadStatus status = block.tryRead(freeId, stream);
            if (status != Block::ReadStatus::READ) {
                writeReadEnd(out, status);
                break;
            }
            writeRawLine(out, freeId, block);
            if (!block.isFree()) {
                out << "Error:  block in free block list is not free!!\n";
                break;
            }
            ++read;
            if (block.getNext() == 0 || read == total) {
                break;
            }
            freeId = block.getNext();
        }
    }
    out << "Total free blocks read: " << long(read) << '\n';
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
    writeMasterLines(out, master);

    // A recorded block size that no block could have (too small to hold a data block's header,
    // or absurdly large) cannot be read by: the walks end at once as a failed read.
    int32_t blockSize = master.getBlockSizeField();
    if (blockSize == 0) {
        blockSize = DEFAULT_BLOCK_SIZE;
    }
    const bool readable = isSaneBlockSize(blockSize);
    DataBlock block(readable ? blockSize : DEFAULT_BLOCK_SIZE);
    const RawCounts counts = walkBlocks(out, stream, block, readable);
    writeCounts(out, counts, master.getCount());

    out << "Dumping free list: \n";
    stream.close();
    BlockFileStream again;
    if (!openRaw(again, path, out)) {
        return;
    }
    writeFreeList(out, again, block, master.getFreeHead(), counts.total);
    again.close();
}

}  // namespace vfw
