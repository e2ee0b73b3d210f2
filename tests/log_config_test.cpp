// The loggers' settings from the configuration: levels, facilities and location flags as
// ReconfigureLevels computes them from a property source, and after loads of a
// configuration file by the property layer. Records are read back from the process's log
// file (support/log_capture.h); one test reads the facility off a real syslog daemon.
#include <errno.h>
#include <syslog.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/log.h"
#include "vfw/properties.h"
#include "vfw/property_source.h"

namespace {

using vfw::getLogger;
using vfw::Logger;
using Records = std::vector<std::string>;

const char OWN[] = "WARN  com.vantrel.logger ";

class LogConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_root = getLogger("");
        ASSERT_TRUE(m_root);
    }

    void TearDown() override {
        vfw::MapPropertySource none;
        vfw::ReconfigureLevels(none);
        m_root->setFacility(LOG_AUTH);
    }

    void reconfigure() { vfw::ReconfigureLevels(m_props); }

    // One INFO record from `logger` with a fixed location, for the location flags.
    static void located(const Logger& logger) {
        logger->WriteMessage(vfw::LEVEL_INFO, "src/dir/unit.cpp", 12, "fn", "message");
    }

    vfw_test::LogCapture m_capture;
    vfw::MapPropertySource m_props;
    Logger m_root;
};

TEST_F(LogConfigTest, ALoggerInheritsItsLevelUntilAKeyNamesItOrAnAncestor) {
    Logger abc = getLogger("a.b.c");
    Logger ab = getLogger("a.b");
    VFW_LOG(abc, vfw::LEVEL_DEBUG, "not yet");
    VFW_LOG(abc, vfw::LEVEL_INFO, "info before");
    reconfigure();
    VFW_LOG(abc, vfw::LEVEL_DEBUG, "still not");
    m_props.set("log.a", "DEBUG");
    reconfigure();
    VFW_LOG(abc, vfw::LEVEL_DEBUG, "debug shows");
    m_props.set("log.a.b.c", "ERROR");
    reconfigure();
    VFW_LOG(abc, vfw::LEVEL_WARN, "silenced");
    VFW_LOG(ab, vfw::LEVEL_WARN, "a.b still warns");
    VFW_LOG(abc, vfw::LEVEL_ERROR, "error shows");
    EXPECT_EQ(m_capture.records(),
              (Records{"INFO  a.b.c info before", "DEBUG a.b.c debug shows",
                       "WARN  a.b a.b still warns", "ERROR a.b.c error shows"}));
    EXPECT_EQ(getLogger("a")->getLevel(), vfw::LEVEL_DEBUG);
    EXPECT_EQ(m_root->getLevel(), vfw::LEVEL_INFO);
}

TEST_F(LogConfigTest, TheRootLevelComesFromLogAndAWordOutsideTheTableMeansInfo) {
    Logger logger = getLogger("root.level.test");
    m_props.set("log", "LOUD");
    reconfigure();
    EXPECT_EQ(
        m_capture.records(),
        Records{std::string(OWN) + "Illegal value for property 'log': 'LOUD'. Using 'INFO'."});
    EXPECT_EQ(m_root->getLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_INFO);

    m_props.set("log", "debug");
    reconfigure();
    EXPECT_EQ(m_root->getLevel(), vfw::LEVEL_DEBUG);
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_DEBUG);
    m_props.set("log", "Warn");
    reconfigure();
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_WARN);
    m_props.set("log", "");
    reconfigure();
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(m_capture.records(), Records());
}

TEST_F(LogConfigTest, BadLevelKeysAreReportedAndChangeNothing) {
    Logger q = getLogger("q");
    m_props.set("log.", "DEBUG");
    m_props.set("log.q", "NOISY");
    m_props.set("LOG.R", "error");
    reconfigure();
    EXPECT_EQ(m_capture.records(),
              (Records{std::string(OWN) + "Illegal log name: 'log.'",
                       std::string(OWN) + "Illegal log level. Property: 'log.q', value: 'NOISY'"}));
    EXPECT_EQ(q->getLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(getLogger("R")->getLevel(), vfw::LEVEL_ERROR)
        << "the logger is named by the rest of the key as written";
}

TEST_F(LogConfigTest, ShowMoreChoosesTheLocationOfEveryRecord) {
    Logger x = getLogger("sm.x");
    Logger y = getLogger("sm.y");
    const struct {
        const char* value;
        const char* record;
    } cases[] = {
        {"3", "INFO  sm.x \"unit.cpp:12\" message"},
        {"2", "INFO  sm.x message"},
        {"4", "INFO  sm.x \"fn()\" message"},
        {"1", "INFO  sm.x \"unit.cpp\" message"},
        {"7", "INFO  sm.x \"unit.cpp:12:fn()\" message"},
        {"5", "INFO  sm.x \"unit.cpp:fn()\" message"},
        {"-1", "INFO  sm.x message"},
        {"", "INFO  sm.x message"},
        {"none", "INFO  sm.x message"},
    };
    for (const auto& c : cases) {
        m_props.set("logger.showmore", c.value);
        reconfigure();
        located(x);
        EXPECT_EQ(m_capture.records(), Records{c.record}) << "logger.showmore: " << c.value;
    }

    m_props.set("logger.showmore", "1");
    m_props.set("logger.showmore.sm.x", "4");
    m_props.set("logger.showmore.", "7");
    reconfigure();
    located(x);
    located(y);
    located(getLogger("sm.x.below"));
    Records records = m_capture.records();
    ASSERT_EQ(records.size(), 4u);
    // Logging's own logger has no flags of its own: the root's new 1 names the file.
    std::string warning = "Illegal log name: 'logger.showmore.'";
    EXPECT_EQ(records[0].compare(0, 26, std::string(OWN) + "\""), 0) << records[0];
    EXPECT_EQ(records[0].substr(records[0].size() - warning.size()), warning);
    EXPECT_EQ(Records(records.begin() + 1, records.end()),
              (Records{"INFO  sm.x \"fn()\" message", "INFO  sm.y \"unit.cpp\" message",
                       "INFO  sm.x.below \"fn()\" message"}));

    m_props.set("logger.showmore.sm.x", "");
    m_props.erase("logger.showmore.");
    reconfigure();
    located(x);
    EXPECT_EQ(m_capture.records(), Records{"INFO  sm.x \"unit.cpp\" message"})
        << "an empty value inherits";
}

TEST_F(LogConfigTest, FacilitiesComeFromTheStarTheProgramAndEachLogger) {
    Logger any = getLogger("f.any");
    Logger own = getLogger("f.own.sub");
    Logger bad = getLogger("f.bad");
    m_props.set("logger.facility.*", "local3");
    m_props.set("logger.facility.f.own", "Daemon");
    m_props.set("logger.facility.f.bad", "bogus");
    m_props.set("logger.facility.", "local1");
    reconfigure();
    EXPECT_EQ(
        m_capture.records(),
        (Records{std::string(OWN) + "Illegal facility name: 'logger.facility.'",
                 std::string(OWN) + "Illegal log facility. Property: 'logger.facility.f.bad', "
                                    "value: 'bogus'"}))
        << "each bad key once per load";
    EXPECT_EQ(m_root->getFacility(), 152);
    EXPECT_EQ(any->getFacility(), 152);
    EXPECT_EQ(bad->getFacility(), 152) << "a bad value leaves the logger inheriting";
    EXPECT_EQ(own->getFacility(), 24);
    EXPECT_EQ(getLogger("com.vantrel.logger")->getFacility(), 32) << "logging's own stays auth";

    m_props.set(std::string("logger.facility.") + program_invocation_short_name, "local5");
    reconfigure();
    m_capture.records();
    EXPECT_EQ(any->getFacility(), 168) << "the program's key comes after the star";

    m_props.set("logger.facility.*", "nowhere");
    m_props.erase(std::string("logger.facility.") + program_invocation_short_name);
    m_props.erase("logger.facility.");
    m_props.erase("logger.facility.f.bad");
    reconfigure();
    EXPECT_EQ(
        m_capture.records(),
        (Records{std::string(OWN) +
                     "Illegal value facility name: 'nowhere' for 'logger.facility.*'. Using "
                     "'auth'.",
                 std::string(OWN) +
                     "Illegal log facility. Property: 'logger.facility.*', value: 'nowhere'"}));
    EXPECT_EQ(any->getFacility(), 32);
}

TEST_F(LogConfigTest, TheRootKeepsAFacilityThatNoKeySetsAnyMore) {
    m_props.set("logger.facility.*", "local2");
    reconfigure();
    m_props.erase("logger.facility.*");
    reconfigure();
    EXPECT_EQ(m_root->getFacility(), 144);
    m_root->setFacility(-1);
    reconfigure();
    EXPECT_EQ(m_root->getFacility(), 32) << "a root without a facility gets auth";
}

TEST_F(LogConfigTest, TheClientLoggerAlwaysTraces) {
    Logger client = getLogger("client");
    Logger below = getLogger("client.sub");
    m_props.set("log.client", "ERROR");
    m_props.set("log.client.sub", "ERROR");
    m_props.set("log", "FATAL");
    reconfigure();
    EXPECT_EQ(client->getLevel(), vfw::LEVEL_TRACE);
    EXPECT_EQ(below->getLevel(), vfw::LEVEL_ERROR);
    VFW_LOG(client, vfw::LEVEL_TRACE, "client trace");
    VFW_LOG(below, vfw::LEVEL_WARN, "below warn");
    EXPECT_EQ(m_capture.records(), Records{"TRACE client trace"});
}

TEST_F(LogConfigTest, LoggingsOwnLoggerWarnsAndRingLevelsAreKept) {
    Logger ring = getLogger("ring.kept");
    ring->setMemoryLevel(vfw::LEVEL_DEBUG);
    m_props.set("log", "FATAL");
    reconfigure();
    Logger own = getLogger("com.vantrel.logger");
    EXPECT_EQ(own->getLevel(), vfw::LEVEL_WARN);
    EXPECT_EQ(own->getMemoryLevel(), vfw::LEVEL_WARN);
    EXPECT_EQ(ring->getMemoryLevel(), vfw::LEVEL_DEBUG);
    ring->setMemoryLevel(-1);
}

TEST_F(LogConfigTest, AKeyRemovedFromTheFileStopsHavingEffectAtTheNextLoad) {
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf");
    vfw_test::writeFile(path,
                        "log.removed.key: DEBUG\nlogger.facility.removed.key: local5\n"
                        "logger.showmore.removed.key: 7\n");
    vfw::CProperties2 props;
    props.load(path.c_str(), 1);
    Logger logger = getLogger("removed.key");
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_DEBUG);
    EXPECT_EQ(logger->getFacility(), 168);
    EXPECT_EQ(logger->getShowMore(), 7);

    vfw_test::writeFile(path, "other: 1\n");
    props.load(path.c_str(), 1);
    EXPECT_EQ(logger->getLevel(), vfw::LEVEL_INFO);
    EXPECT_EQ(logger->getFacility(), 32);
    EXPECT_EQ(logger->getShowMore(), 0);
    EXPECT_EQ(m_capture.records(), Records());
}

TEST_F(LogConfigTest, TheStepsWorkOnTheirOwn) {
    EXPECT_EQ(vfw::getFacility(m_props, "logger.facility.x"), -1);
    m_props.set("logger.facility.x", "");
    EXPECT_EQ(vfw::getFacility(m_props, "logger.facility.x"), -1);
    m_props.set("logger.facility.x", "LOCAL7");
    EXPECT_EQ(vfw::getFacility(m_props, "Logger.Facility.X"), 184);
    m_props.set("logger.facility.x", "mark");
    EXPECT_EQ(vfw::getFacility(m_props, "logger.facility.x"), 32);
    EXPECT_EQ(
        m_capture.records(),
        Records{std::string(OWN) +
                "Illegal value facility name: 'mark' for 'logger.facility.x'. Using 'auth'."});

    vfw::MapPropertySource props;
    props.set("logger.facility.myprog", "local4");
    props.set("logger.facility.steps.f", "news");
    props.set("logger.showmore", "4");
    props.set("logger.showmore.steps.s", "1");
    vfw::reconfigureFacilities(props, "myprog");
    EXPECT_EQ(m_root->getFacility(), 160);
    EXPECT_EQ(getLogger("steps.f")->getFacility(), 56);
    vfw::reconfigureShowMore(props);
    EXPECT_EQ(m_root->getShowMore(), 4);
    EXPECT_EQ(getLogger("steps.s")->getShowMore(), 1);
}

// The facility reaches the real system logger in the record's priority.
TEST(LogConfigSyslog, TheStarFacilityIsTheOneRecordsAreSentWith) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    vfw::MapPropertySource props;
    props.set("logger.facility.*", "local3");
    props.set("logger.facility.sys.own", "daemon");
    vfw::ReconfigureLevels(props);
    VFW_LOG(getLogger("sys.inherits"), vfw::LEVEL_WARN, "inherited");
    VFW_LOG(getLogger("sys.own"), vfw::LEVEL_ERROR, "its own");
    std::vector<vfw_test::SyslogMessage> messages = daemon.sync();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].priority, 152 | 4);
    EXPECT_EQ(messages[0].text, "WARN  sys.inherits inherited");
    EXPECT_EQ(messages[1].priority, 24 | 3);
    EXPECT_EQ(messages[1].text, "ERROR sys.own its own");
}

// Loads (which reconfigure logging inside the property layer's lock), direct
// reconfigurations, look-ups through the installed source and records on other threads,
// all at once. A lock-order fault shows as a hang, which the test reports after two minutes
// instead of hanging the run.
TEST(LogConfigThreads, LoadsLookupsAndRecordsTogetherNeverDeadlock) {
    vfw_test::LogCapture capture;
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf");
    vfw_test::writeFile(path,
                        "log.mt: DEBUG\nlog.: bad\nlogger.showmore.mt: 3\nvaud.at.spool: x\n"
                        "list: a b c\n");
    vfw::CProperties2 props;
    props.load(path.c_str(), 1);
    vfw::PropertySource* previous = vfw::setPropertySource(&props);

    // The threads start together, so that their loops overlap.
    std::atomic<bool> go{false};
    auto wait = [&go] {
        while (!go.load()) {
            std::this_thread::yield();
        }
    };
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        wait();
        for (int i = 0; i < 300; ++i) {
            props.load(path.c_str(), 1);
        }
        ++finished;
    });
    threads.emplace_back([&] {
        wait();
        for (int i = 0; i < 300; ++i) {
            vfw::ReconfigureLevels(props);
        }
        ++finished;
    });
    threads.emplace_back([&] {
        wait();
        for (int i = 0; i < 3000; ++i) {
            std::string spool;
            {
                vfw::MutexLock lock(props.mutex());  // the reference is kept past the call
                spool = props("vaud.at.spool");
            }
            // A load on another thread is never seen half done.
            EXPECT_EQ(spool, "x");
            EXPECT_EQ(vfw::getProperty("VAUD.AT.SPOOL", "none"), "x");
            EXPECT_EQ(props.getValueList("list", "")->size(), 3u);
            EXPECT_EQ(props.listWithPrefix("log.").size(), 2u);
        }
        ++finished;
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            wait();
            for (int i = 0; i < 400; ++i) {
                Logger logger = getLogger("mt.t" + std::to_string(t) + ".n" + std::to_string(i));
                VFW_LOG(logger, vfw::LEVEL_DEBUG, "record %d", i);
            }
            ++finished;
        });
    }
    go = true;
    const int total = static_cast<int>(threads.size());
    for (int waited = 0; finished.load() < total; waited += 10) {
        if (waited > 120000) {
            ADD_FAILURE() << "the threads did not finish within two minutes: a deadlock";
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    // Once quiet, one more load leaves every logger with what the file says.
    props.load(path.c_str(), 1);
    EXPECT_EQ(getLogger("mt")->getLevel(), vfw::LEVEL_DEBUG);
    EXPECT_EQ(getLogger("mt.t1.n399")->getLevel(), vfw::LEVEL_DEBUG);
    EXPECT_EQ(getLogger("mt.t0.n7")->getShowMore(), 3);
    EXPECT_EQ(getLogger("")->getLevel(), vfw::LEVEL_INFO);
    vfw::setPropertySource(previous);
    vfw::MapPropertySource none;
    vfw::ReconfigureLevels(none);
}

}  // namespace
