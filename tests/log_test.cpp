// Loggers: the level and facility tables, the registry and inheritance, the record line, the
// hex dump, the exception record, and the settings ReconfigureLevels computes from the
// configuration. Records are read back from the process's log file (support/log_capture.h).
#include <errno.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/syslog_daemon.h"
#include "vfw/error_util.h"
#include "vfw/properties.h"

namespace {

using vfw::getLogger;
using vfw::Logger;
using Records = std::vector<std::string>;
const std::string OWN = "WARN  com.vantrel.logger ";

// "level/memoryLevel/facility/showMore" as the logger finds them now.
std::string settings(const std::string& name) {
    Logger l = getLogger(name);
    return std::to_string(l->getLevel()) + "/" + std::to_string(l->getMemoryLevel()) + "/" +
           std::to_string(l->getFacility()) + "/" + std::to_string(l->getShowMore());
}

class LogTest : public ::testing::Test {
  protected:
    void TearDown() override {
        vfw::ReconfigureLevels(vfw::MapPropertySource());
        getLogger("")->setFacility(32);
        vfw::setLogContext(nullptr);
    }
    vfw_test::LogCapture m_capture;
};

TEST(LogTables, LevelAndFacilityNames) {
    const char* levels[] = {"trace", "Debug", "DIAG", "info", "wArN", "error", "fatal", "disabled"};
    for (int level = 0; level < 8; ++level) {
        EXPECT_EQ(vfw::levelFromName(levels[level]), level);
    }
    EXPECT_EQ(
        vfw::levelFromName("NONE") + vfw::levelFromName("INFO ") + vfw::levelFromName("DISAB"), -3);
    EXPECT_EQ(std::to_string(vfw::levelFromName("")) + vfw::levelName(7) + vfw::levelName(8) +
                  vfw::levelName(-1),
              "3DISABLED");
    const std::pair<const char*, int> names[] = {
        {"auth", 32},   {"authpriv", 80}, {"cron", 72},    {"daemon", 24}, {"ftp", 88},
        {"kern", 0},    {"lpr", 48},      {"mail", 16},    {"news", 56},   {"syslog", 40},
        {"user", 8},    {"uucp", 64},     {"LOCAL7", 184}, {"mark", -1},   {"security", -1},
        {"local8", -1}, {"", -1},         {"INFO ", -1},   {"DISAB", -1},  {"NONE", -1}};
    for (const auto& row : names) {
        EXPECT_EQ(vfw::facilityFromName(row.first), row.second) << row.first;
    }
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(vfw::facilityFromName("local" + std::to_string(i)), 128 + 8 * i);
    }
}

TEST_F(LogTest, RegistryAndInheritance) {
    Logger logger = getLogger("reg.cli.vaudumpat"), root = getLogger("");
    EXPECT_EQ(logger, getLogger("reg.cli.vaudumpat"));
    EXPECT_EQ(logger->getName(), "reg.cli.vaudumpat");
    EXPECT_EQ(logger->getParent()->getParent(), getLogger("reg"));
    EXPECT_EQ(getLogger("reg.cli")->getParent()->getParent(), root);
    EXPECT_TRUE(!root->getParent() && root->getName().empty());
    EXPECT_EQ(settings("reg.cli.vaudumpat"), "3/3/32/0") << "INFO, INFO, auth, no location";
    Logger diag = getLogger("dbqsim", true);
    EXPECT_EQ(diag->getName() + " " + diag->getDisplayName(), "diag.dbqsim dbqsim");
    EXPECT_EQ(diag->getParent(), getLogger("diag"));
    EXPECT_EQ(getLogger("dbqsim", false)->getName(), "dbqsim");
    EXPECT_EQ(getLogger("diagnose.x")->getDisplayName(), "diagnose.x");
    // Level and memoryLevel are found once and kept until the logger's own field is reset;
    // facility and showMore are looked up afresh on every call.
    Logger parent = getLogger("inherit.a"), child = getLogger("inherit.a.b");
    parent->setLevel(vfw::LEVEL_WARN);
    parent->setMemoryLevel(vfw::LEVEL_DEBUG);
    parent->setFacility(152);
    parent->setShowMore(3);
    EXPECT_EQ(settings("inherit.a.b"), "4/1/152/3");
    parent->setLevel(vfw::LEVEL_ERROR);
    parent->setMemoryLevel(vfw::LEVEL_FATAL);
    parent->setFacility(160);
    parent->setShowMore(4);
    EXPECT_EQ(settings("inherit.a.b") + " " + settings("inherit.a"), "4/1/160/4 5/6/160/4");
    child->setLevel(-1);
    child->setMemoryLevel(-1);
    parent->setFacility(-1);
    parent->setShowMore(-1);
    root->setFacility(8);
    EXPECT_EQ(settings("inherit.a.b"), "5/6/8/0");
    child->setLevel(-1);
    EXPECT_EQ(settings("inherit.a.b.c"), "5/6/8/0") << "past an unset logger";
    // Enabled when either threshold is reached; wanted only by the ring buffer, which keeps
    // nothing yet, a record reaches no destination.
    logger->setLevel(vfw::LEVEL_ERROR);
    logger->setMemoryLevel(vfw::LEVEL_DEBUG);
    EXPECT_TRUE(!logger->isEnabled(0) && logger->isEnabled(1) && logger->isEnabled(5));
    VFW_LOG(logger, vfw::LEVEL_DEBUG, "memory only");
    logger->setMemoryLevel(vfw::LEVEL_DISABLED);
    EXPECT_TRUE(!logger->isEnabled(4) && logger->isEnabled(6));
    EXPECT_EQ(m_capture.records(), Records{});
}

TEST_F(LogTest, RecordLine) {
    Logger logger = getLogger("line");
    logger->setLevel(vfw::LEVEL_WARN);
    logger->setMemoryLevel(vfw::LEVEL_WARN);
    logger->WriteMessage(vfw::LEVEL_INFO, "f", 1, "g", "below the level, even called directly");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level : {8, -1, 1000}) {
        logger->WriteMessage(level, nullptr, 0, nullptr, "outside the table");
        logger->WriteMessage(level, 2, nullptr, 0, nullptr, "outside the table");
    }
    VFW_LOG(getLogger("dbqsim", true), vfw::LEVEL_WARN, "shown as %s", "dbqsim");
    for (const char* name :
         {"client", "client.audit", "client.audit.deep", "clients", "xclient", "other.client"}) {
        VFW_LOG(getLogger(name), vfw::LEVEL_INFO, "from %s", name);
    }
    VFW_LOG(getLogger("client", true), vfw::LEVEL_INFO, "diag client");
    VFW_LOG_ERRNO(logger, vfw::LEVEL_ERROR, ENOENT, "open %s", "/x");
    VFW_LOG_ERRNO(logger, vfw::LEVEL_ERROR, 0, "zero");
    VFW_LOG(logger, vfw::LEVEL_INFO, "before%cafter %s", '\0', std::string(3000, 'z').c_str());
    // The context tag is the calling thread's; setting one returns the previous one.
    EXPECT_EQ(vfw::setLogContext("job-7"), "");
    VFW_LOG(logger, vfw::LEVEL_INFO, "tagged");
    std::thread([&] {
        VFW_LOG(logger, vfw::LEVEL_INFO, "other thread");
        EXPECT_EQ(vfw::setLogContext("t2"), "");
        VFW_LOG(logger, vfw::LEVEL_INFO, "own tag");
        EXPECT_EQ(vfw::setLogContext(nullptr), "t2");
    }).join();
    EXPECT_EQ(vfw::setLogContext("job-8"), "job-7");
    EXPECT_EQ(vfw::setLogContext(nullptr) + vfw::setLogContext(nullptr), "job-8");
    // Records, context tags and names are cut at 1023 characters, errno texts too.
    std::string header = "INFO  line ", message(2000, 'm'), tag(2000, 't'), name(1500, 'n');
    std::string text = std::string(": ") + strerror(EIO), fits(1012 - text.size(), 'f');
    VFW_LOG(logger, vfw::LEVEL_INFO, "%s", message.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%s", message.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%s", fits.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%sg", fits.c_str());
    vfw::setLogContext(tag.c_str());
    VFW_LOG(logger, vfw::LEVEL_INFO, "never seen");
    vfw::setLogContext(nullptr);
    VFW_LOG(getLogger(name), vfw::LEVEL_INFO, "never seen");
    std::string cut = (header + message).substr(0, 1023);
    EXPECT_EQ(m_capture.records(), (Records{"WARN  dbqsim shown as dbqsim",
                                            "INFO  from client",
                                            "INFO  from client.audit",
                                            "INFO  from client.audit.deep",
                                            "INFO  clients from clients",
                                            "INFO  xclient from xclient",
                                            "INFO  other.client from other.client",
                                            "INFO  diag client",
                                            std::string("ERROR line open /x: ") + strerror(ENOENT),
                                            std::string("ERROR line zero: ") + strerror(0),
                                            "INFO  line before",
                                            "INFO  <job-7> line tagged",
                                            "INFO  line other thread",
                                            "INFO  <t2> line own tag",
                                            cut,
                                            cut,
                                            header + fits + text,
                                            (header + fits + "g" + text).substr(0, 1023),
                                            ("INFO  <" + tag).substr(0, 1023),
                                            ("INFO  " + name).substr(0, 1023)}));
}

TEST_F(LogTest, LocationAndHexData) {
    // showMore flags, the call site's file, line and function, and the location printed.
    const struct {
        int flags;
        const char *file, *function, *where;
        int line;
    } cases[] = {
        {0, "lib/vfw/dbq", "open", "", 120},
        {1, "lib/vfw/dbq", "open", "\"dbq\" ", 120},
        {2, "lib/vfw/dbq", "open", "", 120},
        {3, "lib/vfw/dbq", "open", "\"dbq:120\" ", 120},
        {4, "lib/vfw/dbq", "open", "\"open()\" ", 120},
        {5, "lib/vfw/dbq", "open", "\"dbq:open()\" ", 120},
        {6, "lib/vfw/dbq", "open", "\"open()\" ", 120},
        {7, "lib/vfw/dbq", "open", "\"dbq:120:open()\" ", 120},
        {7, "dbq", "open", "\"dbq:open()\" ", 0},
        {7, "dbq", "open", "\"dbq:open()\" ", -5},
        {7, "", "open", "\"open()\" ", 12},
        {7, nullptr, "open", "\"open()\" ", 12},
        {7, "dir/dbq", nullptr, "\"dbq:12\" ", 12},
        {7, "", "", "", 12},
        {3, "/abs/path/dbq", "open", "\"dbq:9\" ", 9},
    };
    Logger logger = getLogger("where");
    for (const auto& c : cases) {
        logger->setShowMore(c.flags);
        logger->WriteMessage(vfw::LEVEL_INFO, c.file, c.line, c.function, "m");
        EXPECT_EQ(m_capture.records(), Records{"INFO  where " + std::string(c.where) + "m"})
            << c.flags;
    }
    logger->setShowMore(7);
    int line = __LINE__ + 1;
    VFW_LOG(logger, vfw::LEVEL_INFO, "value %d", 42);
    logger->setShowMore(0);
    unsigned char data[20] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                              'K', 'L', 'M', 'N', 'O', 'P', 127, 128, 31,  'z'};
    unsigned char sixteen[16] = {0x00, 0xff, ' ', '~'};
    logger->hexData(vfw::LEVEL_INFO, "title 100%s", data, sizeof data);
    logger->hexData(vfw::LEVEL_INFO, "empty", nullptr, 0);
    logger->hexData(vfw::LEVEL_WARN, "sixteen", sixteen, sizeof sixteen);
    logger->hexData(vfw::LEVEL_DEBUG, "hidden", sixteen, sizeof sixteen);
    EXPECT_EQ(m_capture.records(),
              (Records{"INFO  where \"log_test:" + std::to_string(line) + ":TestBody()\" value 42",
                       "INFO  where title 100%s",
                       "INFO  where 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   "
                       "ABCDEFGHIJKLMNOP ",
                       "INFO  where 7f 80 1f 7a" + std::string(39, ' ') + "\x7f..z ",
                       "INFO  where empty", "WARN  where sixteen",
                       "WARN  where 00 ff 20 7e 00 00 00 00 00 00 00 00 00 00 00 00   .. ~" +
                           std::string(12, '.') + " "}));
}

TEST_F(LogTest, ExceptionsLeaveADebugRecordOnUtilExcept) {
    Logger except = getLogger("util.except");
    int line = 0;
    for (int step = 0; step < 4; ++step) {
        // At DEBUG, then with the location, then neither above DEBUG nor only for the ring.
        except->setLevel(step < 2 ? vfw::LEVEL_DEBUG : vfw::LEVEL_INFO);
        except->setMemoryLevel(step == 3 ? vfw::LEVEL_DEBUG : -1);
        except->setShowMore(step == 1 ? 7 : -1);
        try {
            line = __LINE__ + 1;
            VFW_THROW(vfw::IOException, -1, "Move %s to %s failed", "a", "b");
        } catch (const VFWException&) {
        }
    }
    std::string text = std::string("vfw::IOException Move a to b failed (reference ") + __FILE__ +
                       ":" + std::to_string(line) + " rc: -1)";
    EXPECT_EQ(m_capture.records(),
              (Records{"DEBUG util.except " + text,
                       "DEBUG util.except \"error_util:Base_Exception()\" " + text}));
}

// Each step is the whole configuration of one load, "key=value" separated by blanks
// (PROGRAM stands for the program's name); after it, the listed loggers' settings and the
// warnings of logging's own logger. The steps run in order on the same loggers, so a key
// that goes stops having effect, and levels found before a load are not kept after it.
TEST_F(LogTest, SettingsFromTheConfiguration) {
    getLogger("ring.kept")->setMemoryLevel(vfw::LEVEL_DEBUG);
    const struct {
        const char *properties, *settings;
        Records warnings;
    } steps[] = {
        {"", "root=3/3/32/0 a.b.c=3/3/32/0 com.vantrel.logger=4/4/32/0 client=0/3/32/0", {}},
        {"log.a=DEBUG", "a.b.c=1/3/32/0 root=3/3/32/0", {}},
        {"log.a=DEBUG log.a.b.c=ERROR", "a.b.c=5/3/32/0 a.b=1/3/32/0 a=1/3/32/0", {}},
        {"log=LOUD log.=DEBUG log.q=NOISY LOG.R=error",
         "root=3/3/32/0 q=3/3/32/0 R=5/3/32/0",
         {"Illegal value for property 'log': 'LOUD'. Using 'INFO'.", "Illegal log name: 'log.'",
          "Illegal log level. Property: 'log.q', value: 'NOISY'"}},
        {"log=debug", "q=1/3/32/0", {}},
        {"log=Warn", "q=4/3/32/0", {}},
        {"log=", "q=3/3/32/0", {}},
        {"log=FATAL log.client=ERROR log.client.sub=ERROR",
         "client=0/3/32/0 client.sub=5/3/32/0 ring.kept=6/1/32/0 com.vantrel.logger=4/4/32/0",
         {}},
        {"logger.facility.*=local3 logger.facility.f.own=Daemon logger.facility.f.bad=bogus "
         "logger.facility.=local1",
         "root=3/3/152/0 f.bad=3/3/152/0 f.own.sub=3/3/24/0 com.vantrel.logger=4/4/32/0",
         {"Illegal facility name: 'logger.facility.'",
          "Illegal log facility. Property: 'logger.facility.f.bad', value: 'bogus'"}},
        {"logger.facility.*=local3 logger.facility.PROGRAM=local5", "f.any=3/3/168/0", {}},
        {"logger.facility.*=nowhere",
         "f.any=3/3/32/0",
         {"Illegal value facility name: 'nowhere' for 'logger.facility.*'. Using 'auth'.",
          "Illegal log facility. Property: 'logger.facility.*', value: 'nowhere'"}},
        {"logger.facility.*=local2", "root=3/3/144/0", {}},
        {"", "root=3/3/144/0", {}},  // the root keeps a facility that no key sets any more
        {"logger.showmore=3", "sm.x=3/3/144/3", {}},
        {"logger.showmore=-1", "root=3/3/144/0", {}},
        {"logger.showmore=none", "root=3/3/144/0", {}},
        {"logger.showmore=1 logger.showmore.sm.x=4 logger.showmore.=7",
         "sm.x=3/3/144/4 sm.y=3/3/144/1 sm.x.below=3/3/144/4",
         {"\"reconfigure\" Illegal log name: 'logger.showmore.'"}},
        {"logger.showmore=1 logger.showmore.sm.x=", "sm.x=3/3/144/1", {}},
    };
    for (const auto& step : steps) {
        vfw::MapPropertySource properties;
        std::istringstream pairs(step.properties);
        for (std::string pair; pairs >> pair;) {
            std::string key = pair.substr(0, pair.find('='));
            if (key.size() > 8 && key.compare(key.size() - 7, 7, "PROGRAM") == 0) {
                key.replace(key.size() - 7, 7, program_invocation_short_name);
            }
            properties.set(key, pair.substr(pair.find('=') + 1));
        }
        vfw::ReconfigureLevels(properties);
        std::istringstream names(step.settings);
        std::string found;
        for (std::string item; names >> item;) {
            std::string name = item.substr(0, item.find('='));
            found += (found.empty() ? "" : " ") + name + "=" + settings(name == "root" ? "" : name);
        }
        EXPECT_EQ(found, step.settings) << step.properties;
        Records warnings;
        for (const std::string& warning : step.warnings) {
            warnings.push_back(OWN + warning);
        }
        EXPECT_EQ(m_capture.records(), warnings) << step.properties;
    }
    getLogger("ring.kept")->setMemoryLevel(-1);
    // The steps on their own.
    vfw::MapPropertySource props;
    EXPECT_EQ(vfw::getFacility(props, "logger.facility.x"), -1);
    for (const auto& value : {std::make_pair("", -1), {"LOCAL7", 184}, {"mark", 32}}) {
        props.set("logger.facility.x", value.first);
        EXPECT_EQ(vfw::getFacility(props, "Logger.Facility.X"), value.second) << value.first;
    }
    EXPECT_EQ(m_capture.records(),
              Records{OWN + "\"reconfigure\" Illegal value facility name: 'mark' for "
                            "'Logger.Facility.X'. Using 'auth'."});
    props.set("logger.facility.myprog", "local4");
    props.set("logger.facility.steps.f", "news");
    props.set("logger.showmore", "4");
    props.set("logger.showmore.steps.s", "1");
    vfw::reconfigureFacilities(props, "myprog");
    vfw::reconfigureShowMore(props);
    EXPECT_EQ(settings("") + " " + settings("steps.f") + " " + settings("steps.s"),
              "3/3/160/4 3/3/56/4 3/3/160/1");
}

// Loads of a configuration file (which reconfigure logging inside the property layer's lock),
// direct reconfigurations, look-ups and records on other threads, all at once, never
// deadlock: a lock-order fault shows as a hang, reported after two minutes.
TEST_F(LogTest, LoadsLookupsAndRecordsTogether) {
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf");
    vfw_test::writeFile(path,
                        "log.mt: DEBUG\nlog.: bad\nlogger.showmore.mt: 3\nvaud.at.spool: x\n");
    vfw::CProperties2 props;
    props.load(path.c_str(), 1);
    vfw::PropertySource* previous = vfw::setPropertySource(&props);
    std::atomic<bool> go{false};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    auto loop = [&](int count, std::function<void(int)> body) {
        threads.emplace_back([&go, &finished, count, body] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < count; ++i) {
                body(i);
            }
            ++finished;
        });
    };
    loop(300, [&](int) { props.load(path.c_str(), 1); });
    loop(300, [&](int) { vfw::ReconfigureLevels(props); });
    loop(3000, [&](int) {
        vfw::MutexLock lock(props.mutex());
        EXPECT_EQ(vfw::getProperty("VAUD.AT.SPOOL", "none"), "x");
    });
    for (int t = 0; t < 2; ++t) {
        loop(400, [t](int i) {
            Logger logger = getLogger("mt.t" + std::to_string(t) + ".n" + std::to_string(i));
            VFW_LOG(logger, vfw::LEVEL_DEBUG, "record %d", i);
        });
    }
    go = true;
    for (int waited = 0; finished.load() < 5; waited += 10) {
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
    EXPECT_EQ(settings("mt.t1.n399") + " " + settings("mt.t0.n7"), "1/3/32/3 1/3/32/3");
    vfw::setPropertySource(previous);
}

// A property source that logs each lookup, as the configuration layer may.
class LoggingPropertySource : public vfw::MapPropertySource {
  public:
    bool lookup(const std::string& name, std::string& value) const override {
        VFW_LOG(getLogger("util.properties"), vfw::LEVEL_INFO, "lookup %s", name.c_str());
        return MapPropertySource::lookup(name, value);
    }
};

// What holds once per process, in a process of its own: the program name taken from
// /proc/self/stat when the system library has none, the destination configured by the first
// record (through a property source that logs), and the end of logging at shutdown.
TEST(LogProcess, ProgramNameFirstRecordAndShutdown) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    std::string comm = vfw_test::readFile("/proc/self/comm");
    comm.erase(comm.find('\n'));
    char empty[] = "", buffer[512];
    program_invocation_short_name = empty;
    vfw::formatRecordPrefix(buffer, sizeof buffer, "");
    std::string end = " " + comm + "[" + std::to_string(getpid()) + "]: ";
    EXPECT_EQ(std::string(buffer).substr(std::strlen(buffer) - end.size()), end) << buffer;
    EXPECT_EQ(std::string(program_invocation_short_name), comm);

    vfw_test::LogCapture capture;
    LoggingPropertySource logging;
    vfw::setPropertySource(&logging);
    VFW_LOG(getLogger("first"), vfw::LEVEL_WARN, "first record");
    vfw::setPropertySource(nullptr);
    ASSERT_TRUE(getLogger("shut.before"));
    vfw::shutdownLogging();
    Logger after = getLogger("shut.after");
    EXPECT_FALSE(after || getLogger("") || getLogger("shut.before"));
    VFW_LOG(after, vfw::LEVEL_FATAL, "never");
    vfw::initLogging();
    EXPECT_FALSE(getLogger("shut.after"));
    try {
        VFW_THROW(vfw::IOException, -1, "after shutdown");  // still works, leaves no record
    } catch (const VFWException& e) {
        EXPECT_STREQ(e.what(), "after shutdown");
    }
    EXPECT_EQ(capture.records(), (Records{"INFO  util.properties lookup logger.destination",
                                          "INFO  util.properties lookup logger.openlog." + comm,
                                          "WARN  first first record"}));
}

}  // namespace
