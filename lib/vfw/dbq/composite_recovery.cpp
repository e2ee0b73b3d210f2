// DBQComposite as a whole: the dump of every member, the two exception handlers (with the
// move of a damaged directory out of the way) and the renewal of an empty queue.
#include "dbq_source.h"

#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "composite_internal.h"

namespace vfw {

namespace {

// What keeps a member that exists from being opened as a queue file.
const char* memberProblem(const std::string& path, int error) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return "it is a directory";
        }
        if (S_ISFIFO(status.st_mode)) {
            return "it is a FIFO";
        }
        if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode)) {
            return "it is a device";
        }
        if (S_ISSOCK(status.st_mode)) {
            return "it is a socket";
        }
    }
    return std::strerror(error);
}

// prefix followed by a new UUID as 32 lower-case hexadecimal digits.
std::string uniqueName(const std::string& prefix) {
    uuid_t uuid;
    uuid_generate(uuid);
    static const char digits[] = "0123456789abcdef";
    std::string name = prefix;
    for (unsigned char byte : uuid) {
        name += digits[byte >> 4];
        name += digits[byte & 0x0F];
    }
    return name;
}

bool exists(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

}  // namespace

void DBQComposite::dump(bool withData) {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_TRACE, "DBQC dump");
    std::vector<int64_t> listed;
    if (!listFileIds(m_directory, listed) || listed.empty()) {
        std::cout << "Database files don't exist." << std::endl;
        return;
    }
    for (int64_t id : distinctIds(listed)) {
        std::string path = memberPath(id);
        boost::shared_ptr<DBQSingle> member(new DBQSingle(path, 0, m_blockSize, 0600, 0));
        if (!member->isOpen()) {
            int error = errno;
            VFW_THROW(IOException, -1, "Queue file %s cannot be opened: %s", path.c_str(),
                      memberProblem(path, error));
        }
        member->dump(withData);
    }
}

void DBQComposite::handleFatalErrorException(const FatalErrorException& e) {
    DBQC_LOG(LEVEL_FATAL,
             "Fatal Error encountered in audit database: %s. Please call Vantrel support",
             e.what());
    close();
}

void DBQComposite::handleException(const VFWException& e) {
    DBQC_LOG(LEVEL_WARN, "Error encountered in audit database: %s. Please call Vantrel support",
             e.what());
    close();
    if (!exists(m_directory)) {
        DBQC_LOG(LEVEL_DEBUG, "  Creating the file %s.", m_directory.c_str());
        if (!open(m_directory, 1, 0600, true, m_name)) {
            DBQC_LOG(LEVEL_DEBUG, "Fail to open db %s at %s.", m_directory.c_str(), m_name.c_str());
        }
        return;
    }
    std::string prefix = m_directory + "." + std::to_string(::getpid()) + ".";
    std::string aside = uniqueName(prefix);
    if (exists(aside)) {
        DBQC_LOG(LEVEL_DEBUG, "New generated name exists: %s", aside.c_str());
        aside = uniqueName(prefix);
        if (exists(aside)) {
            DBQC_LOG(LEVEL_DEBUG,
                     "Unable to move corrupt %s out of the way: failed to generate non-existing "
                     "name",
                     m_directory.c_str());
            VFW_THROW(IOException, -1,
                      "Unable to move corrupt %s out of the way: failed to generate non-existing "
                      "name",
                      m_directory.c_str());
        }
    }
    DBQC_LOG(LEVEL_DEBUG, "  Moving the file out of the way to: %s", aside.c_str());
    if (::rename(m_directory.c_str(), aside.c_str()) != 0) {
        int error = errno;
        DBQC_LOG(LEVEL_DEBUG, "Unable to move corrupt %s out of the way: %s (error: %d).",
                 m_directory.c_str(), std::strerror(error), error);
        VFW_THROW(IOException, error, "Unable to move corrupt %s out of the way: %s (error: %d).",
                  m_directory.c_str(), std::strerror(error), error);
    }
    DBQC_LOG(LEVEL_DEBUG, "Renaming %s to %s succeeded.", m_directory.c_str(), aside.c_str());
    if (!open(m_directory, 1, 0600, true, m_name)) {
        DBQC_LOG(LEVEL_DEBUG, "Fail to open db %s at %s.", m_directory.c_str(), m_name.c_str());
    }
}

void DBQComposite::flushDb() {
    MutexLock lock(m_mutex);
    // The totals mean something only while open: a composite whose open stopped half-way
    // has counted only part of its members, and must not be taken for an empty one.
    if (!isOpen()) {
        return;
    }
    uint64_t size = 0;
    try {
        size = getDataSize();
    } catch (const FatalErrorException& e) {
        handleFatalErrorException(e);
        throw;
    } catch (const VFWException& e) {
        handleException(e);
        size = getDataSize();
    }
    if (size != 0) {
        return;
    }
    DBQC_LOG(LEVEL_DEBUG, "DBQ (%s) Data size becomes 0. Renew DBQ.", m_name.c_str());
    destroy();
    if (!open(m_directory, m_openMode, m_fileMode, true, m_name)) {
        DBQC_LOG(LEVEL_DEBUG, "Fail to open db %s at %s.", m_directory.c_str(), m_name.c_str());
    }
}

}  // namespace vfw
