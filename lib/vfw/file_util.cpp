#include "vfw/file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vfw/error_util.h"
#include "vfw/log.h"

#include "descriptor.h"
#include "scope_exit.h"

namespace vfw {

namespace {

Logger fileLogger() {
    return getLogger("util.file");
}

struct stat statOrThrow(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        VFW_THROW(SystemException, -1, "OS call failed: %s", std::strerror(errno));
    }
    return status;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

class CompiledPattern {
  public:
    explicit CompiledPattern(const std::string& pattern) {
        int code = ::regcomp(&m_regex, pattern.c_str(), REG_NOSUB);
        if (code != 0) {
            char text[256];
            ::regerror(code, &m_regex, text, sizeof text);
            VFW_THROW(BadDataException, code, "CopyFiles: Error compiling pattern: %s", text);
        }
    }
    ~CompiledPattern() { ::regfree(&m_regex); }
    CompiledPattern(const CompiledPattern&) = delete;
    CompiledPattern& operator=(const CompiledPattern&) = delete;
    bool matches(const char* text) const { return ::regexec(&m_regex, text, 0, nullptr, 0) == 0; }

  private:
    regex_t m_regex;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes a symbolic link standing at the destination, so its target is never written.
void removeDestinationLink(const std::string& to) {
    Logger log = fileLogger();
    VFW_LOG(log, LEVEL_INFO, "Symlink file:'%s' is pre-existence, should delete it first\n",
            to.c_str());
    if (::unlink(to.c_str()) != 0) {
        int error = errno;
        VFW_LOG(log, LEVEL_ERROR, "Failed to delete symlink file:'%s'\n", to.c_str());
        VFW_THROW_OS(IOException, error, "Failed to delete symlink file:'%s'", to.c_str());
    }
}

// The file that a symbolic link at `from` resolves to, else `from` itself.
std::string copySource(const std::string& from) {
    struct stat status;
    if (::lstat(from.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        return from;
    }
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(from.c_str(), nullptr), &std::free);
    if (!real) {
        int error = errno;
        Logger log = fileLogger();
        VFW_LOG(log, LEVEL_ERROR, "Failed to get real path for file:'%s'\n", from.c_str());
        VFW_THROW_OS(IOException, error, "Failed to get real path for file:'%s'", from.c_str());
    }
    return real.get();
}

// Whether a regular file other than the source stands at the destination, which is then
// overwritten in place; a symbolic link there is removed and counts as no file.
bool destinationExists(const std::string& from, const std::string& to,
                       const struct stat& sourceStatus) {
    struct stat status;
    if (::lstat(to.c_str(), &status) != 0) {
        return false;
    }
    if (S_ISLNK(status.st_mode)) {
        removeDestinationLink(to);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        VFW_THROW(BadDataException, 0, "Cannot copy to %s: not a regular file", to.c_str());
    }
    if (sameFile(status, sourceStatus)) {
        VFW_THROW(BadDataException, 0, "Cannot copy %s onto itself", from.c_str());
    }
    return true;
}

void copyContent(const Descriptor& in, const Descriptor& out, const std::string& from,
                 const std::string& to) {
    std::vector<char> buffer(128 * 1024);
    for (;;) {
        ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            VFW_THROW_OS(IOException, errno, "Cannot read %s", from.c_str());
        }
        if (got == 0) {
            return;
        }
        for (ssize_t done = 0; done < got;) {
            ssize_t put = ::write(out.get(), buffer.data() + done, got - done);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                VFW_THROW_OS(IOException, errno, "Cannot write %s", to.c_str());
            }
            done += put;
        }
    }
}

}  // namespace

mode_t GetFileMode(const std::string& path) {
    return statOrThrow(path).st_mode & 0777;
}

int64_t GetFileSize(const std::string& path) {
    return statOrThrow(path).st_size;
}

int GetFreeSpaceSize(const std::string& path, uint64_t& kilobytes) {
    struct statvfs fs;
    int rc = ::statvfs(path.c_str(), &fs);
    if (rc != 0) {
        int error = errno;
        Logger log = fileLogger();
        VFW_LOG_ERRNO(log, LEVEL_WARN, error, "statfs return (%d). Cannot detect free disk space.",
                      rc);
        errno = error;
        return rc;
    }
    // Multiply before dividing so that less than 1024 free blocks is not reported as none;
    // only a product past 64 bits falls back to dividing first.
    uint64_t blocks = fs.f_bfree;
    uint64_t blockSize = fs.f_frsize;
    if (blockSize == 0) {
        kilobytes = 0;
    } else if (blocks <= UINT64_MAX / blockSize) {
        kilobytes = blocks * blockSize / 1024;
    } else {
        kilobytes = (blocks / 1024) * blockSize;
    }
    return rc;
}

bool GetSymLinkPath(const std::string& path, std::string& resolved, int depth) {
    Logger log = fileLogger();
    std::string current = path;
    for (;; ++depth) {
        if (depth > 100) {
            VFW_LOG(log, LEVEL_WARN, "Detected a potential circular sym link in %s!",
                    current.c_str());
            return false;
        }
        struct stat status;
        if (::lstat(current.c_str(), &status) != 0) {
            VFW_LOG(log, LEVEL_INFO, "Path '%s' does not exist!", current.c_str());
            return false;
        }
        if (!S_ISLNK(status.st_mode)) {
            resolved = current;
            return true;
        }
        char target[4096];
        ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
        if (length < 0) {
            int error = errno;
            VFW_LOG(log, LEVEL_DEBUG, "Failed to read the symlink path '%s' (errno=%d)\n",
                    current.c_str(), error);
            return false;
        }
        target[length] = '\0';
        VFW_LOG(log, LEVEL_TRACE, "Value for symlink '%s' is '%s'", current.c_str(), target);
        std::string next(target, static_cast<size_t>(length));
        std::string::size_type slash = current.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) {
            next.insert(0, current, 0, slash + 1);
        }
        current = next;
    }
}

int renameFile(const std::string& from, const std::string& to) {
    if (from == to) {
        return 0;
    }
    int rc = ::rename(from.c_str(), to.c_str());
    if (rc != 0) {
        int error = errno;
        Logger log = fileLogger();
        VFW_LOG(log, LEVEL_INFO, "Unable to rename \"%s\" to \"%s\".", from.c_str(), to.c_str());
        std::fprintf(stderr, "Unable to rename \"%s\" to \"%s\".\n", from.c_str(), to.c_str());
        errno = error;
    }
    return rc;
}

void MoveFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        VFW_THROW_OS(IOException, errno, "Move %s to %s failed", from.c_str(), to.c_str());
    }
}

void CopyFile(const std::string& from, const std::string& to) {
    const std::string source = copySource(from);
    Descriptor in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (in.get() < 0) {
        VFW_THROW_OS(IOException, errno, "Cannot open %s for reading", from.c_str());
    }
    struct stat sourceStatus;
    if (::fstat(in.get(), &sourceStatus) != 0) {
        VFW_THROW_OS(IOException, errno, "Cannot stat %s", from.c_str());
    }
    if (!S_ISREG(sourceStatus.st_mode)) {
        VFW_THROW(BadDataException, 0, "Cannot copy %s: not a regular file", from.c_str());
    }
    const bool exists = destinationExists(from, to, sourceStatus);

    // A new file is created exclusively, so that a name appearing meanwhile is not taken
    // for ours and removed after a failure.
    int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    mode_t mode = sourceStatus.st_mode & 0777;
    Descriptor out(::open(to.c_str(), exists ? flags : flags | O_CREAT | O_EXCL, mode));
    if (out.get() < 0) {
        VFW_THROW_OS(IOException, errno, "Cannot open %s for writing", to.c_str());
    }
    ScopeExit removeCreated([exists, &to] {
        if (!exists) {
            ::unlink(to.c_str());
        }
    });
    struct stat targetStatus;
    if (::fstat(out.get(), &targetStatus) != 0) {
        VFW_THROW_OS(IOException, errno, "Cannot stat %s", to.c_str());
    }
    if (!S_ISREG(targetStatus.st_mode) || sameFile(targetStatus, sourceStatus)) {
        VFW_THROW(BadDataException, 0, "Cannot copy %s to %s: not a distinct regular file",
                  from.c_str(), to.c_str());
    }
    if (exists ? ::ftruncate(out.get(), 0) != 0 : ::fchmod(out.get(), mode) != 0) {
        VFW_THROW_OS(IOException, errno, "Cannot prepare %s", to.c_str());
    }
    copyContent(in, out, from, to);
    if (out.close() != 0) {
        VFW_THROW_OS(IOException, errno, "Cannot write %s", to.c_str());
    }
    removeCreated.dismiss();
}

void CopyFiles(const std::string& directory, const std::string& destination,
               const std::string& pattern) {
    CompiledPattern regex(pattern);
    std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
    if (!dir) {
        VFW_THROW(NotFoundException, errno, "Cannot open directory %s", directory.c_str());
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                VFW_THROW(SystemException, -1, "Cannot read directory %s: %s", directory.c_str(),
                          std::strerror(errno));
            }
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            regex.matches(entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    dir.reset();
    for (const std::string& name : names) {
        std::string from = directory + "/" + name;
        struct stat status;
        if (::stat(from.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            Logger log = fileLogger();
            VFW_LOG(log, LEVEL_DEBUG, "CopyFiles: skipping %s, not a regular file", from.c_str());
            continue;
        }
        CopyFile(from, destination + "/" + name);
    }
}

int MakeTempFile(const std::string& nameTemplate, mode_t mode, std::string& name, uid_t uid,
                 gid_t gid) {
    std::vector<char> buffer(nameTemplate.begin(), nameTemplate.end());
    buffer.push_back('\0');
    int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        Logger log = fileLogger();
        VFW_LOG(log, LEVEL_ERROR, "mkstemp %s: %s", nameTemplate.c_str(), std::strerror(error));
        VFW_THROW(SystemException, -1, "Cannot create temporary file %s: %s", nameTemplate.c_str(),
                  std::strerror(error));
    }
    const char* created = buffer.data();
    bool changeOwner = uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1);
    if (::fchmod(fd, mode) != 0 || (changeOwner && ::fchown(fd, uid, gid) != 0)) {
        int error = errno;
        ::unlink(created);
        ::close(fd);
        Logger log = fileLogger();
        VFW_LOG(log, LEVEL_ERROR, "mkstemp %s: cannot set mode %o, owner %d/%d: %s", created,
                static_cast<unsigned>(mode), static_cast<int>(uid), static_cast<int>(gid),
                std::strerror(error));
        VFW_THROW(SystemException, -1, "Cannot set mode %o and owner %d/%d of %s: %s",
                  static_cast<unsigned>(mode), static_cast<int>(uid), static_cast<int>(gid),
                  created, std::strerror(error));
    }
    name.assign(created);
    return fd;
}

}  // namespace vfw
