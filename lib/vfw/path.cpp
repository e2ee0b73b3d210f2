#include "vfw/path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "vfw/error_util.h"
#include "vfw/string_util.h"

namespace vfw {

namespace {

// The name of a path for the removal guard: what rmdir would be asked to remove.
const std::string& lastName(const std::vector<std::string>& components, const std::string& leaf) {
    return leaf.empty() && !components.empty() ? components.back() : leaf;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

void listNames(const std::string& directory, std::vector<std::string>& names) {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
    if (!dir) {
        int error = errno;
        if (error == ENOENT) {
            VFW_THROW(NotFoundException, 0, "%s: No such directory", directory.c_str());
        }
        VFW_THROW(SystemException, error, "%s: Failed to open", directory.c_str());
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                VFW_THROW_OS(SystemException, errno, "%s: Failed to read", directory.c_str());
            }
            return;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
}

// Removes by the name on disk. Links are removed, not followed; a missing name is no error.
void removeName(const std::string& name, bool recursive) {
    struct stat status;
    if (::lstat(name.c_str(), &status) != 0) {
        int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            return;
        }
        VFW_THROW(IOException, -1, "Cannot stat %s: %s", name.c_str(), std::strerror(error));
    }
    if (!S_ISDIR(status.st_mode)) {
        int rc = ::unlink(name.c_str());
        if (rc != 0) {
            VFW_THROW(IOException, rc, "Cannot remove file %s: %s", name.c_str(),
                      std::strerror(errno));
        }
        return;
    }
    if (recursive) {
        std::vector<std::string> entries;
        listNames(name, entries);
        for (const std::string& entry : entries) {
            removeName(name + "/" + entry, true);
        }
    }
    int rc = ::rmdir(name.c_str());
    if (rc != 0) {
        VFW_THROW(IOException, rc, "Cannot remove directory %s: %s", name.c_str(),
                  std::strerror(errno));
    }
}

// One level of createDirectory: the parent is known to exist. Only a directory made here
// gets the mode, and the named one itself when it exists already; an ancestor that someone
// else made meanwhile keeps its own.
void makeDirectory(const path& directory, mode_t mode, bool named) {
    std::string name = directory.toString();
    int rc = ::mkdir(name.c_str(), mode);
    int error = errno;
    struct stat status;
    if (rc == 0 || (named && ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
        directory.setPermissions(mode);
    }
    if (rc != 0) {
        VFW_THROW(IOException, rc, "Cannot create directory %s: %s", name.c_str(),
                  std::strerror(error));
    }
}

bool isRoot(const path& p) {
    return p.isAbsolute() && p.getComponents().empty() && p.getLeaf().empty();
}

}  // namespace

path::path(const std::string& text) {
    std::string rest = text;
    if (!rest.empty() && rest[0] == '/') {
        absolute = true;
        rest.erase(0, 1);
    }
    split(rest, "/\\", components);
    bool endsWithSeparator = !rest.empty() && (rest.back() == '/' || rest.back() == '\\');
    if (!components.empty() && !endsWithSeparator) {
        leaf = components.back();
        components.pop_back();
    }
}

path::path(const char* text) : path(std::string(text != nullptr ? text : "")) {}

std::string path::toString(bool keepBlanks) const {
    std::string text = absolute ? "/" : "";
    for (const std::string& component : components) {
        text += component;
        text += '/';
    }
    if (!leaf.empty()) {
        text += leaf;
    } else if (!components.empty()) {
        text.pop_back();
    }
    if (!keepBlanks) {
        std::replace(text.begin(), text.end(), ' ', '_');
    }
    return text;
}

path& path::append(const path& other) {
    if (other.absolute) {
        VFW_THROW(BadDataException, 0, "Attempt to append root path");
    }
    if (!leaf.empty()) {
        components.push_back(leaf);
    }
    components.insert(components.end(), other.components.begin(), other.components.end());
    leaf = other.leaf;
    return *this;
}

std::string path::stem() const {
    const std::string& name = lastName(components, leaf);
    std::string::size_type dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

std::string path::extension() const {
    const std::string& name = lastName(components, leaf);
    std::string::size_type dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot);
}

path path::parent() const {
    path result = *this;
    if (!result.leaf.empty()) {
        result.leaf.clear();
    } else if (!result.components.empty()) {
        result.components.pop_back();
    }
    return result;
}

bool path::exists() const {
    if (isEmpty()) {
        return false;
    }
    struct stat status;
    return ::stat(toString(true).c_str(), &status) == 0;
}

bool path::isDirectory() const {
    if (isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    struct stat status;
    int rc = ::stat(toString(true).c_str(), &status);
    if (rc != 0) {
        VFW_THROW(NotFoundException, rc, "Cannot stat %s: %s", toString().c_str(),
                  std::strerror(errno));
    }
    return S_ISDIR(status.st_mode);
}

bool path::canWrite() const {
    if (isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    int rc = ::access(toString(true).c_str(), W_OK);
    if (rc == 0) {
        return true;
    }
    int error = errno;
    if (error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY) {
        return false;
    }
    VFW_THROW(NotFoundException, rc, "Cannot access %s: %s", toString().c_str(),
              std::strerror(error));
}

void path::setOwner(uid_t uid, gid_t gid) const {
    std::string name = toString();
    if (::chown(name.c_str(), uid, gid) != 0) {
        VFW_THROW(IOException, 0, "Can't change owner of %s to %d/%d: %s", name.c_str(),
                  static_cast<int>(uid), static_cast<int>(gid), std::strerror(errno));
    }
}

void path::setPermissions(mode_t mode) const {
    std::string name = toString();
    if (::chmod(name.c_str(), mode) != 0) {
        VFW_THROW(IOException, 0, "Can't change permissions of %s to %x: %s", name.c_str(),
                  static_cast<unsigned>(mode), std::strerror(errno));
    }
}

void path::rename(const path& to) const {
    if (isEmpty() || to.isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    std::string from = toString();
    std::string target = to.toString();
    int rc = ::rename(from.c_str(), target.c_str());
    if (rc != 0) {
        VFW_THROW(IOException, rc, "Cannot rename %s to %s: %s", from.c_str(), target.c_str(),
                  std::strerror(errno));
    }
}

// The root, "." and ".." never name a new directory, and giving them the mode would change a
// directory that the caller did not name (for "a/b/..", "a"), so they are refused. A ".."
// inside the path is left to the system, which resolves it through the directories that
// exist (links included), as every later use of the same text will; a ".." that would
// follow a directory still to be made is refused before anything is made. A "." level is
// the directory before it and is never made itself.
void path::createDirectory(mode_t mode) const {
    if (isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    std::string name = toString();
    if (name.size() >= PATH_MAX) {
        VFW_THROW(IOException, -1, "Cannot create directory %s: %s", name.c_str(),
                  std::strerror(ENAMETOOLONG));
    }
    const std::string& last = lastName(components, leaf);
    if (isRoot(*this) || last == "." || last == "..") {
        VFW_THROW(IOException, -1, "Cannot create directory %s: \"%s\" names no new directory",
                  name.c_str(), isRoot(*this) ? "/" : last.c_str());
    }
    // Walk up to the first existing ancestor, then create downwards from there. The root
    // is never missing; stopping at it keeps a broken root from looping.
    std::vector<path> missing;
    path current = *this;
    for (;;) {
        if (current.isEmpty()) {
            VFW_THROW(BadDataException, 0, "Empty path");
        }
        const std::string& level = lastName(current.components, current.leaf);
        if (level == "..") {
            VFW_THROW(IOException, -1,
                      "Cannot create directory %s: \"..\" follows %s, which is not an existing "
                      "directory",
                      name.c_str(), current.parent().toString().c_str());
        }
        if (level != ".") {
            missing.push_back(current);
        }
        path above = current.parent();
        if (above.exists() || isRoot(current)) {
            break;
        }
        current = above;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        makeDirectory(*it, mode, it + 1 == missing.rend());
    }
}

void path::remove(bool recursive) const {
    if (isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    std::string name = toString();
    const std::string& last = lastName(components, leaf);
    if (last == "." || last == "..") {
        VFW_THROW(IOException, -1, "Cannot remove directory %s: %s", name.c_str(),
                  std::strerror(EINVAL));
    }
    if (isRoot(*this)) {
        VFW_THROW(IOException, -1, "Cannot remove directory /: the root is never removed");
    }
    removeName(name, recursive);
}

void path::list(std::vector<std::string>& names) const {
    if (isEmpty()) {
        VFW_THROW(BadDataException, 0, "Empty path");
    }
    listNames(toString(), names);
}

}  // namespace vfw
