// The process-wide property object on the real configuration path. Each test runs in a
// process of its own (the object lives until the process ends) inside a private mount
// namespace with a private /dev and a real rsyslogd (support/syslog_daemon.h); a temporary
// directory is bound over /etc/vantrelaud there, so the real one is never read.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/log.h"
#include "vfw/properties.h"

namespace {

using vfw::CProperties2;
using vfw_test::readFile;
using vfw_test::writeFile;

const char CONF[] = "/etc/vantrelaud/vantrelaud.conf";

// Binds `dir` over /etc/vantrelaud in this process's private namespace.
void bindConfigurationDirectory(const vfw_test::TempDir& dir) {
    ::mkdir("/etc/vantrelaud", 0755);  // the mount point; nothing else is made there
    ASSERT_EQ(::mount(dir.path().c_str(), "/etc/vantrelaud", nullptr, MS_BIND, nullptr), 0)
        << errno;
}

std::string tag() {
    return std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + "]";
}

// The private /dev of the namespace has no terminal device until the test makes one: a
// plain file in its place.
TEST(PropertiesSingleton, LoadsTheRealPathOnFirstUseServesLoggingAndDumpsToTheTerminal) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    vfw_test::TempDir etc;
    bindConfigurationDirectory(etc);
    writeFile(CONF,
              "VAUD.AT.SPOOL: spool-x\nlog.util.properties: DEBUG\nlogger.facility.*: local3\n");
    EXPECT_EQ(vfw::getProperty("vaud.at.spool", "none"), "none") << "nothing installed yet";

    CProperties2* props = CProperties2::instance();
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(CProperties2::instance(), props);
    EXPECT_TRUE(props->isLoaded());
    EXPECT_EQ((*props)("vaud.at.spool"), "spool-x");
    EXPECT_EQ(vfw::getProperty("Vaud.At.Spool", "none"), "spool-x")
        << "the object is the property source of logging and the runtime";
    EXPECT_EQ(vfw::getLogger("util.properties")->getLevel(), vfw::LEVEL_DEBUG)
        << "the load had logging read its settings";
    VFW_LOG(vfw::getLogger("singleton.test"), vfw::LEVEL_WARN, "after the load");
    std::vector<vfw_test::SyslogMessage> messages = daemon.sync();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 152 | 4) << "local3, warning";
    EXPECT_EQ(messages[0].tag, tag());
    EXPECT_EQ(messages[0].text, "WARN  singleton.test after the load");

    writeFile(CONF, "b: 2\nA: one  two\n");
    EXPECT_EQ(CProperties2::instance(), props);
    EXPECT_EQ((*props)("vaud.at.spool"), "spool-x") << "loaded once, not at every use";
    EXPECT_EQ(CProperties2::instance(false, true), props);
    EXPECT_EQ((*props)("vaud.at.spool"), "");
    EXPECT_EQ(vfw::getLogger("util.properties")->getLevel(), vfw::LEVEL_INFO);

    EXPECT_FALSE(vfw::dumpProperties());
    EXPECT_NE(::access("/dev/tty", F_OK), 0) << "nothing is made where the terminal is missing";
    writeFile("/dev/tty", "");
    EXPECT_TRUE(vfw::dumpProperties());
    std::string facts;
    for (const char* fact : {"DOMAIN", "JOINNAME", "SITE", "ZONE"}) {
        facts += std::string(fact) + "=" + (*props)(fact) + "\n";
    }
    EXPECT_EQ(readFile("/dev/tty"), "#Properties dump\nA=one two\nb=2\n" + facts);
    EXPECT_EQ(daemon.sync().size(), 1u) << "nothing logged since the warning";
}

TEST(PropertiesSingleton, AMissingFileIsReportedAndEveryKeyKeepsItsDefault) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    vfw_test::TempDir etc;
    bindConfigurationDirectory(etc);
    CProperties2* props = CProperties2::instance();
    EXPECT_FALSE(props->isLoaded());
    EXPECT_EQ(vfw::getProperty("vaud.at.spool", "spool-atdbqc"), "spool-atdbqc");
    EXPECT_EQ(props->getTime("any.time", 3, 'm'), 180);
    std::vector<vfw_test::SyslogMessage> messages = daemon.sync();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 32 | 6) << "auth, info";
    EXPECT_EQ(messages[0].tag, tag());
    EXPECT_EQ(messages[0].text,
              "INFO  util.properties Error in parsing /etc/vantrelaud/vantrelaud.conf because "
              "file does not exist.");
}

}  // namespace
