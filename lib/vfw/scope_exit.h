// The library's scope guard: an action that runs when a scope ends, on every way out or, once
// dismissed on the success path, only when an exception leaves the scope.
#ifndef VFW_SCOPE_EXIT_H
#define VFW_SCOPE_EXIT_H

#include <exception>
#include <utility>

#include "vfw/error_util.h"

namespace vfw {

// A failure of the action while an exception leaves the scope is dropped: throwing it would
// terminate the process, and the first exception already says what went wrong.
template <class Action>
class ScopeExit {
  public:
    explicit ScopeExit(Action action)
        : m_action(std::move(action)), m_uncaught(std::uncaught_exceptions()) {}
    ~ScopeExit() noexcept(false) {
        if (m_dismissed) {
            return;
        }
        try {
            m_action();
        } catch (const VFWException&) {
            if (std::uncaught_exceptions() == m_uncaught) {
                throw;
            }
        }
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    // The scope's work succeeded: the action no longer runs.
    void dismiss() { m_dismissed = true; }

  private:
    Action m_action;
    int m_uncaught;
    bool m_dismissed = false;
};

}  // namespace vfw

#endif
