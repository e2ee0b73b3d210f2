// vaudbq salvage: the checks on DEST (never inside the spool, never an existing one unless
// asked), the output written under a temporary name and renamed into place, and the run over
// the spool's files (formats in salvage.h).
#include "salvage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "vfw/dbq_format.h"

namespace vaudbq {

namespace {

// `path` without trailing slashes, split at its last slash.
void splitPath(std::string path, std::string& parent, std::string& leaf) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const size_t slash = path.rfind('/');
    parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    leaf = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The canonical form of `path`; a failure is reported as one of `subject`'s.
std::string realPath(const std::string& path, const std::string& subject, const char* what) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        throw OutputFailure(subject + ": " + what + ": " + std::strerror(errno));
    }
    return resolved;
}

// Refuses a DEST that is, or lies inside, the directory holding the queue files.
void refuseInsideSpool(const Target& target, const std::string& dest) {
    std::string parent, leaf;
    splitPath(target.path, parent, leaf);
    const std::string spool =
        realPath(target.spool ? target.path : parent, target.path, "cannot be resolved");
    struct stat st;
    std::string where;
    if (::lstat(dest.c_str(), &st) == 0) {
        where = realPath(dest, dest, "cannot be resolved");
    } else {
        splitPath(dest, parent, leaf);
        where = realPath(parent, dest, "cannot be created") + "/" + leaf;
    }
    if (where == spool || where.rfind(spool + "/", 0) == 0) {
        throw OutputFailure(dest + ": lies inside the spool " + spool +
                            ", into which salvage never writes");
    }
}

}  // namespace

bool isRecordFileName(const std::string& name) {
    return name.size() >= 8 && name.find_first_not_of("0123456789") == std::string::npos;
}

RecordSink::RecordSink(const std::string& dest, bool split, bool force)
    : m_dest(dest), m_split(split), m_force(force), m_fd(-1), m_count(0), m_committed(false) {
    struct stat st;
    if (::lstat(dest.c_str(), &st) == 0) {
        if (!force) {
            throw OutputFailure(dest + ": exists; give --force to replace it");
        }
        if (split ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
            throw OutputFailure(dest + ": exists and is not a " +
                                (split ? "directory" : "regular file") + "; it is not replaced");
        }
    }
    std::string parent, leaf;
    splitPath(dest, parent, leaf);
    std::string temp = parent + "/." + leaf + ".vaudbq-XXXXXX";
    if (split) {
        if (::mkdtemp(&temp[0]) == nullptr) {
            throw OutputFailure(dest + ": cannot be created: " + std::strerror(errno));
        }
    } else {
        m_fd = ::mkostemp(&temp[0], O_CLOEXEC);
        if (m_fd < 0) {
            throw OutputFailure(dest + ": cannot be created: " + std::strerror(errno));
        }
    }
    m_temp = temp;
}

RecordSink::~RecordSink() {
    if (!m_committed) {
        removePartial();
    }
}

void RecordSink::removePartial() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_temp.empty()) {
        return;
    }
    if (m_split) {
        for (const std::string& name : m_files) {
            ::unlink((m_temp + "/" + name).c_str());
        }
        ::rmdir(m_temp.c_str());
    } else {
        ::unlink(m_temp.c_str());
    }
    m_temp.clear();
}

void RecordSink::fail(int error, const char* what) {
    removePartial();
    throw OutputFailure(m_dest + ": " + what + ": " + std::strerror(error) +
                        "; the partial output was removed");
}

void RecordSink::writeAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t put = ::write(fd, data, length);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            fail(put < 0 ? errno : ENOSPC, "cannot be written");
        }
        data += put;
        length -= size_t(put);
    }
}

void RecordSink::add(const std::string& record) {
    ++m_count;
    if (!m_split) {
        unsigned char length[4];
        vfw::dbqformat::putBE32(length, uint32_t(record.size()));
        writeAll(m_fd, reinterpret_cast<const char*>(length), sizeof length);
        writeAll(m_fd, record.data(), record.size());
        return;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%08llu", static_cast<unsigned long long>(m_count));
    const int fd =
        ::open((m_temp + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(errno, "cannot be written");
    }
    m_files.push_back(name);
    m_fd = fd;
    writeAll(fd, record.data(), record.size());
    m_fd = -1;
    if (::close(fd) != 0) {
        fail(errno, "cannot be written");
    }
}

// An existing DEST directory of --split --force goes away first, if it holds nothing but
// record files; anything else in it is left alone and the salvage refused.
void RecordSink::replaceExistingDirectory() {
    DIR* dir = ::opendir(m_dest.c_str());
    if (dir == nullptr) {
        fail(errno, "cannot be replaced");
    }
    std::vector<std::string> names;
    for (struct dirent* entry = ::readdir(dir); entry != nullptr; entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        if (!isRecordFileName(name)) {
            fail(ENOTEMPTY, "holds files other than records and is not replaced");
        }
    }
    for (const std::string& name : names) {
        ::unlink((m_dest + "/" + name).c_str());
    }
    if (::rmdir(m_dest.c_str()) != 0) {
        fail(errno, "cannot be replaced");
    }
}

void RecordSink::commit() {
    if (!m_split) {
        if (::fsync(m_fd) != 0) {
            fail(errno, "cannot be written");
        }
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            fail(errno, "cannot be written");
        }
    }
    struct stat st;
    const bool exists = ::lstat(m_dest.c_str(), &st) == 0;
    if (exists && !m_force) {
        fail(EEXIST, "appeared meanwhile and is not replaced");
    }
    if (exists && m_split) {
        replaceExistingDirectory();
    }
    const unsigned flags = m_force && !m_split ? 0 : RENAME_NOREPLACE;
    if (::renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD, m_dest.c_str(), flags) != 0) {
        fail(errno, "cannot be put in place");
    }
    m_committed = true;
}

int runSalvage(const Options& options, const Target& target) {
    refuseInsideSpool(target, options.dest);
    RecordSink sink(options.dest, options.split, options.force);
    int status = OK;
    for (const QueueFileRef& file : target.files) {
        try {
            status = worse(status, salvageFile(file.path, sink));
        } catch (const OutputFailure&) {
            throw;
        } catch (const Failure& e) {
            complain(e.what());
            status = worse(status, e.status());
        }
    }
    sink.commit();
    std::cout << "salvaged " << sink.count() << " records from " << target.files.size()
              << " queue files into " << options.dest << '\n';
    return status;
}

}  // namespace vaudbq
