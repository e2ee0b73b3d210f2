// The configuration store's fixed paths, each test in a private mount namespace with fresh
// directories bound over /var/vantrelhub (host facts) and /var/vantrelaud (the trace):
// host facts, the trace file and its records, the trace texts of refused list files, and
// files the caller may not read (as user 65534).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"

using cprops_test::get;
using cprops_test::items;
using cprops_test::loadText;
using cprops_test::Sandbox;
using cprops_test::Store;
using Items = std::vector<std::string>;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

NS_TEST(CPropertiesHostFacts, ValuesReferencesAndDistinguishedZone) {
    Sandbox hub("/var/vantrelhub");
    vfw_test::writeFile(hub.file("kset.host"), "myhost\n");
    vfw_test::writeFile(hub.file("kset.site"), "  site one  \n");
    vfw_test::writeFile(hub.file("kset.domain"), "example.test");
    vfw_test::writeFile(hub.file("kset.zonename"), "CN=zone1,CN=Zones\n");
    ::setenv("SITE", "from-env", 1);
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "SITE: from-file\n"
                          "where: $ZONE/$JOINNAME/$site/$Domain\n"));
    ::unsetenv("SITE");
    EXPECT_EQ("zone1", get(s, "ZONE"));
    EXPECT_EQ("myhost", get(s, "joinname"));
    EXPECT_EQ("example.test", get(s, "DOMAIN"));
    EXPECT_EQ("from-file", get(s, "SITE"));  // the property is newer than the host fact
    // References take the host fact before the environment and the property.
    EXPECT_EQ("zone1/myhost/site one/example.test", get(s, "where"));
    EXPECT_EQ(4 + 2, s->size(s.p));
}

NS_TEST(CPropertiesHostFacts, InvalidEmptyAndMissingFilesAreUnknown) {
    Sandbox hub("/var/vantrelhub");
    Sandbox aud("/var/vantrelaud");
    vfw_test::writeFile(hub.file("kset.host"), "a\tb\n");  // a tab is a control character
    vfw_test::writeFile(hub.file("kset.site"), "");
    vfw_test::writeFile(hub.file("kset.zonename"), "zone\n\n");  // a line feed not last
    ::setenv("VFW_PROPERTIES2_DEBUG", "1", 1);
    Store s;
    ASSERT_EQ(0, loadText(s, "ref: [$DOMAIN]\n"));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    EXPECT_EQ("<unknown>", get(s, "JOINNAME"));
    EXPECT_EQ("<unknown>", get(s, "SITE"));
    EXPECT_EQ("<unknown>", get(s, "DOMAIN"));
    EXPECT_EQ("<unknown>", get(s, "ZONE"));
    EXPECT_EQ("[<unknown>]", get(s, "ref"));
    std::string trace = vfw_test::readFile(cprops_test::tracePath());
    EXPECT_TRUE(contains(trace, " : loadVariable ("));
    EXPECT_TRUE(contains(trace, ") : Error to open kset file: /var/vantrelhub/kset.domain\n"))
        << trace;

    vfw_test::writeFile(hub.file("kset.zonename"), "plain zone");
    vfw_test::writeFile(hub.file("kset.domain"), std::string(70000, 'd'));  // not a name
    vfw_test::writeFile(hub.file("kset.site"), "OU=x,CN=y");  // "CN=" anywhere: first value
    vfw_test::writeFile(hub.file("kset.host"), " \n");
    Store plain;
    ASSERT_EQ(0, loadText(plain, ""));
    EXPECT_EQ("plain zone", get(plain, "ZONE"));
    EXPECT_EQ("<unknown>", get(plain, "JOINNAME"));  // only white space
    EXPECT_EQ("<unknown>", get(plain, "DOMAIN"));
    EXPECT_EQ("OU=x,CN=y", get(plain, "SITE"));  // only the zone is cut
}

// Splits a record "LEVEL   : op (HEX) : rest" into its parts; false for any other shape.
// The hexadecimal line is upper case without leading zeros.
bool parseRecord(const std::string& record, std::string& level, std::string& op,
                 unsigned long& line, std::string& rest) {
    if (record.size() < 10 || record.compare(7, 3, " : ") != 0) {
        return false;
    }
    level = record.substr(0, 7);
    size_t open = record.find(" (", 10);
    size_t close = record.find(") : ", open);
    if (open == std::string::npos || close == std::string::npos || close == open + 2) {
        return false;
    }
    op = record.substr(10, open - 10);
    std::string hex = record.substr(open + 2, close - open - 2);
    if (op.empty() || hex[0] == '0' ||
        op.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") !=
            std::string::npos ||
        hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        return false;
    }
    line = std::stoul(hex, nullptr, 16);
    rest = record.substr(close + 4);
    return true;
}

// Expects `record` to be exactly one record of that level and operation with that text.
void expectRecord(const std::string& record, const std::string& level, const std::string& op,
                  const std::string& text) {
    std::string gotLevel;
    std::string gotOp;
    std::string rest;
    unsigned long line = 0;
    ASSERT_TRUE(parseRecord(record, gotLevel, gotOp, line, rest)) << record;
    EXPECT_EQ(level, gotLevel);
    EXPECT_EQ(op, gotOp);
    EXPECT_EQ(text, rest);
}

// The source line that a trace record names (its hexadecimal line) holds `text` there or
// on one of the two lines after it (a call may span lines).
void expectSourceLine(const std::string& record, const std::string& file, const std::string& text) {
    std::string level;
    std::string op;
    std::string rest;
    unsigned long line = 0;
    ASSERT_TRUE(parseRecord(record, level, op, line, rest)) << record;
    std::string source = std::string(__FILE__);
    source = source.substr(0, source.rfind("/tests/")) + "/lib/vfw/properties/" + file;
    std::istringstream lines(vfw_test::readFile(source));
    std::string window;
    std::string current;
    for (unsigned long n = 1; std::getline(lines, current) && n < line + 3; ++n) {
        if (n + 2 >= line) {
            window += current;
        }
    }
    EXPECT_TRUE(contains(window, text)) << record << " -> line " << line << ": " << window;
}

std::string recordWith(const std::string& trace, const std::string& text) {
    size_t at = trace.find(text);
    if (at == std::string::npos) {
        return std::string();
    }
    size_t begin = trace.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return trace.substr(begin, trace.find('\n', at) - begin + 1);
}

NS_TEST(CPropertiesTrace, RecordFormatLevelsAndLocks) {
    Sandbox aud("/var/vantrelaud");
    ::setenv("VFW_PROPERTIES2_DEBUG", "6", 1);
    Store s;
    ASSERT_EQ(0, loadText(s, "a.b: 10x\nneg: -5\n"));
    EXPECT_EQ(30, s->getTime(s.p, "a.b", 30, 's', nullptr));
    EXPECT_EQ(30, s->getTime(s.p, "neg", 30, 's', nullptr));
    EXPECT_EQ(0, s->setProperty(s.p, "k", ""));
    EXPECT_EQ(10, s->getInt(s.p, "a.b", 0, nullptr));
    EXPECT_EQ(0, s->dump(s.p, nullptr));
    EXPECT_EQ(nullptr, s->getValueList(s.p, "k", nullptr, nullptr));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");

    struct stat st;
    ASSERT_EQ(0, ::stat(cprops_test::tracePath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::string trace = vfw_test::readFile(cprops_test::tracePath());
    std::string bad = recordWith(trace, "Bad unit specification");
    expectRecord(bad, "WARNING", "timeFactor", "Bad unit specification in property file: x\n");
    expectSourceLine(bad, "cproperties_getters.cpp", "Bad unit specification");
    expectRecord(recordWith(trace, "Negative time"), "WARNING", "getTime",
                 "Negative time specification in property file for neg is ignored.  Using "
                 "default.\n");
    expectRecord(recordWith(trace, "a.b: 30 seconds"), "TRACE  ", "getTime", "a.b: 30 seconds\n");
    expectRecord(recordWith(trace, " Enter arg: k"), "TRACE  ", "setProperty",
                 " Enter arg: k null\n");  // an empty piece is written as "null"
    expectRecord(recordWith(trace, "TRACE   : getInt ("), "TRACE  ", "getInt", " Enter arg: a.b\n");
    expectRecord(recordWith(trace, " Return: 10\n"), "TRACE  ", "getInt", " Return: 10\n");
    expectRecord(recordWith(trace, "NAME: a.b"), "INFO   ", "dump",
                 "TYPE: PROPERTIES NAME: a.b VALUE: 10x INTERVALUE: 10x\n");
    std::string take = recordWith(trace, "LOCK    : setProperty (");
    expectRecord(take, "LOCK   ", "setProperty", "Take the lock\n");
    expectSourceLine(take, "cproperties_changes.cpp", "EntryLock lock(props, \"setProperty\"");
    EXPECT_TRUE(contains(trace, " : Release the lock\n"));
    EXPECT_TRUE(contains(trace, " : Take the freelist lock\n"));
    EXPECT_TRUE(contains(trace, " : Release the freelist lock\n"));
    EXPECT_TRUE(contains(trace, ") : k is not defined\n"));
    // Every record is a padded level name, " : ", an operation, its line and its text.
    std::istringstream lines(trace);
    std::string line;
    const std::string levels[] = {"ERROR  ", "WARNING", "INFO   ", "DEBUG  ", "TRACE  ", "LOCK   "};
    while (std::getline(lines, line)) {
        std::string level;
        std::string op;
        std::string rest;
        unsigned long at = 0;
        EXPECT_TRUE(parseRecord(line, level, op, at, rest)) << line;
        EXPECT_NE(std::end(levels), std::find(std::begin(levels), std::end(levels), level)) << line;
    }
}

NS_TEST(CPropertiesTrace, LevelsBelowSixLeaveOutLocks) {
    Sandbox aud("/var/vantrelaud");
    ::setenv("VFW_PROPERTIES2_DEBUG", "2", 1);
    Store s;
    ASSERT_EQ(0, loadText(s, "a.b: 10x\n"));
    EXPECT_EQ(30, s->getTime(s.p, "a.b", 30, 's', nullptr));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    std::string trace = vfw_test::readFile(cprops_test::tracePath());
    EXPECT_TRUE(contains(trace, "WARNING : timeFactor")) << trace;
    EXPECT_FALSE(contains(trace, "LOCK    :"));
    EXPECT_FALSE(contains(trace, "TRACE   :"));
    EXPECT_FALSE(contains(trace, "DEBUG   :"));

    ::unlink(cprops_test::tracePath().c_str());
    Store quiet;  // no variable, no file
    ASSERT_EQ(0, loadText(quiet, "a.b: 10x\n"));
    EXPECT_EQ(30, quiet->getTime(quiet.p, "a.b", 30, 's', nullptr));
    EXPECT_NE(0, ::access(cprops_test::tracePath().c_str(), F_OK));
}

NS_TEST(CPropertiesTrace, PlantedLinkIsNotFollowed) {
    Sandbox aud("/var/vantrelaud");
    vfw_test::TempDir dir;
    std::string victim = dir.file("victim");
    vfw_test::writeFile(victim, "untouched\n");
    ASSERT_EQ(0, ::symlink(victim.c_str(), cprops_test::tracePath().c_str()));
    ::setenv("VFW_PROPERTIES2_DEBUG", "6", 1);
    Store s;
    EXPECT_EQ(0, loadText(s, "a: 1\n"));  // the store works, untraced
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    EXPECT_EQ(-1, s->traceFd);
    EXPECT_EQ("untouched\n", vfw_test::readFile(victim));
}

NS_TEST(CPropertiesTrace, LineLimitMessages) {
    Sandbox aud("/var/vantrelaud");
    ::setenv("VFW_PROPERTIES2_DEBUG", "5", 1);
    vfw_test::TempDir dir;
    std::string path = dir.file("conf");
    std::string line = "a: " + std::string(1021, 'x');
    vfw_test::writeFile(path, line + "\n");
    Store s;
    EXPECT_EQ(-5, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    std::string trace = vfw_test::readFile(cprops_test::tracePath());
    std::string first = line.substr(0, 1023);
    EXPECT_TRUE(contains(trace, ") : Error when parsing line: " + first + "\n")) << trace;
    EXPECT_TRUE(contains(trace, "ERROR   : loadFromStream ("));
    EXPECT_TRUE(contains(trace, ") : Fail to read line from config file.\n"));
    EXPECT_TRUE(contains(trace, ") : loadFromStream has error -5\n"));
    EXPECT_TRUE(contains(trace, ") : Error in opening config file: " + path + "\n"));
}

std::string g_swapIn;

void swapAfterOpen(const char* path) {
    ASSERT_EQ(0, std::rename(g_swapIn.c_str(), path));
}

NS_TEST(CPropertiesTrace, RefusedListFiles) {
    Sandbox aud("/var/vantrelaud");
    vfw_test::TempDir dir;
    auto make = [&](const std::string& name, mode_t mode) {
        std::string path = dir.file(name);
        vfw_test::writeFile(path, "x\n");
        ::chmod(path.c_str(), mode);
        return path;
    };
    std::string other = make("other", 0644);
    ASSERT_EQ(0, ::chown(other.c_str(), 1000, 1000));
    std::string writable = make("writable", 0666);
    std::string twice = make("twice", 0644);
    ASSERT_EQ(0, ::link(twice.c_str(), dir.file("twice2").c_str()));
    std::string linked = dir.file("symlink");
    ASSERT_EQ(0, ::symlink(other.c_str(), linked.c_str()));
    std::string missing = dir.file("missing");
    ::setenv("VFW_PROPERTIES2_DEBUG", "1", 1);
    Store s;
    ASSERT_EQ(
        0, loadText(s, "l.other: file:" + other + "\nl.writable: file:" + writable +
                           "\nl.twice: file:" + twice + "\nl.link: file:" + linked +
                           "\nl.missing: file:" + missing + "\nl.dir: file:" + dir.path() + "\n"));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    struct Case {
        const char* name;
        int err;
        std::string text;
    };
    std::vector<Case> cases = {
        {"l.other", -125,
         "Config file [" + other +
             "]is not owned by root. Skip reading config file for property l.other. Please "
             "change its owner to root to enhance security.\n"},
        {"l.writable", -125,
         "Config file [" + writable +
             "] is world writable. Skip reading config file for property l.writable. Please "
             "ensure the file is not world writable to enhance security.\n"},
        {"l.twice", -125,
         "Config file [" + twice +
             "] has more than one hardlinks. Skip reading config file for property l.twice. "
             "Please ensure the file has only one hardlink\n"},
        {"l.link", -125,
         "Config file [" + linked +
             "] is symlink. Skip reading config file for property l.link. Please ensure the "
             "file is not symlink\n"},
        {"l.missing", -2, "Config file does not exist: " + missing + "\n"},
        {"l.dir", -5,
         "Cannot open config file [" + dir.path() +
             "] due to unknown error. Skip reading config file for property l.dir\n"},
    };
    for (const Case& c : cases) {
        int err = 0;
        EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, c.name, "d", &err))) << c.name;
        EXPECT_EQ(c.err, err) << c.name;
        std::string trace = vfw_test::readFile(cprops_test::tracePath());
        std::string record = recordWith(trace, c.text);
        EXPECT_EQ(0u, record.find("ERROR   : getValueList (")) << c.name << "\n" << trace;
    }

    // A file replaced between its opening and its checks.
    std::string raced = make("raced", 0644);
    g_swapIn = make("swapped", 0644);
    ASSERT_EQ(0, s->setProperty(s.p, "l.raced", ("file:" + raced).c_str()));
    vfw::cprops::g_afterOpenHook = swapAfterOpen;
    int err = 0;
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "l.raced", "d", &err)));
    vfw::cprops::g_afterOpenHook = nullptr;
    EXPECT_EQ(-5, err);
    std::string record = recordWith(vfw_test::readFile(cprops_test::tracePath()),
                                    "Cannot open config file [" + raced +
                                        "] due to unknown error. Skip reading config file for "
                                        "property l.raced\n");
    EXPECT_EQ(0u, record.find("ERROR   : getValueList ("));
}

// Run as user 65534 by CPropertiesNobody.FilesItMayNotRead, in that test's namespace.
TEST(CPropertiesNobody, DISABLED_Probe) {
    const char* dir = std::getenv("CPROP_NOBODY_DIR");
    ASSERT_NE(nullptr, dir);
    ASSERT_NE(0u, ::getuid());
    Store unreadable;
    EXPECT_EQ(-1,
              vfw::newPropsFromFile(&unreadable.p, (std::string(dir) + "/secret").c_str(), 1, 0));
    EXPECT_EQ(3, unreadable->getInt(unreadable.p, "a", 3, nullptr));
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, (std::string(dir) + "/conf").c_str(), 1, 0));
    int err = 0;
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "list", "d", &err)));
    EXPECT_EQ(-1, err);
}

NS_TEST(CPropertiesNobody, FilesItMayNotRead) {
    Sandbox aud("/var/vantrelaud");
    ASSERT_EQ(0, ::chmod("/var/vantrelaud", 0777));  // the fresh directory, in the namespace
    vfw_test::TempDir dir;
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    vfw_test::writeFile(dir.file("secret"), "a: 1\n");
    ASSERT_EQ(0, ::chmod(dir.file("secret").c_str(), 0600));
    vfw_test::writeFile(dir.file("list"), "x\n");
    ASSERT_EQ(0, ::chmod(dir.file("list").c_str(), 0600));
    vfw_test::writeFile(dir.file("conf"), "list: file:" + dir.file("list") + "\n");
    std::string output;
    int status = vfw_test::runCommand(
        "VFW_PROPERTIES2_DEBUG=1 CPROP_NOBODY_DIR='" + dir.path() +
            "' setpriv --reuid=65534 --regid=65534 --clear-groups '" + vfw_test::selfPath() +
            "' --gtest_also_run_disabled_tests --gtest_filter=CPropertiesNobody.DISABLED_Probe",
        output);
    EXPECT_EQ(0, status) << output;
    EXPECT_TRUE(contains(output, "[  PASSED  ] 1 test")) << output;
    std::string trace;
    DIR* traces = ::opendir("/var/vantrelaud");
    ASSERT_NE(nullptr, traces);
    while (struct dirent* entry = ::readdir(traces)) {
        if (std::string(entry->d_name).rfind("cproperties.log.", 0) == 0) {
            trace += vfw_test::readFile(std::string("/var/vantrelaud/") + entry->d_name);
        }
    }
    ::closedir(traces);
    EXPECT_TRUE(contains(trace, "No permission to access config file [" + dir.file("list") +
                                    "]. Skip reading config file for property list. Please "
                                    "ensure the file is accessible.\n"))
        << trace;
}

}  // namespace
