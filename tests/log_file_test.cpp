// The log file: the record prefix, opening and the settings read there, the cache and its
// flush points, rotation into numbered backups, and the write-behind LogCache. A log file that
// cannot be made mode 0666 is checked by user 65534 in syslog_test.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace {

using vfw_test::readFile;
using vfw_test::writeFile;

// The record prefix of this process, "YYYY-MM-DD HH:MM:SS +ZZZZ host program[pid]: ", as a
// regular expression.
std::string prefix() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    host[std::strcspn(host, ".")] = '\0';
    return "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4} " + std::string(host) +
           " log_file_test\\[" + std::to_string(getpid()) + "\\]: ";
}

size_t prefixLength() {
    char buffer[512];
    return vfw::formatRecordPrefix(buffer, sizeof buffer, "");
}

int records(const std::string& path) {
    std::string text = readFile(path);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

unsigned mode(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

int exitStatus(pid_t child) {
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(RecordPrefix, LayoutTimeLengthAndPid) {
    char buffer[512];
    size_t length = vfw::formatRecordPrefix(buffer, sizeof buffer, "_cbuf ");
    EXPECT_EQ(length, std::strlen(buffer));
    EXPECT_TRUE(std::regex_match(buffer, std::regex("_cbuf " + prefix()))) << buffer;
    // The current local time with its numeric zone.
    struct tm parsed = {}, local;
    const char* rest = strptime(buffer + 6, "%Y-%m-%d %H:%M:%S", &parsed);
    ASSERT_NE(rest, nullptr);
    parsed.tm_isdst = -1;
    time_t now = std::time(nullptr);
    EXPECT_LE(std::labs(static_cast<long>(std::difftime(mktime(&parsed), now))), 60);
    char zone[16];
    std::strftime(zone, sizeof zone, " %z ", localtime_r(&now, &local));
    EXPECT_EQ(std::string(rest, std::strlen(zone)), zone);
    // Cut to the buffer and terminated, the caller's prefix too; nothing stored for size 0.
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 10, ""), 9u);
    EXPECT_EQ(std::string(buffer, 11), std::string(buffer, 9) + std::string("\0#", 2));
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 4, "_cbuf "), 3u);
    EXPECT_STREQ(buffer, "_cb");
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 0, ""), 0u);
    EXPECT_EQ(buffer[0], '_');
    // A forked child reports its own pid.
    pid_t child = fork();
    if (child == 0) {
        vfw::formatRecordPrefix(buffer, sizeof buffer, "");
        _exit(std::string(buffer).find("[" + std::to_string(getpid()) + "]: ") ==
              std::string::npos);
    }
    EXPECT_EQ(exitStatus(child), 0);
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override { m_previous = vfw::setPropertySource(&m_props); }
    void TearDown() override { vfw::setPropertySource(m_previous); }
    std::string path() const { return m_dir.file("log"); }
    std::string backup(int n) const { return path() + "." + std::to_string(n); }

    vfw_test::TempDir m_dir;
    vfw::MapPropertySource m_props;
    vfw::PropertySource* m_previous = nullptr;
};

TEST_F(LogFileTest, OpenAppendsWithMode0666AndWritesPrefixLineAndLineEnd) {
    writeFile(path(), "earlier\n");
    ASSERT_EQ(chmod(path().c_str(), 0600), 0);
    m_props.set("logger.file.flush.frequency", "1");
    vfw::FileLogging file;
    EXPECT_FALSE(file.isOpen() || file.write("dropped"));
    EXPECT_EQ(file.open(path()), 0);
    EXPECT_EQ(mode(path()), 0666u);
    EXPECT_TRUE(file.write("INFO  app first") && file.write(""));
    std::string text = readFile(path());
    EXPECT_TRUE(std::regex_match(
        text, std::regex("earlier\n" + prefix() + "INFO  app first\n" + prefix() + "\n")))
        << text;
    // A new file gets the mode whatever the umask; a failing open reports errno.
    mode_t old = umask(077);
    EXPECT_EQ(file.open(m_dir.file("new")), 0);
    umask(old);
    EXPECT_EQ(mode(m_dir.file("new")), 0666u);
    EXPECT_EQ(file.open(m_dir.file("missing/log")), ENOENT);
    EXPECT_FALSE(file.isOpen() || file.write("nowhere"));
    EXPECT_EQ(file.open(m_dir.path()), EISDIR);
    EXPECT_FALSE(file.isOpen());
}

TEST_F(LogFileTest, SettingsAreReadAtEachOpen) {
    // Flush frequency, maxcount, maxsize and zip.backup given, and what the file takes:
    // frequency, cache size, maximum size in bytes (64-bit), count and zip.
    const char* const cases[][5] = {
        {nullptr, nullptr, nullptr, nullptr, "10 10240 536870912 5 0"},
        {"0", "0", "3", "YES", "0 0 3145728 0 1"},
        {"1", "-2", "4096", "on", "1 0 4294967296 5 0"},
        {"2", "7", "0", "true", "2 2048 536870912 7 1"},
        {"10", nullptr, "-1", nullptr, "10 10240 536870912 7 1"},
        {"512", nullptr, "junk", nullptr, "512 524288 536870912 7 1"},
        {"513", nullptr, nullptr, nullptr, "512 524288 536870912 7 1"},
        {"600", nullptr, nullptr, nullptr, "512 524288 536870912 7 1"},
        {"-1", nullptr, nullptr, nullptr, "10 10240 536870912 7 1"},
        {"-600", nullptr, nullptr, nullptr, "10 10240 536870912 7 1"},
    };
    const char* keys[] = {"logger.file.flush.frequency", "logger.file.maxcount",
                          "logger.file.maxsize", "logger.file.zip.backup"};
    vfw::FileLogging file;
    for (const auto& c : cases) {
        for (int k = 0; k < 4; ++k) {
            if (c[k] != nullptr) {
                m_props.set(keys[k], c[k]);
            }
        }
        ASSERT_EQ(file.open(path()), 0);
        std::ostringstream taken;
        taken << file.flushFrequency() << " " << file.cacheSize() << " " << file.maxSize() << " "
              << file.maxCount() << " " << file.zipBackup();
        EXPECT_EQ(taken.str(), c[4]) << (c[0] ? c[0] : "none");
    }
}

TEST_F(LogFileTest, RecordsReachTheDiskAtFlushPoints) {
    // After n records the file holds those up to the last flush point: 0 and 1 flush every
    // record, a negative frequency every tenth.
    for (const auto& c : {std::make_pair("3", 3), {"0", 1}, {"1", 1}, {"-5", 10}}) {
        m_props.set("logger.file.flush.frequency", c.first);
        std::remove(path().c_str());
        vfw::FileLogging file(path());
        for (int n = 1; n <= 2 * c.second + 1; ++n) {
            file.write("r");
            EXPECT_EQ(records(path()), n - n % c.second) << c.first << ", record " << n;
        }
        file.close();
        EXPECT_EQ(records(path()), 2 * c.second + 1) << c.first;
    }
    // Opening again, reopening, destroying and the destructor each write what is cached.
    m_props.set("logger.file.flush.frequency", "4");
    {
        vfw::FileLogging file(path());
        file.write("cached");
        m_props.set("logger.file.flush.frequency", "8");
        ASSERT_EQ(file.open(path()), 0);
        EXPECT_EQ(file.cacheSize(), 8192u);
        EXPECT_EQ(records(path()), 22);
        file.write("again");
        file.reopen(true);
        EXPECT_EQ(records(path()), 23);
        file.write("more");
        file.reopen(false);
        file.destroy();
        EXPECT_EQ(records(path()), 24);
        EXPECT_FALSE(file.isOpen() || file.write("after destroy"));
        ASSERT_EQ(file.open(path()), 0);
        file.write("kept");
    }
    EXPECT_EQ(records(path()), 25);
}

TEST_F(LogFileTest, AFullCacheIsWrittenBeforeTheFlushPoint) {
    m_props.set("logger.file.flush.frequency", "40");  // 40960 bytes, 40959 usable
    vfw::FileLogging file(path());
    size_t record = prefixLength() + 1023 + 1, fitting = 40959 / record;
    ASSERT_LT(fitting, 39u);
    for (size_t i = 0; i < 40; ++i) {
        file.write(std::string(3000, 'f').c_str());  // cut to 1023 characters in the cache
        EXPECT_EQ(readFile(path()).size(), i < fitting ? 0 : i < 39 ? 40959 : 40 * record) << i;
    }
    EXPECT_EQ(readFile(path()).substr(40 * record - 1024), std::string(1023, 'f') + "\n");
}

TEST_F(LogFileTest, TheProcessLogFileIsFlushedAtExit) {
    m_props.set("logger.file.flush.frequency", "100");
    pid_t child = fork();
    if (child == 0) {
        bool opened = vfw::getFileLogging().open(path()) == 0;
        VFW_LOG(vfw::getLogger("atexit"), vfw::LEVEL_WARN, "written at exit");
        std::exit(opened && readFile(path()).empty() ? 0 : 2);
    }
    EXPECT_EQ(exitStatus(child), 0);
    EXPECT_NE(readFile(path()).find("]: WARN  atexit written at exit\n"), std::string::npos);
}

// Each file of `dir`, sorted: "name=text" for a file without records, "name=X<n>" for one that
// starts with the filling and holds n records, "name=<n>" for other files with records and
// "name=dir" for a directory.
std::string listing(const vfw_test::TempDir& dir) {
    std::string names, result;
    vfw_test::runCommand("LC_ALL=C ls '" + dir.path() + "'", names);
    std::istringstream in(names);
    for (std::string name; in >> name;) {
        std::string text = readFile(dir.file(name));
        int n = 0;
        for (size_t at = 0; (at = text.find("]: ", at)) != std::string::npos; ++at) {
            ++n;
        }
        struct stat status;
        bool directory = stat(dir.file(name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
        std::string count = (text[0] == 'x' ? "X" : "") + std::to_string(n);
        result += name + "=" + (directory ? "dir" : n == 0 ? text : count) + " ";
    }
    return result;
}

TEST_F(LogFileTest, Rotation) {
    m_props.set("logger.file.flush.frequency", "1");
    m_props.set("logger.file.maxsize", "1");
    const struct {
        const char* count;
        bool zip, movedAway;
        std::vector<std::pair<std::string, std::string>> files;  // before, besides the full log
        const char* after;                                       // after two records
    } cases[] = {
        // The oldest backup goes, the others move up, the full file becomes log.1, the next
        // record goes to a new file.
        {"3",
         false,
         false,
         {{"log.1", "one"}, {"log.2", "two"}, {"log.3", "three"}},
         "log=1 log.1=X1 log.2=one log.3=two "},
        {"3", false, false, {{"log.2", "two"}}, "log=1 log.1=X1 log.3=two "},  // gaps are kept
        // Zip backups: only the ".gz" names move (as they are), and the live file stays.
        {"3",
         true,
         false,
         {{"log.1.gz", "one"}, {"log.3.gz", "three"}, {"log.1", "plain"}},
         "log=1 log.1=plain log.1.gz=X1 log.2.gz=one "},
        {"0", false, false, {}, "log=X2 "},  // a count of 0 never renames
        // A backup that cannot be removed stops the shift; the full file still moves.
        {"3",
         false,
         false,
         {{"log.1", "one"}, {"log.2", "two"}, {"log.3/inside", ""}},
         "log=1 log.1=X1 log.2=two log.3=dir "},
        // A failed move keeps the file and its records.
        {"1", false, false, {{"log.1/inside", ""}}, "log=X2 log.1=dir "},
        {"1", true, false, {{"log.1.gz/inside", ""}}, "log=X2 log.1.gz=dir "},
        // Another writer rotated first: the file is reopened under its name.
        {"3", false, true, {}, "log=1 log.1=X1 "},
    };
    for (const auto& c : cases) {
        vfw_test::TempDir dir;
        m_props.set("logger.file.maxcount", c.count);
        m_props.set("logger.file.zip.backup", c.zip ? "true" : "false");
        writeFile(dir.file("log"), std::string(1 << 20, 'x'));
        for (const auto& file : c.files) {
            if (file.first.find('/') != std::string::npos) {
                mkdir(dir.file(file.first.substr(0, file.first.find('/'))).c_str(), 0755);
            }
            writeFile(dir.file(file.first), file.second);
        }
        vfw::FileLogging file(dir.file("log"));
        if (c.movedAway) {
            ASSERT_EQ(rename(dir.file("log").c_str(), dir.file("log.1").c_str()), 0);
            writeFile(dir.file("log"), "");
        }
        file.write("old");
        file.write("new");
        EXPECT_EQ(listing(dir), c.after) << c.count << (c.zip ? " zip" : "");
        EXPECT_EQ(mode(dir.file("log")), 0666u) << listing(dir);
    }
}

TEST_F(LogFileTest, RotationAtTheFirstFlushPointThatFindsTheMaximum) {
    m_props.set("logger.file.maxsize", "1");
    m_props.set("logger.file.flush.frequency", "3");
    writeFile(path(), std::string((1 << 20) - 1 - 3 * (prefixLength() + 2), 'x'));
    vfw::FileLogging file(path());
    for (int n = 1; n <= 6; ++n) {
        file.write("r");
        EXPECT_EQ(exists(backup(1)), n == 6) << "after record " << n << ", one byte short at 3";
    }
    EXPECT_EQ(records(backup(1)), 6);
}

TEST_F(LogFileTest, ConcurrentWritersAcrossRotations) {
    m_props.set("logger.file.flush.frequency", "7");
    m_props.set("logger.file.maxsize", "1");
    m_props.set("logger.file.maxcount", "10");
    {
        vfw::FileLogging file(path());
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&file, t] {
                for (int i = 0; i < 600; ++i) {
                    file.write(std::string(1000, static_cast<char>('a' + t)).c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    // About 2.6 MB in all: two rotations, and every record whole in one of the files.
    EXPECT_TRUE(exists(backup(2)) && !exists(backup(4)));
    std::string all =
        readFile(backup(3)) + readFile(backup(2)) + readFile(backup(1)) + readFile(path());
    std::vector<int> counts(4, 0);
    size_t start = 0;
    for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = all.substr(start, end - start);
        std::string body = line.substr(std::min(line.size(), line.find("]: ") + 3));
        ASSERT_TRUE(body.size() == 1000 && body >= "a" && body < "e" &&
                    body == std::string(1000, body[0]))
            << line.substr(0, 100);
        ++counts[body[0] - 'a'];
    }
    EXPECT_EQ(start, all.size());
    EXPECT_EQ(counts, std::vector<int>(4, 600));
}

TEST(LogCache, WritesWhenFullOnFlushAndWithoutAStreamNothing) {
    vfw_test::TempDir dir;
    std::string path = dir.file("cache");
    FILE* stream = std::fopen(path.c_str(), "w");
    ASSERT_NE(stream, nullptr);
    {
        vfw::LogCache cache(8, stream);  // holds 7 bytes before it writes
        ASSERT_TRUE(cache.hasBuffer());
        cache.putString("abcdefg");
        EXPECT_EQ(readFile(path), "");
        cache.putChar('h');
        EXPECT_EQ(readFile(path), "abcdefg");
        cache.putString("ijklmnopqrstu");
        EXPECT_EQ(readFile(path), "abcdefghijklmn");
        cache.flush();
        cache.flush();
        EXPECT_EQ(readFile(path), "abcdefghijklmnopqrstu");
        cache.resize(4, stream);
        EXPECT_EQ(cache.size(), 4u);
        cache.putLine(std::string(2000, 'L').c_str());
        cache.putChar('\n');
    }
    std::fclose(stream);
    EXPECT_EQ(readFile(path), "abcdefghijklmnopqrstu" + std::string(1023, 'L') + "\n");
    vfw::LogCache discarding(16, nullptr);
    discarding.putString("into nothing at all, and more than sixteen bytes");
    discarding.flush();
    discarding.putChar('x');
}

}  // namespace
