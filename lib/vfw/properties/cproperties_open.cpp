// Opening configuration and list files with the checks that keep planted files out.
//
// The file is opened first and every test is made on the opened descriptor, compared with
// what the path names now, so that a file swapped in after the checks is never read.
#include "cproperties_internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vfw {
namespace cprops {

void (*g_afterOpenHook)(const char* path) = nullptr;

namespace {

int codeForErrno(int error) {
    switch (error) {
        case ENOENT:
            return OPEN_NOT_FOUND;
        case EACCES:
            return OPEN_NO_PERMISSION;
        case EAGAIN:
            return OPEN_AGAIN;
        case EEXIST:
            return OPEN_EXISTS;
        case EINVAL:
            return OPEN_INVALID;
        default:
            return OPEN_OTHER;
    }
}

// Highest user id that counts as root's (the system's own accounts).
constexpr uid_t kMaxRootUid = 4;

int check(int fd, const char* path, int skip) {
    struct stat opened;
    if (::fstat(fd, &opened) != 0) {
        return codeForErrno(errno);
    }
    if (!S_ISREG(opened.st_mode)) {
        return OPEN_NOT_REGULAR;
    }
    if (g_afterOpenHook != nullptr) {
        g_afterOpenHook(path);
    }
    struct stat named;
    bool follow = (skip & SKIP_SYMLINK) != 0;
    if ((follow ? ::stat(path, &named) : ::lstat(path, &named)) != 0) {
        return codeForErrno(errno);
    }
    if (!follow && S_ISLNK(named.st_mode)) {
        return OPEN_SYMLINK;
    }
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino) {
        return OPEN_REPLACED;
    }
    if ((skip & SKIP_HARDLINK) == 0 && opened.st_nlink != 1) {
        return OPEN_HARDLINKS;
    }
    if ((skip & SKIP_WORLD_WRITABLE) == 0 && (opened.st_mode & S_IWOTH) != 0) {
        return OPEN_WORLD_WRITABLE;
    }
    if ((skip & SKIP_OWNER) == 0 && opened.st_uid > kMaxRootUid) {
        return OPEN_NOT_ROOT;
    }
    return OPEN_OK;
}

}  // namespace

int openChecked(const char* path, int skip, FILE** out) {
    *out = nullptr;
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return codeForErrno(errno);
    }
    int code = check(fd, path, skip);
    if (code == OPEN_OK) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            code = codeForErrno(errno);
        }
    }
    if (code == OPEN_OK) {
        *out = ::fdopen(fd, "r");
        if (*out == nullptr) {
            code = codeForErrno(errno);
        }
    }
    if (code != OPEN_OK) {
        ::close(fd);
    }
    return code;
}

}  // namespace cprops
}  // namespace vfw
