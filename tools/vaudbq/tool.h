// vaudbq's shared pieces: the exit statuses, the failure every step throws, the command line
// as parsed, the files a PATH stands for, and the stamps that tell whether a file changed
// while it was read.
#ifndef VAUDBQ_TOOL_H
#define VAUDBQ_TOOL_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

struct stat;

namespace vaudbq {

// Exit statuses. A run that could not examine or write something ends with ERROR even when
// it made findings elsewhere, since its result is incomplete; otherwise the worst finding
// decides.
enum Status {
    OK = 0,
    USAGE = 1,
    ERROR = 2,
    ORPHANS = 3,     // check: a block on neither list (grade 2)
    ACCOUNTING = 4,  // check: accounting or a free-list link disagrees (grade 3)
    DAMAGE = 5,      // structural damage (grade 4), an unreadable block, a salvage skip
};

// The status of two results taken together.
inline int worse(int a, int b) {
    if (a == ERROR || b == ERROR) {
        return ERROR;
    }
    return a > b ? a : b;
}

// The status a check grade maps to.
int statusOfGrade(uint32_t grade);

// A step that cannot go on: its one-line message (naming the path) and exit status.
class Failure : public std::runtime_error {
  public:
    Failure(int status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

  private:
    int m_status;
};

struct Options {
    std::string subcommand;
    std::string path;
    std::string dest;  // salvage only
    bool quiet = false;
    bool json = false;   // stats
    bool split = false;  // salvage
    bool force = false;  // salvage
};

// One queue file: its member number in a spool (-1 for a PATH that is a file) and its path.
struct QueueFileRef {
    int64_t number;
    std::string path;
};

// What PATH stands for: a spool directory and its members in file-number order, or one file.
struct Target {
    std::string path;
    bool spool = false;
    std::vector<QueueFileRef> files;
};

// Resolves PATH (stat first, so a FIFO or device never blocks). Throws Failure.
Target resolveTarget(const std::string& path);

// Identity, size and modification time of a file, to notice a change while it is read.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    bool operator==(const FileStamp& other) const;
};

// A file about to be read through the queue's own classes: opened read-only (without
// blocking) to check that it is a regular file the caller may read and that holds at least
// one block, then closed; its stamp. Throws Failure (ERROR, or DAMAGE for a file too short to
// be a queue file).
FileStamp checkReadable(const std::string& path);
// The stamp of `path` now (size -1 when it cannot be had), or from a stat result.
FileStamp stampOf(const std::string& path);
FileStamp stampOf(const struct stat& st);
// Says on standard error that `path` changed while it was read, when `before` differs from
// its stamp now.
void noteChange(const std::string& path, const FileStamp& before);

// vaudbq's own messages on standard error: "vaudbq: " and the text.
void complain(const std::string& text);

// The subcommands; each returns its exit status and throws Failure for what stops it.
int runCheck(const Options& options, const Target& target);
int runRaw(const Options& options, const Target& target);
int runAccounting(const Options& options, const Target& target);
int runDump(const Options& options, const Target& target);
int runStats(const Options& options, const Target& target);
int runSalvage(const Options& options, const Target& target);

}  // namespace vaudbq

#endif
