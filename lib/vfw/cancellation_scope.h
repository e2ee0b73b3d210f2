// Thread cancellation state for the library's own scopes: setCancelState throws
// SystemException when the system refuses a state; a CancellationScope sets one for its
// scope and puts the saved state back at its end without acting on a pending request.
#ifndef VFW_CANCELLATION_SCOPE_H
#define VFW_CANCELLATION_SCOPE_H

#include <pthread.h>

#include "vfw/error_util.h"

namespace vfw {

// `oldState` may be null.
inline void setCancelState(int state, int* oldState) {
    int ignored;
    int rc = pthread_setcancelstate(state, oldState != nullptr ? oldState : &ignored);
    if (rc != 0) {
        VFW_THROW_OS(vfw::SystemException, rc);
    }
}

// Restoring a state that the system itself reported cannot fail, so the destructor ignores
// the result.
class CancellationScope {
  public:
    explicit CancellationScope(int state) { setCancelState(state, &m_oldState); }
    ~CancellationScope() {
        int ignored;
        pthread_setcancelstate(m_oldState, &ignored);
    }
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

  private:
    int m_oldState = PTHREAD_CANCEL_ENABLE;
};

}  // namespace vfw

#endif
