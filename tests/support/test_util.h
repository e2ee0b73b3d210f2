// Helpers shared by the tests: a private temporary directory, whole-file reads and writes, the
// tables of cases kept as text under tests/data, a run in a child process and polling.
#ifndef VFW_TEST_UTIL_H
#define VFW_TEST_UTIL_H

#include <functional>
#include <string>
#include <vector>

namespace vfw_test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The rows of tests/data/<name>: one per line, fields separated by tabs, the escapes \\ \t \n \r
// \f and \v decoded within each field (any other backslash stays as it is). Empty lines and
// lines starting with "//" are skipped. A missing file fails the test and gives no rows.
std::vector<std::vector<std::string>> table(const std::string& name);

// Runs `body` in a forked child and returns the text it produced, "child failed" when it
// produced none. The output file is opened before `body` runs, which may change the root.
std::string inChild(const std::function<std::string()>& body);

// Polls `condition`, yielding between polls, until it holds or a minute has passed (a bound that
// only ends a hang); its last value.
bool eventually(const std::function<bool()>& condition);

}  // namespace vfw_test

#endif
