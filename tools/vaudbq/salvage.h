// vaudbq salvage: where recovered records go (RecordSink) and the walk that recovers them from
// one queue file (salvageFile).
//
// Output formats: by default DEST is one file of records, each a 4-byte big-endian length
// followed by that many bytes; with --split, DEST is a new directory holding one file per
// record, named by its position in the salvage in eight or more decimal digits (00000001,
// 00000002, ...). Either is written under a temporary name beside DEST (mode 0600, or 0700
// for the directory) and renamed into place once complete, so DEST never holds half a
// salvage: when a write fails (a full file system, for one) the partial output is removed.
#ifndef VAUDBQ_SALVAGE_H
#define VAUDBQ_SALVAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tool.h"

namespace vaudbq {

// A failure of the output: it ends the whole salvage.
class OutputFailure : public Failure {
  public:
    explicit OutputFailure(const std::string& message) : Failure(ERROR, message) {}
};

class RecordSink {
  public:
    // Refuses an existing DEST unless `force`: then a regular file is replaced, or with
    // `split` a directory that holds record files only. Throws OutputFailure.
    RecordSink(const std::string& dest, bool split, bool force);
    // Removes the partial output unless commit() succeeded.
    ~RecordSink();
    RecordSink(const RecordSink&) = delete;
    RecordSink& operator=(const RecordSink&) = delete;

    void add(const std::string& record);
    // Makes the output durable and renames it to DEST.
    void commit();
    uint64_t count() const { return m_count; }

  private:
    void writeAll(int fd, const char* data, size_t length);
    void removePartial();
    void replaceExistingDirectory();
    [[noreturn]] void fail(int error, const char* what);

    std::string m_dest;
    std::string m_temp;
    bool m_split;
    bool m_force;
    int m_fd;
    uint64_t m_count;
    bool m_committed;
    std::vector<std::string> m_files;  // the record files written under m_temp
};

// Recovers every record of the queue file at `path` that can be read whole into `sink`, in
// chain order, and says on standard error what it skipped. OK, or DAMAGE when something was
// skipped; throws Failure when the file cannot be read at all.
int salvageFile(const std::string& path, RecordSink& sink);

// True when `name` is a record file's name as --split writes them.
bool isRecordFileName(const std::string& name);

}  // namespace vaudbq

#endif
