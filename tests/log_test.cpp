// Logging: the record line, hex dump and exception record, the settings from the configuration,
// the record prefix, the log file with its cache, flushing and rotation, and records sent to a
// real rsyslogd. Records are read back from the log file (support/log_capture.h) or the daemon.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "support/log_capture.h"
#include "support/syslog_daemon.h"
#include "vfw/error_util.h"
#include "vfw/log_seam.h"
#include "vfw/properties.h"

namespace {

using vfw::getLogger;
using vfw::Logger;
using vfw_test::readFile;
using vfw_test::writeFile;
using Records = std::vector<std::string>;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { vfw::setPropertySource(&m_props); }
    void TearDown() override {
        vfw::setPropertySource(nullptr);
        vfw::ReconfigureLevels(vfw::MapPropertySource());
        set("", 3, 3, 32, 0);
        vfw::setLogContext(nullptr);
    }
    static void set(const std::string& name, int level, int memory, int facility, int flags) {
        Logger l = getLogger(name);
        l->setLevel(level);
        l->setMemoryLevel(memory);
        l->setFacility(facility);
        l->setShowMore(flags);
    }
    // "level/memoryLevel/facility/showMore" as the logger finds them now.
    static std::string settings(const std::string& name) {
        Logger l = getLogger(name);
        return std::to_string(l->getLevel()) + "/" + std::to_string(l->getMemoryLevel()) + "/" +
               std::to_string(l->getFacility()) + "/" + std::to_string(l->getShowMore());
    }
    // The record prefix "YYYY-MM-DD HH:MM:SS +ZZZZ host program[pid]: " as an expression.
    static std::string prefix() {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        return "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4} " +
               std::string(host, std::strcspn(host, ".")) + " log_test\\[" +
               std::to_string(getpid()) + "\\]: ";
    }
    static int lines(const std::string& path) {
        std::string text = readFile(path);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    vfw_test::LogCapture m_capture;
    vfw_test::TempDir m_dir;
    std::string m_path = m_dir.file("log");
    vfw::MapPropertySource m_props;
};

unsigned mode(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

TEST_F(LogTest, RecordLinesLocationHexDataAndExceptionRecord) {
    Logger logger = getLogger("line");
    set("line", 4, 4, -1, -1);
    logger->WriteMessage(vfw::LEVEL_INFO, "f", 1, "g", "below the level, even called directly");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level : {8, -1, 1000}) {
        logger->WriteMessage(level, 2, nullptr, 0, nullptr, "outside the table");
    }
    EXPECT_EQ(getLogger("dbqsim", true)->getName() + getLogger("diagnose.x")->getDisplayName() +
                  vfw::levelName(8) + vfw::levelName(-1) + vfw::levelName(7),
              "diag.dbqsimdiagnose.xDISABLED");
    VFW_LOG(getLogger("dbqsim", true), vfw::LEVEL_WARN, "shown as %s", "dbqsim");
    for (const char* name : {"client", "client.audit.deep", "clients", "other.client"}) {
        VFW_LOG(getLogger(name, false), vfw::LEVEL_INFO, "from %s", name);
    }
    VFW_LOG(getLogger("client", true), vfw::LEVEL_INFO, "diag client");
    VFW_LOG_ERRNO(logger, vfw::LEVEL_ERROR, ENOENT, "open %s", "/x");
    VFW_LOG(logger, vfw::LEVEL_INFO, "before%cafter %s", '\0', std::string(3000, 'z').c_str());
    // The context tag is the calling thread's; setting one returns the previous one.
    EXPECT_EQ(vfw::setLogContext("job-7"), "");
    VFW_LOG(logger, vfw::LEVEL_INFO, "tagged");
    std::thread([&] { VFW_LOG(logger, vfw::LEVEL_INFO, "on another thread"); }).join();
    EXPECT_EQ(vfw::setLogContext(nullptr) + vfw::setLogContext(nullptr), "job-7");
    // Records and context tags are cut at 1023 characters, errno texts too.
    std::string header = "INFO  line ", message(2000, 'm'), tag(2000, 't');
    VFW_LOG(logger, vfw::LEVEL_INFO, "%s", message.c_str());
    VFW_LOG_ERRNO(logger, vfw::LEVEL_INFO, EIO, "%s", std::string(1010, 'f').c_str());
    vfw::setLogContext(tag.c_str());
    VFW_LOG(logger, vfw::LEVEL_INFO, "never seen");
    Records expected({"WARN  dbqsim shown as dbqsim", "INFO  from client",
                      "INFO  from client.audit.deep", "INFO  clients from clients",
                      "INFO  other.client from other.client", "INFO  diag client",
                      std::string("ERROR line open /x: ") + strerror(ENOENT), "INFO  line before",
                      "INFO  <job-7> line tagged", "INFO  line on another thread",
                      (header + message).substr(0, 1023),
                      (header + std::string(1010, 'f') + ": " + strerror(EIO)).substr(0, 1023),
                      ("INFO  <" + tag).substr(0, 1023)});
    vfw::setLogContext(nullptr);
    for (const auto& c : vfw_test::table("log_locations")) {
        const char* file = c.at(1) == "<null>" ? nullptr : c[1].c_str();
        const char* function = c.at(2) == "<null>" ? nullptr : c[2].c_str();
        logger->setShowMore(std::stoi(c.at(0)));
        logger->WriteMessage(vfw::LEVEL_INFO, file, std::stoi(c.at(3)), function, "m");
        expected.push_back("INFO  line " + (c.at(4) == "-" ? "" : c[4] + " ") + "m");
    }
    int line = __LINE__ + 1;
    VFW_LOG(logger, vfw::LEVEL_INFO, "value %d", 42);
    set("line", 3, 3, -1, 0);
    unsigned char data[20] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                              'K', 'L', 'M', 'N', 'O', 'P', 127, 128, 31,  ' '};
    logger->hexData(vfw::LEVEL_INFO, "title 100%s", data, sizeof data);
    logger->hexData(vfw::LEVEL_WARN, "empty", nullptr, 0);
    logger->hexData(vfw::LEVEL_DEBUG, "hidden", data, sizeof data);
    // An exception leaves a DEBUG record on "util.except": at DEBUG, then with the location,
    // then neither above DEBUG nor when only the ring buffer wants DEBUG.
    int thrown = 0;
    for (int step = 0; step < 4; ++step) {
        set("util.except", step < 2 ? 1 : 3, step == 3 ? 1 : -1, -1, step == 1 ? 7 : -1);
        try {
            thrown = __LINE__ + 1;
            VFW_THROW(vfw::IOException, -1, "Move %s to %s failed", "a", "b");
        } catch (const VFWException&) {
        }
    }
    std::string exception = std::string("vfw::IOException Move a to b failed (reference ") +
                            __FILE__ + ":" + std::to_string(thrown) + " rc: -1)";
    expected.insert(
        expected.end(),
        {"INFO  line \"log_test:" + std::to_string(line) + ":TestBody()\" value 42",
         "INFO  line title 100%s",
         "INFO  line 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP ",
         "INFO  line 7f 80 1f 20" + std::string(39, ' ') + "\x7f..  ", "WARN  line empty",
         "DEBUG util.except " + exception,
         "DEBUG util.except \"error_util:Base_Exception()\" " + exception});
    EXPECT_EQ(m_capture.records(), expected);
}

// The steps of tests/data/log_settings: a whole configuration each, then the loggers' settings.
TEST_F(LogTest, SettingsFromTheConfigurationAndItsLoads) {
    for (const auto& step : vfw_test::table("log_settings")) {
        vfw::MapPropertySource properties;
        std::string given =
            std::regex_replace(step.at(0), std::regex("PROGRAM"), program_invocation_short_name);
        std::regex pair("(\\S+)=(\\S*)"), name("(\\S+)=");
        for (std::sregex_iterator it(given.begin(), given.end(), pair), end; it != end; ++it) {
            properties.set((*it)[1], (*it)[2]);
        }
        vfw::ReconfigureLevels(properties);
        std::string found, wanted = step.at(1).substr(0, step[1].find('|'));
        for (std::sregex_iterator it(wanted.begin(), wanted.end(), name), end; it != end; ++it) {
            found += (found.empty() ? "" : " ") + (*it).str() +
                     settings((*it)[1] == "root" ? "" : (*it)[1].str());
        }
        for (const std::string& record : m_capture.records()) {
            found += " | " + record.substr(record.find(" com.vantrel.logger ") == 5 ? 25 : 0);
        }
        EXPECT_EQ(found, step[1]) << step[0];
    }
    getLogger("")->setFacility(-1);
    vfw::ReconfigureLevels(vfw::MapPropertySource());
    EXPECT_EQ(settings(""), "3/3/32/0") << "a root without a facility gets auth";
    // The steps on their own: "mark" is no facility, warned about in both.
    m_props.set("logger.facility.x", "mark");
    m_props.set("logger.facility.myprog", "local4");
    m_props.set("logger.showmore.steps.s", "1");
    EXPECT_EQ(vfw::getFacility(m_props, "Logger.Facility.X"), 32);
    vfw::reconfigureFacilities(m_props, "myprog");
    vfw::reconfigureShowMore(m_props);
    EXPECT_EQ(
        settings("") + " " + settings("steps.s") + " " + std::to_string(m_capture.records().size()),
        "3/3/160/0 3/3/160/1 2");
    // Loads (which reconfigure logging inside the property layer's lock) on one thread, and
    // reconfigurations and records under that lock on another, never deadlock (or hang until
    // the test's timeout).
    writeFile(m_path, "log.mt: DEBUG\nlogger.showmore.mt: 3\n");
    vfw::CProperties2 props;
    std::thread loads([&] {
        for (int i = 0; i < 500; ++i) {
            props.load(m_path.c_str(), 1);
        }
    });
    for (int i = 0; i < 500; ++i) {
        vfw::ReconfigureLevels(props);
        vfw::MutexLock lock(props.mutex());
        VFW_LOG(getLogger("mt." + std::to_string(i)), vfw::LEVEL_DEBUG, "%d", i);
    }
    loads.join();
    props.load(m_path.c_str(), 1);  // once quiet, every logger has what the file says
    EXPECT_EQ(settings("mt.7"), "1/3/160/3");
}

TEST_F(LogTest, PrefixAndLogFile) {
    char buffer[512];
    size_t length = vfw::formatRecordPrefix(buffer, sizeof buffer, "_cbuf ");
    EXPECT_TRUE(length == std::strlen(buffer) &&
                std::regex_match(buffer, std::regex("_cbuf " + prefix())))
        << buffer;
    // Cut to the buffer and terminated, the caller's prefix too; nothing stored for size 0.
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 10, ""), 9u);
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 4, "_cbuf ") + vfw::formatRecordPrefix(buffer, 0, ""),
              3u);
    EXPECT_STREQ(buffer, "_cb");
    EXPECT_EXIT(std::exit(std::string(buffer, vfw::formatRecordPrefix(buffer, sizeof buffer, ""))
                              .find("[" + std::to_string(getpid()) + "]: ") == std::string::npos),
                ::testing::ExitedWithCode(0), "")
        << "a forked child reports its own pid";
    // The settings read at each open (tests/data/log_file_settings).
    const char* keys[] = {"logger.file.flush.frequency", "logger.file.maxcount",
                          "logger.file.maxsize", "logger.file.zip.backup"};
    vfw::FileLogging file;
    EXPECT_FALSE(file.isOpen() || file.write("dropped"));
    for (const auto& c : vfw_test::table("log_file_settings")) {
        for (int k = 0; k < 4; ++k) {
            c.at(k) == "-" ? void() : m_props.set(keys[k], c[k]);
        }
        ASSERT_EQ(file.open(m_path), 0);
        EXPECT_EQ(std::to_string(file.flushFrequency()) + " " + std::to_string(file.cacheSize()) +
                      " " + std::to_string(file.maxSize()) + " " + std::to_string(file.maxCount()) +
                      " " + std::to_string(file.zipBackup()),
                  c.at(4))
            << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
    }
    // A file opens for appending and is made mode 0666 whatever the umask; a record is the
    // prefix, the line and a line end. A failing open reports errno.
    writeFile(m_path, "earlier\n");
    mode_t old = umask(077);
    ASSERT_EQ(file.open(m_path), 0);
    umask(old);
    EXPECT_TRUE(file.write("INFO  app first") && file.write(""));
    file.close();
    EXPECT_TRUE(std::regex_match(
        readFile(m_path),
        std::regex("earlier\n" + prefix() + "INFO  app first\n" + prefix() + "\n")))
        << readFile(m_path);
    EXPECT_EQ(mode(m_path), S_IFREG | 0666u);
    EXPECT_EQ(file.open(m_path + "/missing"), ENOTDIR);
    EXPECT_FALSE(file.isOpen() || file.write("nowhere"));
    // A file whose mode cannot be set (append-only, even for root) is closed again.
    std::string output;
    ASSERT_EQ(vfw_test::runCommand("chattr +a '" + m_path + "'", output), 0) << output;
    int result = file.open(m_path);
    vfw_test::runCommand("chattr -a '" + m_path + "'", output);
    EXPECT_TRUE(result == EPERM && !file.isOpen() && !file.write("x") && lines(m_path) == 3);
    // Opening again, reopening, destroying and the destructor each write what is cached;
    // cached lines are cut at 1023 characters.
    m_props.set("logger.file.flush.frequency", "4");
    std::remove(m_path.c_str());
    {
        vfw::FileLogging cached(m_path);
        for (int n = 1; n <= 5; ++n) {
            cached.write("cached");
            EXPECT_EQ(lines(m_path), n < 4 ? 0 : 4) << "the flush point is the fourth record";
        }
        m_props.set("logger.file.flush.frequency", "8");
        ASSERT_EQ(cached.open(m_path), 0);
        EXPECT_EQ(cached.cacheSize() + lines(m_path), 8192u + 5);
        cached.write("again");
        cached.reopen(true);
        EXPECT_EQ(lines(m_path), 6);
        cached.write("more");
        cached.reopen(false);
        cached.destroy();
        EXPECT_TRUE(lines(m_path) == 7 && !cached.isOpen() && !cached.write("after destroy"));
        ASSERT_EQ(cached.open(m_path), 0);
        cached.write(std::string(3000, 'c').c_str());
    }
    std::string text = readFile(m_path);
    EXPECT_TRUE(lines(m_path) == 8 &&
                text.find(std::string(1023, 'c') + "\n") != std::string::npos &&
                text.find(std::string(1024, 'c')) == std::string::npos);
}

// Each file of `dir`, "name=text" for one without records, "name=X<n>" for one that starts with
// the filling and holds n records, "name=<n>" for other files with records, "name=dir".
std::string listing(const vfw_test::TempDir& dir) {
    std::string out;
    vfw_test::runCommand("cd '" + dir.path() + R"(' && for f in $(LC_ALL=C ls); do
        if [ -d $f ]; then d=dir; elif grep -q ']: ' $f; then
        d=$(head -c1 $f | tr -cd x | tr x X)$(grep -c ']: ' $f); else d=$(cat $f); fi
        printf '%s=%s ' $f "$d"; done)",
                         out);
    return out;
}

TEST_F(LogTest, Rotation) {
    m_props.set("logger.file.flush.frequency", "1");
    m_props.set("logger.file.maxsize", "1");
    for (const auto& c : vfw_test::table("log_rotation")) {
        vfw_test::TempDir dir;
        const std::string how = c.at(0);
        m_props.set("logger.file.maxcount", how.substr(0, 1));
        m_props.set("logger.file.zip.backup", how.find("zip") != std::string::npos ? "true" : "no");
        writeFile(dir.file("log"), std::string(1 << 20, 'x'));
        std::istringstream files(c.at(1));
        for (std::string file; files >> file;) {
            std::string target = dir.file(file.substr(0, file.find('=')));
            mkdir(target.substr(0, target.rfind('/')).c_str(), 0755);  // log.3 of log.3/inside
            writeFile(target, file.substr(file.find('=') + 1));
        }
        vfw::FileLogging file(dir.file("log"));
        if (how.find("moved") != std::string::npos) {
            ASSERT_EQ(rename(dir.file("log").c_str(), dir.file("log.1").c_str()), 0);
            writeFile(dir.file("log"), "");
        }
        file.write("old");
        file.write("new");
        EXPECT_EQ(listing(dir) + std::to_string(mode(dir.file("log"))),
                  c.at(2) + " " + std::to_string(S_IFREG | 0666))
            << how;
    }
}

// The ring buffer: its sizes, exactly one end marker directly after the newest record however
// often the ring wraps, the blanks a wrap leaves, and switching it on through the configuration.
TEST_F(LogTest, RingBufferKeepsTheNewestRecordsBeforeOneEndMarker) {
    Records expected;
    const std::pair<const char*, size_t> sizes[] = {
        {"4", 10240}, {"64", 65536}, {"-3", 10240}, {"", 131072}};
    for (const auto& [kibibytes, bytes] : sizes) {
        vfw::CircularBuffer ring;
        EXPECT_FALSE(ring.init(getLogger("ring"), kibibytes));
        ring.activate(true);
        EXPECT_TRUE(ring.init(getLogger("ring"), kibibytes) && ring.init(getLogger("ring"), "1"));
        EXPECT_EQ(ring.contents().size(), bytes) << kibibytes;
        expected.insert(expected.end(),
                        {"WARN  ring CircularBuffer.init() -  not activated",
                         "INFO  ring CircularBuffer.init() - initalized and enabled",
                         "INFO  ring CircularBuffer.init() - already initialized"});
    }
    vfw::CircularBuffer ring;
    ring.activate(true);
    ASSERT_TRUE(ring.init(getLogger("ring"), "10"));
    std::mt19937 random(7);
    bool blanked = false;
    for (int i = 0; i < 400 && !HasFailure(); ++i) {
        const std::string line = "record " + std::to_string(i) + std::string(random() % 1200, 'a');
        ring.append(line.c_str());
        const std::string all = ring.contents();
        const size_t marker = all.find("_cbuf_END__"), start = all.rfind("_cbuf ", marker);
        ASSERT_TRUE(marker != std::string::npos &&
                    all.find("_cbuf_END__", marker + 1) == std::string::npos &&
                    all[marker - 1] == '\n' && all[marker + 11] == '\n');
        const std::string record = all.substr(start, marker - 1 - start);  // the newest record
        const size_t text = record.find("]: ") + 3;
        EXPECT_EQ(record.substr(text), line.substr(0, 1023 - text));
        EXPECT_TRUE(start == 0 || all[start - 1] == '\n');
        blanked = blanked || (start == 0 && all.back() == ' ');
    }
    EXPECT_TRUE(blanked) << "a record that does not fit before the end blanks it";
    // Through the configuration, for the process's buffer once activated.
    vfw::MapPropertySource properties;
    for (const auto& [key, value] :
         std::map<std::string, std::string>{{"logger.memory.enabled", "Yes"},
                                            {"logger.memory.bufsize", "16"},
                                            {"logger.memory.log", "bogus"},
                                            {"logger.memory.log.ring.x", "DEBUG"},
                                            {"logger.memory.log.", "x"}}) {
        properties.set(key, value);
    }
    vfw::ReconfigureLevels(properties);
    EXPECT_EQ(vfw::memoryBuffer()->contents(), "") << "not activated";
    vfw::memoryBuffer()->activate(true);
    vfw::ReconfigureLevels(properties);
    VFW_LOG(getLogger("ring.x"), vfw::LEVEL_DEBUG, "in memory only");
    VFW_LOG(getLogger("ring.y"), vfw::LEVEL_DEBUG, "nowhere");
    const std::string all = vfw::memoryBuffer()->contents();
    EXPECT_EQ(all.size(), 16384u);
    EXPECT_NE(all.find(" ring.x in memory only\n_cbuf_END__\n"), std::string::npos);
    EXPECT_EQ(all.find("nowhere"), std::string::npos);
    EXPECT_EQ(settings("") + " " + settings("ring.x"), "3/3/32/0 3/1/32/0");
    expected.insert(
        expected.end(),
        {"INFO  ring CircularBuffer.init() - initalized and enabled",
         "WARN  com.vantrel.logger Circular buffer log level cannot be NONE. Using 'INFO'.",
         "WARN  com.vantrel.logger Illegal log.memory name: 'logger.memory.log.'"});
    EXPECT_EQ(m_capture.records(), expected);
}

// Once a process, in one of its own: the program name from /proc/self/stat when the system
// library has none; records sent to a real rsyslogd, as "priority tag: text" with "own" for
// this process's identity; a property source that logs; the end of logging at shutdown.
NS_TEST(LogProcess, ProgramNameSyslogAndShutdown) {
    std::string program = readFile("/proc/self/comm");
    program.erase(program.find('\n'));
    char empty[] = "", buffer[512];
    program_invocation_short_name = empty;
    std::string end = " " + program + "[" + std::to_string(getpid()) + "]: ";
    size_t length = vfw::formatRecordPrefix(buffer, sizeof buffer, "");
    EXPECT_EQ(std::string(buffer).substr(length - end.size()) + program_invocation_short_name,
              end + program);

    vfw_test::SyslogDaemon daemon;
    vfw::MapPropertySource properties;
    vfw::setPropertySource(&properties);
    // "No" leaves the connection to the system library, whose identity has no pid; the next
    // (forced) configuration opens it and tells a root process that names another destination
    // than syslog. Records stay on syslog.
    properties.set("logger.openlog." + program, "No");
    VFW_LOG(getLogger("noopen"), vfw::LEVEL_WARN, "plain identity");
    properties.erase("logger.openlog." + program);
    properties.set("logger.destination", "file");
    properties.set("logger.facility.*", "local3");
    vfw::ReconfigureLevels(properties);
    Logger logger = getLogger("vau.cli.vaudumpat");
    logger->setLevel(vfw::LEVEL_TRACE);
    for (int level = vfw::LEVEL_TRACE; level <= vfw::LEVEL_DISABLED; ++level) {
        VFW_LOG(logger, level, "dump of %s: %d", "/var/vantrelaud/spool", level);
    }
    std::string received, own = program + "[" + std::to_string(getpid()) + "]";
    for (const vfw_test::SyslogMessage& message : daemon.sync()) {
        std::string tag = message.tag == own ? "own" : message.tag == program ? "plain" : "other";
        received += std::to_string(message.priority) + " " + tag + ": " + message.text + "\n";
    }
    std::string dump = " vau.cli.vaudumpat dump of /var/vantrelaud/spool: ";
    EXPECT_EQ(received, "36 plain: WARN  noopen plain identity\n35 own: Could not open file: " +
                            std::string(strerror(0)) + "\n159 own: TRACE" + dump +
                            "0\n159 own: DEBUG" + dump + "1\n159 own: DIAG " + dump +
                            "2\n158 own: INFO " + dump + "3\n156 own: WARN " + dump +
                            "4\n155 own: ERROR" + dump + "5\n152 own: FATAL" + dump +
                            "6\n152 own: DISAB" + dump + "7\n");

    struct LoggingPropertySource : vfw::MapPropertySource {  // logs as the property layer may
        bool lookup(const std::string& name, std::string& value) const override {
            VFW_LOG(getLogger("util.properties"), vfw::LEVEL_INFO, "lookup %s", name.c_str());
            return MapPropertySource::lookup(name, value);
        }
    } logging;
    vfw_test::LogCapture capture;
    vfw::setPropertySource(&logging);
    vfw::configureDestination(true);
    vfw::setPropertySource(nullptr);
    ASSERT_TRUE(getLogger("shut.before"));
    vfw::shutdownLogging();
    Logger after = getLogger("shut.after");
    VFW_LOG(after, vfw::LEVEL_FATAL, "never");
    vfw::initLogging();
    EXPECT_FALSE(after || getLogger("") || getLogger("shut.before") || getLogger("shut.after"));
    try {
        VFW_THROW(vfw::IOException, -1, "after shutdown");  // still works, leaves no record
    } catch (const VFWException& e) {
        EXPECT_STREQ(e.what(), "after shutdown");
    }
    EXPECT_EQ(capture.records(),
              (Records{"INFO  util.properties lookup logger.destination",
                       "INFO  util.properties lookup logger.openlog." + program}));
}

}  // namespace
