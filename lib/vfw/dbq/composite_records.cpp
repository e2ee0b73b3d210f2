// DBQComposite records: appending at the enqueue end with the start of a new member past the
// size limit, reading and removing at the dequeue end, and the rotation that removes a
// drained oldest member.
#include "dbq_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "composite_internal.h"

namespace vfw {

void DBQComposite::requireOpen(const char* operation) {
    if (!endsOpen()) {
        VFW_THROW(IOException, -1, "DBQC (%s) is not opened.", operation);
    }
}

DBQComposite::Member DBQComposite::enqueueTarget() {
    if (m_DbqEnqueue) {
        // The size the member's stream tracks is the file's size on disk (the member is its
        // file's only writer) and costs no system call; the file system is asked only when
        // the stream cannot tell.
        int64_t size = m_DbqEnqueue->openFileSize();
        if (size < 0) {
            size = m_DbqEnqueue->getFileSize();
        }
        if (uint64_t(size) <= m_maxFileSize) {
            return m_DbqEnqueue;
        }
    }
    int64_t id = m_DbqEnqueueID + 1;
    std::string path = memberPath(id);
    struct stat status;
    bool existed = ::lstat(path.c_str(), &status) == 0;
    Member member;
    int error = 0;
    try {
        member = openMember(id, m_openMode, true, true);
        error = errno;
    } catch (const VFWException&) {
        error = errno;
    }
    if (!member) {
        // The limit is a soft one: the record goes to the current file rather than nowhere,
        // and a file this attempt left behind is removed so that no half-made member stays.
        if (!existed) {
            ::unlink(path.c_str());
        }
        DBQC_LOG(LEVEL_ERROR,
                 "DBQC failed to make new file. Can't enqueue to %s; the record goes to %ld "
                 "instead. Error: %d. Please recover the machine and restart the process.",
                 path.c_str(), long(m_DbqEnqueueID), error);
        return m_DbqEnqueue;
    }
    if (m_DbqEnqueue && m_DbqEnqueueID != m_DbqDequeueID) {
        moveToClosed(m_DbqEnqueue, 1);
        m_DbqEnqueue->close();
    }
    m_DbqEnqueue = member;
    m_DbqEnqueueID = id;
    return member;
}

void DBQComposite::enqueue(const ByteArray& data, uint32_t length) {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC Enqueue data. m_DbqDequeueID %ld, m_DbqEnqueueID %ld",
             long(m_DbqDequeueID), long(m_DbqEnqueueID));
    requireOpen("enqueue");
    enqueueTarget()->enqueue(data, length);
}

void DBQComposite::dequeue(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC dequeue and get data");
    requireOpen("dequeue(..)");
    skipEmptyQueue();
    DBQC_LOG(LEVEL_TRACE, "m_DbqDequeue count %ld, m_DbqDequeueID %ld, m_DbqEnqueueID %ld",
             long(m_DbqDequeue->count()), long(m_DbqDequeueID), long(m_DbqEnqueueID));
    m_DbqDequeue->dequeue(data, length);
    DBQC_LOG(LEVEL_TRACE, "m_DbqDequeue count after dequeue: %ld", long(m_DbqDequeue->count()));
    rotateDequeue();
}

void DBQComposite::dequeue() {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC dequeue and purge data");
    requireOpen("dequeue()");
    skipEmptyQueue();
    DBQC_LOG(LEVEL_TRACE, "m_DbqDequeue count %ld, m_DbqDequeueID %ld, m_DbqEnqueueID %ld",
             long(m_DbqDequeue->count()), long(m_DbqDequeueID), long(m_DbqEnqueueID));
    m_DbqDequeue->dequeue();
    DBQC_LOG(LEVEL_TRACE, "m_DbqDequeue count after dequeue: %ld", long(m_DbqDequeue->count()));
    rotateDequeue();
}

void DBQComposite::peek(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC peek");
    requireOpen("peek");
    skipEmptyQueue();
    getHead(data, length);
}

void DBQComposite::getHead(ByteArray& data, uint32_t& length) {
    MutexLock lock(m_mutex);
    DBQC_LOG(LEVEL_DEBUG, "DBQC gethead");
    requireOpen("getHead");
    skipEmptyQueue();
    length = 0;
    if (m_DbqDequeue) {
        m_DbqDequeue->getHead(data, length);
    }
}

void DBQComposite::shrink() {
    MutexLock lock(m_mutex);
    // A closed composite has nothing to give back, and rotating it would reopen members.
    if (!m_DbqDequeue || !endsOpen()) {
        return;
    }
    skipEmptyQueue();
    DBQC_LOG(LEVEL_DEBUG, "DBQC shrink");
    m_DbqDequeue->shrink();
}

void DBQComposite::skipEmptyQueue() {
    DBQC_LOG(LEVEL_TRACE, "DBQC skip empty DBQ at dequeue head");
    while (m_DbqDequeueID < m_DbqEnqueueID && m_DbqDequeue->isEmpty()) {
        DBQC_LOG(LEVEL_DEBUG, "DBQC skipping empty dequeue head");
        int64_t before = m_DbqDequeueID;
        rotateDequeue();
        if (m_DbqDequeueID == before) {
            return;
        }
    }
}

void DBQComposite::rotateDequeue() {
    DBQC_LOG(LEVEL_DEBUG, "Rotate dequeue end. m_DbqEnqueueID %ld, m_DbqDequeueID %ld",
             long(m_DbqEnqueueID), long(m_DbqDequeueID));
    if (m_DbqDequeueID >= m_DbqEnqueueID || !m_DbqDequeue->isEmpty()) {
        return;
    }
    int64_t leftCount = m_DbqDequeue->count();
    if (leftCount != 0) {
        DBQC_LOG(LEVEL_INFO,
                 "Rotate dequeue end - dequeue end is empty but the accounting claims there are "
                 "still %d records.",
                 int(leftCount));
    }
    if (m_DbqDequeueID + 1 == m_DbqEnqueueID) {
        DBQC_LOG(LEVEL_DEBUG, "Rotate dequeue end - become same as enqueue end.");
        m_DbqDequeue->destroy();
        m_DbqDequeue = m_DbqEnqueue;
        m_DbqDequeueID = m_DbqEnqueueID;
        return;
    }
    int64_t id = m_DbqDequeueID + 1;
    DBQC_LOG(LEVEL_DEBUG, "Rotate dequeue end - open next DBQSingle: %ld.", long(id));
    // The next member holds records written since the open: it is never truncated.
    Member next = openMember(id, m_openMode == 2 ? 1 : m_openMode, true, true);
    if (!next) {
        int error = errno;
        DBQC_LOG(LEVEL_ERROR,
                 "DBQC dequeue failed to open %s. Error: %d. Please recover the machine and "
                 "restart the process.",
                 memberPath(id).c_str(), error);
        return;
    }
    m_DbqDequeue->destroy();
    moveToClosed(next, -1);
    m_DbqDequeue = next;
    m_DbqDequeueID = id;
    DBQC_LOG(LEVEL_DEBUG, "Dequeue rotate dequeue end successful.");
}

}  // namespace vfw
