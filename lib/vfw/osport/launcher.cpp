#include "vfw/launcher.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <list>
#include <thread>

#include "vfw/error_util.h"
#include "vfw/mutex.h"

#include "../cancellation_scope.h"
#include "../descriptor.h"

extern char** environ;

namespace vfw {

namespace {

using Clock = std::chrono::steady_clock;

// How long a child that outlived its time limit has after SIGTERM before SIGKILL.
const unsigned kKillGraceSteps = 4;
// The longest pause between two looks at a child under a time limit.
const std::chrono::milliseconds kLongestPause(20);

// What a child that fails before its program runs writes to the parent.
enum ChildStage { kMapStage = 1, kExecStage = 2 };
struct ChildFailure {
    int m_stage;
    int m_error;
};

Mutex* g_childrenLock = nullptr;

// Never freed, so that a thread still launching while the process exits finds it intact.
std::list<pid_t>& listedChildren() {
    static std::list<pid_t>* children = new std::list<pid_t>;
    return *children;
}

// waitpid, resumed after signals.
pid_t waitPid(pid_t pid, int& status, int options) {
    pid_t result;
    do {
        result = ::waitpid(pid, &status, options);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Everything the child needs, made before the fork: afterwards it only reads and writes
// these fields.
struct ChildPlan {
    const char* m_program = nullptr;
    std::vector<char*> m_argv;
    std::vector<char*> m_environment;  // empty: the caller's environment
    std::vector<FdMapping> m_fds;
    std::vector<int> m_moved;  // each source's copy above every target
    std::vector<int> m_keep;   // the targets in ascending order, then the report descriptor
    int m_highestTarget = -1;
    int m_descriptorLimit = 0;
    int m_reportFd = -1;
};

std::vector<char*> nullTerminated(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const std::string& s : strings) {
        pointers.push_back(const_cast<char*>(s.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Refuses a map the child could not apply, naming the program.
void checkMap(const LaunchSpec& spec, int descriptorLimit) {
    const char* program = spec.m_program.c_str();
    for (size_t i = 0; i < spec.m_fds.size(); ++i) {
        const FdMapping& fd = spec.m_fds[i];
        if (fd.m_child < 0 || fd.m_child >= descriptorLimit) {
            VFW_THROW_OS(SystemException, EINVAL,
                         "Cannot launch \"%s\": child descriptor %d out of range", program,
                         fd.m_child);
        }
        if (::fcntl(fd.m_parent, F_GETFD) < 0) {
            VFW_THROW_OS(SystemException, errno,
                         "Cannot launch \"%s\": descriptor %d for the child's %d", program,
                         fd.m_parent, fd.m_child);
        }
        for (size_t j = 0; j < i; ++j) {
            if (spec.m_fds[j].m_child == fd.m_child) {
                VFW_THROW_OS(SystemException, EINVAL,
                             "Cannot launch \"%s\": child descriptor %d mapped twice", program,
                             fd.m_child);
            }
        }
    }
}

ChildPlan makePlan(const LaunchSpec& spec) {
    if (spec.m_program.empty()) {
        VFW_THROW_OS(SystemException, EINVAL, "Cannot launch \"\": empty program path");
    }
    ChildPlan plan;
    rlimit limit;
    plan.m_descriptorLimit = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX
                                 ? static_cast<int>(limit.rlim_cur)
                                 : INT_MAX;
    checkMap(spec, plan.m_descriptorLimit);
    plan.m_program = spec.m_program.c_str();
    plan.m_argv = nullTerminated(spec.m_argv);
    if (spec.m_argv.empty()) {
        plan.m_argv.insert(plan.m_argv.begin(), const_cast<char*>(plan.m_program));
    }
    if (spec.m_environment) {
        plan.m_environment = nullTerminated(*spec.m_environment);
    }
    plan.m_fds = spec.m_fds;
    plan.m_moved.resize(spec.m_fds.size());
    for (const FdMapping& fd : spec.m_fds) {
        plan.m_keep.push_back(fd.m_child);
        plan.m_highestTarget = std::max(plan.m_highestTarget, fd.m_child);
    }
    std::sort(plan.m_keep.begin(), plan.m_keep.end());
    plan.m_keep.push_back(-1);
    return plan;
}

// The rest of the child, after a failure: tells the parent and ends.
[[noreturn]] void FailChild(int reportFd, int stage) {
    const ChildFailure failure = {stage, errno};
    ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

// Closes the descriptors from `from` up to `end` (excluded), one at a time where close_range
// fails.
void closeRange(unsigned from, unsigned end, int limit) {
    if (from >= end || ::close_range(from, end - 1, 0) == 0) {
        return;
    }
    for (unsigned fd = from; fd < end && fd < static_cast<unsigned>(limit); ++fd) {
        ::close(static_cast<int>(fd));
    }
}

// Sources first move above every target, so that placing one target never overwrites a
// source still to be placed; dup2 leaves the targets without close-on-exec.
void mapDescriptors(ChildPlan& plan) {
    const int reportFd = ::fcntl(plan.m_reportFd, F_DUPFD_CLOEXEC, plan.m_highestTarget + 1);
    if (reportFd < 0) {
        FailChild(plan.m_reportFd, kMapStage);
    }
    plan.m_reportFd = reportFd;
    for (size_t i = 0; i < plan.m_fds.size(); ++i) {
        plan.m_moved[i] = ::fcntl(plan.m_fds[i].m_parent, F_DUPFD_CLOEXEC, reportFd + 1);
        if (plan.m_moved[i] < 0) {
            FailChild(reportFd, kMapStage);
        }
    }
    for (size_t i = 0; i < plan.m_fds.size(); ++i) {
        if (::dup2(plan.m_moved[i], plan.m_fds[i].m_child) < 0) {
            FailChild(reportFd, kMapStage);
        }
    }
    plan.m_keep.back() = reportFd;
    unsigned from = 0;
    for (int keep : plan.m_keep) {
        closeRange(from, static_cast<unsigned>(keep), plan.m_descriptorLimit);
        from = static_cast<unsigned>(keep) + 1;
    }
    closeRange(from, UINT_MAX, plan.m_descriptorLimit);
}

// Only async-signal-safe calls from here to the exec.
[[noreturn]] void RunChild(ChildPlan& plan) {
    struct sigaction defaultAction = {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    for (int number = 1; number < NSIG; ++number) {
        ::sigaction(number, &defaultAction, nullptr);
    }
    mapDescriptors(plan);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(plan.m_program, plan.m_argv.data(),
             plan.m_environment.empty() ? environ : plan.m_environment.data());
    FailChild(plan.m_reportFd, kExecStage);
}

// Forks with every signal blocked, so that no handler of the caller's runs in the child.
pid_t forkChild(ChildPlan& plan) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::fork();
    if (pid == 0) {
        RunChild(plan);
    }
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        VFW_THROW_OS(SystemException, error, "Cannot fork to launch \"%s\"", plan.m_program);
    }
    return pid;
}

// Reads the child's report: nothing before the pipe closes means the exec succeeded. A child
// that failed is reaped (it has ended or is about to) before the failure is thrown.
void checkExec(const char* program, int reportFd, pid_t pid) {
    ChildFailure failure;
    ssize_t got;
    do {
        got = ::read(reportFd, &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof failure)) {
        return;
    }
    int status;
    waitPid(pid, status, 0);
    if (failure.m_stage == kExecStage) {
        VFW_THROW_OS(SystemException, failure.m_error, "Cannot execute \"%s\"", program);
    }
    VFW_THROW_OS(SystemException, failure.m_error, "Cannot map the descriptors of \"%s\"", program);
}

Clock::duration steps(unsigned steps) {
    return std::chrono::milliseconds(500) * steps;
}

// Looks at the child at growing intervals until it has ended (true, reaped) or the deadline
// has passed (false).
bool reapBy(const char* program, pid_t pid, Clock::time_point deadline, int& status) {
    Clock::duration pause = std::chrono::milliseconds(1);
    for (;;) {
        const pid_t result = waitPid(pid, status, WNOHANG);
        if (result < 0) {
            VFW_THROW_OS(SystemException, errno, "Cannot wait for \"%s\" (pid %d)", program,
                         static_cast<int>(pid));
        }
        const Clock::time_point now = Clock::now();
        if (result == pid || now >= deadline) {
            return result == pid;
        }
        std::this_thread::sleep_for(std::min(pause, deadline - now));
        pause = std::min<Clock::duration>(pause * 2, kLongestPause);
    }
}

LaunchResult runToEnd(const LaunchSpec& spec, pid_t pid) {
    const char* program = spec.m_program.c_str();
    LaunchResult result;
    result.m_pid = pid;
    if (reapBy(program, pid, Clock::now() + steps(spec.m_timeLimit), result.m_status)) {
        return result;
    }
    result.m_timedOut = true;
    ::kill(pid, SIGTERM);
    if (!reapBy(program, pid, Clock::now() + steps(kKillGraceSteps), result.m_status)) {
        ::kill(pid, SIGKILL);
        waitPid(pid, result.m_status, 0);
    }
    return result;
}

}  // namespace

LaunchResult LaunchProcess(const LaunchSpec& spec) {
    const CancellationScope noCancellation(PTHREAD_CANCEL_DISABLE);
    ChildPlan plan = makePlan(spec);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        VFW_THROW_OS(SystemException, errno, "Cannot launch \"%s\"", plan.m_program);
    }
    Descriptor readEnd(ends[0]), writeEnd(ends[1]);
    plan.m_reportFd = writeEnd.get();
    std::list<pid_t> entry(1);  // made before the fork: listing the child cannot fail
    const pid_t pid = forkChild(plan);
    writeEnd.close();
    checkExec(plan.m_program, readEnd.get(), pid);
    if (spec.m_timeLimit > 0) {
        return runToEnd(spec, pid);
    }
    entry.front() = pid;
    MutexLock lock(*Mutex::getOrCreate(&g_childrenLock));
    listedChildren().splice(listedChildren().end(), entry);
    LaunchResult result;
    result.m_pid = pid;
    return result;
}

std::vector<ChildExit> ReapChildren() {
    MutexLock lock(*Mutex::getOrCreate(&g_childrenLock));
    std::list<pid_t>& children = listedChildren();
    std::vector<ChildExit> reaped;
    reaped.reserve(children.size());
    for (auto child = children.begin(); child != children.end();) {
        int status = 0;
        const pid_t result = waitPid(*child, status, WNOHANG);
        if (result == 0) {
            ++child;
            continue;
        }
        if (result == *child) {
            reaped.push_back({result, status});
        }
        child = children.erase(child);
    }
    return reaped;
}

// Waits without reaping (WNOWAIT) and outside the lock, then reaps through ReapChildren: the
// lock is never held while blocking, and a pid is only ever reaped while it is on the list.
std::vector<ChildExit> WaitChildren() {
    std::vector<ChildExit> all;
    for (;;) {
        pid_t first;
        {
            MutexLock lock(*Mutex::getOrCreate(&g_childrenLock));
            if (listedChildren().empty()) {
                return all;
            }
            first = listedChildren().front();
        }
        siginfo_t info;
        int rc;
        do {
            rc = ::waitid(P_PID, static_cast<id_t>(first), &info, WEXITED | WNOWAIT);
        } while (rc < 0 && errno == EINTR);
        const std::vector<ChildExit> reaped = ReapChildren();
        all.insert(all.end(), reaped.begin(), reaped.end());
    }
}

}  // namespace vfw
