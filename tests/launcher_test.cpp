// The launcher: descriptor maps (a swap too) and nothing else open in the child, time limits,
// children reaped later, and failures that leave no descriptor and no child behind. Waits
// follow the children's progress; time limits of passing cases are bounds that end hangs.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/launcher.h"

namespace {

using vfw::FdMapping;
using vfw::LaunchProcess;

const unsigned kHangBound = 120;  // steps: a minute

// Both ends without close-on-exec: only the launcher keeps them out of a child.
struct Pipe {
    int m_ends[2];
    Pipe() { EXPECT_EQ(0, ::pipe(m_ends)); }
    ~Pipe() {
        ::close(m_ends[0]);
        ::close(m_ends[1]);
    }
    int r() const { return m_ends[0]; }
    int w() const { return m_ends[1]; }
    std::string read() const {  // what it holds now (a few short lines)
        char buffer[256];
        ::fcntl(r(), F_SETFL, O_NONBLOCK);
        return std::string(buffer, size_t(std::max(::read(r(), buffer, sizeof buffer), 0L)));
    }
};

vfw::LaunchSpec shell(const std::string& script, std::vector<FdMapping> fds = {},
                      unsigned limit = 0) {
    return {"/bin/sh", {"sh", "-c", script}, std::nullopt, std::move(fds), limit};
}

std::set<int> openFds() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    for (dirent* entry; (entry = ::readdir(dir)) != nullptr;) {
        if (entry->d_name[0] != '.') {
            fds.insert(std::atoi(entry->d_name));
        }
    }
    fds.erase(dirfd(dir));
    ::closedir(dir);
    return fds;
}

}  // namespace

// Every test leaves the process with the descriptors it had and without a child.
class Launcher : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(m_fds, openFds());
        int status;
        EXPECT_TRUE(::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
    }
    const std::set<int> m_fds = openFds();
};

TEST_F(Launcher, MapsDescriptorsAndClosesAllOthers) {
    Pipe a, b;
    std::set<int> probed = openFds();  // every one of the parent's must be missing
    probed.insert({1, 5});
    std::string present = "for f in";
    for (int fd : probed) {
        present += " " + std::to_string(fd);
    }
    present += "; do if [ -e /proc/self/fd/$f ]; then printf '%s ' $f; fi; done";
    const std::string swap = "echo to-b >/proc/self/fd/" + std::to_string(a.w()) +
                             "; echo to-a >/proc/self/fd/" + std::to_string(b.w());
    struct Case {
        std::vector<FdMapping> fds;
        std::string script, a, b;
        std::optional<std::vector<std::string>> environment = std::nullopt;
    } cases[] = {
        {{{1, a.w()}}, "echo one", "one\n", ""},
        {{{5, b.w()}}, "echo five >&5", "", "five\n"},
        {{{a.w(), b.w()}, {b.w(), a.w()}}, swap, "to-a\n", "to-b\n"},
        {{{1, a.w()}, {5, b.w()}}, present, "1 5 ", ""},
        {{{1, a.w()}}, "echo $GREETING ${HOME-none}", "hi none\n", "", {{"GREETING=hi"}}},
    };
    for (const Case& c : cases) {
        vfw::LaunchSpec spec = shell(c.script, c.fds, kHangBound);
        spec.m_environment = c.environment;
        EXPECT_EQ(0, LaunchProcess(spec).m_status) << c.script;
        EXPECT_EQ(c.a, a.read()) << c.script;
        EXPECT_EQ(c.b, b.read()) << c.script;
    }
}

// SIGTERM ignored by the parent still ends the child: its actions are the defaults.
TEST_F(Launcher, TimeLimitEndsAChildWithSigterm) {
    struct Case {
        vfw::LaunchSpec spec;
        sighandler_t parentAction;
        bool timedOut;
        int status;
    } cases[] = {
        {{"/bin/sleep", {"sleep", "1000"}, {}, {}, 1}, SIG_DFL, true, W_EXITCODE(0, SIGTERM)},
        {{"/bin/sleep", {"sleep", "1000"}, {}, {}, 2}, SIG_IGN, true, W_EXITCODE(0, SIGTERM)},
        {shell("exit 3", {}, kHangBound), SIG_DFL, false, W_EXITCODE(3, 0)},
    };
    for (const Case& c : cases) {
        const sighandler_t old = ::signal(SIGTERM, c.parentAction);
        const vfw::LaunchResult result = LaunchProcess(c.spec);
        ::signal(SIGTERM, old);
        EXPECT_EQ(c.timedOut, result.m_timedOut) << c.spec.m_timeLimit;
        EXPECT_EQ(c.status, result.m_status) << c.spec.m_timeLimit;
    }
}

// Tried with growing limits until the shell said it had set its trap before the limit passed.
TEST_F(Launcher, ChildIgnoringSigtermIsKilled) {
    for (unsigned steps = 1; steps <= 64; steps *= 2) {
        Pipe out;
        const vfw::LaunchResult result = LaunchProcess(
            shell("trap '' TERM; echo armed; exec sleep 1000", {{1, out.w()}}, steps));
        EXPECT_TRUE(result.m_timedOut);
        if (out.read() == "armed\n") {
            EXPECT_EQ(W_EXITCODE(0, SIGKILL), result.m_status);
            return;
        }
        EXPECT_EQ(W_EXITCODE(0, SIGTERM), result.m_status);
    }
    ADD_FAILURE() << "the shell never set its trap in time";
}

TEST_F(Launcher, ChildrenWithoutLimitAreReapedOnceEnded) {
    Pipe in;
    std::map<pid_t, int> expected, seen;
    const pid_t waiting = LaunchProcess(shell("read x; exit 4", {{0, in.r()}})).m_pid;
    expected[waiting] = W_EXITCODE(4, 0);
    for (int code = 5; code < 8; ++code) {
        expected[LaunchProcess(shell("exit " + std::to_string(code))).m_pid] = W_EXITCODE(code, 0);
    }
    auto reap = [&seen] {
        for (const vfw::ChildExit& child : vfw::ReapChildren()) {
            seen[child.m_pid] = child.m_status;
        }
        return seen.size();
    };
    EXPECT_TRUE(vfw_test::eventually([&] { return reap() == 3; }));
    EXPECT_EQ(0u, seen.count(waiting));  // blocked on its input, so still running
    EXPECT_EQ(3, ::write(in.w(), "go\n", 3));
    EXPECT_TRUE(vfw_test::eventually([&] { return reap() == 4; }));
    EXPECT_EQ(expected, seen);
}

TEST_F(Launcher, ManyLaunchesLeaveNothingBehind) {
    for (unsigned i = 0; i < 300; ++i) {
        EXPECT_EQ(0, LaunchProcess({"/bin/true", {}, {}, {}, i % 2 * kHangBound}).m_status);
    }
    EXPECT_EQ(150u, vfw::WaitChildren().size());
}

TEST_F(Launcher, FailuresThrowNamingTheProgramAndLeaveNothingBehind) {
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("plain"), "#!/bin/sh\n");
    ::chmod(dir.file("plain").c_str(), 0644);
    const int closed = *m_fds.rbegin() + 1;
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const int top = int(limit.rlim_cur) - 1;  // the child has no room above it for the map
    struct Case {
        std::string program;
        std::vector<FdMapping> fds;
        int rc;
    } cases[] = {
        {"/no/such/program", {}, ENOENT},
        {dir.file("plain"), {}, EACCES},
        {"", {}, EINVAL},
        {"/bin/true", {{3, closed}}, EBADF},
        {"/bin/true", {{-1, 0}}, EINVAL},
        {"/bin/true", {{3, 0}, {3, 1}}, EINVAL},
        {"/bin/true", {{top + 1, 0}}, EINVAL},
        {"/bin/true", {{top, 0}}, EINVAL},  // fails in the child
    };
    for (const Case& c : cases) {
        for (unsigned steps : {0u, kHangBound}) {
            try {
                LaunchProcess({c.program, {}, {}, c.fds, steps});
                ADD_FAILURE() << c.program << " launched";
            } catch (const vfw::SystemException& e) {
                EXPECT_EQ(c.rc, e.getRc()) << e.what();
                EXPECT_NE(std::string::npos, std::string(e.what()).find('"' + c.program + '"'))
                    << e.what();
            }
        }
    }
}
