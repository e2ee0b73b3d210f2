// Running a test inside a private mount namespace, and child commands with their output.
//
// NS_TEST(Suite, Name) { body } defines two tests: Suite.Name re-executes this binary under
// `unshare --mount` running only Suite.DISABLED_Name_Body, which holds the body (disabled, so
// that it never runs outside a namespace). The body creates a `Sandbox` for each fixed
// directory it uses: a fresh directory bound over it in that namespace (refused in the
// original one), so nothing is ever written to the real paths.
#ifndef VFW_TEST_SANDBOX_H
#define VFW_TEST_SANDBOX_H

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/test_util.h"

namespace vfw_test {

inline std::string selfPath() {
    char buffer[4096];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

inline std::string mountNamespace() {
    char buffer[256];
    ssize_t n = ::readlink("/proc/self/ns/mnt", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Runs `command` with its output in `output`; returns its exit status.
inline int runCommand(const std::string& command, std::string& output) {
    vfw_test::TempDir dir;
    std::string log = dir.file("output");
    int status = std::system((command + " >'" + log + "' 2>&1").c_str());
    output = vfw_test::readFile(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// Runs the test `filter` of this binary under `wrapper` (the words before the binary's path,
// environment settings first); expects it to pass.
inline void expectPassesUnder(const std::string& wrapper, const std::string& filter) {
    std::string output;
    int status = runCommand(wrapper + " '" + selfPath() +
                                "' --gtest_also_run_disabled_tests --gtest_filter='" + filter + "'",
                            output);
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 1 test")) << output;
}

// Runs the test `filter` of this binary in a private mount namespace; expects it to pass.
inline void expectPassesInNamespace(const std::string& filter) {
    expectPassesUnder(
        "VFW_TEST_PARENT_NS='" + mountNamespace() + "' unshare --mount --propagation private --",
        filter);
}

// Binds `source` over `target`, only in a namespace other than the parent test's.
inline void bindInNamespace(const std::string& source, const std::string& target) {
    const char* parent = std::getenv("VFW_TEST_PARENT_NS");
    if (parent == nullptr || mountNamespace().empty() || mountNamespace() == parent) {
        ADD_FAILURE() << "refusing to mount over " << target << " outside a namespace";
        std::abort();
    }
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        ADD_FAILURE() << "bind mount over " << target << " failed";
        std::abort();
    }
}

// Binds a fresh directory over `target` (created empty when missing, the one change made
// outside the namespace). Only in a namespace other than the parent test's.
class Sandbox {
  public:
    explicit Sandbox(const std::string& target) : m_target(target) {
        ::mkdir(target.c_str(), 0755);
        ::chmod(m_dir.path().c_str(), 0755);
        bindInNamespace(m_dir.path(), target);
    }
    ~Sandbox() { ::umount2(m_target.c_str(), MNT_DETACH); }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    std::string file(const std::string& name) const { return m_target + "/" + name; }

  private:
    vfw_test::TempDir m_dir;
    std::string m_target;
};

// Binds a private file holding `bytes` over the existing file `target`, for the life of the
// namespace. Only in a namespace other than the parent test's.
inline void bindFileInNamespace(const std::string& target, const std::string& bytes) {
    static vfw_test::TempDir files;
    static int count = 0;
    std::string file = files.file(std::to_string(++count));
    writeFile(file, bytes);
    ::chmod(file.c_str(), 0644);
    bindInNamespace(file, target);
}

}  // namespace vfw_test

#define NS_TEST(suite, name)                                                  \
    TEST(suite, name) {                                                       \
        vfw_test::expectPassesInNamespace(#suite ".DISABLED_" #name "_Body"); \
    }                                                                         \
    TEST(suite, DISABLED_##name##_Body)

#endif
