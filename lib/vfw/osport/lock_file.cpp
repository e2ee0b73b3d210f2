#include "vfw/osport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vfw {

namespace {

// Rounds of a lock attempt, and of opening a name that changes under the call: enough for
// another process racing through the same steps, bounded so that nothing spins.
constexpr int kAttempts = 3;

// Never waits on a FIFO or device, never makes a terminal the controlling one.
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

struct flock wholeFile(short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

int closeKeepingErrno(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

// Opens the name with `flags` added to kOpenFlags; only a regular file is kept (EEXIST for
// anything else, which the name became after it was examined). The descriptor is left blocking.
int openRegular(const char* path, int flags) {
    const int fd = ::open(path, kOpenFlags | flags, 0700);
    if (fd < 0) {
        return -1;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        return closeKeepingErrno(fd);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EEXIST;
        return -1;
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
        return closeKeepingErrno(fd);
    }
    return fd;
}

// One round of OpenLockFile's opening: the regular file, or a new one in place of whatever
// else is at the name.
int openOrReplace(const char* path) {
    struct stat status;
    if (::lstat(path, &status) != 0) {
        return errno == ENOENT ? openRegular(path, O_CREAT | O_EXCL) : -1;
    }
    if (S_ISREG(status.st_mode)) {
        return openRegular(path, 0);
    }
    if ((S_ISDIR(status.st_mode) ? ::rmdir(path) : ::unlink(path)) != 0 && errno != ENOENT) {
        return -1;
    }
    return openRegular(path, O_CREAT | O_EXCL);
}

// The errors of a round that met another process changing the name between its steps.
bool nameChanged(int error) {
    return error == EEXIST || error == ENOENT || error == ELOOP;
}

// Sets the mode and tries the lock; the descriptor with the holder stored, or -1 with errno and
// the descriptor closed.
int lockOpened(int fd, int* holderPid, mode_t mode) {
    if (mode != 0 && ::fchmod(fd, mode) != 0) {
        return closeKeepingErrno(fd);
    }
    const int holder = LockFile(fd);
    if (holder < 0) {
        return closeKeepingErrno(fd);
    }
    if (holderPid != nullptr) {
        *holderPid = holder;
    }
    return fd;
}

}  // namespace

int LockFile(int fd) {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        struct flock lock = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_SETLK, &lock) == 0) {
            return 0;
        }
        if (errno != EACCES && errno != EAGAIN) {
            return -1;
        }
        lock = wholeFile(F_WRLCK);
        if (::fcntl(fd, F_GETLK, &lock) != 0) {
            return -1;
        }
        if (lock.l_type != F_UNLCK) {
            if (lock.l_pid > 0) {
                return lock.l_pid;
            }
            break;
        }
    }
    errno = EAGAIN;
    return -1;
}

int UnlockFile(int fd) {
    struct flock lock = wholeFile(F_UNLCK);
    return ::fcntl(fd, F_SETLK, &lock);
}

int OpenLockFile(const std::string& path, int* holderPid, mode_t mode) {
    if (holderPid != nullptr) {
        *holderPid = -1;
    }
    int fd = openOrReplace(path.c_str());
    for (int attempt = 1; fd < 0 && nameChanged(errno) && attempt < kAttempts; ++attempt) {
        fd = openOrReplace(path.c_str());
    }
    return fd < 0 ? -1 : lockOpened(fd, holderPid, mode);
}

int CreateLockFile(const std::string& path, int* holderPid, mode_t mode) {
    if (holderPid != nullptr) {
        *holderPid = -1;
    }
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    const int fd = openRegular(path.c_str(), O_CREAT);
    return fd < 0 ? -1 : lockOpened(fd, holderPid, mode);
}

}  // namespace vfw
