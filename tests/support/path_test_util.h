// Helpers of the path tests: exceptions as one comparable text, work in a child process
// (optionally as an unprivileged user), file modes and presence, umask and working-directory
// guards.
#ifndef VFW_TEST_PATH_TEST_UTIL_H
#define VFW_TEST_PATH_TEST_UTIL_H

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <string>

namespace path_test {

constexpr uid_t kNobody = 65534;

inline std::string sysText(int error) {
    return std::strerror(error);
}

// "<rc> <message>" of the exception of class E thrown by `action`, or a description of what
// happened instead, so that one comparison checks class, code and text.
template <class E>
inline std::string thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return std::to_string(e.getRc()) + " " + e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// Runs `body` in a forked child (as user and group 65534 without supplementary groups when
// `asNobody`) and returns the text it produced.
inline std::string inChild(bool asNobody, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result;
        if (asNobody &&
            (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
             ::setresuid(kNobody, kNobody, kNobody) != 0)) {
            result = "cannot drop privileges";
        } else {
            result = body();
        }
        ssize_t written = ::write(fds[1], result.data(), result.size());
        ::_exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string output;
    char buffer[512];
    ssize_t got;
    while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        output.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "child failed: " + output;
    }
    return output;
}

inline mode_t modeOf(const std::string& name) {
    struct stat status;
    EXPECT_EQ(::lstat(name.c_str(), &status), 0) << name;
    return status.st_mode & 07777;
}

inline bool present(const std::string& name) {
    struct stat status;
    return ::lstat(name.c_str(), &status) == 0;
}

class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : m_old(::umask(mask)) {}
    ~UmaskGuard() { ::umask(m_old); }

  private:
    mode_t m_old;
};

class CwdGuard {
  public:
    explicit CwdGuard(const std::string& directory) : m_old(::get_current_dir_name()) {
        EXPECT_EQ(::chdir(directory.c_str()), 0);
    }
    ~CwdGuard() {
        EXPECT_EQ(::chdir(m_old), 0);
        std::free(m_old);
    }

  private:
    char* m_old;
};

}  // namespace path_test

#endif
