// Helpers shared by the tests: a private temporary directory and whole-file reads and writes.
#ifndef VFW_TEST_UTIL_H
#define VFW_TEST_UTIL_H

#include <string>

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

}  // namespace vfw_test

#endif
