// DBQSingle::Iterator: the state of a cursor over a queue's records.
#include "dbq_source.h"

#include "single_internal.h"

namespace vfw {

DBQSingle::Iterator::Iterator()
    : m_queue(nullptr),
      m_blockId(0),
      m_logger(getLogger("vfw.dbq.iterator")),
      m_position(0),
      m_limit(0) {}

DBQSingle::Iterator::Iterator(DBQSingle& queue)
    : m_queue(&queue),
      m_blockId(0),
      m_logger(getLogger("vfw.dbq.iterator")),
      m_position(0),
      m_limit(0) {
    MutexLock lock(queue.m_mutex);
    if (queue.m_open) {
        m_blockId = queue.m_master->getHead();
    }
}

}  // namespace vfw
