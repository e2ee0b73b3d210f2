#include "support/test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace vfw_test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vfw-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "could not remove " << m_path;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

namespace {

std::string unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        const char* escape = i + 1 < field.size() ? std::strchr("\\tnrfv", field[i + 1]) : nullptr;
        if (field[i] == '\\' && escape != nullptr && *escape != '\0') {
            out += "\\\t\n\r\f\v"[escape - "\\tnrfv"];
            ++i;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

std::vector<std::vector<std::string>> table(const std::string& name) {
    std::string path = __FILE__;
    path = path.substr(0, path.rfind("/support/")) + "/data/" + name;
    std::ifstream in(path);
    EXPECT_TRUE(in.is_open()) << "no table " << path;
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line.rfind("//", 0) == 0) {
            continue;
        }
        rows.emplace_back();
        for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
            end = line.find('\t', begin);
            rows.back().push_back(unescape(line.substr(begin, end - begin)));
        }
    }
    return rows;
}

std::string inChild(const std::function<std::string()>& body) {
    TempDir dir;
    const std::string out = dir.file("child.out");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string text = body();
        ::_exit(::write(fd, text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? readFile(out) : "child failed";
}

bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!condition() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
    }
    return condition();
}

}  // namespace vfw_test
