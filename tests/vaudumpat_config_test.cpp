// The real vaudumpat binary reading its configuration. Every run happens as root in a
// private mount namespace (unshare --mount) in which temporary directories are bound over
// /var/vantrelaud and /etc/vantrelaud, so the real ones are never read or written. Tests
// that read the command's records run a private rsyslogd (support/syslog_daemon.h) in a
// process of their own; the others cover the machine's /dev/log in the namespace.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbqc_test::writeMember;
using vfw_test::readFile;
using vfw_test::writeFile;

const char FAILED[] = "The auditing service failed to dump the following audit trails: \"";
const char NOT_CLEAN[] = "DBQSingle is not shut cleanly.";

std::string dumper() {
    const char* dir = std::getenv("VFW_BINARY_DIR");
    if (dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/tools/vaudumpat/vaudumpat";
    }
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tests = length > 0 ? std::string(self, size_t(length)) : "";
    return tests.substr(0, tests.rfind("/tests/")) + "/tools/vaudumpat/vaudumpat";
}

// The records of one logger (the queue's own records of the broken member are left out).
std::vector<vfw_test::SyslogMessage> recordsOf(const std::vector<vfw_test::SyslogMessage>& all,
                                               const std::string& logger) {
    std::vector<vfw_test::SyslogMessage> selected;
    for (const vfw_test::SyslogMessage& message : all) {
        if (message.text.size() > 6 &&
            message.text.compare(6, logger.size() + 1, logger + " ") == 0) {
            selected.push_back(message);
        }
    }
    return selected;
}

std::string failure(const std::string& message) {
    return FAILED + message + "\".\n";
}

struct Result {
    std::string out;
    std::string err;
    int status = -1;  // exit status; 128 + signal when killed
};

// Binds the directories, covers the machine's /dev/log unless the test runs its own daemon,
// then runs the command in place of the shell.
const char NAMESPACE_SCRIPT[] =
    "set -e\n"
    "mount --bind \"$1\" /var/vantrelaud\n"
    "mount --bind \"$2\" /etc/vantrelaud\n"
    "if [ \"$3\" = cover ] && [ -e /dev/log ]; then mount --bind /dev/null /dev/log; fi\n"
    "exec \"$4\"\n";

class VaudumpatConfigTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The mount points; an empty directory is all that is ever made on the real paths.
        ::mkdir("/var/vantrelaud", 0755);
        ::mkdir("/etc/vantrelaud", 0755);
    }

    void SetUp() override {
        ASSERT_EQ(::mkdir(m_var.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(m_etc.c_str(), 0755), 0);
    }

    void configure(const std::string& text) { writeFile(m_etc + "/vantrelaud.conf", text); }

    // A spool directory under the bound /var/vantrelaud, and a member path in it.
    std::string spool(const std::string& name) {
        std::string path = m_var + "/" + name;
        ::mkdir(path.c_str(), 0700);
        return path;
    }

    // A member that was not shut down cleanly, so that the dump fails on it.
    void writeBrokenMember(const std::string& path) {
        writeMember(path, {"interrupted"});
        std::string file = readFile(path);
        file[21] = 2;  // a removal in progress
        writeFile(path, file);
    }

    Result run(bool ownSyslog = false) {
        std::vector<std::string> command = {"unshare",
                                            "--mount",
                                            "--propagation",
                                            "private",
                                            "sh",
                                            "-c",
                                            NAMESPACE_SCRIPT,
                                            "sh",
                                            m_var,
                                            m_etc,
                                            ownSyslog ? "keep" : "cover",
                                            dumper()};
        std::string outPath = m_dir.file("stdout");
        std::string errPath = m_dir.file("stderr");
        pid_t child = ::fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& word : command) {
                argv.push_back(&word[0]);
            }
            argv.push_back(nullptr);
            if (!std::freopen(outPath.c_str(), "w", stdout) ||
                !std::freopen(errPath.c_str(), "w", stderr)) {
                ::_exit(126);
            }
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        m_lastPid = child;
        int status = 0;
        for (int waited = 0; ::waitpid(child, &status, WNOHANG) != child; waited += 10) {
            if (waited > 120000) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                ADD_FAILURE() << "vaudumpat did not finish within 120 s";
                break;
            }
            ::usleep(10000);
        }
        Result result;
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        return result;
    }

    std::string tag() const { return "vaudumpat[" + std::to_string(m_lastPid) + "]"; }

    // What DBQSingle::dump prints for one file on its own.
    static std::string singleDump(const std::string& path) {
        dbqc_test::CoutCapture capture;
        vfw::DBQSingle queue(path, 0, 512, 0600, 0);
        queue.dump(true);
        return capture.text();
    }

    vfw_test::TempDir m_dir;
    std::string m_var = m_dir.file("var");
    std::string m_etc = m_dir.file("etc");
    pid_t m_lastPid = -1;
};

TEST_F(VaudumpatConfigTest, TheSpoolIsTheConfiguredNameWhateverTheCaseOfTheKey) {
    writeMember(spool("spool-atdbqc") + "/0", {"in the default spool"});
    std::string other = spool("other");
    writeMember(other + "/3", {"in the other spool"});
    configure("# the spool\nVAUD.AT.SPOOL: other\n");
    Result r = run();
    EXPECT_EQ(r.out, singleDump(other + "/3"));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // The path the command opens is the spool root, a slash and the name.
    writeMember(other + "/12abc", {"under another name"});
    r = run();
    EXPECT_EQ(r.out, singleDump(other + "/3"));
    EXPECT_EQ(r.err, failure("Queue file /var/vantrelaud/other/12 cannot be opened: No such file "
                             "or directory"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(VaudumpatConfigTest, AnEmptyOrMissingNameMeansTheDefaultSpool) {
    std::string member = spool("spool-atdbqc") + "/0";
    writeMember(member, {"in the default spool"});
    writeMember(m_var + "/1", {"beside the spools"});
    for (const char* text : {"vaud.at.spool:\n", "other.key: x\n", ""}) {
        configure(text);
        Result r = run();
        EXPECT_EQ(r.out, singleDump(member)) << text;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    ASSERT_EQ(::unlink((m_etc + "/vantrelaud.conf").c_str()), 0);
    Result r = run();
    EXPECT_EQ(r.out, singleDump(member)) << "without a configuration file";
    EXPECT_EQ(r.status, 0);
}

TEST_F(VaudumpatConfigTest, AMissingConfigurationIsReportedBeforeTheFailure) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    writeBrokenMember(spool("spool-atdbqc") + "/0");
    Result r = run(true);
    EXPECT_EQ(r.err, failure(NOT_CLEAN));
    EXPECT_EQ(r.status, 2);
    std::vector<vfw_test::SyslogMessage> all = daemon.sync();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0].text.compare(0, 22, "INFO  util.properties "), 0) << "the load comes first";
    std::vector<vfw_test::SyslogMessage> messages = recordsOf(all, "util.properties");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 6 | 32);
    EXPECT_EQ(messages[0].tag, tag());
    EXPECT_EQ(messages[0].text,
              "INFO  util.properties Error in parsing /etc/vantrelaud/vantrelaud.conf because "
              "file does not exist.");
    messages = recordsOf(all, "vau.cli.vaudumpat");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 3 | 32);
    EXPECT_EQ(messages[0].text,
              std::string("ERROR vau.cli.vaudumpat Failed to dump audit trails: ") + NOT_CLEAN);
}

TEST_F(VaudumpatConfigTest, ADisabledLoggerSendsNothingToSyslog) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    writeBrokenMember(spool("spool-atdbqc") + "/0");
    configure("log.vau.cli: INFO\n");
    Result r = run(true);
    EXPECT_EQ(r.status, 2);
    ASSERT_EQ(recordsOf(daemon.sync(), "vau.cli.vaudumpat").size(), 1u)
        << "the same failure without the key is recorded";

    configure("log.vau.cli: INFO\nlog.vau.cli.vaudumpat: DISABLED\n");
    r = run(true);
    EXPECT_EQ(r.err, failure(NOT_CLEAN)) << "standard error still says it";
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(recordsOf(daemon.sync(), "vau.cli.vaudumpat").size(), 1u)
        << "nothing new reached the daemon";
}

TEST_F(VaudumpatConfigTest, ShowMoreAndFacilityShapeTheFailureRecord) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    writeBrokenMember(spool("spool-atdbqc") + "/0");
    configure("logger.showmore: 7\nlogger.facility.*: local3\n");
    Result r = run(true);
    EXPECT_EQ(r.err, failure(NOT_CLEAN));
    EXPECT_EQ(r.status, 2);
    std::vector<vfw_test::SyslogMessage> messages = recordsOf(daemon.sync(), "vau.cli.vaudumpat");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 3 | 152) << "ERROR with local3";
    EXPECT_EQ(messages[0].tag, tag());
    EXPECT_EQ(messages[0].text,
              std::string("ERROR vau.cli.vaudumpat \"vaudumpat:70:main2()\" Failed to dump audit "
                          "trails: ") +
                  NOT_CLEAN);
}

}  // namespace
