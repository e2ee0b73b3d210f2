// A file-system path as directory components plus a final name, and the directory
// operations the queue needs on it: existence tests, recursive creation with a mode,
// recursive removal, renaming, owner and permission changes.
//
// Parsing: a leading "/" makes the path absolute; the rest is cut at every "/" and "\\",
// empty pieces (doubled separators) are dropped, and the piece after the last separator is
// the leaf (empty when the text ends with a separator). "a//b\\c" and "a/b/c" are equal.
//
// Two string forms exist. The existence, directory and write-access tests use the text with
// its blanks; every other operation and every message uses the text with each blank replaced
// by "_". So path("/tmp/x y") is tested as "/tmp/x y" but created as "/tmp/x_y".
//
// Contracts:
// - Every failure is thrown (error_util.h), never returned. An empty path (no component, no
//   leaf, not absolute) throws BadDataException "Empty path" (rc 0) wherever a path is needed.
// - OS failures read "<text naming the path>: <strerror>"; a path is only ever an argument of
//   a message, never its format, so "%s" or "%n" inside a path appears literally.
// - No shared state: callers serialise operations on the same directory.
#ifndef VFW_PATH_H
#define VFW_PATH_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace vfw {

class path {
  public:
    path() = default;
    path(const std::string& text);  // NOLINT: a path is written as its text
    path(const char* text);         // NOLINT

    const std::vector<std::string>& getComponents() const { return components; }
    const std::string& getLeaf() const { return leaf; }
    bool isAbsolute() const { return absolute; }
    bool isEmpty() const { return components.empty() && leaf.empty() && !absolute; }

    // "/" if absolute, each component followed by "/", then the leaf; no trailing "/"; the
    // root alone is "/", the empty path "". Unless `keepBlanks`, every ' ' becomes '_'.
    std::string toString(bool keepBlanks = false) const;

    // This path's leaf (when not empty) becomes a component, then the other's components
    // and leaf follow. An absolute `other` throws BadDataException "Attempt to append root
    // path" (rc 0) and leaves this path unchanged.
    path& append(const path& other);
    path& operator/=(const path& other) { return append(other); }

    // The name is the leaf, or the last component when the leaf is empty. stem() is the
    // name up to its last "." and extension() the rest from that "." on; both are empty
    // when the name has no ".".
    std::string stem() const;
    std::string extension() const;

    // This path without its leaf, or without its last component when the leaf is empty.
    path parent() const;

    // Compared by toString(): byte-wise, blanks counting as "_".
    bool operator==(const path& other) const { return toString() == other.toString(); }
    bool operator!=(const path& other) const { return !(*this == other); }
    bool operator<(const path& other) const { return toString() < other.toString(); }

    // stat succeeds (symbolic links followed). False for the empty path.
    bool exists() const;
    // stat and the type is directory. A failing stat throws NotFoundException "Cannot stat
    // <path>: <strerror>" (rc -1).
    bool isDirectory() const;
    // access(W_OK): true when writable; false when the system refuses writing (permission
    // denied, read-only file system, immutable or busy file); any other failure throws
    // NotFoundException "Cannot access <path>: <strerror>" (rc -1).
    bool canWrite() const;

    // chown / chmod (following links). Failures throw IOException "Can't change owner of
    // <path> to <uid>/<gid>: <strerror>" and "Can't change permissions of <path> to
    // <mode in hex>: <strerror>", both rc 0.
    void setOwner(uid_t uid, gid_t gid) const;
    void setPermissions(mode_t mode) const;

    // rename(2) to `to`. Either path empty: BadDataException "Empty path"; failure:
    // IOException "Cannot rename <old> to <new>: <strerror>" (rc -1). This object still
    // names the old path afterwards.
    void rename(const path& to) const;

    // Creates the directory and every missing ancestor, outermost first, each with `mode`
    // exactly (set with chmod after mkdir, whatever the umask). A relative path whose first
    // component is missing, a relative path of one element included, throws "Empty path"
    // before anything is created. When mkdir fails the path is left as it was, except that
    // an existing directory is given `mode`; then IOException "Cannot create directory
    // <path>: <strerror>" (rc -1) is thrown, so an existing directory always throws.
    // The mode only ever goes to the directories made here and to the named directory
    // itself; no other existing directory changes. "." and ".." inside the path are resolved
    // by the system, through links, exactly as any later use of the same text will be: so
    // "a/link/../new" is made beside the link's target, not as "a/new". Refused with
    // IOException (rc -1) before anything changes: the root itself and a path whose last
    // name is "." or ".." ("Cannot create directory <path>: "<name>" names no new
    // directory", <name> being "/", "." or ".."), and a ".." that follows a directory that
    // does not exist yet ("Cannot create directory <path>: ".." follows <directory>, which
    // is not an existing directory").
    void createDirectory(mode_t mode) const;

    // Removes the path; a missing path is no error. Symbolic links are removed, never
    // followed. A directory is removed with rmdir, after all its entries when `recursive`
    // (entries are taken by their names on disk, blanks included). Failures throw
    // IOException "Cannot remove file <path>: <strerror>" or "Cannot remove directory
    // <path>: <strerror>" (rc -1); a path whose name is "." or ".." is refused that way
    // before anything is removed, and the root with IOException "Cannot remove directory /:
    // the root is never removed" (rc -1), recursive or not.
    void remove(bool recursive) const;

    // Appends the names in the directory, "." and ".." skipped, in directory order. A
    // missing directory throws NotFoundException "<path>: No such directory" (rc 0); one
    // that cannot be opened SystemException "<path>: Failed to open" (rc errno).
    void list(std::vector<std::string>& names) const;

  private:
    std::vector<std::string> components;
    std::string leaf;
    bool absolute = false;
};

}  // namespace vfw

#endif
