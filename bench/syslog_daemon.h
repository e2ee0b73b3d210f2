// A real syslog daemon for a benchmark program: Debian's rsyslogd on a private /dev.
//
// SyslogDaemon moves the calling process into a private mount namespace, mounts a fresh tmpfs
// /dev there (only null, zero, full, random, urandom, the fd links and a tmpfs /dev/shm of its
// own) and runs rsyslogd -n -iNONE on it with a configuration of its own: /dev/log is the
// daemon's socket for this process and its children, and every message is written, one line
// "<priority> <tag>: <text>", to /dev/shm/rsyslog/received, in memory. The system's /dev, its
// /dev/log and its logs are never touched; everything mounted goes away with the process.
// Construct it at the top of main(), while the process has one thread (unshare refuses
// otherwise); it needs root. The daemon dies with its owner, also in a crash. A failing step
// ends the program: a benchmark without its daemon measures nothing.
#ifndef VFW_BENCH_SYSLOG_DAEMON_H
#define VFW_BENCH_SYSLOG_DAEMON_H

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace bench {

class SyslogDaemon {
  public:
    SyslogDaemon() {
        privateDev();
        const std::string dir = "/dev/shm/rsyslog";
        if (::mkdir(dir.c_str(), 0700) != 0) {
            fail("mkdir " + dir);
        }
        m_received = dir + "/received";
        // Only this program's messages: no kernel log, no rate limit, one line per message.
        const std::string conf = dir + "/conf";
        std::ofstream(conf) << "global(workDirectory=\"" << dir << "\")\n"
                            << "module(load=\"imuxsock\" SysSock.Name=\"/dev/log\" "
                               "SysSock.RateLimit.Interval=\"0\")\n"
                            << "template(name=\"t\" type=\"string\" "
                               "string=\"%PRI% %syslogtag%%msg:::drop-last-lf%\\n\")\n"
                            << "*.* action(type=\"omfile\" template=\"t\" file=\"" << m_received
                            << "\")\n";
        pid_t parent = ::getpid();
        if ((m_pid = ::fork()) == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == parent) {
                ::execl("/usr/sbin/rsyslogd", "rsyslogd", "-n", "-iNONE", "-f", conf.c_str(),
                        static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
        struct stat log;
        auto ready = [&log] { return ::stat("/dev/log", &log) == 0 && S_ISSOCK(log.st_mode); };
        waitFor([&] { return ready() || ::waitpid(m_pid, nullptr, WNOHANG) != 0; });
        if (!ready()) {  // a daemon still running dies with this process
            errno = 0;
            fail("rsyslogd made no /dev/log");
        }
        sync();
    }
    ~SyslogDaemon() {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0) {
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    SyslogDaemon(const SyslogDaemon&) = delete;
    SyslogDaemon& operator=(const SyslogDaemon&) = delete;

    // Waits until everything this process sent to /dev/log before the call has been written
    // out: a marker sent through the process's own syslog connection, the last message, is
    // at the end of the file. Ends the program after a minute without it.
    void sync() {
        const std::string marker = "vfw-bench-marker " + std::to_string(++m_markers);
        ::syslog(LOG_USER | LOG_NOTICE, "%s", marker.c_str());
        errno = 0;
        if (!waitFor([&] { return tail().find(": " + marker + "\n") != std::string::npos; })) {
            fail("rsyslogd wrote no marker");
        }
    }

    // The file of received lines, "<priority> <tag>: <text>" each.
    const std::string& receivedPath() const { return m_received; }

  private:
    // With the system's error text when a system call failed.
    [[noreturn]] static void fail(const std::string& what) {
        std::fprintf(stderr, "syslog daemon: %s%s%s\n", what.c_str(), errno != 0 ? ": " : "",
                     errno != 0 ? std::strerror(errno) : "");
        std::exit(1);
    }

    // Makes this process's mount namespace private and mounts the fresh /dev over the old one.
    // The new /dev is put together on a scratch directory of /tmp first and moved in place.
    static void privateDev() {
        char scratch[] = "/tmp/vfw-bench-dev-XXXXXX";
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            fail("private mount namespace");
        }
        if (::mkdtemp(scratch) == nullptr) {
            fail("mkdtemp");
        }
        const std::string dev = scratch;
        bool built = ::mount("tmpfs", scratch, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755") == 0;
        for (const char* name : {"null", "zero", "full", "random", "urandom"}) {
            const std::string source = std::string("/dev/") + name, target = dev + "/" + name;
            int fd = built ? ::open(target.c_str(), O_CREAT | O_WRONLY, 0666) : -1;
            built = fd >= 0 && ::close(fd) == 0 &&
                    ::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
        }
        built = built && ::symlink("/proc/self/fd", (dev + "/fd").c_str()) == 0 &&
                ::symlink("fd/0", (dev + "/stdin").c_str()) == 0 &&
                ::symlink("fd/1", (dev + "/stdout").c_str()) == 0 &&
                ::symlink("fd/2", (dev + "/stderr").c_str()) == 0 &&
                ::mkdir((dev + "/shm").c_str(), 01777) == 0 &&
                ::mount("tmpfs", (dev + "/shm").c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                        "mode=1777") == 0 &&
                ::mount(scratch, "/dev", nullptr, MS_MOVE, nullptr) == 0;
        if (!built) {
            ::umount2(scratch, MNT_DETACH);
        }
        ::rmdir(scratch);
        if (!built) {
            fail("private /dev");
        }
    }

    template <class Done>
    static bool waitFor(Done done) {  // polls every 20 ms, for a minute at most
        for (int polls = 0; !done() && polls < 3000; ++polls) {
            ::usleep(20000);
        }
        return done();
    }

    // The last 4 KiB of the received lines.
    std::string tail() const {
        std::ifstream in(m_received);
        in.seekg(0, std::ios::end);
        std::streamoff size = in.tellg();
        in.seekg(size > 4096 ? size - 4096 : 0);
        std::ostringstream last;
        last << in.rdbuf();
        return last.str();
    }

    std::string m_received;
    pid_t m_pid = -1;
    int m_markers = 0;
};

}  // namespace bench

#endif
