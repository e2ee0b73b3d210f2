// Pieces shared by the sources of DBQSingle.
#ifndef VFW_DBQ_SINGLE_INTERNAL_H
#define VFW_DBQ_SINGLE_INTERNAL_H

#include <boost/make_shared.hpp>

#include <cstring>
#include <vector>

#include "vfw/dbq.h"

namespace vfw {

// Keeps an update all-or-nothing in memory: the master block image is saved on entry, and
// unless done() is called (after the commit) it is put back and the dirty blocks dropped, so
// an exception in the middle of an update never leaves half-changed lists behind. The disk
// side is the commit protocol's business.
class DBQSingle::UpdateGuard {
  public:
    explicit UpdateGuard(DBQSingle& queue)
        : m_queue(queue),
          m_saved(queue.m_master->buffer(), queue.m_master->buffer() + queue.m_master->blockSize()),
          m_done(false) {}
    ~UpdateGuard() {
        if (!m_done) {
            std::memcpy(m_queue.m_master->buffer(), m_saved.data(), m_saved.size());
            m_queue.m_dirty.clear();
        }
    }
    UpdateGuard(const UpdateGuard&) = delete;
    UpdateGuard& operator=(const UpdateGuard&) = delete;
    void done() { m_done = true; }
    // The master block image as it was when the update began, which is what block 0 holds.
    const unsigned char* before() const { return m_saved.data(); }

  private:
    DBQSingle& m_queue;
    std::vector<unsigned char> m_saved;
    bool m_done;
};

}  // namespace vfw

#endif
