// Saving the store back into its configuration file: the lock file, the copy of the old
// file's lines with changed properties rewritten, the properties new in memory appended, and
// the replacement of the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "cproperties_internal.h"

namespace vfw {

using namespace cprops;

namespace {

const char* const kDefaultConfigPath = "/etc/vantrelaud/vantrelaud.conf";

// A line that would break the file into two lines is never written.
bool breaksLine(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

// The files of one save. The destructor undoes what a save that did not finish left behind:
// the streams are closed, the temporary file removed and the lock released.
class SaveFiles {
  public:
    SaveFiles(Props* props, const char* path)
        : m_props(props), m_config(path), m_temp(m_config + ".new"), m_lock(m_config + ".lock") {}
    ~SaveFiles() {
        closeStreams();
        if (m_tempMade) {
            ::unlink(m_temp.c_str());
        }
        releaseLock();
    }
    SaveFiles(const SaveFiles&) = delete;
    SaveFiles& operator=(const SaveFiles&) = delete;

    int lock() {
        CPROPS_TRACE(m_props, TRACE_DEBUG, "saveProperty", "Create lock file ", m_lock.c_str());
        m_lockFd = createLockFile(m_lock.c_str());
        if (m_lockFd < 0) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty", "Unable to create lock file ",
                         m_lock.c_str());
            return -22;
        }
        return 0;
    }

    // The configuration file must be a regular file reached without a symbolic link, since it
    // is replaced by a new regular file of that name.
    int open() {
        int fd = ::open(m_config.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
        if ((m_in = streamOn(fd, "r")) == nullptr) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty", "Unable to open config file ",
                         m_config.c_str());
            return -22;
        }
        ::unlink(m_temp.c_str());  // a leftover of an earlier save, perhaps not a regular file
        fd = ::open(m_temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        m_tempMade = fd >= 0;
        if ((m_out = streamOn(fd, "w+")) == nullptr) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty",
                         "Unable to open temporary config file ", m_temp.c_str());
            return -22;
        }
        return 0;
    }

    FILE* in() const { return m_in; }

    void write(const std::string& line) {
        if (std::fwrite(line.data(), 1, line.size(), m_out) != line.size() ||
            std::fputc('\n', m_out) == EOF) {
            m_writeFailed = true;
        }
    }

    // The new file reaches the disk before it takes the old one's name, so that neither a
    // crash of the process nor one of the host leaves the name without a whole file.
    int replace() {
        bool written = !m_writeFailed && std::fflush(m_out) == 0 && ::fsync(::fileno(m_out)) == 0 &&
                       ::fchmod(::fileno(m_out), 0644) == 0;
        written = written && stillOurs();
        closeStreams();
        if (!written || m_closeFailed) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty",
                         "Unable to write temporary config file ", m_temp.c_str());
            return -5;
        }
        if (::rename(m_temp.c_str(), m_config.c_str()) != 0) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty", "Unable to replace config file ",
                         m_config.c_str());
            return -5;
        }
        m_tempMade = false;
        ::chmod(m_config.c_str(), 0644);
        syncDirectory();
        return 0;
    }

    int unlock() {
        CPROPS_TRACE(m_props, TRACE_DEBUG, "saveProperty", "Remove lock file ", m_lock.c_str());
        if (releaseLock() != 0) {
            CPROPS_TRACE(m_props, TRACE_ERROR, "saveProperty", "Unable to remove lock file ",
                         m_lock.c_str());
            return -22;
        }
        return 0;
    }

  private:
    // A stream on `fd`, or null (the descriptor then closed); null for a negative one.
    static FILE* streamOn(int fd, const char* mode) {
        FILE* stream = fd >= 0 ? ::fdopen(fd, mode) : nullptr;
        if (stream == nullptr && fd >= 0) {
            ::close(fd);
        }
        return stream;
    }

    void closeStreams() {
        if (m_in != nullptr) {
            std::fclose(m_in);
            m_in = nullptr;
        }
        if (m_out != nullptr) {
            m_closeFailed = std::fclose(m_out) != 0 || m_closeFailed;
            m_out = nullptr;
        }
    }

    int releaseLock() {
        if (m_lockFd < 0) {
            return 0;
        }
        int rc = releaseLockFile(m_lock.c_str(), m_lockFd);
        m_lockFd = -1;
        return rc;
    }

    // Only a writer that broke a lock file it wrongly took for stale can have replaced the
    // temporary file meanwhile; its half-written file must not take the configuration's name.
    bool stillOurs() const {
        struct stat ours;
        struct stat named;
        return ::fstat(::fileno(m_out), &ours) == 0 && ::lstat(m_temp.c_str(), &named) == 0 &&
               ours.st_dev == named.st_dev && ours.st_ino == named.st_ino;
    }

    void syncDirectory() {
        std::string::size_type slash = m_config.rfind('/');
        std::string directory = slash == std::string::npos ? "." : m_config.substr(0, slash + 1);
        int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }

    Props* m_props;
    std::string m_config;
    std::string m_temp;
    std::string m_lock;
    int m_lockFd = -1;
    FILE* m_in = nullptr;
    FILE* m_out = nullptr;
    bool m_tempMade = false;
    bool m_writeFailed = false;
    bool m_closeFailed = false;
};

// The line to write for a property line of the old file; false when the property was deleted
// from the store and its line is dropped. A property the store has not changed keeps the
// file's line, whatever value it holds: another writer may have saved it.
bool copiedPropertyLine(Props* props, const std::string& line, const std::string& name,
                        const std::string& raw, bool hasValue, std::string& out) {
    EntryLock lock(props, "saveProperty", __LINE__);
    std::string fileValue = hasValue ? unescapeUnquote(expandLocked(props, raw)) : std::string();
    PropEntry* entry = findTypeLocked(props, name.c_str(), PROP_PROPERTY);
    out = line;
    if (entry == nullptr) {
        return !wasDeletedLocked(props, name);
    }
    entry->written = true;
    const std::string value = entry->value != nullptr ? entry->value : "";
    if (entry->changed && value != fileValue) {
        std::string replaced = name + ": " + value;
        if (replaced.size() > kMaxLine) {
            CPROPS_TRACE(props, TRACE_ERROR, "saveProperty",
                         "Error in allocating memory. Line too long. Ignored.\n");
        } else if (breaksLine(replaced)) {
            CPROPS_TRACE(props, TRACE_ERROR, "saveProperty",
                         "Value holds a line break. Ignored: ", name.c_str());
        } else {
            out = replaced;
        }
    }
    return true;
}

// Copies the old file's lines; 0, or -5 when the old file cannot be read to its end (a line
// over the limit, a NUL byte or a read error), since its rest would be lost.
int copyPhase(Props* props, SaveFiles& files) {
    bool previousEmpty = false;
    std::string line;
    for (;;) {
        bool comment = false;
        int rc = getLine(props, files.in(), true, line, comment);
        if (rc == 1) {
            return 0;
        }
        if (rc < 0) {
            CPROPS_TRACE(props, TRACE_ERROR, "saveProperty",
                         "Fail to read line from config file.\n");
            return -5;
        }
        std::string out = line;
        std::string name;
        std::string raw;
        bool hasValue = false;
        if (line.empty()) {
            if (previousEmpty) {
                continue;
            }
        } else if (!comment && splitLine(line, name, raw, hasValue)) {
            try {
                if (!copiedPropertyLine(props, line, name, raw, hasValue, out)) {
                    continue;
                }
            } catch (const std::bad_alloc&) {
                // The old line is kept: dropping it would lose a setting.
                CPROPS_TRACE(props, TRACE_ERROR, "saveProperty", "Error in allocating memory.\n");
                out = line;
            }
        }
        previousEmpty = out.empty();
        CPROPS_TRACE(props, TRACE_DEBUG, "saveProperty",
                     "Save line from old config: ", out.c_str());
        files.write(out);
    }
}

// Appends the properties changed in the store that the old file did not have, newest first.
void appendPhase(Props* props, SaveFiles& files) {
    EntryLock lock(props, "saveProperty", __LINE__);
    for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
        if (entry->type != PROP_PROPERTY || entry->written || !entry->changed) {
            continue;
        }
        std::string line = entry->name;
        if (entry->interValue != nullptr) {
            char* copy = copyString(entry->interValue);
            if (copy == nullptr) {
                throw std::bad_alloc();
            }
            if (props->unExpandEnvVariables(props, &copy) != 0) {
                CPROPS_TRACE(props, TRACE_DEBUG, "saveProperty", "Unable to expand the parameter ",
                             entry->name, " with value ", entry->interValue);
            }
            try {
                line += ": ";
                line += copy;
            } catch (const std::bad_alloc&) {
                std::free(copy);
                throw;
            }
            std::free(copy);
        }
        if (line.size() > kMaxLine) {
            CPROPS_TRACE(props, TRACE_ERROR, "saveProperty",
                         "Error in allocating memory. Line too long. Skipped.\n");
            continue;
        }
        if (breaksLine(line)) {
            CPROPS_TRACE(props, TRACE_ERROR, "saveProperty",
                         "Value holds a line break. Skipped: ", entry->name);
            continue;
        }
        CPROPS_TRACE(props, TRACE_DEBUG, "saveProperty", "Save line from memory: ", line.c_str());
        files.write(line);
    }
}

}  // namespace

int createLockFile(const char* lockPath) {
    if (lockPath == nullptr) {
        return -1;
    }
    int waits = 0;
    for (;;) {
        int fd = ::open(lockPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST || waits >= 100) {
            return -1;
        }
        struct stat st;
        if (::lstat(lockPath, &st) != 0) {
            if (errno == ENOENT) {
                continue;  // released in between
            }
            return -1;
        }
        if (std::time(nullptr) - st.st_mtime < 61) {
            ::usleep(10000);
            ++waits;
        } else if (::unlink(lockPath) != 0 && errno != ENOENT) {
            return -1;
        }
    }
}

int releaseLockFile(const char* lockPath, int fd) {
    if (lockPath == nullptr || fd < 0) {
        return -1;
    }
    int closed = ::close(fd);
    int removed = ::unlink(lockPath);
    return closed == 0 && removed == 0 ? 0 : -1;
}

int saveProperty(Props* props, const char* path) {
    if (!isValid(props)) {
        return -22;
    }
    try {
        SaveFiles files(props, path != nullptr ? path : kDefaultConfigPath);
        int rc = files.lock();
        if (rc == 0) {
            rc = files.open();
        }
        if (rc != 0) {
            return rc;
        }
        {
            EntryLock lock(props, "saveProperty", __LINE__);
            for (PropEntry* entry = props->entries; entry != nullptr; entry = entry->next) {
                entry->written = false;
            }
        }
        rc = copyPhase(props, files);
        if (rc == 0) {
            appendPhase(props, files);
            rc = files.replace();
        }
        if (rc == 0) {
            EntryLock lock(props, "saveProperty", __LINE__);
            forgetChangesLocked(props);
        }
        int unlocked = files.unlock();
        return rc != 0 ? rc : unlocked;
    } catch (const std::bad_alloc&) {
        CPROPS_TRACE(props, TRACE_ERROR, "saveProperty", "Error to allocate memory.\n");
        return -12;
    }
}

}  // namespace vfw
