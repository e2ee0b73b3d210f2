// A queue file read block by block with pread, for stats and salvage: opened read-only and
// without blocking, never mapped, its master block and data blocks verified as the queue
// verifies them, and a failed read answered with the reason rather than an exception or text
// on standard output, so that a damaged block is one more fact about the file.
#ifndef VAUDBQ_QUEUE_FILE_H
#define VAUDBQ_QUEUE_FILE_H

#include <cstdint>
#include <memory>
#include <string>

#include "tool.h"
#include "vfw/dbq_format.h"

namespace vaudbq {

class QueueFile {
  public:
    // Opens `path`; throws Failure (ERROR when it cannot be opened or is no regular file,
    // DAMAGE when it is shorter than a block).
    explicit QueueFile(const std::string& path);
    ~QueueFile();
    QueueFile(const QueueFile&) = delete;
    QueueFile& operator=(const QueueFile&) = delete;

    const std::string& path() const { return m_path; }
    // The master block read at open, and why it cannot be trusted ("" when it can: an
    // extended block needs its magic number, checksum and a possible block size).
    const vfw::MasterBlock& master() const { return *m_master; }
    const std::string& masterProblem() const { return m_masterProblem; }
    bool extended() const { return m_master->isExtended(); }
    int32_t blockSize() const { return m_blockSize; }
    // Blocks in the file when it was opened, the master block included.
    int64_t blocks() const { return m_blocks; }

    // Reads data block `id` into `block` (of blockSize()). "" when it is sound: inside the
    // file, of the master's generation, carrying its own id, and for an extended block with
    // the right magic number and payload checksum; otherwise the reason, worded to follow
    // "block <id> ". `headerSound` says whether its header can still be believed (all but
    // the payload checksum hold).
    std::string read(int32_t id, vfw::DataBlock& block, bool* headerSound = nullptr);

    // The file's identity, size and modification time when it was opened.
    const FileStamp& stamp() const { return m_stamp; }

  private:
    bool readAt(int64_t offset, unsigned char* buffer, int32_t length);
    void loadMaster();

    std::string m_path;
    int m_fd;
    FileStamp m_stamp;
    int32_t m_blockSize;
    int64_t m_blocks;
    std::unique_ptr<vfw::MasterBlock> m_master;
    std::string m_masterProblem;
};

}  // namespace vaudbq

#endif
