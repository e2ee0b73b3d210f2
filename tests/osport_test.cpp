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
#include <functional>
#include <sstream>

#include "support/sandbox.h"
#include "support/test_util.h"
#include "vfw/osport.h"

namespace {
using vfw_test::readFile;
using Opener = int (*)(const std::string&, int*, mode_t);

bool writeAll(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == ssize_t(text.size());
}

// A forked child running `body` on the reading end of its input and the writing end of its
// output; it ends with status 0 when `body` returns true.
struct Child {
    explicit Child(const std::function<bool(int in, int out)>& body) {
        int down[2], up[2];
        EXPECT_EQ(::pipe2(down, O_CLOEXEC) + ::pipe2(up, O_CLOEXEC), 0);
        if ((pid = ::fork()) == 0) {
            ::close(down[1]);
            ::close(up[0]);
            _exit(body(down[0], up[1]) ? 0 : 1);
        }
        ::close(down[0]);
        ::close(up[1]);
        in = down[1];
        out = up[0];
    }
    ~Child() {  // ends the child's input and waits for it
        ::close(in);
        int status = -1;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
        ::close(out);
    }
    // What the child writes, up to `count` bytes or the end; a minute without progress only ends
    // a hang.
    std::string read(size_t count = SIZE_MAX) const {
        std::string text;
        char c;
        for (pollfd p = {out, POLLIN, 0};
             text.size() < count && ::poll(&p, 1, 60000) == 1 && ::read(out, &c, 1) == 1;) {
            text += c;
        }
        return text;
    }
    int in, out;
    pid_t pid;
};

TEST(LockFile, AnotherProcessHoldsItUntilItUnlocksOrEnds) {
    for (Opener childOpen : {vfw::OpenLockFile, vfw::CreateLockFile}) {
        for (bool unlock : {true, false}) {
            vfw_test::TempDir dir;
            // Locks, then unlocks at each byte it is sent.
            auto child = std::make_unique<Child>([&](int in, int out) {
                int holder = -1;
                const int fd = childOpen(dir.file("lock"), &holder, 0);
                bool ok = fd >= 0 && holder == 0 && writeAll(out, "L");
                for (char c; ok && ::read(in, &c, 1) == 1;) {
                    ok = vfw::UnlockFile(fd) == 0 && writeAll(out, "U");
                }
                return ok;
            });
            ASSERT_EQ(child->read(1), "L");
            int fds[2], holders[2] = {0, 0};
            fds[0] = vfw::OpenLockFile(dir.file("lock"), &holders[0], 0);
            fds[1] = vfw::CreateLockFile(dir.file("lock"), &holders[1], 0);
            EXPECT_TRUE(fds[0] >= 0 && fds[1] >= 0);
            EXPECT_TRUE(holders[0] == child->pid && holders[1] == child->pid);
            if (unlock) {
                ASSERT_TRUE(writeAll(child->in, "u"));
                EXPECT_EQ(child->read(1), "U");
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

// "<type> <mode> <content>" of a name; "-" when there is none.
std::string describe(const std::string& name) {
    struct stat s;
    if (::lstat(name.c_str(), &s) != 0) {
        return "-";
    }
    std::ostringstream text;
    text << "?pdfl"[S_ISFIFO(s.st_mode) + 2 * S_ISDIR(s.st_mode) + 3 * S_ISREG(s.st_mode) +
                    4 * S_ISLNK(s.st_mode)]
         << " " << std::oct << (s.st_mode & 07777) << " ";
    return text.str() + (S_ISREG(s.st_mode) ? readFile(name) : "");
}

TEST(LockFile, NamesAreReplacedOrRefusedAndTheModeSetWhateverTheUmask) {
    const struct {
        Opener open;
        const char* kind;
        mode_t mode;
        int error;          // 0: a descriptor is expected
        const char* after;  // the lock's name, then a link's target or a directory's file
    } cases[] = {
        {vfw::OpenLockFile, "none", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "none", 0640, 0, "f 640 , -"},
        {vfw::OpenLockFile, "file", 0, 0, "f 600 x, -"},
        {vfw::OpenLockFile, "file", 0644, 0, "f 644 x, -"},
        {vfw::OpenLockFile, "fifo", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "link", 0640, 0, "f 640 , f 600 t"},
        {vfw::OpenLockFile, "dangling", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "dir", 0, 0, "f 700 , -"},
        {vfw::OpenLockFile, "fulldir", 0, ENOTEMPTY, "d 700 , f 600 x"},
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
        const std::string lock = dir.file("lock"), kind = c.kind;
        const std::string target = dir.file(kind == "fulldir" ? "lock/x" : "target");
        if (kind == "file" || kind == "link") {
            vfw_test::writeFile(kind == "file" ? lock : target, kind == "file" ? "x" : "t");
        }
        ASSERT_EQ(kind == "fifo" ? ::mkfifo(lock.c_str(), 0600) : 0, 0);
        ASSERT_EQ(
            kind == "link" || kind == "dangling" ? ::symlink(target.c_str(), lock.c_str()) : 0, 0);
        ASSERT_EQ(kind.find("dir") != std::string::npos ? ::mkdir(lock.c_str(), 0700) : 0, 0);
        if (kind == "fulldir") {
            vfw_test::writeFile(target, "x");
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
        EXPECT_EQ(c.after, describe(lock) + ", " + describe(target)) << what;
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
    Child child([&](int, int out) {
        const std::string own = "/proc/" + std::to_string(::getpid()) + "/cgroup";
        std::string text = ::mount(cgroup.c_str(), own.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                                   vfw::IsInContainer()
                               ? "root: yes"
                               : "root: no";
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            return writeAll(out, text + ", no user");
        }
        FILE* file = std::fopen("/proc/self/cgroup", "r");
        text += file == nullptr && errno == EACCES ? ", unreadable" : ", read";
        if (file != nullptr) {
            std::fclose(file);
        }
        return writeAll(out, text + (vfw::IsInContainer() ? ": yes" : ": no"));
    });
    EXPECT_EQ(child.read(), "root: yes, unreadable: no");
}

// The file-system user and group ids of the calling thread, the fourth numbers of the "Uid:" and
// "Gid:" lines of its status.
std::string fsIds() {
    const std::string status = readFile("/proc/thread-self/status");
    std::string text;
    for (const char* key : {"\nUid:", "\nGid:"}) {
        unsigned ids[4] = {};
        std::sscanf(status.c_str() + status.find(key) + 5, "%u %u %u %u", &ids[0], &ids[1], &ids[2],
                    &ids[3]);
        text += std::to_string(ids[3]) + " ";
    }
    return text;
}

TEST(FsIds, SetBackToTheEffectiveOnes) {
    ASSERT_EQ(::geteuid(), 0u) << "the test sets other ids as root";
    Child child([](int, int out) {
        ::setfsgid(65534);
        ::setfsuid(65534);
        const std::string before = fsIds();
        vfw::SetFsIdsToEffective();
        return writeAll(out, before + "-> " + fsIds());
    });
    EXPECT_EQ(child.read(), "65534 65534 -> 0 0 ");
}

}  // namespace
