// DBQComposite layout and book-keeping: listing the members, opening them and adding up
// their counts and sizes, close, destroy and the accessors.
#include "dbq_source.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <sstream>

#include "composite_internal.h"
#include "vfw/file_util.h"
#include "vfw/path.h"

namespace vfw {

DBQComposite::DBQComposite(int32_t blockSize)
    : DBQ(blockSize),
      m_openMode(0),
      m_fileMode(0),
      m_DbqEnqueueID(0),
      m_DbqDequeueID(0),
      m_size(0),
      m_count(0),
      m_maxFileSize(0),
      m_uncleanShutdown(0) {
    setMaxSize(DEFAULT_MAX_FILE_SIZE);
}

DBQComposite::DBQComposite(const std::string& directory, int32_t openMode, int32_t blockSize,
                           int32_t fileMode)
    : DBQComposite(blockSize) {
    open(directory, openMode, fileMode, true, "");
}

DBQComposite::~DBQComposite() noexcept {
    try {
        close();
    } catch (...) {
        // A destructor must not throw; the members close their files when released.
    }
}

bool DBQComposite::listFileIds(const std::string& directory, std::vector<int64_t>& ids) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        std::istringstream name(entry->d_name);
        long id = 0;
        if (name >> id) {
            ids.push_back(id);
        }
    }
    ::closedir(dir);
    std::stable_sort(ids.begin(), ids.end());
    return true;
}

std::string DBQComposite::memberPath(int64_t id) const {
    return m_directory + "/" + std::to_string(id);
}

DBQComposite::Member DBQComposite::openMember(int64_t id, int32_t openMode, bool strict,
                                              bool applyMaxSize, int32_t* unclean) {
    Member member(new DBQSingle(m_blockSize));
    if (applyMaxSize) {
        member->setMaxSize(m_maxFileSize);
    }
    if (!member->open(memberPath(id), openMode, m_fileMode, strict, m_name)) {
        if (unclean != nullptr) {
            *unclean = member->isUncleanShutdown();
        }
        return Member();
    }
    return member;
}

bool DBQComposite::createFirstFile() {
    m_DbqEnqueueID = 0;
    m_DbqDequeueID = 0;
    Member first = openMember(0, m_openMode, true, true);
    if (!first) {
        return false;
    }
    m_DbqDequeue = first;
    m_DbqEnqueue = first;
    return true;
}

bool DBQComposite::open(const std::string& directory, int32_t openMode, int32_t fileMode,
                        bool strict, const std::string& name) {
    MutexLock lock(m_mutex);
    startAfresh(directory, openMode, fileMode, name);
    if (!prepareDirectory()) {
        return false;
    }
    if (openMode < 0 || openMode > 2) {
        // No mode to open members by: the composite stays without ends.
        setUncleanShutdown(0);
        return true;
    }
    if (openMode == 2 ? !createFirstFile() : !recover(strict)) {
        return false;
    }
    setUncleanShutdown(0);
    return true;
}

void DBQComposite::startAfresh(const std::string& directory, int32_t openMode, int32_t fileMode,
                               const std::string& name) {
    m_name = name.empty() ? directory : name;
    m_directory = directory;
    m_openMode = openMode;
    m_fileMode = fileMode;
    m_logger = getLogger("vfw.dbqc");
    DBQC_LOG(LEVEL_DEBUG, "DBQC open");
    // Every open starts afresh: the totals are rebuilt from the member files, and members of
    // an earlier open are released (closing their files).
    m_DbqEnqueue.reset();
    m_DbqDequeue.reset();
    m_DbqEnqueueID = 0;
    m_DbqDequeueID = 0;
    m_count = 0;
    m_size = 0;
}

bool DBQComposite::prepareDirectory() {
    struct stat status;
    if (::stat(m_directory.c_str(), &status) == 0) {
        return S_ISDIR(status.st_mode);
    }
    if (m_openMode == 0) {
        DBQC_LOG(LEVEL_DEBUG, "Directory %s doesn't exist", m_directory.c_str());
        return false;
    }
    try {
        path(m_directory).createDirectory(0755);
    } catch (const std::exception& e) {
        DBQC_LOG(LEVEL_DEBUG, "Directory %s couldn't be created: %s", m_directory.c_str(),
                 e.what());
        return false;
    }
    return createFirstFile();
}

bool DBQComposite::recover(bool strict) {
    std::vector<int64_t> listed;
    if (!listFileIds(m_directory, listed)) {
        return false;
    }
    std::vector<int64_t> ids = distinctIds(listed);
    if (!ids.empty()) {
        m_DbqDequeueID = ids.front();
        m_DbqEnqueueID = ids.back();
    }
    DBQC_LOG(LEVEL_DEBUG, "DBQC enqueues to %ld and dequeue from %ld", long(m_DbqEnqueueID),
             long(m_DbqDequeueID));
    int64_t totalCount = 0;
    uint64_t totalSize = 0;
    for (int64_t id : ids) {
        DBQC_LOG(LEVEL_TRACE, "DBQC reads book keeping data from %lld. m_count: %lld; m_size: %lld",
                 (long long)id, (long long)totalCount, (long long)totalSize);
        if (!recoverMember(id, strict, totalCount, totalSize)) {
            return false;
        }
    }
    DBQC_LOG(LEVEL_DEBUG, "DBQC has count %lld and data size %lld", (long long)totalCount,
             (long long)totalSize);
    return endsOpen() || createFirstFile();
}

bool DBQComposite::recoverMember(int64_t id, bool strict, int64_t& totalCount,
                                 uint64_t& totalSize) {
    int32_t unclean = 0;
    Member member = openMember(id, m_openMode, strict, true, &unclean);
    if (!member) {
        reportUnopened(id, strict, unclean);
        return false;
    }
    int64_t memberCount = member->count();
    uint64_t memberSize = member->getDataSize();
    totalCount += memberCount;
    totalSize += memberSize;
    DBQC_LOG(LEVEL_TRACE, "DBQC reads %lld has count %lld and data size %lld", (long long)id,
             (long long)memberCount, (long long)memberSize);
    if (id != m_DbqEnqueueID && id != m_DbqDequeueID) {
        m_count += memberCount;
        m_size += memberSize;
        member->close();
        return true;
    }
    adoptEnd(id, member, memberCount, memberSize);
    return true;
}

void DBQComposite::reportUnopened(int64_t id, bool strict, int32_t unclean) {
    setUncleanShutdown(unclean);
    if (unclean != 1) {
        return;
    }
    if (strict) {
        DBQC_LOG(LEVEL_WARN, "DBQC found %s was not shut down cleanly. Stop opening DBQ.",
                 memberPath(id).c_str());
        VFW_THROW(IOException, -1, "DBQSingle is not shut cleanly.");
    }
    DBQC_LOG(LEVEL_WARN, "DBQC found %s was not shut down cleanly. Will continue.",
             memberPath(id).c_str());
}

void DBQComposite::adoptEnd(int64_t id, const Member& member, int64_t memberCount,
                            uint64_t memberSize) {
    if (id == m_DbqEnqueueID) {
        m_DbqEnqueue = member;
        DBQC_LOG(LEVEL_DEBUG, "DBQC's enqueue end has count %lld and data size %lld",
                 (long long)memberCount, (long long)memberSize);
    }
    if (id != m_DbqDequeueID) {
        return;
    }
    if (m_DbqDequeueID != m_DbqEnqueueID) {
        m_DbqDequeue = member;
        DBQC_LOG(LEVEL_DEBUG, "DBQC's dequeue end has count %lld and data size %llu",
                 (long long)memberCount, (unsigned long long)memberSize);
    } else {
        m_DbqDequeue = m_DbqEnqueue;
        DBQC_LOG(LEVEL_DEBUG, "DBQC's enqueue end is same as dequeue end");
    }
}

void DBQComposite::close() {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC close");
    if (m_DbqEnqueue && m_DbqEnqueue->isOpen()) {
        m_DbqEnqueue->close();
    }
    if (m_DbqDequeue && m_DbqDequeue->isOpen()) {
        m_DbqDequeue->close();
    }
}

bool DBQComposite::isOpen() {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_TRACE, "DBQC isOpen");
    return endsOpen();
}

bool DBQComposite::endsOpen() {
    return m_DbqEnqueue && m_DbqDequeue && m_DbqEnqueue->isOpen() &&
           (m_DbqDequeue == m_DbqEnqueue || m_DbqDequeue->isOpen());
}

void DBQComposite::endTotals(int64_t& count, uint64_t& size) {
    count = 0;
    size = 0;
    if (m_DbqEnqueue) {
        count += m_DbqEnqueue->count();
        size += m_DbqEnqueue->getDataSize();
    }
    if (m_DbqDequeue && m_DbqDequeue != m_DbqEnqueue) {
        count += m_DbqDequeue->count();
        size += m_DbqDequeue->getDataSize();
    }
}

void DBQComposite::moveToClosed(const Member& member, int sign) {
    m_count += sign * member->count();
    m_size += uint64_t(sign) * member->getDataSize();
}

void DBQComposite::destroy() {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "Destroy the whole DBQC");
    close();
    std::vector<int64_t> listed;
    if (!listFileIds(m_directory, listed)) {
        return;
    }
    for (int64_t id : distinctIds(listed)) {
        DBQC_LOG(LEVEL_DEBUG, "Destroying %ld", long(id));
        Member member = openMember(id, m_openMode, true, false);
        if (member) {
            member->destroy();
        }
    }
    if (::rmdir(m_directory.c_str()) != 0) {
        int error = errno;
        DBQC_LOG(LEVEL_DEBUG, "Error when removing dbq file %s (error: %s)", m_directory.c_str(),
                 std::strerror(error));
    }
}

uint64_t DBQComposite::getDataSize() {
    MutexLock lock(m_mutex);
    int64_t count = 0;
    uint64_t size = 0;
    endTotals(count, size);
    size += m_size;
    DBQC_LOG(LEVEL_TRACE, "DBQC getDataSize: %llu", (unsigned long long)size);
    return size;
}

int64_t DBQComposite::count() {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_TRACE, "DBQC count");
    int64_t count = 0;
    uint64_t size = 0;
    endTotals(count, size);
    return m_count + count;
}

bool DBQComposite::isEmpty() {
    MutexLock lock(m_mutex);
    if (!m_DbqDequeue) {
        return true;
    }
    return m_DbqDequeue->isEmpty() && m_DbqDequeueID == m_DbqEnqueueID;
}

int32_t DBQComposite::getBlockSize() {
    MutexLock lock(m_mutex);
    return m_DbqDequeue ? m_DbqDequeue->getBlockSize() : 0;
}

int64_t DBQComposite::getFileSize() {
    MutexLock lock(m_mutex);
    struct stat status;
    std::vector<int64_t> listed;
    if (::stat(m_directory.c_str(), &status) != 0 || !listFileIds(m_directory, listed)) {
        return -1;
    }
    int64_t total = 0;
    try {
        for (int64_t id : distinctIds(listed)) {
            total += GetFileSize(memberPath(id));
        }
    } catch (const std::exception&) {
        return -1;
    }
    return total;
}

void DBQComposite::setMaxSize(uint64_t size) {
    MutexLock lock(m_mutex);
    m_maxFileSize = size;
}

int64_t DBQComposite::getEnqueueId() {
    MutexLock lock(m_mutex);
    return m_DbqEnqueueID;
}

int64_t DBQComposite::getDequeueId() {
    MutexLock lock(m_mutex);
    return m_DbqDequeueID;
}

uint64_t DBQComposite::getMaxSize() {
    MutexLock lock(m_mutex);
    return m_maxFileSize;
}

uint64_t DBQComposite::dataSizeOf(const std::string& directory) {
    if (!path(directory).exists()) {
        return 0;
    }
    boost::shared_ptr<DBQComposite> queue(new DBQComposite(directory, 0, 512, 0600));
    return queue->getDataSize();
}

}  // namespace vfw
