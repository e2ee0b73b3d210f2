// Seams of the disk queue, for the tests and the fuzz targets: chosen writes to queue files
// can be made to fail, and the bound on the blocks a dump follows can be lowered (a case
// cannot afford a chain of a million blocks). Both are process-wide.
#ifndef VFW_DBQ_SEAM_H
#define VFW_DBQ_SEAM_H

#include <cstddef>
#include <cstdint>

namespace vfw {
namespace seam {

// Called before every write of a BlockFileBuf with its descriptor, offset and length;
// returning false makes the write fail without touching the file (errno EIO).
using BlockWriteHook = bool (*)(int fd, int64_t offset, size_t length);
// Installs the hook; null, the default, lets every write through.
void setBlockWriteHook(BlockWriteHook hook);

// The number of blocks DBQSingle::dump prints at most before it gives up on a chain: at least
// 1 (a smaller value counts as 1); 1000002 in a new process.
void setDumpEntryLimit(int32_t entries);

}  // namespace seam
}  // namespace vfw

#endif
