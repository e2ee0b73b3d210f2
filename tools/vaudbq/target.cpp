// What a PATH stands for (a spool directory's members or one queue file), the read-only checks
// made before a file is handed to the queue's classes, and the notice of a file that changed
// while it was read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tool.h"
#include "vfw/dbq_composite.h"
#include "vfw/dbq_format.h"

namespace vaudbq {

namespace {

// What kind of file a non-regular, non-directory mode is, for messages.
const char* kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "not a regular file";
}

std::string systemError(const std::string& path, const char* what, int error) {
    return path + ": " + what + ": " + std::strerror(error);
}

}  // namespace

int statusOfGrade(uint32_t grade) {
    if (grade >= 4) {
        return DAMAGE;
    }
    if (grade == 3) {
        return ACCOUNTING;
    }
    return grade == 2 ? ORPHANS : OK;
}

bool FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

void complain(const std::string& text) {
    std::fprintf(stderr, "vaudbq: %s\n", text.c_str());
    std::fflush(stderr);
}

Target resolveTarget(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        throw Failure(ERROR, systemError(path, "cannot examine", errno));
    }
    Target target;
    target.path = path;
    if (S_ISREG(st.st_mode)) {
        target.files.push_back({-1, path});
        return target;
    }
    if (!S_ISDIR(st.st_mode)) {
        throw Failure(ERROR, path + ": neither a spool directory nor a queue file (" +
                                 kindOf(st.st_mode) + ")");
    }
    target.spool = true;
    std::vector<int64_t> ids;
    if (!vfw::DBQComposite::listFileIds(path, ids)) {
        throw Failure(ERROR, systemError(path, "cannot list the spool", errno));
    }
    for (int64_t id : ids) {
        if (target.files.empty() || target.files.back().number != id) {
            target.files.push_back({id, path + "/" + std::to_string(id)});
        }
    }
    return target;
}

FileStamp checkReadable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        throw Failure(ERROR, systemError(path, "cannot open", errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw Failure(ERROR, path + ": cannot open: it is a directory, not a queue file");
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure(ERROR, path + ": cannot open: it is " + kindOf(st.st_mode));
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw Failure(ERROR, systemError(path, "cannot open", errno));
    }
    const int rc = ::fstat(fd, &st);
    const int error = errno;
    ::close(fd);
    if (rc != 0) {
        throw Failure(ERROR, systemError(path, "cannot examine", error));
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure(ERROR, path + ": cannot open: it is " + kindOf(st.st_mode));
    }
    if (st.st_size < vfw::dbqformat::DEFAULT_BLOCK_SIZE) {
        throw Failure(DAMAGE, path + ": holds " + std::to_string(st.st_size) +
                                  " bytes, less than one block: not a queue file");
    }
    return stampOf(st);
}

FileStamp stampOf(const struct stat& st) {
    FileStamp stamp;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    return stamp;
}

FileStamp stampOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? stampOf(st) : FileStamp();
}

void noteChange(const std::string& path, const FileStamp& before) {
    const FileStamp after = stampOf(path);
    if (after == before) {
        return;
    }
    std::cout.flush();
    const std::string sizes = after.size == before.size
                                  ? ""
                                  : " (" + std::to_string(before.size) + " bytes, now " +
                                        std::to_string(after.size) + ")";
    complain(path + ": changed while it was read" + sizes +
             ": what was shown may mix old and new contents");
}

}  // namespace vaudbq
