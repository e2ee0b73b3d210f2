// The log file: record prefix, opening, the cache and flush frequency, and rotation.
#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/log.h"
#include "vfw/property_source.h"

namespace {

using vfw_test::readFile;
using vfw_test::writeFile;

std::string shortHostName() {
    char name[256] = {};
    EXPECT_EQ(gethostname(name, sizeof name - 1), 0);
    return std::string(name).substr(0, std::string(name).find('.'));
}

// A pattern of "YYYY-MM-DD HH:MM:SS +ZZZZ host program[pid]: " for this process, where
// kDigit stands for any digit and kSign for '+' or '-'.
const char kDigit = '\x01';
const char kSign = '\x02';

std::string prefixPattern(const std::string& program) {
    std::string d(1, kDigit);
    return d + d + d + d + "-" + d + d + "-" + d + d + " " + d + d + ":" + d + d + ":" + d + d +
           " " + kSign + d + d + d + d + " " + shortHostName() + " " + program + "[" +
           std::to_string(getpid()) + "]: ";
}

bool matches(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool ok = pattern[i] == kDigit  ? text[i] >= '0' && text[i] <= '9'
                  : pattern[i] == kSign ? text[i] == '+' || text[i] == '-'
                                        : text[i] == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

off_t fileSize(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_size : -1;
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

TEST(RecordPrefix, TimeHostProgramAndPid) {
    char buffer[512];
    size_t length = vfw::formatRecordPrefix(buffer, sizeof buffer, "_cbuf ");
    EXPECT_EQ(length, std::strlen(buffer));
    EXPECT_TRUE(matches(buffer, "_cbuf " + prefixPattern("log_file_test"))) << buffer;

    // The time is the current local time with its numeric zone.
    struct tm parsed = {};
    const char* rest = strptime(buffer + 6, "%Y-%m-%d %H:%M:%S", &parsed);
    ASSERT_NE(rest, nullptr);
    parsed.tm_isdst = -1;
    EXPECT_LE(std::labs(static_cast<long>(std::difftime(mktime(&parsed), std::time(nullptr)))), 60);
    char zone[16];
    time_t now = std::time(nullptr);
    struct tm local;
    std::strftime(zone, sizeof zone, " %z ", localtime_r(&now, &local));
    EXPECT_EQ(std::string(rest, std::strlen(zone)), zone);
}

TEST(RecordPrefix, ShortBuffersAreCutAndTerminated) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 10, ""), 9u);
    EXPECT_EQ(std::strlen(buffer), 9u);
    EXPECT_EQ(buffer[10], '#');
    EXPECT_EQ(vfw::formatRecordPrefix(buffer, 0, ""), 0u);
    EXPECT_EQ(buffer[0], '2');  // untouched by a zero size: still the first digit of the year
}

TEST(RecordPrefix, ProgramNameFallsBackToProcStat) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    std::string comm = readFile("/proc/self/comm");
    comm.erase(comm.find('\n'));
    char empty[] = "";
    program_invocation_short_name = empty;
    char buffer[512];
    vfw::formatRecordPrefix(buffer, sizeof buffer, "");
    EXPECT_TRUE(matches(buffer, prefixPattern(comm))) << buffer;
    EXPECT_EQ(std::string(program_invocation_short_name), comm);
}

TEST(RecordPrefix, ForkedChildReportsItsOwnPid) {
    char buffer[512];
    vfw::formatRecordPrefix(buffer, sizeof buffer, "");
    pid_t child = fork();
    if (child == 0) {
        vfw::formatRecordPrefix(buffer, sizeof buffer, "");
        std::string expected = "[" + std::to_string(getpid()) + "]: ";
        _exit(std::string(buffer).find(expected) != std::string::npos ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class LogFileTest : public ::testing::Test {
  protected:
    void SetUp() override { m_previous = vfw::setPropertySource(&m_properties); }
    void TearDown() override { vfw::setPropertySource(m_previous); }

    std::string path() const { return m_dir.file("app.log"); }

    vfw_test::TempDir m_dir;
    vfw::MapPropertySource m_properties;
    vfw::PropertySource* m_previous = nullptr;
};

TEST_F(LogFileTest, RecordIsPrefixLineAndNewline) {
    m_properties.set("logger.file.flush.frequency", "1");
    vfw::FileLogging file(path());
    ASSERT_TRUE(file.isOpen());
    EXPECT_TRUE(file.write("INFO  app first"));
    EXPECT_TRUE(file.write(""));
    std::string text = readFile(path());
    EXPECT_TRUE(matches(text, prefixPattern("log_file_test") + "INFO  app first\n" +
                                  prefixPattern("log_file_test") + "\n"))
        << text;
}

TEST_F(LogFileTest, OpenAppendsAndMakesTheFileMode0666) {
    writeFile(path(), "earlier\n");
    ASSERT_EQ(chmod(path().c_str(), 0600), 0);
    m_properties.set("logger.file.flush.frequency", "0");
    vfw::FileLogging file;
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.write("dropped"));
    EXPECT_EQ(file.open(path()), 0);
    struct stat status;
    ASSERT_EQ(stat(path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    file.write("later");
    std::string text = readFile(path());
    EXPECT_EQ(text.substr(0, 8), "earlier\n");
    EXPECT_EQ(text.substr(text.size() - 6), "later\n");

    // A new file gets the mode whatever the umask.
    mode_t old = umask(077);
    EXPECT_EQ(file.open(m_dir.file("new.log")), 0);
    umask(old);
    ASSERT_EQ(stat(m_dir.file("new.log").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
}

TEST_F(LogFileTest, FailingOpenLeavesNoFileAndReportsErrno) {
    vfw::FileLogging file;
    EXPECT_EQ(file.open(m_dir.file("missing/app.log")), ENOENT);
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.write("nowhere"));
    EXPECT_EQ(file.open(m_dir.path()), EISDIR);
    EXPECT_FALSE(file.isOpen());
}

TEST_F(LogFileTest, FailingChmodClosesTheFile) {
    ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
    writeFile(path(), "");
    ASSERT_EQ(chmod(path().c_str(), 0646), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(100);
        }
        vfw::FileLogging file;
        int result = file.open(path());
        _exit(result == EPERM && !file.isOpen() && !file.write("x") ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(path()), "");
}

struct FrequencyCase {
    const char* value;
    int frequency;
    size_t cacheSize;
};

TEST_F(LogFileTest, FlushFrequencySetsTheCache) {
    const FrequencyCase cases[] = {
        {nullptr, 10, 10240}, {"0", 0, 0},          {"1", 1, 0},          {"2", 2, 2048},
        {"10", 10, 10240},    {"512", 512, 524288}, {"513", 512, 524288}, {"600", 512, 524288},
        {"-1", 10, 10240},    {"-600", 10, 10240},
    };
    vfw::FileLogging file;
    for (const FrequencyCase& c : cases) {
        if (c.value != nullptr) {
            m_properties.set("logger.file.flush.frequency", c.value);
        }
        ASSERT_EQ(file.open(path()), 0);
        EXPECT_EQ(file.flushFrequency(), c.frequency) << (c.value ? c.value : "unset");
        EXPECT_EQ(file.cacheSize(), c.cacheSize) << (c.value ? c.value : "unset");
    }
}

TEST_F(LogFileTest, SettingDefaultsAndValues) {
    vfw::FileLogging file(path());
    EXPECT_EQ(file.maxSize(), 536870912);
    EXPECT_EQ(file.maxCount(), 5);
    EXPECT_FALSE(file.zipBackup());

    m_properties.set("logger.file.maxsize", "3");
    m_properties.set("logger.file.maxcount", "0");
    m_properties.set("logger.file.zip.backup", "YES");
    ASSERT_EQ(file.open(path()), 0);
    EXPECT_EQ(file.maxSize(), 3 << 20);
    EXPECT_EQ(file.maxCount(), 0);
    EXPECT_TRUE(file.zipBackup());

    // Sizes beyond the signed 32-bit product do not wrap; nonsense sizes mean the default.
    m_properties.set("logger.file.maxsize", "4096");
    m_properties.set("logger.file.maxcount", "-2");
    m_properties.set("logger.file.zip.backup", "on");
    ASSERT_EQ(file.open(path()), 0);
    EXPECT_EQ(file.maxSize(), int64_t{4096} << 20);
    EXPECT_EQ(file.maxCount(), 5);
    EXPECT_FALSE(file.zipBackup());
    for (const char* size : {"0", "-1", "junk"}) {
        m_properties.set("logger.file.maxsize", size);
        ASSERT_EQ(file.open(path()), 0);
        EXPECT_EQ(file.maxSize(), 536870912) << size;
    }
}

TEST_F(LogFileTest, RecordsReachTheDiskAtFlushPoints) {
    m_properties.set("logger.file.flush.frequency", "3");
    vfw::FileLogging file(path());
    file.write("one");
    file.write("two");
    EXPECT_EQ(readFile(path()), "");
    file.write("three");
    EXPECT_EQ(countLines(readFile(path())), 3);
    file.write("four");
    EXPECT_EQ(countLines(readFile(path())), 3);
    file.close();
    EXPECT_EQ(countLines(readFile(path())), 4);
    EXPECT_FALSE(file.write("after close"));
}

TEST_F(LogFileTest, WithoutCacheEveryRecordIsFlushed) {
    for (const char* frequency : {"0", "1"}) {
        m_properties.set("logger.file.flush.frequency", frequency);
        vfw::FileLogging file(path());
        int before = countLines(readFile(path()));
        file.write("a");
        EXPECT_EQ(countLines(readFile(path())), before + 1) << frequency;
        file.write("b");
        EXPECT_EQ(countLines(readFile(path())), before + 2) << frequency;
    }
}

TEST_F(LogFileTest, NegativeFrequencyFlushesEveryTenRecords) {
    m_properties.set("logger.file.flush.frequency", "-5");
    vfw::FileLogging file(path());
    for (int i = 0; i < 9; ++i) {
        file.write("r");
    }
    EXPECT_EQ(readFile(path()), "");
    file.write("tenth");
    EXPECT_EQ(countLines(readFile(path())), 10);
}

TEST_F(LogFileTest, FullCacheIsWrittenBeforeTheFlushPoint) {
    m_properties.set("logger.file.flush.frequency", "40");  // 40960 bytes, 40959 usable
    vfw::FileLogging file(path());
    char prefix[512];
    size_t recordSize = vfw::formatRecordPrefix(prefix, sizeof prefix, "") + 1023 + 1;
    size_t fitting = 40959 / recordSize;
    ASSERT_LT(fitting + 1, 40u);
    std::string line(1023, 'f');
    for (size_t i = 0; i < fitting; ++i) {
        file.write(line.c_str());
    }
    EXPECT_EQ(readFile(path()), "");
    file.write(line.c_str());  // fills the cache: what it holds goes out, no flush point yet
    EXPECT_EQ(readFile(path()).size(), 40959u);
    for (size_t i = fitting + 1; i < 40; ++i) {
        file.write(line.c_str());
    }
    std::string text = readFile(path());
    EXPECT_EQ(text.size(), 40 * recordSize);
    EXPECT_EQ(countLines(text), 40);
}

TEST_F(LogFileTest, CachedLinesAreCutAt1023Characters) {
    m_properties.set("logger.file.flush.frequency", "4");
    vfw::FileLogging file(path());
    std::string line(3000, 'c');
    file.write(line.c_str());
    file.close();
    std::string text = readFile(path());
    EXPECT_EQ(text.substr(text.size() - 1024), std::string(1023, 'c') + "\n");
}

TEST_F(LogFileTest, ReopeningKeepsCachedRecords) {
    m_properties.set("logger.file.flush.frequency", "4");
    vfw::FileLogging file(path());
    file.write("cached");
    m_properties.set("logger.file.flush.frequency", "8");
    ASSERT_EQ(file.open(path()), 0);  // closes (flushing) and reopens with the new cache
    EXPECT_EQ(file.cacheSize(), 8192u);
    EXPECT_EQ(countLines(readFile(path())), 1);
    file.write("again");
    file.reopen(true);
    EXPECT_EQ(countLines(readFile(path())), 2);
    file.write("more");
    file.reopen(false);
    file.destroy();
    EXPECT_EQ(countLines(readFile(path())), 3);
    EXPECT_FALSE(file.isOpen());
}

TEST_F(LogFileTest, DestructorFlushes) {
    m_properties.set("logger.file.flush.frequency", "100");
    {
        vfw::FileLogging file(path());
        file.write("kept");
    }
    EXPECT_EQ(countLines(readFile(path())), 1);
}

TEST_F(LogFileTest, ProcessLogFileIsFlushedAtExit) {
    m_properties.set("logger.file.flush.frequency", "100");
    pid_t child = fork();
    if (child == 0) {
        if (vfw::getFileLogging().open(path()) != 0) {
            _exit(1);
        }
        VFW_LOG(vfw::getLogger("atexit"), vfw::LEVEL_WARN, "written at exit");
        std::exit(readFile(path()).empty() ? 0 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string text = readFile(path());
    EXPECT_NE(text.find("]: WARN  atexit written at exit\n"), std::string::npos) << text;
}

class RotationTest : public LogFileTest {
  protected:
    void SetUp() override {
        LogFileTest::SetUp();
        m_properties.set("logger.file.flush.frequency", "1");
        m_properties.set("logger.file.maxsize", "1");
        m_properties.set("logger.file.maxcount", "3");
    }
    // Leaves the file just at the maximum size, so that the next flush point rotates.
    void fillToMaximum() { writeFile(path(), std::string(1 << 20, 'x')); }
    std::string backup(int n, const char* suffix = "") const {
        return path() + "." + std::to_string(n) + suffix;
    }
};

TEST_F(RotationTest, ShiftsBackupsAndRemovesTheOldest) {
    fillToMaximum();
    writeFile(backup(1), "one");
    writeFile(backup(2), "two");
    writeFile(backup(3), "three");
    vfw::FileLogging file(path());
    file.write("last of the old file");
    EXPECT_EQ(readFile(backup(3)), "two");
    EXPECT_EQ(readFile(backup(2)), "one");
    std::string first = readFile(backup(1));
    EXPECT_EQ(first.size() > (1u << 20), true);
    EXPECT_NE(first.find("]: last of the old file\n"), std::string::npos);
    EXPECT_FALSE(exists(backup(4)));

    // The new file: empty, mode 0666, and the next record goes there.
    EXPECT_EQ(fileSize(path()), 0);
    struct stat status;
    ASSERT_EQ(stat(path().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0666u);
    file.write("first of the new file");
    EXPECT_EQ(countLines(readFile(path())), 1);
}

TEST_F(RotationTest, GapsInTheBackupsAreKept) {
    fillToMaximum();
    writeFile(backup(2), "two");
    vfw::FileLogging file(path());
    file.write("r");
    EXPECT_EQ(readFile(backup(3)), "two");
    EXPECT_FALSE(exists(backup(2)));
    EXPECT_TRUE(exists(backup(1)));
}

TEST_F(RotationTest, BelowTheMaximumNothingMoves) {
    writeFile(path(), std::string((1 << 20) - 200, 'x'));
    vfw::FileLogging file(path());
    file.write("short");
    EXPECT_FALSE(exists(backup(1)));
    file.write(std::string(300, 'y').c_str());  // now over: rotates at this flush point
    EXPECT_TRUE(exists(backup(1)));
    EXPECT_EQ(fileSize(path()), 0);
}

TEST_F(RotationTest, RotationWaitsForAFlushPoint) {
    m_properties.set("logger.file.flush.frequency", "3");
    fillToMaximum();
    vfw::FileLogging file(path());
    file.write("a");
    file.write("b");
    EXPECT_FALSE(exists(backup(1)));
    file.write("c");
    EXPECT_TRUE(exists(backup(1)));
    EXPECT_EQ(countLines(readFile(backup(1))), 3);
}

TEST_F(RotationTest, ZipBackupNamesEndInGz) {
    m_properties.set("logger.file.zip.backup", "true");
    fillToMaximum();
    writeFile(backup(1, ".gz"), "one");
    writeFile(backup(3, ".gz"), "three");
    writeFile(backup(1), "plain one");
    vfw::FileLogging file(path());
    file.write("r");
    EXPECT_EQ(readFile(backup(2, ".gz")), "one");
    EXPECT_FALSE(exists(backup(3, ".gz")));
    EXPECT_EQ(readFile(backup(1, ".gz")).substr(0, 4), "xxxx");
    EXPECT_EQ(readFile(backup(1)), "plain one");  // other names are not touched
    EXPECT_EQ(fileSize(path()), 0);
}

TEST_F(RotationTest, CountZeroNeverRenamesButReopens) {
    m_properties.set("logger.file.maxcount", "0");
    fillToMaximum();
    vfw::FileLogging file(path());
    file.write("one");
    file.write("two");
    EXPECT_FALSE(exists(backup(1)));
    std::string text = readFile(path());
    EXPECT_EQ(text.size() > (1u << 20), true);
    EXPECT_EQ(countLines(text.substr(1 << 20)), 2);
    EXPECT_TRUE(file.isOpen());
}

TEST_F(RotationTest, FailedRemovalStopsTheShiftButNotLogging) {
    fillToMaximum();
    writeFile(backup(1), "one");
    writeFile(backup(2), "two");
    ASSERT_EQ(mkdir(backup(3).c_str(), 0755), 0);  // a non-empty directory cannot be removed
    writeFile(backup(3) + "/inside", "");
    vfw::FileLogging file(path());
    file.write("r");
    EXPECT_EQ(readFile(backup(2)), "two");
    EXPECT_EQ(readFile(backup(1)).substr(0, 4), "xxxx");
    EXPECT_TRUE(exists(backup(3) + "/inside"));
    file.write("still logging");
    EXPECT_NE(readFile(path()).find("still logging\n"), std::string::npos);
}

TEST_F(RotationTest, FailedMoveKeepsTheFileAndItsRecords) {
    for (const char* zip : {"false", "true"}) {
        m_properties.set("logger.file.zip.backup", zip);
        m_properties.set("logger.file.maxcount", "1");
        std::string first = std::string(zip) == "true" ? backup(1, ".gz") : backup(1);
        fillToMaximum();
        ASSERT_EQ(mkdir(first.c_str(), 0755), 0);
        writeFile(first + "/inside", "");
        vfw::FileLogging file(path());
        file.write("kept");
        std::string text = readFile(path());
        EXPECT_EQ(text.size() > (1u << 20), true) << zip;
        EXPECT_NE(text.find("kept\n"), std::string::npos) << zip;
        file.write("and more");
        EXPECT_NE(readFile(path()).find("and more\n"), std::string::npos) << zip;
        file.close();
        ASSERT_EQ(system(("rm -rf '" + first + "'").c_str()), 0);
    }
}

TEST_F(RotationTest, AnotherWriterAlreadyRotated) {
    fillToMaximum();
    vfw::FileLogging file(path());
    // Someone else moves the full file away and starts a fresh one under the path.
    ASSERT_EQ(rename(path().c_str(), backup(1).c_str()), 0);
    writeFile(path(), "");
    file.write("to the old file");
    EXPECT_FALSE(exists(backup(2)));
    file.write("to the new file");
    EXPECT_NE(readFile(path()).find("to the new file\n"), std::string::npos);
    EXPECT_EQ(readFile(path()).find("to the old file"), std::string::npos);
}

TEST_F(RotationTest, ConcurrentWritersAcrossRotations) {
    m_properties.set("logger.file.flush.frequency", "7");
    m_properties.set("logger.file.maxcount", "10");
    const int kThreads = 4;
    const int kEach = 600;  // about 2.6 MB in all: two rotations
    {
        vfw::FileLogging file(path());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&file, t] {
                std::string line(1000, static_cast<char>('a' + t));
                for (int i = 0; i < kEach; ++i) {
                    file.write(line.c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    EXPECT_TRUE(exists(backup(2)));
    EXPECT_FALSE(exists(backup(4)));
    std::string all;
    for (int n = 3; n >= 1; --n) {
        all += exists(backup(n)) ? readFile(backup(n)) : "";
    }
    all += readFile(path());
    int counts[kThreads] = {};
    size_t start = 0;
    for (size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string record = all.substr(start, end - start);
        size_t body = record.find("]: ");
        ASSERT_NE(body, std::string::npos);
        std::string line = record.substr(body + 3);
        ASSERT_EQ(line.size(), 1000u);
        int t = line[0] - 'a';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(line, std::string(1000, line[0]));
        ++counts[t];
    }
    EXPECT_EQ(start, all.size());
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(counts[t], kEach) << t;
    }
}

TEST(LogCache, WritesWhenFullAndOnFlush) {
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
        EXPECT_EQ(readFile(path), "abcdefghijklmnopqrstu");
        cache.flush();
        EXPECT_EQ(readFile(path), "abcdefghijklmnopqrstu");

        cache.resize(4, stream);
        EXPECT_EQ(cache.size(), 4u);
        cache.putLine(std::string(2000, 'L').c_str());
        cache.putChar('\n');
    }
    std::fclose(stream);
    std::string text = readFile(path);
    EXPECT_EQ(text, "abcdefghijklmnopqrstu" + std::string(1023, 'L') + "\n");
}

TEST(LogCache, WithoutAStreamBytesAreDiscarded) {
    vfw::LogCache cache(16, nullptr);
    cache.putString("into nothing at all, and more than sixteen bytes");
    cache.flush();
    cache.putChar('x');
}

}  // namespace
