// Operating-system helpers: advisory lock files (a process's claim on a name, such as one
// instance of a daemon per host), whether the process runs in a Docker container, and the
// file-system ids the kernel checks file access with.
//
// Contracts:
// - The locks are POSIX record locks (fcntl) over the whole file. They belong to the process:
//   a forked child does not inherit them, the process can always lock again what it holds, and
//   closing any descriptor of the file in the process releases them. Keep the descriptor open
//   as long as the lock is needed and do not open the file elsewhere in the process.
// - Nothing here waits: a lock is tried, never waited for, and a FIFO or device found at a lock
//   file's name is never opened (one that appears there during the call is opened without
//   waiting and closed again). A lock file's name is never followed through a symbolic link,
//   and a file created here is never removed again (another process may have it open).
// - Descriptors are close-on-exec and belong to the caller.
// - The lock-file calls report failures as -1 with errno set; nothing here logs.
#ifndef VFW_OSPORT_H
#define VFW_OSPORT_H

#include <sys/types.h>

#include <string>

namespace vfw {

// Tries to place a write lock over the whole of the open file (fcntl F_SETLK). Returns 0 when
// the process holds it; when another process does, that holder's process id in the caller's
// pid namespace (asked with F_GETLK). A lock released between the two calls is tried again.
// -1 with errno on failure, also -1 with errno EAGAIN for a lock that is held but whose holder
// has no id to give (an open-file-description lock, a process in another pid namespace).
int LockFile(int fd);
// Releases the process's lock on the file: 0, or -1 with errno.
int UnlockFile(int fd);

// Opens the lock file `path` read-write and tries LockFile on it. A regular file there is used
// as it is (content kept). Anything else there is removed first - a symbolic link (never its
// target), a FIFO, a socket, a device, an empty directory - and the file is created exclusively
// in its place, as it is when the name is free: permission bits 0700 less the umask. A
// non-empty directory stays: -1 with errno ENOTEMPTY. A non-zero `mode` is then set with
// fchmod (the umask does not apply; the caller must own the file or be privileged), 0 keeps
// the file's mode.
//
// Returns the descriptor with *holderPid set to LockFile's result: 0 when the caller now holds
// the lock, the holder's process id when another process holds it. Otherwise -1 with errno set,
// *holderPid -1 and no descriptor left open: the name could not be opened, replaced or created
// (the error of the last of a few rounds when other processes kept changing it), the mode could
// not be set, or LockFile failed (EAGAIN for a holder without an id). `holderPid` may be null.
int OpenLockFile(const std::string& path, int* holderPid, mode_t mode);

// The same with an ordinary create (O_CREAT without O_EXCL): the regular file at `path` is
// used, a missing one created with permission bits 0700 less the umask. Nothing is ever
// replaced: anything but a regular file at the name gives -1 with errno EEXIST (ELOOP or EISDIR
// when it appeared there during the call) and is left alone.
int CreateLockFile(const std::string& path, int* holderPid, mode_t mode);

// True when /proc/self/cgroup can be read and one of its lines (of any length) holds
// "/docker/" or "/system.slice/docker-"; false otherwise, also when it cannot be opened or
// read. Other container engines are not recognised.
bool IsInContainer();

// Sets the calling thread's file-system group id, then its file-system user id, to its
// effective ones; a thread that moved them apart with setfsgid/setfsuid gets them back (any
// change of the effective ids moves them along by itself). Only the calling thread is affected:
// these are per-thread ids and the call goes straight to the kernel. The change is always
// permitted; setfsuid and setfsgid report no failure, so the ids are read back, and ids that
// did not follow throw SystemException (rc -1). On return they equal geteuid() and getegid().
void SetFsIdsToEffective();

}  // namespace vfw

#endif
