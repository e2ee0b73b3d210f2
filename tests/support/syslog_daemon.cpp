#include "support/syslog_daemon.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vfw_test {

namespace {

const char kRerunVariable[] = "VFW_TEST_RERUN_CHILD";
const char kMarkerTag[] = "vfwtestmarker";
const int kPollMs = 20;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void sleepMs(int ms) {
    ::usleep(static_cast<useconds_t>(ms) * 1000);
}

std::string selfPath() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length < 0) {
        fail("readlink /proc/self/exe");
    }
    return std::string(path, static_cast<size_t>(length));
}

// Moves this process into a mount namespace of its own whose mounts propagate nowhere.
void enterPrivateMountNamespace() {
    if (::unshare(CLONE_NEWNS) != 0) {
        fail("unshare(CLONE_NEWNS)");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("making / private");
    }
}

// Builds a small /dev on a tmpfs at `staging` and moves it over /dev. Only device files are
// bound (never directories), so nothing of the real /dev is reachable through `staging`.
void mountPrivateDev(const std::string& staging) {
    if (::mkdir(staging.c_str(), 0755) != 0) {
        fail("mkdir " + staging);
    }
    if (::mount("tmpfs", staging.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=755") != 0) {
        fail("mounting a tmpfs on " + staging);
    }
    for (const char* device : {"null", "zero", "full", "random", "urandom"}) {
        std::string source = std::string("/dev/") + device;
        std::string target = staging + "/" + device;
        if (::access(source.c_str(), F_OK) != 0) {
            continue;
        }
        int fd = ::open(target.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd < 0) {
            fail("creating " + target);
        }
        ::close(fd);
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            ::umount2(staging.c_str(), MNT_DETACH);
            fail("binding " + source);
        }
    }
    const char* const links[][2] = {{"fd", "/proc/self/fd"},
                                    {"stdin", "/proc/self/fd/0"},
                                    {"stdout", "/proc/self/fd/1"},
                                    {"stderr", "/proc/self/fd/2"}};
    for (const auto& link : links) {
        if (::symlink(link[1], (staging + "/" + link[0]).c_str()) != 0) {
            ::umount2(staging.c_str(), MNT_DETACH);
            fail(std::string("symlink ") + link[0]);
        }
    }
    if (::mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) != 0) {
        ::umount2(staging.c_str(), MNT_DETACH);
        fail("moving the private /dev into place");
    }
}

bool isSocket(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISSOCK(status.st_mode);
}

// Sends one message straight to /dev/log, independent of the process's openlog state.
void sendRaw(const std::string& message) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("socket");
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    ssize_t sent = ::sendto(fd, message.data(), message.size(), 0,
                            reinterpret_cast<const sockaddr*>(&address), sizeof address);
    int error = errno;
    ::close(fd);
    if (sent < 0) {
        errno = error;
        fail("sending to /dev/log");
    }
}

}  // namespace

bool isRerunChild() {
    const char* value = std::getenv(kRerunVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void rerunCurrentTest() {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    ASSERT_NE(test, nullptr);
    std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::string self = selfPath();

    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::setenv(kRerunVariable, "1", 1);
        ::execl(self.c_str(), self.c_str(), filter.c_str(), "--gtest_color=no",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(output[0], buffer, sizeof buffer)) != 0) {
        if (got > 0) {
            text.append(buffer, static_cast<size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    ::close(output[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    bool passed = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                  text.find("[  PASSED  ] 1 test.") != std::string::npos;
    EXPECT_TRUE(passed) << "the test in its own process did not pass (status " << status << "):\n"
                        << text;
}

SyslogDaemon::SyslogDaemon() {
    enterPrivateMountNamespace();
    mountPrivateDev(m_dir.file("dev"));
    startDaemon();
    sync();
}

SyslogDaemon::~SyslogDaemon() {
    stopDaemon();
}

void SyslogDaemon::startDaemon() {
    std::string config = m_dir.file("rsyslog.conf");
    // Only the test's messages: no kernel log, no rate limit, one line per message.
    writeFile(config, "global(workDirectory=\"" + m_dir.path() +
                          "\")\n"
                          "module(load=\"imuxsock\" SysSock.Name=\"/dev/log\" "
                          "SysSock.RateLimit.Interval=\"0\")\n"
                          "template(name=\"vfwtest\" type=\"string\" "
                          "string=\"%PRI% %syslogtag%%msg:::drop-last-lf%\\n\")\n"
                          "*.* action(type=\"omfile\" file=\"" +
                          m_dir.file("received") + "\" template=\"vfwtest\")\n");
    std::string daemonOutput = m_dir.file("rsyslogd.out");
    pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) {
        fail("fork");
    }
    if (m_pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(1);
        }
        int fd = ::open(daemonOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
        }
        const char* daemon =
            ::access("/usr/sbin/rsyslogd", X_OK) == 0 ? "/usr/sbin/rsyslogd" : "rsyslogd";
        ::execlp(daemon, "rsyslogd", "-n", "-iNONE", "-f", config.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int waited = 0; !isSocket("/dev/log"); waited += kPollMs) {
        int status;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("rsyslogd ended early:\n" + readFile(daemonOutput));
        }
        if (waited >= 10000) {
            stopDaemon();
            throw std::runtime_error("rsyslogd made no /dev/log:\n" + readFile(daemonOutput));
        }
        sleepMs(kPollMs);
    }
}

void SyslogDaemon::stopDaemon() {
    if (m_pid <= 0) {
        return;
    }
    ::kill(m_pid, SIGTERM);
    int status;
    for (int waited = 0; ::waitpid(m_pid, &status, WNOHANG) != m_pid; waited += kPollMs) {
        if (waited >= 5000) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        sleepMs(kPollMs);
    }
    m_pid = -1;
}

bool SyslogDaemon::waitForText(const std::string& text, int timeoutMs) const {
    for (int waited = 0;; waited += kPollMs) {
        if (readFile(m_dir.file("received")).find(text) != std::string::npos) {
            return true;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        sleepMs(kPollMs);
    }
}

std::vector<SyslogMessage> SyslogDaemon::sync() {
    std::string marker = "marker " + std::to_string(++m_markers);
    sendRaw(std::string("<13>") + kMarkerTag + ": " + marker);
    if (!waitForText(std::string(kMarkerTag) + ": " + marker + "\n", 10000)) {
        ADD_FAILURE() << "rsyslogd did not write the marker within 10 s; received:\n"
                      << readFile(m_dir.file("received")) << "daemon output:\n"
                      << readFile(m_dir.file("rsyslogd.out"));
    }
    return parse();
}

std::vector<SyslogMessage> SyslogDaemon::parse() const {
    std::vector<SyslogMessage> messages;
    std::istringstream lines(readFile(m_dir.file("received")));
    std::string line;
    while (std::getline(lines, line)) {
        SyslogMessage message;
        size_t space = line.find(' ');
        size_t colon = line.find(':', space == std::string::npos ? 0 : space);
        if (space == std::string::npos || colon == std::string::npos) {
            continue;
        }
        message.priority = std::atoi(line.substr(0, space).c_str());
        message.tag = line.substr(space + 1, colon - space - 1);
        message.text = line.substr(colon + 1);
        if (!message.text.empty() && message.text[0] == ' ') {
            message.text.erase(0, 1);
        }
        if (message.tag == kMarkerTag || message.tag.compare(0, 8, "rsyslogd") == 0) {
            continue;
        }
        messages.push_back(message);
    }
    return messages;
}

}  // namespace vfw_test
