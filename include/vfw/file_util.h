// File utilities: mode and size queries, free space, symbolic-link resolution, renaming,
// moving and copying files, and temporary files. Records go to the logger "util.file".
//
// Contracts:
// - Paths are used exactly as given (no blank replacement, unlike vfw::path).
// - GetFileMode, GetFileSize, MoveFile, CopyFile, CopyFiles and MakeTempFile throw
//   (error_util.h); GetFreeSpaceSize, GetSymLinkPath and renameFile log and return the
//   system's result instead.
// - A path is only ever an argument of a message, never its format.
// - Nothing here blocks on a FIFO or device: special files are refused where a regular file
//   is needed, and opened without blocking.
// - No shared state; callers serialise operations on the same files.
#ifndef VFW_FILE_UTIL_H
#define VFW_FILE_UTIL_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace vfw {

// stat (links followed): the permission bits (mode & 0777) and the size in bytes. A failing
// stat throws SystemException "OS call failed: <strerror>" (rc -1).
mode_t GetFileMode(const std::string& path);
int64_t GetFileSize(const std::string& path);

// statvfs of `path`. On success returns 0 and sets `kilobytes` to the free space of the file
// system in units of 1024 bytes, blocks reserved for the superuser included (rounded down).
// On failure logs a WARN record, leaves `kilobytes` unchanged and returns the statvfs result
// (-1, errno set).
int GetFreeSpaceSize(const std::string& path, uint64_t& kilobytes);

// Follows a chain of symbolic links from `path` one link at a time; a relative target is
// taken relative to the directory of the link that holds it. On success `resolved` is the
// first name in the chain that is not a link (it exists) and the result is true. False,
// with a record and `resolved` unchanged, when a name in the chain is missing or a link
// cannot be read, or when more than 100 links (counting from `depth`) were followed: a
// potential loop.
bool GetSymLinkPath(const std::string& path, std::string& resolved, int depth = 0);

// rename(2), returning its result: 0 at once when the names are equal. A failure is logged
// at INFO and written to standard error as "Unable to rename \"<from>\" to \"<to>\"."; errno
// still holds the rename error on return.
int renameFile(const std::string& from, const std::string& to);

// rename(2); failure throws IOException "Move <from> to <to> failed: <strerror>" (rc errno).
void MoveFile(const std::string& from, const std::string& to);

// Copies the content of the regular file `from` (a link there is resolved) to `to`. A
// symbolic link at `to` is removed first, so the link's target is never written; an existing
// regular file at `to` is overwritten in place and keeps its mode and owner, a new one gets
// the permission bits of the source whatever the umask. Failures throw IOException "<text>:
// <strerror>" (rc errno); a source or destination that is not a regular file, or both names
// denoting the same file, throw BadDataException (rc 0) without touching either. When the copy
// fails after `to` was created, `to` is removed again.
void CopyFile(const std::string& from, const std::string& to);

// Copies every regular file of `directory` (links to regular files included) whose name
// matches the POSIX basic regular expression `pattern` anywhere (anchor with ^ and $) to
// `destination` + "/" + name with CopyFile; other entries are skipped. A bad pattern throws
// BadDataException "CopyFiles: Error compiling pattern: <regerror text>" (rc the regcomp
// code); a directory that cannot be opened NotFoundException "Cannot open directory <path>"
// (rc errno). The first failing copy throws and ends the operation.
void CopyFiles(const std::string& directory, const std::string& destination,
               const std::string& pattern);

// mkstemp on a copy of `nameTemplate` (which must end in "XXXXXX"): the file is created with
// exactly `mode` and, unless both are -1, owner `uid`/`gid` (-1 keeps that id). Returns the
// open read-write descriptor (close-on-exec), which the caller closes, and the name in
// `name`. Failures are logged and throw SystemException (rc -1) with the system's text;
// a file created before the failure is removed.
int MakeTempFile(const std::string& nameTemplate, mode_t mode, std::string& name,
                 uid_t uid = static_cast<uid_t>(-1), gid_t gid = static_cast<gid_t>(-1));

}  // namespace vfw

#endif
