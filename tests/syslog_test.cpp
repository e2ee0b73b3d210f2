// Records sent to a real rsyslogd (support/syslog_daemon.h): identity, priorities and
// facilities, the destination's configuration, and the log file taking records away from
// syslog. The test runs in a process of its own, as the connection is opened once a process.
#include <errno.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/syslog_daemon.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace {

using vfw::getLogger;

TEST(Syslog, IdentityPrioritiesFacilitiesAndDestinations) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    std::string program = program_invocation_short_name;
    vfw::MapPropertySource properties;
    vfw::setPropertySource(&properties);
    // "No" leaves the connection to the system library, whose identity has no pid.
    properties.set("logger.openlog." + program, "No");
    VFW_LOG(getLogger("noopen"), vfw::LEVEL_WARN, "plain identity");
    // Opened at the next forced configuration, which tells a root process that names another
    // destination than syslog; the records stay on syslog.
    properties.erase("logger.openlog." + program);
    properties.set("logger.destination", "file");
    vfw::configureDestination(true);
    vfw::configureDestination(false);
    vfw::Logger logger = getLogger("vau.cli.vaudumpat");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level = vfw::LEVEL_TRACE; level <= vfw::LEVEL_DISABLED; ++level) {
        VFW_LOG(logger, level, "dump of %s: %d files", "/var/vantrelaud/spool", level);
    }
    VFW_LOG(logger, vfw::LEVEL_WARN, "%s", std::string(5000, 'x').c_str());
    properties.erase("logger.destination");
    properties.set("logger.facility.*", "local3");
    properties.set("logger.facility.sys.own", "daemon");
    vfw::ReconfigureLevels(properties);
    VFW_LOG(getLogger("sys.inherits"), vfw::LEVEL_WARN, "inherited");
    VFW_LOG(getLogger("sys.own"), vfw::LEVEL_ERROR, "its own");
    // An open log file takes the records until it is closed; one that fails to open does not.
    vfw_test::TempDir dir;
    properties.set("logger.file.flush.frequency", "1");
    ASSERT_EQ(vfw::getFileLogging().open(dir.file("log")), 0);
    VFW_LOG(logger, vfw::LEVEL_INFO, "in the file");
    vfw::getFileLogging().close();
    EXPECT_EQ(vfw::getFileLogging().open(dir.file("missing/log")), ENOENT);
    VFW_LOG(logger, vfw::LEVEL_FATAL, "back in syslog");
    EXPECT_NE(vfw_test::readFile(dir.file("log")).find("]: INFO  vau.cli.vaudumpat in the file\n"),
              std::string::npos);
    // User 65534 may write a root's log file of mode 0646 but not make it 0666: the file stays
    // closed and untouched, and a non-root process is not told about the destination.
    std::string path = dir.file("root.log"), output;
    vfw_test::writeFile(path, "");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755) + chmod(path.c_str(), 0646), 0);
    vfw_test::runCommand(
        "VFW_TEST_NOBODY_LOG=" + path + " setpriv --reuid=65534 --regid=65534 --clear-groups '" +
            vfw_test::selfPath() +
            "' --gtest_also_run_disabled_tests --gtest_filter=Syslog.DISABLED_AsNobody",
        output);
    EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
    struct stat status;
    EXPECT_TRUE(stat(path.c_str(), &status) == 0 && (status.st_mode & 07777) == 0646);
    EXPECT_EQ(vfw_test::readFile(path), "");

    // "priority tag: text", where the tag is "own" for this process's identity with its pid.
    std::string received, own = program + "[" + std::to_string(getpid()) + "]";
    for (const vfw_test::SyslogMessage& message : daemon.sync()) {
        std::string tag = message.tag == own ? "own" : message.tag == program ? "plain" : "other";
        received += std::to_string(message.priority) + " " + tag + ": " + message.text + "\n";
    }
    std::string dump = "vau.cli.vaudumpat dump of /var/vantrelaud/spool: ";
    EXPECT_EQ(received,
              "36 plain: WARN  noopen plain identity\n"
              "35 own: Could not open file: " +
                  std::string(strerror(0)) + "\n" + "39 own: TRACE " + dump +
                  "0 files\n39 own: DEBUG " + dump + "1 files\n39 own: DIAG  " + dump +
                  "2 files\n38 own: INFO  " + dump + "3 files\n36 own: WARN  " + dump +
                  "4 files\n35 own: ERROR " + dump + "5 files\n32 own: FATAL " + dump +
                  "6 files\n32 own: DISAB " + dump + "7 files\n36 own: " +
                  ("WARN  vau.cli.vaudumpat " + std::string(1023, 'x')).substr(0, 1023) +
                  "\n156 own: WARN  sys.inherits inherited\n27 own: ERROR sys.own its own\n"
                  "152 own: FATAL vau.cli.vaudumpat back in syslog\n"
                  "35 other: ERROR nobody open gave " +
                  std::to_string(EPERM) + "\n");
    vfw::setPropertySource(nullptr);
}

// Run by the test above as user 65534, in its namespace.
TEST(Syslog, DISABLED_AsNobody) {
    const char* path = std::getenv("VFW_TEST_NOBODY_LOG");
    ASSERT_NE(path, nullptr);
    vfw::MapPropertySource properties;
    properties.set("logger.destination", "file");
    vfw::setPropertySource(&properties);
    int result = vfw::getFileLogging().open(path);
    EXPECT_FALSE(vfw::getFileLogging().isOpen() || vfw::getFileLogging().write("x"));
    VFW_LOG(getLogger("nobody"), vfw::LEVEL_ERROR, "open gave %d", result);
    vfw::setPropertySource(nullptr);
}

}  // namespace
