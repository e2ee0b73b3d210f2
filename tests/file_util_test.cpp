#include "vfw/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/log.h"

namespace {

using vfw_test::readFile;
using vfw_test::TempDir;
using vfw_test::writeFile;

std::string sysText(int error) {
    return std::strerror(error);
}

// "<rc> <message>" of the exception of class E thrown by `action`, or a description of what
// happened instead, so that one comparison checks class, code and text.
template <class E>
std::string thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return std::to_string(e.getRc()) + " " + e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// Runs `body` in a forked child and returns the text it produced.
std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string result = body();
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

struct stat statusOf(const std::string& name) {
    struct stat status;
    EXPECT_EQ(::lstat(name.c_str(), &status), 0) << name;
    return status;
}

bool present(const std::string& name) {
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

// Bytes that are not all alike, so that a misplaced buffer shows.
std::string patternBytes(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Every record of the process goes to a log file of the test run (never to syslog), with
// "util.file" at TRACE; takeRecords() hands out what was written since the last call.
class LogToFile : public ::testing::Environment {
  public:
    void SetUp() override {
        m_dir.reset(new TempDir);
        ASSERT_EQ(vfw::getFileLogging().open(file()), 0);
        vfw::getLogger("util.file")->setLevel(vfw::LEVEL_TRACE);
    }
    void TearDown() override {
        vfw::getFileLogging().close();
        m_dir.reset();
    }
    std::string file() const { return m_dir->file("records.log"); }

  private:
    std::unique_ptr<TempDir> m_dir;
};

LogToFile* const g_log =
    static_cast<LogToFile*>(::testing::AddGlobalTestEnvironment(new LogToFile));

std::string takeRecords() {
    vfw::getFileLogging().close();
    std::string records = readFile(g_log->file());
    writeFile(g_log->file(), "");
    EXPECT_EQ(vfw::getFileLogging().open(g_log->file()), 0);
    return records;
}

// True when one line of `records` holds `level` and, after it, `message`.
bool hasRecord(const std::string& records, const std::string& level, const std::string& message) {
    std::string::size_type start = 0;
    while (start < records.size()) {
        std::string::size_type end = records.find('\n', start);
        if (end == std::string::npos) {
            end = records.size();
        }
        std::string line = records.substr(start, end - start);
        std::string::size_type at = line.find(level + " ");
        if (at != std::string::npos && line.find(message, at) != std::string::npos) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Mode and size.

TEST(FileMode, PermissionBitsOnly) {
    UmaskGuard mask(0);
    TempDir dir;
    std::string file = dir.file("file");
    writeFile(file, "x");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    EXPECT_EQ(vfw::GetFileMode(file), 0640u);
    ASSERT_EQ(::chmod(file.c_str(), 06755), 0);
    EXPECT_EQ(vfw::GetFileMode(file), 0755u);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    EXPECT_EQ(vfw::GetFileMode(dir.path()), 0711u);
    // Links are followed.
    ASSERT_EQ(::symlink(file.c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(vfw::GetFileMode(dir.file("link")), 0755u);
}

TEST(FileSize, BytesOfTheFile) {
    TempDir dir;
    writeFile(dir.file("empty"), "");
    writeFile(dir.file("data"), patternBytes(123457));
    EXPECT_EQ(vfw::GetFileSize(dir.file("empty")), 0);
    EXPECT_EQ(vfw::GetFileSize(dir.file("data")), 123457);
    // Beyond 32 bits: a sparse file.
    int fd = ::open(dir.file("sparse").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5000000000LL), 0);
    ::close(fd);
    EXPECT_EQ(vfw::GetFileSize(dir.file("sparse")), 5000000000LL);
    // A FIFO is only looked at, never opened.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(vfw::GetFileSize(dir.file("fifo")), 0);
}

TEST(FileModeAndSize, FailuresThrowSystemException) {
    TempDir dir;
    std::string missing = dir.file("%s%n missing");
    std::string expected = "-1 OS call failed: " + sysText(ENOENT);
    EXPECT_EQ(thrown<vfw::SystemException>([&] { vfw::GetFileMode(missing); }), expected);
    EXPECT_EQ(thrown<vfw::SystemException>([&] { vfw::GetFileSize(missing); }), expected);
    EXPECT_EQ(thrown<vfw::SystemException>([] { vfw::GetFileSize(""); }), expected);
    std::string tooLong(5000, 'x');
    EXPECT_EQ(thrown<vfw::SystemException>([&] { vfw::GetFileSize(tooLong); }),
              "-1 OS call failed: " + sysText(ENAMETOOLONG));
    ASSERT_EQ(::symlink("loop", dir.file("loop").c_str()), 0);
    EXPECT_EQ(thrown<vfw::SystemException>([&] { vfw::GetFileMode(dir.file("loop")); }),
              "-1 OS call failed: " + sysText(ELOOP));
}

// Free space.

TEST(FreeSpace, KilobytesOfAFileSystemOfKnownSize) {
    // A fresh 1 MiB tmpfs in a private mount namespace: nobody else writes there, so the
    // figures are exact. 1024 KiB free in 256 blocks of 4 KiB: fewer than 1024 blocks must
    // not round down to nothing.
    TempDir dir;
    std::string mountPoint = dir.file("mnt");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    std::string result = inChild([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        uint64_t kilobytes = 99;
        int rc = vfw::GetFreeSpaceSize(mountPoint, kilobytes);
        std::string out = std::to_string(rc) + " " + std::to_string(kilobytes);
        writeFile(mountPoint + "/data", std::string(100 * 1024, 'x'));
        rc = vfw::GetFreeSpaceSize(mountPoint + "/data", kilobytes);
        out += " " + std::to_string(rc) + " " + std::to_string(kilobytes);
        return out;
    });
    EXPECT_EQ(result, "0 1024 0 924");
}

TEST(FreeSpace, AgreesWithStatvfs) {
    TempDir dir;
    struct statvfs fs;
    ASSERT_EQ(::statvfs(dir.path().c_str(), &fs), 0);
    uint64_t expected = static_cast<uint64_t>(fs.f_bfree) * fs.f_frsize / 1024;
    uint64_t kilobytes = 0;
    ASSERT_EQ(vfw::GetFreeSpaceSize(dir.path(), kilobytes), 0);
    // Others may write to this file system meanwhile.
    EXPECT_NEAR(static_cast<double>(kilobytes), static_cast<double>(expected),
                static_cast<double>(expected) / 20 + 1024);
}

TEST(FreeSpace, FailureReturnsTheResultAndKeepsTheOutput) {
    TempDir dir;
    uint64_t kilobytes = 77;
    takeRecords();
    errno = 0;
    EXPECT_EQ(vfw::GetFreeSpaceSize(dir.file("missing"), kilobytes), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(kilobytes, 77u);
    EXPECT_TRUE(
        hasRecord(takeRecords(), "WARN",
                  "statfs return (-1). Cannot detect free disk space.: " + sysText(ENOENT)));
    EXPECT_EQ(vfw::GetFreeSpaceSize("", kilobytes), -1);
    EXPECT_EQ(kilobytes, 77u);
}

// Symbolic links.

TEST(SymLinks, NamesThatAreNoLinks) {
    TempDir dir;
    writeFile(dir.file("file"), "x");
    std::string resolved = "unchanged";
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("file"), resolved));
    EXPECT_EQ(resolved, dir.file("file"));
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.path(), resolved));
    EXPECT_EQ(resolved, dir.path());

    resolved = "unchanged";
    takeRecords();
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("missing"), resolved));
    EXPECT_TRUE(
        hasRecord(takeRecords(), "INFO", "Path '" + dir.file("missing") + "' does not exist!"));
    EXPECT_FALSE(vfw::GetSymLinkPath("", resolved));
    EXPECT_FALSE(vfw::GetSymLinkPath(std::string(5000, 'y'), resolved));
    EXPECT_EQ(resolved, "unchanged");
}

TEST(SymLinks, AbsoluteAndRelativeTargets) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("a").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(dir.file("b").c_str(), 0700), 0);
    writeFile(dir.file("b/target"), "x");
    ASSERT_EQ(::symlink(dir.file("b/target").c_str(), dir.file("absolute").c_str()), 0);
    // Relative targets count from the directory of the link, not from the working directory.
    ASSERT_EQ(::symlink("../b/target", dir.file("a/relative").c_str()), 0);
    ASSERT_EQ(::symlink("a/relative", dir.file("chain").c_str()), 0);

    std::string resolved;
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("absolute"), resolved));
    EXPECT_EQ(resolved, dir.file("b/target"));
    takeRecords();
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("a/relative"), resolved));
    EXPECT_EQ(resolved, dir.file("a/../b/target"));
    EXPECT_TRUE(hasRecord(takeRecords(), "TRACE",
                          "Value for symlink '" + dir.file("a/relative") + "' is '../b/target'"));
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("chain"), resolved));
    EXPECT_EQ(resolved, dir.file("a/../b/target"));

    // The chain ends at a name that is missing.
    ASSERT_EQ(::symlink("gone", dir.file("dangling").c_str()), 0);
    resolved = "unchanged";
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("dangling"), resolved));
    EXPECT_EQ(resolved, "unchanged");
}

TEST(SymLinks, RelativeLinkNameWithoutDirectory) {
    TempDir dir;
    writeFile(dir.file("target"), "x");
    ASSERT_EQ(::symlink("target", dir.file("link").c_str()), 0);
    char* old = ::get_current_dir_name();
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    std::string resolved;
    bool found = vfw::GetSymLinkPath("link", resolved);
    ASSERT_EQ(::chdir(old), 0);
    std::free(old);
    EXPECT_TRUE(found);
    EXPECT_EQ(resolved, "target");
}

TEST(SymLinks, HundredLinksResolveAHundredAndOneAreCircular) {
    TempDir dir;
    writeFile(dir.file("end"), "x");
    // link1 -> link2 -> ... -> link101 -> end
    for (int i = 1; i <= 101; ++i) {
        std::string target = i == 101 ? "end" : "link" + std::to_string(i + 1);
        ASSERT_EQ(::symlink(target.c_str(), dir.file("link" + std::to_string(i)).c_str()), 0);
    }
    std::string resolved;
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("link2"), resolved));  // 100 links
    EXPECT_EQ(resolved, dir.file("end"));
    resolved = "unchanged";
    takeRecords();
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("link1"), resolved));  // 101 links
    EXPECT_EQ(resolved, "unchanged");
    // Reported where the walk stands after its 101st link.
    EXPECT_TRUE(hasRecord(takeRecords(), "WARN",
                          "Detected a potential circular sym link in " + dir.file("end") + "!"));
    // The depth already spent counts.
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("link2"), resolved, 1));
    EXPECT_TRUE(vfw::GetSymLinkPath(dir.file("link2"), resolved, 0));
}

TEST(SymLinks, LoopIsReportedNotFollowedForever) {
    TempDir dir;
    ASSERT_EQ(::symlink("b", dir.file("a").c_str()), 0);
    ASSERT_EQ(::symlink("a", dir.file("b").c_str()), 0);
    ASSERT_EQ(::symlink("self", dir.file("self").c_str()), 0);
    std::string resolved;
    takeRecords();
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("a"), resolved));
    // Links a and b alternate: after 101 links the walk stands at b.
    EXPECT_TRUE(hasRecord(takeRecords(), "WARN",
                          "Detected a potential circular sym link in " + dir.file("b") + "!"));
    EXPECT_FALSE(vfw::GetSymLinkPath(dir.file("self"), resolved));
}

// Renaming and moving.

TEST(RenameFile, RenamesAndReportsFailures) {
    TempDir dir;
    writeFile(dir.file("from"), "content");
    EXPECT_EQ(vfw::renameFile(dir.file("from"), dir.file("to")), 0);
    EXPECT_EQ(readFile(dir.file("to")), "content");
    EXPECT_FALSE(present(dir.file("from")));

    // Equal names: nothing is asked of the system, even for a missing file.
    EXPECT_EQ(vfw::renameFile(dir.file("missing"), dir.file("missing")), 0);

    std::string from = dir.file("%s%n missing");
    std::string to = dir.file("%d target");
    takeRecords();
    testing::internal::CaptureStderr();
    errno = 0;
    int rc = vfw::renameFile(from, to);
    int error = errno;
    std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(written, "Unable to rename \"" + from + "\" to \"" + to + "\".\n");
    EXPECT_TRUE(
        hasRecord(takeRecords(), "INFO", "Unable to rename \"" + from + "\" to \"" + to + "\"."));
}

TEST(MoveFile, MovesOrThrowsWithBothNames) {
    TempDir dir;
    writeFile(dir.file("from"), "content");
    vfw::MoveFile(dir.file("from"), dir.file("to"));
    EXPECT_EQ(readFile(dir.file("to")), "content");
    EXPECT_FALSE(present(dir.file("from")));

    std::string from = dir.file("%s%n%x");
    std::string to = dir.file("target");
    EXPECT_EQ(
        thrown<vfw::IOException>([&] { vfw::MoveFile(from, to); }),
        std::to_string(ENOENT) + " Move " + from + " to " + to + " failed: " + sysText(ENOENT));
    ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0700), 0);
    std::string directory = dir.file("directory");
    std::string file = dir.file("to");
    EXPECT_EQ(thrown<vfw::IOException>([&] { vfw::MoveFile(file, directory); }),
              std::to_string(EISDIR) + " Move " + file + " to " + directory +
                  " failed: " + sysText(EISDIR));
}

// Copying one file.

TEST(CopyFile, ContentAndModeOfANewFile) {
    UmaskGuard mask(0077);
    TempDir dir;
    std::string bytes = patternBytes(1000003);
    writeFile(dir.file("source"), bytes);
    ASSERT_EQ(::chmod(dir.file("source").c_str(), 0644), 0);
    vfw::CopyFile(dir.file("source"), dir.file("copy"));
    EXPECT_EQ(readFile(dir.file("copy")), bytes);
    EXPECT_EQ(statusOf(dir.file("copy")).st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(dir.file("source")), bytes);

    writeFile(dir.file("empty"), "");
    vfw::CopyFile(dir.file("empty"), dir.file("empty copy"));
    EXPECT_EQ(readFile(dir.file("empty copy")), "");
}

TEST(CopyFile, ExistingFileIsOverwrittenAndKeepsModeAndOwner) {
    TempDir dir;
    writeFile(dir.file("source"), "short");
    writeFile(dir.file("target"), std::string(5000, 'o'));
    ASSERT_EQ(::chmod(dir.file("target").c_str(), 0600), 0);
    ASSERT_EQ(::chown(dir.file("target").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::link(dir.file("target").c_str(), dir.file("hardlink").c_str()), 0);
    vfw::CopyFile(dir.file("source"), dir.file("target"));
    EXPECT_EQ(readFile(dir.file("target")), "short");
    EXPECT_EQ(readFile(dir.file("hardlink")), "short");  // written in place
    struct stat status = statusOf(dir.file("target"));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 65534u);
}

TEST(CopyFile, DestinationLinkIsReplacedAndItsTargetLeftAlone) {
    TempDir dir;
    writeFile(dir.file("source"), "new content");
    writeFile(dir.file("victim"), "precious");
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("target").c_str()), 0);
    takeRecords();
    vfw::CopyFile(dir.file("source"), dir.file("target"));
    EXPECT_TRUE(hasRecord(
        takeRecords(), "INFO",
        "Symlink file:'" + dir.file("target") + "' is pre-existence, should delete it first"));
    EXPECT_TRUE(S_ISREG(statusOf(dir.file("target")).st_mode));
    EXPECT_EQ(readFile(dir.file("target")), "new content");
    EXPECT_EQ(readFile(dir.file("victim")), "precious");

    ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
    vfw::CopyFile(dir.file("source"), dir.file("dangling"));
    EXPECT_EQ(readFile(dir.file("dangling")), "new content");
    EXPECT_FALSE(present(dir.file("nowhere")));
}

TEST(CopyFile, SourceLinkIsResolved) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    writeFile(dir.file("sub/real"), "real content");
    ASSERT_EQ(::chmod(dir.file("sub/real").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("sub/real", dir.file("link").c_str()), 0);
    vfw::CopyFile(dir.file("link"), dir.file("copy"));
    EXPECT_EQ(readFile(dir.file("copy")), "real content");
    EXPECT_TRUE(S_ISREG(statusOf(dir.file("copy")).st_mode));
    EXPECT_EQ(statusOf(dir.file("copy")).st_mode & 07777, 0640u);

    std::string dangling = dir.file("%s dangling");
    ASSERT_EQ(::symlink("gone", dangling.c_str()), 0);
    takeRecords();
    EXPECT_EQ(thrown<vfw::IOException>([&] { vfw::CopyFile(dangling, dir.file("out")); }),
              std::to_string(ENOENT) + " Failed to get real path for file:'" + dangling +
                  "': " + sysText(ENOENT));
    EXPECT_TRUE(
        hasRecord(takeRecords(), "ERROR", "Failed to get real path for file:'" + dangling + "'"));
    EXPECT_FALSE(present(dir.file("out")));
}

TEST(CopyFile, SpecialFilesAreRefusedWithoutBlocking) {
    TempDir dir;
    writeFile(dir.file("file"), "x");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.file("directory").c_str(), 0700), 0);
    std::string fifo = dir.file("fifo");
    std::string file = dir.file("file");
    std::string directory = dir.file("directory");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(fifo, dir.file("out")); }),
              "0 Cannot copy " + fifo + ": not a regular file");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(file, fifo); }),
              "0 Cannot copy to " + fifo + ": not a regular file");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(directory, dir.file("out")); }),
              "0 Cannot copy " + directory + ": not a regular file");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(file, directory); }),
              "0 Cannot copy to " + directory + ": not a regular file");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile("/dev/null", dir.file("out")); }),
              "0 Cannot copy /dev/null: not a regular file");
    EXPECT_FALSE(present(dir.file("out")));
    EXPECT_EQ(readFile(file), "x");
}

TEST(CopyFile, ItselfIsRefusedWithoutLosingTheContent) {
    TempDir dir;
    std::string file = dir.file("file");
    writeFile(file, "keep me");
    ASSERT_EQ(::link(file.c_str(), dir.file("hardlink").c_str()), 0);
    ASSERT_EQ(::symlink("file", dir.file("link").c_str()), 0);
    std::string expected = "0 Cannot copy " + file + " onto itself";
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(file, file); }), expected);
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFile(file, dir.file("hardlink")); }),
              expected);
    // A link to the source at the destination is replaced by a copy.
    vfw::CopyFile(file, dir.file("link"));
    EXPECT_TRUE(S_ISREG(statusOf(dir.file("link")).st_mode));
    EXPECT_EQ(readFile(dir.file("link")), "keep me");
    EXPECT_EQ(readFile(file), "keep me");
}

TEST(CopyFile, OsFailuresCarryTheSystemText) {
    TempDir dir;
    std::string missing = dir.file("%n missing");
    EXPECT_EQ(
        thrown<vfw::IOException>([&] { vfw::CopyFile(missing, dir.file("out")); }),
        std::to_string(ENOENT) + " Cannot open " + missing + " for reading: " + sysText(ENOENT));
    writeFile(dir.file("file"), "x");
    std::string noDirectory = dir.file("no/such");
    EXPECT_EQ(thrown<vfw::IOException>([&] { vfw::CopyFile(dir.file("file"), noDirectory); }),
              std::to_string(ENOENT) + " Cannot open " + noDirectory +
                  " for writing: " + sysText(ENOENT));
}

TEST(CopyFile, FailedCopyRemovesTheFileItCreated) {
    TempDir dir;
    std::string source = dir.file("source");
    writeFile(source, patternBytes(300000));
    writeFile(dir.file("existing"), "old");
    std::string out = dir.file("out");
    std::string existing = dir.file("existing");
    // The file size limit makes the write fail part of the way through.
    std::string result = inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return std::string("setrlimit failed");
        }
        return thrown<vfw::IOException>([&] { vfw::CopyFile(source, out); }) + "|" +
               thrown<vfw::IOException>([&] { vfw::CopyFile(source, existing); });
    });
    EXPECT_EQ(result, std::to_string(EFBIG) + " Cannot write " + out + ": " + sysText(EFBIG) + "|" +
                          std::to_string(EFBIG) + " Cannot write " + existing + ": " +
                          sysText(EFBIG));
    EXPECT_FALSE(present(out));
    // An existing file is written in place and keeps what was written before the failure.
    EXPECT_EQ(readFile(existing), patternBytes(300000).substr(0, 4096));
}

TEST(CopyFile, OtherUsersFailures) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    writeFile(dir.file("secret"), "s");
    ASSERT_EQ(::chmod(dir.file("secret").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.file("closed").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(dir.file("secret").c_str(), dir.file("closed/link").c_str()), 0);
    std::string secret = dir.file("secret");
    std::string out = dir.file("out");
    std::string link = dir.file("closed/link");
    std::string result = inChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            return std::string("cannot drop privileges");
        }
        writeFile(dir.file("mine"), "m");
        return thrown<vfw::IOException>([&] { vfw::CopyFile(secret, out); }) + "|" +
               thrown<vfw::IOException>([&] { vfw::CopyFile(dir.file("mine"), link); });
    });
    EXPECT_EQ(result, std::to_string(EACCES) + " Cannot open " + secret +
                          " for reading: " + sysText(EACCES) + "|" + std::to_string(EACCES) +
                          " Failed to delete symlink file:'" + link + "': " + sysText(EACCES));
    EXPECT_FALSE(present(out));
    EXPECT_EQ(readFile(secret), "s");
}

// Copying by pattern.

TEST(CopyFiles, CopiesRegularFilesWhoseNamesMatch) {
    TempDir from;
    TempDir to;
    for (const char* name : {"a.log", "b.log", "c.txt", "log", "x+", "xx"}) {
        writeFile(from.file(name), std::string("content of ") + name);
    }
    ASSERT_EQ(::mkdir(from.file("dir.log").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(from.file("fifo.log").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("a.log", from.file("link.log").c_str()), 0);
    ASSERT_EQ(::symlink("gone", from.file("dangling.log").c_str()), 0);

    vfw::CopyFiles(from.path(), to.path(), "\\.log$");
    for (const char* name : {"a.log", "b.log"}) {
        EXPECT_EQ(readFile(to.file(name)), std::string("content of ") + name);
    }
    EXPECT_EQ(readFile(to.file("link.log")), "content of a.log");
    EXPECT_TRUE(S_ISREG(statusOf(to.file("link.log")).st_mode));
    for (const char* name : {"c.txt", "log", "dir.log", "fifo.log", "dangling.log", "x+"}) {
        EXPECT_FALSE(present(to.file(name))) << name;
    }

    // Basic syntax: "+" is an ordinary character, "\{2\}" an interval.
    TempDir plus;
    vfw::CopyFiles(from.path(), plus.path(), "^x+$");
    EXPECT_TRUE(present(plus.file("x+")));
    EXPECT_FALSE(present(plus.file("xx")));
    TempDir interval;
    vfw::CopyFiles(from.path(), interval.path(), "^x\\{2\\}$");
    EXPECT_TRUE(present(interval.file("xx")));
    EXPECT_FALSE(present(interval.file("x+")));
}

TEST(CopyFiles, BadPatternCarriesTheCompilersCode) {
    TempDir from;
    TempDir to;
    for (const char* pattern : {"[abc", "a\\{1", "\\(x"}) {
        regex_t regex;
        int code = ::regcomp(&regex, pattern, REG_NOSUB);
        ASSERT_NE(code, 0) << pattern;
        char text[256];
        ::regerror(code, &regex, text, sizeof text);
        EXPECT_EQ(
            thrown<vfw::BadDataException>([&] { vfw::CopyFiles(from.path(), to.path(), pattern); }),
            std::to_string(code) + " CopyFiles: Error compiling pattern: " + text)
            << pattern;
    }
    // The code really is the compiler's: an unmatched bracket.
    EXPECT_EQ(thrown<vfw::BadDataException>([&] {
                  vfw::CopyFiles(from.path(), to.path(), "[a");
              }).substr(0, 2),
              std::to_string(REG_EBRACK) + " ");
}

TEST(CopyFiles, MissingDirectoryAndFailingCopies) {
    TempDir from;
    TempDir to;
    std::string missing = from.file("%s%n");
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { vfw::CopyFiles(missing, to.path(), "x"); }),
              std::to_string(ENOENT) + " Cannot open directory " + missing);
    std::string noDestination = to.file("missing");
    writeFile(from.file("file"), "x");
    EXPECT_EQ(thrown<vfw::IOException>([&] { vfw::CopyFiles(from.path(), noDestination, "file"); }),
              std::to_string(ENOENT) + " Cannot open " + noDestination +
                  "/file for writing: " + sysText(ENOENT));
    // Copying a directory onto itself is refused before any content is lost.
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { vfw::CopyFiles(from.path(), from.path(), ""); }),
              "0 Cannot copy " + from.file("file") + " onto itself");
    EXPECT_EQ(readFile(from.file("file")), "x");
}

// Temporary files.

TEST(TempFile, ModeAndOwnerWhateverTheUmask) {
    UmaskGuard mask(0777);
    TempDir dir;
    std::string name;
    int fd = vfw::MakeTempFile(dir.file("spool.XXXXXX"), 0640, name, 65534, 65534);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(name.size(), dir.file("spool.XXXXXX").size());
    EXPECT_EQ(name.substr(0, name.size() - 6), dir.file("spool."));
    EXPECT_NE(name, dir.file("spool.XXXXXX"));
    EXPECT_EQ(::write(fd, "abc", 3), 3);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);
    struct stat status = statusOf(name);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
    EXPECT_EQ(readFile(name), "abc");

    std::string second;
    fd = vfw::MakeTempFile(dir.file("spool.XXXXXX"), 0600, second);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_NE(second, name);
    status = statusOf(second);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, 0u);
}

TEST(TempFile, FailuresThrowAndLeaveNothing) {
    TempDir dir;
    std::string name = "unchanged";
    std::string noPlaceholder = dir.file("%s%n");
    takeRecords();
    EXPECT_EQ(thrown<vfw::SystemException>([&] { vfw::MakeTempFile(noPlaceholder, 0600, name); }),
              "-1 Cannot create temporary file " + noPlaceholder + ": " + sysText(EINVAL));
    EXPECT_TRUE(
        hasRecord(takeRecords(), "ERROR", "mkstemp " + noPlaceholder + ": " + sysText(EINVAL)));
    std::string missingDirectory = dir.file("missing/XXXXXX");
    EXPECT_EQ(
        thrown<vfw::SystemException>([&] { vfw::MakeTempFile(missingDirectory, 0600, name); }),
        "-1 Cannot create temporary file " + missingDirectory + ": " + sysText(ENOENT));
    EXPECT_EQ(name, "unchanged");

    // A non-root caller cannot give the file away: the file is removed again.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    std::string result = inChild([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            return std::string("cannot drop privileges");
        }
        std::string created;
        return thrown<vfw::SystemException>(
            [&] { vfw::MakeTempFile(dir.file("tmpXXXXXX"), 0600, created, 0, 0); });
    });
    EXPECT_EQ(result.substr(0, 31), "-1 Cannot set mode 600 and owne");
    EXPECT_EQ(result.substr(result.size() - sysText(EPERM).size()), sysText(EPERM));
    DIR* handle = ::opendir(dir.path().c_str());
    ASSERT_NE(handle, nullptr);
    int entries = 0;
    while (::readdir(handle) != nullptr) {
        ++entries;
    }
    ::closedir(handle);
    EXPECT_EQ(entries, 2);  // "." and ".." only
}

}  // namespace
