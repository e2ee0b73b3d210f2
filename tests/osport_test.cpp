// Lock files held by a child process and by an open-file-description lock of this one, the
// names they replace or refuse (as root, umask 077), container detection from files bound over
// /proc/<pid>/cgroup in a private mount namespace, and the file-system ids of a forked child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

#include "support/sandbox.h"
#include "support/test_util.h"
#include "vfw/osport.h"

namespace {
using vfw_test::readFile;
using Opener = int (*)(const std::string&, int*, mode_t);

// Reads what `fd` gives up to `count` bytes or its end; a minute without progress only ends a
// hang.
std::string Await(int fd, size_t count = 1) {
    std::string text;
    char c;
    for (pollfd p = {fd, POLLIN, 0};
         text.size() < count && ::poll(&p, 1, 60000) == 1 && ::read(fd, &c, 1) == 1;) {
        text += c;
    }
    return text;
}

// Runs `body` in a forked child and returns the text it gives back.
std::string InChild(const std::function<std::string()>& body) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::string text;
        try {
            text = body();
        } catch (const std::exception& e) {
            text = std::string("threw ") + e.what();
        }
        _exit(::write(out[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    ::close(out[1]);
    std::string text = Await(out[0], SIZE_MAX);
    ::close(out[0]);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
    return text;
}

// A child that locks `path` with `open` and reports "L", then unlocks at each byte it is sent
// and reports "U"; it ends when its input does, or at once when a step fails.
struct Holder {
    Holder(const std::string& path, Opener open) {
        EXPECT_EQ(::pipe2(up, O_CLOEXEC) + ::pipe2(down, O_CLOEXEC), 0);
        if ((pid = ::fork()) == 0) {
            ::close(up[0]);
            ::close(down[1]);
            int holder = -1;
            const int fd = open(path, &holder, 0);
            bool ok = fd >= 0 && holder == 0 && ::write(up[1], "L", 1) == 1;
            for (char c; ok && ::read(down[0], &c, 1) == 1;) {
                ok = vfw::UnlockFile(fd) == 0 && ::write(up[1], "U", 1) == 1;
            }
            _exit(ok ? 0 : 1);
        }
        ::close(up[1]);
        ::close(down[0]);
    }
    ~Holder() {
        ::close(down[1]);
        int status = -1;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
        ::close(up[0]);
    }
    int up[2], down[2];
    pid_t pid;
};

TEST(LockFile, AnotherProcessHoldsItUntilItUnlocksOrEnds) {
    for (Opener childOpen : {vfw::OpenLockFile, vfw::CreateLockFile}) {
        for (bool unlock : {true, false}) {
            vfw_test::TempDir dir;
            auto child = std::make_unique<Holder>(dir.file("lock"), childOpen);
            ASSERT_EQ(Await(child->up[0]), "L");
            int fds[2], holders[2] = {0, 0};
            fds[0] = vfw::OpenLockFile(dir.file("lock"), &holders[0], 0);
            fds[1] = vfw::CreateLockFile(dir.file("lock"), &holders[1], 0);
            EXPECT_TRUE(fds[0] >= 0 && fds[1] >= 0);
            EXPECT_TRUE(holders[0] == child->pid && holders[1] == child->pid);
            if (unlock) {
                ASSERT_EQ(::write(child->down[1], "u", 1), 1);
                EXPECT_EQ(Await(child->up[0]), "U");
            } else {
                child.reset();
            }
            EXPECT_EQ(vfw::LockFile(fds[0]), 0);
            ::close(fds[0]);
            ::close(fds[1]);
        }
    }
}

// An open-file-description lock conflicts with the process's own record locks and has no pid.
TEST(LockFile, RoundTripAndAHolderWithoutAnId) {
    vfw_test::TempDir dir;
    const std::string path = dir.file("lock");
    int holder = -1;
    const int fd = vfw::OpenLockFile(path, &holder, 0);
    ASSERT_TRUE(fd >= 0 && holder == 0);
    const int probe = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
    ASSERT_EQ(::fcntl(probe, F_OFD_GETLK, &lock), 0);
    EXPECT_TRUE(lock.l_type == F_WRLCK && lock.l_pid == ::getpid());
    EXPECT_EQ(vfw::UnlockFile(fd), 0);
    lock = {F_WRLCK, SEEK_SET, 0, 0, 0};
    ASSERT_EQ(::fcntl(probe, F_OFD_SETLK, &lock), 0);
    EXPECT_TRUE(vfw::LockFile(fd) == -1 && errno == EAGAIN);
    const int spare = ::dup(fd);
    ::close(spare);
    for (Opener open : {vfw::OpenLockFile, vfw::CreateLockFile}) {
        holder = 0;
        EXPECT_TRUE(open(path, &holder, 0) == -1 && errno == EAGAIN && holder == -1);
        EXPECT_EQ(open(path, nullptr, 0), -1);
    }
    EXPECT_EQ(::dup(fd), spare) << "a descriptor was left open";
    EXPECT_TRUE(vfw::LockFile(-1) == -1 && errno == EBADF);
    ::close(spare);
    ::close(probe);
    ::close(fd);
}

// "<type> <mode> <content or entries>" of a name; "-" when there is none.
std::string Describe(const std::string& name) {
    struct stat s;
    if (::lstat(name.c_str(), &s) != 0) {
        return "-";
    }
    std::ostringstream text;
    text << "?pdfl"[S_ISFIFO(s.st_mode) + 2 * S_ISDIR(s.st_mode) + 3 * S_ISREG(s.st_mode) +
                    4 * S_ISLNK(s.st_mode)]
         << " " << std::oct << (s.st_mode & 07777) << " ";
    if (S_ISDIR(s.st_mode)) {
        for (const auto& entry : std::filesystem::directory_iterator(name)) {
            text << entry.path().filename().string();
        }
    }
    return text.str() + (S_ISREG(s.st_mode) ? readFile(name) : "");
}

TEST(LockFile, NamesAreReplacedOrRefusedAndTheModeSetWhateverTheUmask) {
    const struct {
        Opener open;
        const char* kind;
        mode_t mode;
        int error;          // 0: a descriptor is expected
        const char* after;  // the lock's name, then the target of a link
    } cases[] = {
        {vfw::OpenLockFile, "none", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "none", 0640, 0, "f 640 , -"},
        {vfw::OpenLockFile, "file", 0, 0, "f 600 x, -"},
        {vfw::OpenLockFile, "file", 0644, 0, "f 644 x, -"},
        {vfw::OpenLockFile, "fifo", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "link", 0640, 0, "f 640 , f 600 t"},
        {vfw::OpenLockFile, "dangling", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "dir", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "fulldir", 0, ENOTEMPTY, "d 700 x, -"},
        {vfw::CreateLockFile, "none", 0640, 0, "f 640 , -"},
        {vfw::CreateLockFile, "file", 0, 0, "f 600 x, -"},
        {vfw::CreateLockFile, "fifo", 0, EEXIST, "p 600 , -"},
        {vfw::CreateLockFile, "link", 0640, EEXIST, "l 777 , f 600 t"},
        {vfw::CreateLockFile, "dangling", 0, EEXIST, "l 777 , -"},
        {vfw::CreateLockFile, "dir", 0, EEXIST, "d 700 , -"},
    };
    const mode_t previous = ::umask(077);
    for (const auto& c : cases) {
        vfw_test::TempDir dir;
        const std::string lock = dir.file("lock"), kind = c.kind, target = dir.file("target");
        if (kind == "file" || kind == "link") {
            vfw_test::writeFile(kind == "file" ? lock : target, kind == "file" ? "x" : "t");
        }
        ASSERT_EQ(kind == "fifo" ? ::mkfifo(lock.c_str(), 0600) : 0, 0);
        ASSERT_EQ(
            kind == "link" || kind == "dangling" ? ::symlink(target.c_str(), lock.c_str()) : 0, 0);
        ASSERT_EQ(kind.find("dir") != std::string::npos ? ::mkdir(lock.c_str(), 0700) : 0, 0);
        if (kind == "fulldir") {
            vfw_test::writeFile(lock + "/x", "");
        }
        int holder = 1;
        const int fd = c.open(lock, &holder, c.mode);
        const int error = fd < 0 ? errno : 0;
        const std::string what = std::string(c.kind) + " " + std::to_string(c.mode);
        EXPECT_EQ(c.error == 0 ? 0 : -1, holder) << what;
        EXPECT_EQ(c.error, error) << what;
        EXPECT_EQ(fd < 0 ? FD_CLOEXEC : ::fcntl(fd, F_GETFD), FD_CLOEXEC) << what;
        EXPECT_EQ(fd < 0 ? O_RDWR : ::fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR)
            << what;
        EXPECT_EQ(c.after, Describe(lock) + ", " + Describe(target)) << what;
        ::close(fd);
    }
    ::umask(previous);
}

NS_TEST(Container, DetectedFromTheCgroupLinesOfTheProcess) {
    const struct {
        std::string lines;
        bool inContainer;
    } cases[] = {
        {"", false},
        {"0::/\n", false},
        {"12:pids:/docker/0123abcd\n", true},
        {"1:name=systemd:/\n0::/system.slice/docker-0123abcd.scope\n", true},
        {"0::/dockerx/0123abcd\n0::/user.slice/docker-0123.scope\n0::/docker\n/0123\n", false},
        {"0::/" + std::string(4086, 'c') + "/docker/1\n", true},  // across the 4 KiB mark
        {"0::/" + std::string(100000, 'a') + "\n0::/" + std::string(5000, 'b') + "/docker/1", true},
        {"0::/" + std::string(100000, 'a') + "/system.slice/docker-1\n", true},
    };
    vfw_test::TempDir dir;
    const std::string cgroup = dir.file("cgroup");
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/cgroup";
    for (const auto& c : cases) {
        vfw_test::writeFile(cgroup, c.lines);
        ASSERT_EQ(::mount(cgroup.c_str(), self.c_str(), nullptr, MS_BIND, nullptr), 0);
        EXPECT_EQ(c.inContainer, vfw::IsInContainer()) << c.lines.substr(0, 80);
        ASSERT_EQ(::umount2(self.c_str(), 0), 0);
    }
    // Docker's lines, which nobody but root may read: a process of another user is not in a
    // container.
    vfw_test::writeFile(cgroup, "0::/docker/0123abcd\n");
    ASSERT_EQ(::chmod(cgroup.c_str(), 0), 0);
    EXPECT_EQ(
        InChild([&] {
            const std::string own = "/proc/" + std::to_string(::getpid()) + "/cgroup";
            std::string text =
                ::mount(cgroup.c_str(), own.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                        vfw::IsInContainer()
                    ? "root: yes"
                    : "root: no";
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
                return text + ", no user";
            }
            FILE* file = std::fopen("/proc/self/cgroup", "r");
            text += file == nullptr && errno == EACCES ? ", unreadable" : ", read";
            if (file != nullptr) {
                std::fclose(file);
            }
            return text + (vfw::IsInContainer() ? ": yes" : ": no");
        }),
        "root: yes, unreadable: no");
}

// The fourth number of the "Uid:" and "Gid:" lines of the calling thread's status.
std::string FsIds() {
    std::istringstream status(readFile("/proc/thread-self/status"));
    std::string text;
    for (std::string line, key, id; std::getline(status, line);) {
        std::istringstream fields(line);
        if (fields >> key >> id >> id >> id >> id && (key == "Uid:" || key == "Gid:")) {
            text += key + id + " ";
        }
    }
    return text;
}

TEST(FsIds, SetBackToTheEffectiveOnes) {
    ASSERT_EQ(::geteuid(), 0u) << "the test sets other ids as root";
    EXPECT_EQ(InChild([] {
                  ::setfsgid(65534);
                  ::setfsuid(65534);
                  std::string text = FsIds();
                  vfw::SetFsIdsToEffective();
                  return text + "-> " + FsIds();
              }),
              "Uid:65534 Gid:65534 -> Uid:0 Gid:0 ");
}

}  // namespace
