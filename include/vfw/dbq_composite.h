// A directory of numbered queue files used as one first-in first-out queue.
//
// `DBQComposite` owns one directory whose members are DBQSingle files named by their file
// number in decimal ("0", "17"). Records are appended to the newest member (the enqueue end)
// and taken from the oldest (the dequeue end). Once the enqueue end's file has grown past the
// size limit (100 MiB unless setMaxSize says otherwise) the next append starts a member
// numbered one higher; once the dequeue end is drained and a newer member exists, the drained
// file is removed. No index is kept: every open rebuilds the record count and data size from
// the members' master blocks, so those totals always equal the sums over the member files.
//
// Contracts a caller must know:
// - Open modes are those of DBQSingle: 0 opens existing members read-only and creates
//   nothing (an empty directory does not open); 1 creates the directory and member "0" when
//   missing; 2 truncates member "0" and uses it alone; any other mode returns true at once
//   without opening anything (isOpen() stays false).
// - Failures are thrown (IOException, FatalErrorException from the members). count() and
//   getDataSize() equal the sums over the member files also after a failed operation. An
//   owner passes what it caught to handleFatalErrorException (the queue is closed) or
//   handleException (the directory is moved aside to <dir>.<pid>.<32 hex digits> and a
//   fresh queue is opened in its place).
// - The size limit is a soft limit: a member ends larger than it by at most one record, and
//   when a new member cannot be made the record goes to the current one after an ERROR
//   record; only when that append fails too does the caller get the exception.
// - dump(withData) writes every member's dump to standard output in file-number order,
//   opening each afresh read-only; a member that cannot be opened stops the dump with an
//   IOException naming the file.
// - Every operation holds the composite's recursive mutex, taken before any member's, except
//   the unclean-shutdown accessors and the two exception handlers, which are meant for the
//   thread that caught the exception while no other thread uses the object.
#ifndef VFW_DBQ_COMPOSITE_H
#define VFW_DBQ_COMPOSITE_H

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "vfw/dbq.h"
#include "vfw/log.h"
#include "vfw/mutex.h"

namespace vfw {

class DBQComposite : public DBQ {
  public:
    // The default size limit of one member file: 100 MiB.
    static constexpr uint64_t DEFAULT_MAX_FILE_SIZE = 104857600;

    // An unopened composite with the default size limit.
    explicit DBQComposite(int32_t blockSize);
    // As above, then open(directory, openMode, fileMode, true, ""); test isOpen() afterwards.
    DBQComposite(const std::string& directory, int32_t openMode, int32_t blockSize,
                 int32_t fileMode);
    // Closes the members. Never throws.
    ~DBQComposite() noexcept override;

    void enqueue(const ByteArray& data, uint32_t length) override;
    void dequeue(ByteArray& data, uint32_t& length) override;
    void dequeue() override;
    void peek(ByteArray& data, uint32_t& length) override;
    void getHead(ByteArray& data, uint32_t& length) override;
    void shrink() override;
    // 0 without a dequeue end, else the block size its master block records.
    int32_t getBlockSize() override;
    bool open(const std::string& directory, int32_t openMode, int32_t fileMode, bool strict,
              const std::string& name) override;
    void close() override;
    // Removes every member that opens, then the directory; failures are only logged.
    void destroy() override;
    bool isOpen() override;
    uint64_t getDataSize() override;
    // Bytes the members occupy: -1 when the directory cannot be examined or a member's size
    // cannot be had, 0 without members.
    int64_t getFileSize() override;
    int64_t count() override;
    // True when the dequeue end is empty and is also the enqueue end; true before any open.
    bool isEmpty() override;
    int32_t isUncleanShutdown() override { return m_uncleanShutdown; }
    void setUncleanShutdown(int32_t value) override { m_uncleanShutdown = value; }
    void dump(bool withData) override;
    void handleFatalErrorException(const FatalErrorException& e) override;
    void handleException(const VFWException& e) override;
    // Replaces the directory by a fresh one when the queue holds no data.
    void flushDb() override;
    // Applies to members opened afterwards.
    void setMaxSize(uint64_t size) override;

    // File numbers of the enqueue and dequeue ends, and the size limit.
    int64_t getEnqueueId();
    int64_t getDequeueId();
    uint64_t getMaxSize();

    // The data size of the composite at `directory`, opened read-only; 0 when it is missing.
    static uint64_t dataSizeOf(const std::string& directory);
    // The member numbers of `directory` in ascending order: every entry whose name starts
    // with a decimal number (after optional blanks and sign) counts by that number, so "12abc"
    // is member 12 and duplicates stay. False when the directory cannot be read.
    static bool listFileIds(const std::string& directory, std::vector<int64_t>& ids);

  private:
    using Member = boost::shared_ptr<DBQSingle>;

    std::string memberPath(int64_t id) const;
    // A new DBQSingle opened on member `id`; empty when its open reports failure, with the
    // member's unclean-shutdown flag in `unclean`. Exceptions of the open pass through.
    Member openMember(int64_t id, int32_t openMode, bool strict, bool applyMaxSize,
                      int32_t* unclean = nullptr);
    bool createFirstFile();
    // The steps of open. startAfresh takes the arguments and drops what an earlier open left;
    // prepareDirectory finds the directory, or makes it and member "0" unless the mode is 0;
    // recover opens every listed member, keeping the two ends open and adding the others to
    // the totals (then member "0" when the ends did not open).
    void startAfresh(const std::string& directory, int32_t openMode, int32_t fileMode,
                     const std::string& name);
    bool prepareDirectory();
    bool recover(bool strict);
    // Opens member `id`, adds its figures to the running totals and keeps it as an end or
    // closes it; false when it does not open (reportUnopened has then dealt with it).
    bool recoverMember(int64_t id, bool strict, int64_t& totalCount, uint64_t& totalSize);
    // Stores the member's unclean-shutdown flag as the composite's; a member not shut down
    // cleanly stops a strict open with an IOException and is only reported otherwise.
    void reportUnopened(int64_t id, bool strict, int32_t unclean);
    void adoptEnd(int64_t id, const Member& member, int64_t memberCount, uint64_t memberSize);
    void requireOpen(const char* operation);
    // The enqueue end, or a new member past it once its file is over the limit.
    Member enqueueTarget();
    void skipEmptyQueue();
    void rotateDequeue();
    // Both ends set and open; the caller holds the lock.
    bool endsOpen();
    // The open ends' own records and bytes (one member counted once when it is both ends).
    void endTotals(int64_t& count, uint64_t& size);
    // A member stops being an end and is closed: its records and bytes join the totals of the
    // closed members (`sign` 1), or it becomes an end again (`sign` -1).
    void moveToClosed(const Member& member, int sign);

    Logger m_logger;
    std::string m_directory;
    int32_t m_openMode;
    int32_t m_fileMode;
    Member m_DbqEnqueue;
    Member m_DbqDequeue;
    int64_t m_DbqEnqueueID;
    int64_t m_DbqDequeueID;
    // Records and bytes in the members that are not open as an end. count() and getDataSize()
    // add the two ends' own figures, read from their master blocks, so the totals always equal
    // the sums over the member files, and an append or removal costs no book-keeping.
    uint64_t m_size;
    int64_t m_count;
    uint64_t m_maxFileSize;
    Mutex m_mutex;
    int32_t m_uncleanShutdown;
    std::string m_name;
};

}  // namespace vfw

#endif
