// A real syslog daemon for tests, and a way to give a test a process of its own.
//
// SyslogDaemon moves the calling process into a private mount namespace of its own, mounts a
// fresh /dev there (holding only null, zero, full, random, urandom and the fd links) and runs
// Debian's rsyslogd on it, so /dev/log is the daemon's socket for this process and its
// children while the system's /dev is never touched. The daemon writes every message it
// receives, with its priority value, to a file that the test reads back. Construct it while
// the process has a single thread (unshare refuses otherwise), and only in a process that
// exists for the test (see rerunCurrentTest): the namespace stays for the process's life.
// The daemon dies with its owner, also when the owner crashes.
#ifndef VFW_TEST_SYSLOG_DAEMON_H
#define VFW_TEST_SYSLOG_DAEMON_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace vfw_test {

// True in a process started by rerunCurrentTest.
bool isRerunChild();

// Runs the current test again, alone, in a new process of the same test binary (with
// isRerunChild() true there), shows its output and adds a failure unless it passed. Use:
//   if (!vfw_test::isRerunChild()) { vfw_test::rerunCurrentTest(); return; }
void rerunCurrentTest();

// One received message: "<priority> <tag>: <text>", where the tag is what the sender put
// before the colon ("PROGRAM[pid]" with LOG_PID).
struct SyslogMessage {
    int priority = -1;
    std::string tag;
    std::string text;
};

class SyslogDaemon {
  public:
    // Throws std::runtime_error when the namespace, /dev or the daemon cannot be set up.
    SyslogDaemon();
    ~SyslogDaemon();
    SyslogDaemon(const SyslogDaemon&) = delete;
    SyslogDaemon& operator=(const SyslogDaemon&) = delete;

    // Waits until everything sent to /dev/log before this call has been written out, and
    // returns all messages received so far, oldest first, without the daemon's own and
    // without the markers used for waiting. Fails the test after 10 seconds.
    std::vector<SyslogMessage> sync();

  private:
    void startDaemon();
    void stopDaemon();
    std::vector<SyslogMessage> parse() const;
    bool waitForText(const std::string& text, int timeoutMs) const;

    TempDir m_dir;
    pid_t m_pid = -1;
    int m_markers = 0;
};

}  // namespace vfw_test

#endif
