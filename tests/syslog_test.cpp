// Records sent to a real rsyslogd. Each test runs in a process of its own (the syslog
// connection is opened once per process) inside a private mount namespace whose /dev/log
// belongs to the daemon that the test starts.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace {

using vfw::getLogger;
using vfw::Logger;
using vfw_test::SyslogMessage;

// What a message of this process looks like: identity "PROGRAM[pid]".
std::string ownTag() {
    return std::string(program_invocation_short_name) + "[" + std::to_string(getpid()) + "]";
}

std::string describe(const std::vector<SyslogMessage>& messages) {
    std::string text;
    for (const SyslogMessage& message : messages) {
        text += std::to_string(message.priority) + " " + message.tag + ": " + message.text + "\n";
    }
    return text;
}

// Runs `body` in a child process that has given up root, and returns its exit status.
template <class Body>
int runAsNobody(Body body) {
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(100);
        }
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

class SyslogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_child = vfw_test::isRerunChild();
        if (!m_child) {
            return;
        }
        vfw::setPropertySource(&m_properties);
        m_daemon.reset(new vfw_test::SyslogDaemon());
    }
    void TearDown() override {
        if (m_child) {
            vfw::setPropertySource(nullptr);
        }
    }
    // True when the test body runs here; otherwise the test was run in its own process.
    bool inOwnProcess() {
        if (!m_child) {
            vfw_test::rerunCurrentTest();
        }
        return m_child;
    }

    bool m_child = false;
    vfw::MapPropertySource m_properties;
    std::unique_ptr<vfw_test::SyslogDaemon> m_daemon;
};

TEST_F(SyslogTest, RecordArrivesWithIdentityPriorityAndExactLine) {
    if (!inOwnProcess()) {
        return;
    }
    Logger logger = getLogger("vau.cli.vaudumpat");
    VFW_LOG(logger, vfw::LEVEL_INFO, "dump of %s: %d files", "/var/vantrelaud/spool", 3);
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].priority, 6 | 32);
    EXPECT_EQ(messages[0].tag, ownTag());
    EXPECT_EQ(messages[0].text, "INFO  vau.cli.vaudumpat dump of /var/vantrelaud/spool: 3 files");
}

TEST_F(SyslogTest, EveryLevelUsesItsPriorityWithTheFacility) {
    if (!inOwnProcess()) {
        return;
    }
    Logger logger = getLogger("levels");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level = vfw::LEVEL_TRACE; level <= vfw::LEVEL_DISABLED; ++level) {
        VFW_LOG(logger, level, "level %d", level);
    }
    Logger local3 = getLogger("levels.local3");
    local3->setFacility(vfw::facilityFromName("local3"));
    VFW_LOG(local3, vfw::LEVEL_WARN, "warn");
    VFW_LOG(local3, vfw::LEVEL_FATAL, "fatal");

    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 10u) << describe(messages);
    const int priorities[] = {7, 7, 7, 6, 4, 3, 0, 0};
    const char* tags[] = {"TRACE", "DEBUG", "DIAG ", "INFO ", "WARN ", "ERROR", "FATAL", "DISAB"};
    for (int level = 0; level < 8; ++level) {
        EXPECT_EQ(messages[level].priority, priorities[level] | 32) << level;
        EXPECT_EQ(messages[level].text,
                  std::string(tags[level]) + " levels level " + std::to_string(level));
        EXPECT_EQ(messages[level].tag, ownTag());
    }
    EXPECT_EQ(messages[8].priority, 4 | 152);
    EXPECT_EQ(messages[8].text, "WARN  levels.local3 warn");
    EXPECT_EQ(messages[9].priority, 0 | 152);
    EXPECT_EQ(messages[9].text, "FATAL levels.local3 fatal");
}

TEST_F(SyslogTest, LongRecordArrivesCutAt1023Characters) {
    if (!inOwnProcess()) {
        return;
    }
    VFW_LOG(getLogger("long"), vfw::LEVEL_WARN, "%s", std::string(5000, 'x').c_str());
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    std::string header = "WARN  long ";
    EXPECT_EQ(messages[0].text, header + std::string(1023 - header.size(), 'x'));
}

TEST_F(SyslogTest, ExceptionRecordWithLocation) {
    if (!inOwnProcess()) {
        return;
    }
    Logger except = getLogger("util.except");
    except->setLevel(vfw::LEVEL_DEBUG);
    except->setShowMore(7);
    int line = 0;
    try {
        line = __LINE__ + 1;
        VFW_THROW(vfw::NotFoundException, 2, "Cannot open directory %s", "/nowhere");
    } catch (const VFWException&) {
    }
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].priority, 7 | 32);
    EXPECT_EQ(messages[0].text,
              "DEBUG util.except \"error_util:Base_Exception()\" vfw::NotFoundException Cannot "
              "open directory /nowhere (reference " +
                  std::string(__FILE__) + ":" + std::to_string(line) + " rc: 2)");
}

TEST_F(SyslogTest, RootNamingAnotherDestinationIsToldSoAndStaysOnSyslog) {
    if (!inOwnProcess()) {
        return;
    }
    m_properties.set("logger.destination", "file");
    VFW_LOG(getLogger("dest"), vfw::LEVEL_ERROR, "first");
    VFW_LOG(getLogger("dest"), vfw::LEVEL_ERROR, "second");
    vfw::configureDestination(true);
    vfw::configureDestination(false);

    // syslog() expands %m itself, with the errno set just before: 0.
    std::string complaint = std::string("Could not open file: ") + strerror(0);
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 4u) << describe(messages);
    EXPECT_EQ(messages[0].text, complaint);
    EXPECT_EQ(messages[0].priority, 3 | 32);
    EXPECT_EQ(messages[0].tag, ownTag());
    EXPECT_EQ(messages[1].text, "ERROR dest first");
    EXPECT_EQ(messages[2].text, "ERROR dest second");
    EXPECT_EQ(messages[3].text, complaint);
}

TEST_F(SyslogTest, NonRootNamingAnotherDestinationIsNotTold) {
    if (!inOwnProcess()) {
        return;
    }
    m_properties.set("logger.destination", "file");
    Logger logger = getLogger("dest.nobody");
    int status = runAsNobody([&] {
        VFW_LOG(logger, vfw::LEVEL_ERROR, "from nobody");
        return 0;
    });
    EXPECT_EQ(status, 0);
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].text, "ERROR dest.nobody from nobody");
}

TEST_F(SyslogTest, OpenlogNoLeavesTheConnectionToTheSystemLibrary) {
    if (!inOwnProcess()) {
        return;
    }
    m_properties.set(std::string("logger.openlog.") + program_invocation_short_name, "No");
    VFW_LOG(getLogger("noopen"), vfw::LEVEL_WARN, "plain identity");
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    // No LOG_PID: the system library's default identity is the bare program name.
    EXPECT_EQ(messages[0].tag, program_invocation_short_name);
    EXPECT_EQ(messages[0].priority, 4 | 32);
    EXPECT_EQ(messages[0].text, "WARN  noopen plain identity");
}

TEST_F(SyslogTest, OpenLogFileTakesRecordsAwayFromSyslogUntilClosed) {
    if (!inOwnProcess()) {
        return;
    }
    vfw_test::TempDir dir;
    m_properties.set("logger.file.flush.frequency", "1");
    Logger logger = getLogger("tofile");
    ASSERT_EQ(vfw::getFileLogging().open(dir.file("log")), 0);
    VFW_LOG(logger, vfw::LEVEL_INFO, "in the file");
    vfw::getFileLogging().close();
    VFW_LOG(logger, vfw::LEVEL_INFO, "back in syslog");

    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].text, "INFO  tofile back in syslog");
    std::string file = vfw_test::readFile(dir.file("log"));
    EXPECT_NE(file.find("]: INFO  tofile in the file\n"), std::string::npos) << file;
}

TEST_F(SyslogTest, FailingFopenLeavesRecordsOnSyslog) {
    if (!inOwnProcess()) {
        return;
    }
    vfw_test::TempDir dir;
    EXPECT_EQ(vfw::getFileLogging().open(dir.file("missing/log")), ENOENT);
    VFW_LOG(getLogger("nofile"), vfw::LEVEL_INFO, "still delivered");
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].text, "INFO  nofile still delivered");
}

TEST_F(SyslogTest, FailingChmodLeavesRecordsOnSyslog) {
    if (!inOwnProcess()) {
        return;
    }
    // A root-owned file that anybody may write: nobody opens it, but may not chmod it.
    vfw_test::TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::string path = dir.file("log");
    vfw_test::writeFile(path, "");
    ASSERT_EQ(chmod(path.c_str(), 0646), 0);
    Logger logger = getLogger("nochmod");
    int status = runAsNobody([&] {
        int result = vfw::getFileLogging().open(path);
        VFW_LOG(logger, vfw::LEVEL_INFO, "chmod failed with %d", result);
        return vfw::getFileLogging().isOpen() ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    std::vector<SyslogMessage> messages = m_daemon->sync();
    ASSERT_EQ(messages.size(), 1u) << describe(messages);
    EXPECT_EQ(messages[0].text, "INFO  nochmod chmod failed with " + std::to_string(EPERM));
    EXPECT_EQ(vfw_test::readFile(path), "");
    struct stat fileStatus;
    ASSERT_EQ(stat(path.c_str(), &fileStatus), 0);
    EXPECT_EQ(fileStatus.st_mode & 0777, 0646u);
}

}  // namespace
