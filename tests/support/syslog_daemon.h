// A real syslog daemon for tests, and a way to give a test a process of its own.
// SyslogDaemon moves the calling process into a private mount namespace, mounts a fresh /dev
// there (only null, zero, full, random, urandom and the fd links) and runs Debian's rsyslogd
// on it: /dev/log is its socket for this process and its children, the system's /dev is never
// touched. Construct it while the process has one thread (unshare refuses otherwise), only in a
// process that exists for the test (an NS_TEST body): the namespace stays for the process's
// life. The daemon dies with its owner, also in a crash.
#ifndef VFW_TEST_SYSLOG_DAEMON_H
#define VFW_TEST_SYSLOG_DAEMON_H

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>

#include <sstream>
#include <stdexcept>
#include <vector>

#include "support/sandbox.h"

namespace vfw_test {

// One received message "<priority> <tag>: <text>" (the tag is "PROGRAM[pid]" with LOG_PID).
struct SyslogMessage {
    int priority = -1;
    std::string tag;
    std::string text;
};

class SyslogDaemon {
  public:
    // Throws std::runtime_error when the namespace, /dev or the daemon cannot be set up.
    SyslogDaemon() {
        // Run only in a namespace of its own; only device files are bound, never directories.
        std::string output;
        if (::unshare(CLONE_NEWNS) != 0 || runCommand("(D=" + m_dir.file("dev") + R"(; set -e
            mount --make-rprivate /; mkdir $D; mount -t tmpfs -o mode=755,nosuid,noexec tmpfs $D
            for d in null zero full random urandom; do touch $D/$d; mount --bind /dev/$d $D/$d; done
            ln -s /proc/self/fd $D/fd; ln -s fd/0 $D/stdin; ln -s fd/1 $D/stdout; ln -s fd/2 $D/stderr
            mount --move $D /dev))",
                                                      output) != 0) {
            throw std::runtime_error("no private /dev: " + output);
        }
        // Only the test's messages: no kernel log, no rate limit, one line per message.
        writeFile(m_dir.file("conf"), "global(workDirectory=\"" + m_dir.path() + R"(")
            module(load="imuxsock" SysSock.Name="/dev/log" SysSock.RateLimit.Interval="0")
            template(name="t" type="string" string="%PRI% %syslogtag%%msg:::drop-last-lf%\n")
            *.* action(type="omfile" template="t" file=")" +
                                          m_dir.file("received") + "\")\n");
        pid_t parent = ::getpid();
        if ((m_pid = ::fork()) == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == parent) {  // its output goes to the test's
                ::execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-iNONE", "-f",
                        m_dir.file("conf").c_str(), static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        struct stat log;
        auto ready = [&log] { return ::stat("/dev/log", &log) == 0 && S_ISSOCK(log.st_mode); };
        waitFor([&] { return ready() || ::waitpid(m_pid, nullptr, WNOHANG) != 0; });
        if (!ready()) {  // a daemon still running dies with this process
            throw std::runtime_error("rsyslogd made no /dev/log");
        }
        sync();
    }
    ~SyslogDaemon() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0) {
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Waits until everything sent to /dev/log before this call has been written out, and
    // returns all messages received so far, oldest first, without the daemon's own and
    // without the markers used for waiting. Fails the test after a minute.
    std::vector<SyslogMessage> sync() {
        std::string marker = "marker " + std::to_string(++m_markers), output;
        runCommand("logger -u /dev/log -t vfwtestmarker '" + marker + "'", output);
        EXPECT_TRUE(waitFor([&] {
            return received().find(": " + marker + "\n") != std::string::npos;
        })) << "rsyslogd wrote no marker; received:\n"
            << received() << output;
        // Lines are "<priority> <tag>: <text>" (the blank after the colon may be missing).
        std::vector<SyslogMessage> messages;
        std::istringstream all(received());
        for (std::string line; std::getline(all, line);) {
            size_t blank = line.find(' '), colon = line.find(':', blank);
            if (blank == std::string::npos || colon == std::string::npos) {
                continue;
            }
            std::string tag = line.substr(blank + 1, colon - blank - 1);
            if (tag != "vfwtestmarker" && tag.compare(0, 8, "rsyslogd") != 0) {
                size_t text = line.compare(colon + 1, 1, " ") == 0 ? colon + 2 : colon + 1;
                messages.push_back({std::stoi(line.substr(0, blank)), tag, line.substr(text)});
            }
        }
        return messages;
    }

  private:
    template <class Done>
    static bool waitFor(Done done) {  // polls every 20 ms, for a minute at most
        for (int polls = 0; !done() && polls < 3000; ++polls) {
            ::usleep(20000);
        }
        return done();
    }
    std::string received() const { return readFile(m_dir.file("received")); }

    TempDir m_dir;
    pid_t m_pid = -1;
    int m_markers = 0;
};

}  // namespace vfw_test

#endif
