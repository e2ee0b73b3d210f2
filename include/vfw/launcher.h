// Starting child programs: fork and exec with a map of the child's descriptors, either run to
// the end under a time limit or left running on a process-wide list of children to reap later.
//
// `LaunchSpec` describes one launch, `LaunchProcess` performs it, `ReapChildren` and
// `WaitChildren` collect the children it left running.
//
// Contracts:
// - The child gets exactly the descriptors of `m_fds`: each child number is a duplicate of the
//   caller's descriptor named with it (pairs may name each other's numbers, a swap included),
//   without close-on-exec; every other descriptor is closed, 0, 1 and 2 too unless mapped. Its
//   signal mask is empty and every signal has its default action.
//   The child first moves every source above the highest child number, so a child number
//   close to the descriptor limit (RLIMIT_NOFILE) fails in the child.
// - Every failure throws SystemException with the errno as rc and a message naming the
//   program: an empty path (EINVAL); a bad map: a child number negative, not below the
//   descriptor limit or given twice (EINVAL), a descriptor the caller has not open (EBADF);
//   fork failing; or the child failing to map its descriptors or to exec the program (e.g.
//   ENOENT, EACCES). When LaunchProcess throws, no child is left running, no zombie is left
//   behind and no descriptor is left open.
// - With a time limit, LaunchProcess reaps the child itself; a child still running when the
//   limit passes gets SIGTERM, and SIGKILL two seconds later if it still runs then. Without a
//   limit the child goes onto the list and only ReapChildren or WaitChildren reap it. Both
//   wait for particular pids only, never for any child, so they leave other children of the
//   process alone; the process must not ignore SIGCHLD (its children would vanish unseen).
// - Thread-safe: the list is guarded by a mutex of its own. LaunchProcess holds cancellation
//   off while it runs, so a cancelled thread never leaves a child behind unaccounted.
//   ReapChildren and WaitChildren are cancellation points: a cancelled call may have reaped
//   children whose statuses it never returns.
// - Between fork and exec the child makes only async-signal-safe calls, so launching from a
//   multi-threaded process is safe. The descriptors named in `m_fds` must stay open during
//   the call.
#ifndef VFW_LAUNCHER_H
#define VFW_LAUNCHER_H

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vfw {

// The child's descriptor `m_child` is a duplicate of the caller's descriptor `m_parent`.
struct FdMapping {
    int m_child;
    int m_parent;
};

struct LaunchSpec {
    // Executed as given: no search of PATH.
    std::string m_program;
    // The child's argv; empty gives the program path alone.
    std::vector<std::string> m_argv;
    // The child's environment; none gives it the caller's.
    std::optional<std::vector<std::string>> m_environment;
    std::vector<FdMapping> m_fds;
    // Half-second steps counted from the successful exec; 0 for no limit.
    unsigned m_timeLimit = 0;
};

struct LaunchResult {
    pid_t m_pid = -1;
    // With a time limit, the child's wait status (waitpid), and whether the limit passed and
    // the child was sent SIGTERM. Without one, 0 and false: the child still runs.
    int m_status = 0;
    bool m_timedOut = false;
};

// A reaped child of the list and its wait status.
struct ChildExit {
    pid_t m_pid;
    int m_status;
};

LaunchResult LaunchProcess(const LaunchSpec& spec);

// Reaps every child of the list that has ended, without blocking; returns them in list order.
// A child that some other part of the process has reaped already is dropped silently.
std::vector<ChildExit> ReapChildren();

// Blocks until the list is empty, reaping the children as they end; returns them in the
// order reaped. Children launched meanwhile are waited for as well.
std::vector<ChildExit> WaitChildren();

}  // namespace vfw

#endif
