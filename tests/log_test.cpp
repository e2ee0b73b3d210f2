// Loggers, levels and the record line. Records are read back from the process's log file,
// where each line is the record prefix, the record line and a line end.
#include "vfw/log.h"

#include <errno.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/property_source.h"

namespace {

using vfw::getLogger;
using vfw::Logger;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_properties.set("logger.file.flush.frequency", "1");
        m_previousSource = vfw::setPropertySource(&m_properties);
        ASSERT_EQ(vfw::getFileLogging().open(m_dir.file("log")), 0);
        m_root = getLogger("");
        ASSERT_TRUE(m_root);
    }

    void TearDown() override {
        vfw::getFileLogging().close();
        vfw::setPropertySource(m_previousSource);
        m_root->setLevel(vfw::LEVEL_INFO);
        m_root->setMemoryLevel(vfw::LEVEL_INFO);
        m_root->setFacility(32);
        m_root->setShowMore(0);
        vfw::setLogContext(nullptr);
    }

    // The record lines written since the previous call, each without its prefix.
    std::vector<std::string> records() {
        std::string text = vfw_test::readFile(m_dir.file("log"));
        std::vector<std::string> lines;
        size_t start = m_consumed;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            size_t prefixEnd = line.find("]: ");
            EXPECT_NE(prefixEnd, std::string::npos) << line;
            lines.push_back(prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 3));
        }
        m_consumed = start;
        return lines;
    }

    vfw_test::TempDir m_dir;
    vfw::MapPropertySource m_properties;
    vfw::PropertySource* m_previousSource = nullptr;
    Logger m_root;
    size_t m_consumed = 0;
};

using Records = std::vector<std::string>;

TEST(LogLevels, NamesLookUpCaseInsensitivelyAndEmptyMeansInfo) {
    EXPECT_EQ(vfw::levelFromName("trace"), 0);
    EXPECT_EQ(vfw::levelFromName("Debug"), 1);
    EXPECT_EQ(vfw::levelFromName("DIAG"), 2);
    EXPECT_EQ(vfw::levelFromName("info"), 3);
    EXPECT_EQ(vfw::levelFromName("wArN"), 4);
    EXPECT_EQ(vfw::levelFromName("error"), 5);
    EXPECT_EQ(vfw::levelFromName("fatal"), 6);
    EXPECT_EQ(vfw::levelFromName("disabled"), 7);
    EXPECT_EQ(vfw::levelFromName(""), 3);
    EXPECT_EQ(vfw::levelFromName("NONE"), -1);
    EXPECT_EQ(vfw::levelFromName("INFO "), -1);
    EXPECT_EQ(vfw::levelFromName("DISAB"), -1);
}

TEST(LogLevels, SyslogPrioritiesSendFatalAsEmergency) {
    const int expected[] = {7, 7, 7, 6, 4, 3, 0, 0};
    for (int level = 0; level < 8; ++level) {
        EXPECT_EQ(vfw::levelSyslogPriority(level), expected[level]) << level;
    }
    EXPECT_STREQ(vfw::levelName(7), "DISABLED");
    EXPECT_STREQ(vfw::levelName(8), "");
    EXPECT_STREQ(vfw::levelName(-1), "");
}

TEST(LogLevels, FacilityTableHasExactlyTheTwentyNames) {
    const std::pair<const char*, int> table[] = {
        {"auth", 32},    {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},
        {"kern", 0},     {"lpr", 48},      {"mail", 16},    {"news", 56},    {"syslog", 40},
        {"user", 8},     {"uucp", 64},     {"local0", 128}, {"local1", 136}, {"local2", 144},
        {"local3", 152}, {"local4", 160},  {"local5", 168}, {"local6", 176}, {"local7", 184},
    };
    for (const auto& row : table) {
        EXPECT_EQ(vfw::facilityFromName(row.first), row.second) << row.first;
    }
    EXPECT_EQ(vfw::facilityFromName("LOCAL3"), 152);
    EXPECT_EQ(vfw::facilityFromName("mark"), -1);
    EXPECT_EQ(vfw::facilityFromName("security"), -1);
    EXPECT_EQ(vfw::facilityFromName("local8"), -1);
    EXPECT_EQ(vfw::facilityFromName(""), -1);
}

TEST_F(LogTest, RegistryCreatesAncestorsAndReturnsTheSameLogger) {
    Logger logger = getLogger("reg.cli.vaudumpat");
    ASSERT_TRUE(logger);
    EXPECT_EQ(logger, getLogger("reg.cli.vaudumpat"));
    EXPECT_EQ(logger->getName(), "reg.cli.vaudumpat");
    ASSERT_TRUE(logger->getParent());
    EXPECT_EQ(logger->getParent(), getLogger("reg.cli"));
    EXPECT_EQ(logger->getParent()->getParent(), getLogger("reg"));
    EXPECT_EQ(getLogger("reg")->getParent(), m_root);
    EXPECT_FALSE(m_root->getParent());
    EXPECT_EQ(m_root->getName(), "");
}

TEST_F(LogTest, RootStartsWithInfoAuthAndNoLocation) {
    Logger fresh = getLogger("fresh.start");
    EXPECT_EQ(fresh->getLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(fresh->getMemoryLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(fresh->getFacility(), 32);
    EXPECT_EQ(fresh->getShowMore(), 0);
}

TEST_F(LogTest, DiagFormPrefixesTheNameAndDisplaysItWithout) {
    Logger diag = getLogger("dbqsim", true);
    EXPECT_EQ(diag->getName(), "diag.dbqsim");
    EXPECT_EQ(diag->getDisplayName(), "dbqsim");
    EXPECT_EQ(diag->getParent(), getLogger("diag"));
    EXPECT_EQ(getLogger("dbqsim", false)->getName(), "dbqsim");
    EXPECT_EQ(getLogger("diagnose.x")->getDisplayName(), "diagnose.x");

    VFW_LOG(diag, vfw::LEVEL_WARN, "shown as %s", "dbqsim");
    EXPECT_EQ(records(), Records{"WARN  dbqsim shown as dbqsim"});
}

TEST_F(LogTest, LevelIsInheritedAndCachedUntilReset) {
    Logger parent = getLogger("inherit.a");
    Logger child = getLogger("inherit.a.b");
    parent->setLevel(vfw::LEVEL_WARN);
    EXPECT_EQ(child->getLevel(), vfw::LEVEL_WARN);

    // The child keeps the value it found until its own field is reset.
    parent->setLevel(vfw::LEVEL_ERROR);
    EXPECT_EQ(child->getLevel(), vfw::LEVEL_WARN);
    EXPECT_EQ(parent->getLevel(), vfw::LEVEL_ERROR);
    child->setLevel(-1);
    EXPECT_EQ(child->getLevel(), vfw::LEVEL_ERROR);

    // A logger below an unset one reaches further up.
    Logger grandchild = getLogger("inherit.a.b.c");
    child->setLevel(-1);
    EXPECT_EQ(grandchild->getLevel(), vfw::LEVEL_ERROR);
}

TEST_F(LogTest, MemoryLevelIsInheritedAndCachedUntilReset) {
    Logger parent = getLogger("memory.a");
    Logger child = getLogger("memory.a.b");
    parent->setMemoryLevel(vfw::LEVEL_DEBUG);
    EXPECT_EQ(child->getMemoryLevel(), vfw::LEVEL_DEBUG);
    parent->setMemoryLevel(vfw::LEVEL_FATAL);
    EXPECT_EQ(child->getMemoryLevel(), vfw::LEVEL_DEBUG);
    child->setMemoryLevel(-1);
    EXPECT_EQ(child->getMemoryLevel(), vfw::LEVEL_FATAL);
    // The two thresholds are independent.
    EXPECT_EQ(child->getLevel(), vfw::LEVEL_INFO);
}

TEST_F(LogTest, FacilityAndShowMoreAreInheritedAfreshOnEveryCall) {
    Logger parent = getLogger("fresh.a");
    Logger child = getLogger("fresh.a.b");
    parent->setFacility(152);
    parent->setShowMore(3);
    EXPECT_EQ(child->getFacility(), 152);
    EXPECT_EQ(child->getShowMore(), 3);
    parent->setFacility(160);
    parent->setShowMore(4);
    EXPECT_EQ(child->getFacility(), 160);
    EXPECT_EQ(child->getShowMore(), 4);
    parent->setFacility(-1);
    parent->setShowMore(-1);
    m_root->setFacility(8);
    EXPECT_EQ(child->getFacility(), 8);
    EXPECT_EQ(child->getShowMore(), 0);
}

TEST_F(LogTest, EnabledWhenEitherLevelOrMemoryLevelIsReached) {
    Logger logger = getLogger("enabled.check");
    logger->setLevel(vfw::LEVEL_ERROR);
    logger->setMemoryLevel(vfw::LEVEL_DEBUG);
    EXPECT_FALSE(logger->isEnabled(vfw::LEVEL_TRACE));
    EXPECT_TRUE(logger->isEnabled(vfw::LEVEL_DEBUG));
    EXPECT_TRUE(logger->isEnabled(vfw::LEVEL_ERROR));
    logger->setMemoryLevel(vfw::LEVEL_DISABLED);
    EXPECT_FALSE(logger->isEnabled(vfw::LEVEL_WARN));
    EXPECT_TRUE(logger->isEnabled(vfw::LEVEL_FATAL));

    // Wanted only by the ring buffer, which keeps nothing yet: nothing reaches the destination.
    logger->setMemoryLevel(vfw::LEVEL_DEBUG);
    VFW_LOG(logger, vfw::LEVEL_DEBUG, "memory only");
    VFW_LOG(logger, vfw::LEVEL_ERROR, "both");
    EXPECT_EQ(records(), Records{"ERROR enabled.check both"});
}

TEST_F(LogTest, LevelTagIsFiveCharactersAndABlank) {
    Logger logger = getLogger("tags");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level = vfw::LEVEL_TRACE; level <= vfw::LEVEL_DISABLED; ++level) {
        VFW_LOG(logger, level, "m");
    }
    EXPECT_EQ(records(), (Records{"TRACE tags m", "DEBUG tags m", "DIAG  tags m", "INFO  tags m",
                                  "WARN  tags m", "ERROR tags m", "FATAL tags m", "DISAB tags m"}));
}

TEST_F(LogTest, BelowTheLevelNothingIsWritten) {
    Logger logger = getLogger("quiet");
    logger->setLevel(vfw::LEVEL_WARN);
    logger->setMemoryLevel(vfw::LEVEL_WARN);
    VFW_LOG(logger, vfw::LEVEL_INFO, "no");
    logger->WriteMessage(vfw::LEVEL_INFO, "f", 1, "g", "not even when called directly");
    VFW_LOG(logger, vfw::LEVEL_WARN, "yes");
    EXPECT_EQ(records(), Records{"WARN  quiet yes"});
}

TEST_F(LogTest, LevelsOutsideTheTableAreDropped) {
    Logger logger = getLogger("outside");
    logger->setLevel(vfw::LEVEL_TRACE);
    logger->WriteMessage(8, nullptr, 0, nullptr, "eight");
    logger->WriteMessage(-1, nullptr, 0, nullptr, "minus one");
    logger->WriteMessage(1000, 2, nullptr, 0, nullptr, "thousand");
    VFW_LOG(logger, vfw::LEVEL_INFO, "last");
    EXPECT_EQ(records(), Records{"INFO  outside last"});
}

TEST_F(LogTest, ContextTagIsPerThreadAndReturnsThePreviousOne) {
    Logger logger = getLogger("context");
    EXPECT_EQ(vfw::setLogContext("job-7"), "");
    VFW_LOG(logger, vfw::LEVEL_INFO, "tagged");
    std::thread other([&] {
        VFW_LOG(logger, vfw::LEVEL_INFO, "other thread");
        EXPECT_EQ(vfw::setLogContext("t2"), "");
        VFW_LOG(logger, vfw::LEVEL_INFO, "own tag");
        EXPECT_EQ(vfw::setLogContext(nullptr), "t2");
    });
    other.join();
    EXPECT_EQ(vfw::setLogContext("job-8"), "job-7");
    VFW_LOG(logger, vfw::LEVEL_INFO, "retagged");
    EXPECT_EQ(vfw::setLogContext(nullptr), "job-8");
    VFW_LOG(logger, vfw::LEVEL_INFO, "plain");
    EXPECT_EQ(vfw::setLogContext(nullptr), "");
    EXPECT_EQ(records(), (Records{"INFO  <job-7> context tagged", "INFO  context other thread",
                                  "INFO  <t2> context own tag", "INFO  <job-8> context retagged",
                                  "INFO  context plain"}));
}

TEST_F(LogTest, ClientLoggersPrintNoName) {
    for (const char* name :
         {"client", "client.audit", "client.audit.deep", "clients", "xclient", "other.client"}) {
        VFW_LOG(getLogger(name), vfw::LEVEL_INFO, "from %s", name);
    }
    VFW_LOG(getLogger("client", true), vfw::LEVEL_INFO, "diag client");
    EXPECT_EQ(records(), (Records{"INFO  from client", "INFO  from client.audit",
                                  "INFO  from client.audit.deep", "INFO  clients from clients",
                                  "INFO  xclient from xclient",
                                  "INFO  other.client from other.client", "INFO  diag client"}));
}

TEST_F(LogTest, LocationFlagsInEveryCombination) {
    Logger logger = getLogger("where");
    const char* expected[] = {
        "INFO  where m",
        "INFO  where \"dbq\" m",
        "INFO  where m",
        "INFO  where \"dbq:120\" m",
        "INFO  where \"open()\" m",
        "INFO  where \"dbq:open()\" m",
        "INFO  where \"open()\" m",
        "INFO  where \"dbq:120:open()\" m",
    };
    for (int flags = 0; flags < 8; ++flags) {
        logger->setShowMore(flags);
        logger->WriteMessage(vfw::LEVEL_INFO, "lib/vfw/dbq", 120, "open", "m");
        EXPECT_EQ(records(), Records{expected[flags]}) << "flags " << flags;
    }
}

TEST_F(LogTest, LocationLeavesOutWhatTheCallSiteLacks) {
    Logger logger = getLogger("where.missing");
    logger->setShowMore(7);
    logger->WriteMessage(vfw::LEVEL_INFO, "dbq", 0, "open", "no line");
    logger->WriteMessage(vfw::LEVEL_INFO, "dbq", -5, "open", "negative line");
    logger->WriteMessage(vfw::LEVEL_INFO, "", 12, "open", "no file");
    logger->WriteMessage(vfw::LEVEL_INFO, nullptr, 12, "open", "null file");
    logger->WriteMessage(vfw::LEVEL_INFO, "dir/dbq", 12, nullptr, "null function");
    logger->WriteMessage(vfw::LEVEL_INFO, "", 12, "", "nothing");
    logger->setShowMore(3);
    logger->WriteMessage(vfw::LEVEL_INFO, "/abs/path/dbq", 9, "open", "only the last component");
    EXPECT_EQ(records(), (Records{"INFO  where.missing \"dbq:open()\" no line",
                                  "INFO  where.missing \"dbq:open()\" negative line",
                                  "INFO  where.missing \"open()\" no file",
                                  "INFO  where.missing \"open()\" null file",
                                  "INFO  where.missing \"dbq:12\" null function",
                                  "INFO  where.missing nothing",
                                  "INFO  where.missing \"dbq:9\" only the last component"}));
}

TEST_F(LogTest, MacrosPassTheSourceStemLineAndFunction) {
    Logger logger = getLogger("where.macro");
    logger->setShowMore(7);
    int line = __LINE__ + 1;
    VFW_LOG(logger, vfw::LEVEL_INFO, "value %d", 42);
    EXPECT_EQ(records(), Records{"INFO  where.macro \"log_test:" + std::to_string(line) +
                                 ":TestBody()\" value 42"});
}

TEST_F(LogTest, ErrnoFormAppendsTheSystemText) {
    Logger logger = getLogger("errno");
    VFW_LOG_ERRNO(logger, vfw::LEVEL_ERROR, ENOENT, "open %s", "/x");
    VFW_LOG_ERRNO(logger, vfw::LEVEL_ERROR, 0, "zero");
    EXPECT_EQ(records(), (Records{std::string("ERROR errno open /x: ") + std::strerror(ENOENT),
                                  std::string("ERROR errno zero: ") + std::strerror(0)}));
}

TEST_F(LogTest, LongRecordsAreCutAt1023Characters) {
    Logger logger = getLogger("long");
    std::string message(2000, 'm');
    VFW_LOG(logger, vfw::LEVEL_INFO, "%s", message.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%s", message.c_str());
    std::string header = "INFO  long ";
    std::string cut = header + std::string(1023 - header.size(), 'm');
    EXPECT_EQ(records(), (Records{cut, cut}));

    // A record that only just fits keeps its errno text whole; one character more cuts it.
    std::string text = std::string(": ") + std::strerror(EIO);
    std::string fits(1023 - header.size() - text.size(), 'f');
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%s", fits.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%sg", fits.c_str());
    Records written = records();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], header + fits + text);
    EXPECT_EQ(written[1], (header + fits + "g" + text).substr(0, 1023));
}

TEST_F(LogTest, LongContextTagsAndNamesAreCutToo) {
    std::string tag(2000, 't');
    vfw::setLogContext(tag.c_str());
    VFW_LOG(getLogger("cut"), vfw::LEVEL_INFO, "never seen");
    vfw::setLogContext(nullptr);
    std::string name(1500, 'n');
    VFW_LOG(getLogger(name), vfw::LEVEL_INFO, "never seen");
    EXPECT_EQ(records(),
              (Records{("INFO  <" + tag).substr(0, 1023), ("INFO  " + name).substr(0, 1023)}));
}

TEST_F(LogTest, EmbeddedNulEndsTheRecordWithoutHarm) {
    Logger logger = getLogger("nul");
    VFW_LOG(logger, vfw::LEVEL_INFO, "before%cafter %s", '\0', std::string(3000, 'z').c_str());
    VFW_LOG(logger, vfw::LEVEL_INFO, "next");
    EXPECT_EQ(records(), (Records{"INFO  nul before", "INFO  nul next"}));
}

TEST_F(LogTest, HexDataLayout) {
    Logger logger = getLogger("hex");
    unsigned char data[20];
    std::memcpy(data, "ABCDEFGHIJKLMNOP", 16);
    data[16] = 127;
    data[17] = 128;
    data[18] = 31;
    data[19] = 'z';
    logger->hexData(vfw::LEVEL_INFO, "title 100%s", data, sizeof data);

    std::string first = "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50" + std::string(3, ' ') +
                        "ABCDEFGHIJKLMNOP ";
    std::string second =
        "7f 80 1f 7a" + std::string(39, ' ') + std::string("\x7f..z", 4) + std::string(" ");
    ASSERT_EQ(first.size(), 51u + 16u);
    ASSERT_EQ(second.size(), 51u + 4u);
    EXPECT_EQ(records(),
              (Records{"INFO  hex title 100%s", "INFO  hex " + first, "INFO  hex " + second}));
}

TEST_F(LogTest, HexDataOfNothingWritesTheTitleOnlyAndHonoursTheLevel) {
    Logger logger = getLogger("hex.edge");
    logger->hexData(vfw::LEVEL_INFO, "empty", nullptr, 0);
    unsigned char sixteen[16] = {0x00, 0xff, ' ', '~'};
    logger->hexData(vfw::LEVEL_WARN, "sixteen", sixteen, sizeof sixteen);
    logger->hexData(vfw::LEVEL_DEBUG, "hidden", sixteen, sizeof sixteen);
    std::string line = "00 ff 20 7e 00 00 00 00 00 00 00 00 00 00 00 00" + std::string(3, ' ') +
                       ".. ~" + std::string(12, '.') + " ";
    EXPECT_EQ(records(), (Records{"INFO  hex.edge empty", "WARN  hex.edge sixteen",
                                  "WARN  hex.edge " + line}));
}

TEST_F(LogTest, ExceptionsLeaveADebugRecordOnUtilExcept) {
    Logger except = getLogger("util.except");
    except->setLevel(vfw::LEVEL_DEBUG);
    int line = 0;
    try {
        line = __LINE__ + 1;
        VFW_THROW(vfw::IOException, -1, "Move %s to %s failed", "a", "b");
    } catch (const VFWException&) {
    }
    int line2 = 0;
    try {
        line2 = __LINE__ + 1;
        VFW_THROW_OS(vfw::SystemException, 22);
    } catch (const VFWException&) {
    }
    except->setShowMore(7);
    int line3 = 0;
    try {
        line3 = __LINE__ + 1;
        VFW_THROW(vfw::BadDataException, 0, "bad");
    } catch (const VFWException&) {
    }
    except->setLevel(-1);
    except->setShowMore(-1);

    Records written = records();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0], "DEBUG util.except vfw::IOException Move a to b failed (reference " +
                              std::string(__FILE__) + ":" + std::to_string(line) + " rc: -1)");
    EXPECT_EQ(written[1], "DEBUG util.except vfw::SystemException OS call failed: " +
                              std::string(std::strerror(22)) + " (reference " +
                              std::string(__FILE__) + ":" + std::to_string(line2) + " rc: 22)");
    EXPECT_EQ(written[2],
              "DEBUG util.except \"error_util:Base_Exception()\" vfw::BadDataException bad "
              "(reference " +
                  std::string(__FILE__) + ":" + std::to_string(line3) + " rc: 0)");
}

TEST_F(LogTest, ExceptionRecordsAreLeftOutWhereTheRulesSaySo) {
    Logger except = getLogger("util.except");
    except->setLevel(vfw::LEVEL_TRACE);
    // The exemption matches the class name as framework sites spell it: unqualified.
    using vfw::EndOfFileException;
    try {
        VFW_THROW(EndOfFileException, -1, "Queue is shutting down");
    } catch (const VFWException&) {
    }
    try {
        VFW_THROW_NOLOG(vfw::IOException, -1, "quiet");
    } catch (const VFWException&) {
    }
    except->setLevel(vfw::LEVEL_INFO);
    try {
        VFW_THROW(vfw::IOException, -1, "above debug");
    } catch (const VFWException&) {
    }
    // Wanted by the ring buffer only: no record reaches the destination.
    except->setMemoryLevel(vfw::LEVEL_DEBUG);
    try {
        VFW_THROW(vfw::IOException, -1, "memory only");
    } catch (const VFWException&) {
    }
    except->setLevel(-1);
    except->setMemoryLevel(-1);
    EXPECT_EQ(records(), Records{});
}

TEST_F(LogTest, ConcurrentRecordsStayWhole) {
    const int kThreads = 4;
    const int kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            Logger logger = getLogger("threads.t" + std::to_string(t));
            for (int i = 0; i < kEach; ++i) {
                VFW_LOG(logger, vfw::LEVEL_INFO, "record %d %s", i,
                        std::string(100, 'a' + t).c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Records written = records();
    ASSERT_EQ(written.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    for (const std::string& record : written) {
        int t = record[std::strlen("INFO  threads.t")] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(record, "INFO  threads.t" + std::to_string(t) + " record " +
                              std::to_string(next[t]++) + " " + std::string(100, 'a' + t));
    }
}

// A property source that logs each lookup, as the configuration layer may.
class LoggingPropertySource : public vfw::MapPropertySource {
  public:
    bool lookup(const std::string& name, std::string& value) const override {
        VFW_LOG(getLogger("util.properties"), vfw::LEVEL_INFO, "lookup %s", name.c_str());
        return MapPropertySource::lookup(name, value);
    }
};

// The destination is configured by the first record of a process, so this runs in its own.
TEST(LogDestination, FirstRecordWithAPropertySourceThatLogs) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::TempDir dir;
    vfw::MapPropertySource plain;
    plain.set("logger.file.flush.frequency", "1");
    vfw::setPropertySource(&plain);
    ASSERT_EQ(vfw::getFileLogging().open(dir.file("log")), 0);
    LoggingPropertySource logging;
    vfw::setPropertySource(&logging);
    VFW_LOG(getLogger("first"), vfw::LEVEL_WARN, "first record");
    vfw::setPropertySource(nullptr);
    vfw::getFileLogging().close();

    std::string text = vfw_test::readFile(dir.file("log"));
    std::string openlogKey = std::string("logger.openlog.") + program_invocation_short_name;
    std::vector<std::string> expected = {"INFO  util.properties lookup logger.destination",
                                         "INFO  util.properties lookup " + openlogKey,
                                         "WARN  first first record"};
    size_t at = 0;
    for (const std::string& record : expected) {
        at = text.find("]: " + record + "\n", at);
        EXPECT_NE(at, std::string::npos) << record << " in\n" << text;
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

// Shutting down ends logging for the rest of the process, so it runs in a process of its own.
TEST(LogShutdown, GetLoggerAfterShutdownReturnsAnEmptyHandle) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::TempDir dir;
    vfw::MapPropertySource properties;
    properties.set("logger.file.flush.frequency", "1");
    vfw::setPropertySource(&properties);
    ASSERT_EQ(vfw::getFileLogging().open(dir.file("log")), 0);

    Logger before = getLogger("shut.before");
    ASSERT_TRUE(before);
    vfw::shutdownLogging();
    Logger after = getLogger("shut.after");
    EXPECT_FALSE(after);
    EXPECT_FALSE(getLogger(""));
    EXPECT_FALSE(getLogger("shut.before"));
    VFW_LOG(after, vfw::LEVEL_FATAL, "never");
    vfw::initLogging();
    EXPECT_FALSE(getLogger("shut.after"));

    // Exceptions still work and leave no record.
    try {
        VFW_THROW(vfw::IOException, -1, "after shutdown");
    } catch (const VFWException& e) {
        EXPECT_STREQ(e.what(), "after shutdown");
    }
    vfw::getFileLogging().close();
    EXPECT_EQ(vfw_test::readFile(dir.file("log")), "");
    vfw::setPropertySource(nullptr);
}

}  // namespace
