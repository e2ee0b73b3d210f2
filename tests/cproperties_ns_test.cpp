// The configuration store's fixed paths, each test in a private mount namespace with fresh
// directories bound over /var/vantrelhub (host facts) and /var/vantrelaud (the trace): host
// facts, the trace file and its records, and files the caller may not read (as user 65534),
// also through the property layer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"
#include "support/log_capture.h"
#include "vfw/properties.h"

using namespace cprops_test;

namespace {

// Loads `text` with the trace at `level` (unset for a negative one).
int loadTraced(Store& s, const std::string& text, int level) {
    if (level >= 0) {
        ::setenv("VFW_PROPERTIES2_DEBUG", std::to_string(level).c_str(), 1);
    }
    int rc = loadText(s, text);
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    return rc;
}

std::string trace() {
    return vfw_test::readFile(tracePath());
}

// Each fact file is read whole: printable text with at most a final line feed, trimmed; a
// zone's distinguished name gives its first value. Anything else (a control character, a
// line feed not last, only blanks, empty, over 64 KiB, missing) gives "<unknown>". A
// property is newer than the fact of its name; a reference takes the fact first.
NS_TEST(CPropertiesHostFacts, ValidInvalidAndMissingFiles) {
    Sandbox hub("/var/vantrelhub");
    Sandbox aud("/var/vantrelaud");
    const std::string unknown = "<unknown>", none = "no file";
    // clang-format off
    const struct { std::string host, site, domain, zone; Pairs values; } cases[] = {
        {"myhost\n", "  site one  \n", "example.test", "CN=zone1,CN=Zones\n",
         {{"JOINNAME", "myhost"}, {"DOMAIN", "example.test"}, {"ZONE", "zone1"},
          {"SITE", "from-file"}, {"where", "zone1/myhost/site one/example.test"}}},
        {"a\tb\n", "", none, "zone\n\n",
         {{"JOINNAME", unknown}, {"DOMAIN", unknown}, {"ZONE", unknown},
          {"where", "<unknown>/<unknown>/<unknown>/<unknown>"}}},
        {" \n", "OU=x,CN=y", std::string(70000, 'd'), "plain zone",
         {{"JOINNAME", unknown}, {"DOMAIN", unknown}, {"ZONE", "plain zone"},
          {"where", "plain zone/<unknown>/OU=x,CN=y/<unknown>"}}}};
    // clang-format on
    for (const auto& c : cases) {
        const std::pair<const char*, std::string> files[] = {
            {"host", c.host}, {"site", c.site}, {"domain", c.domain}, {"zonename", c.zone}};
        for (const auto& f : files) {
            ::unlink(hub.file(std::string("kset.") + f.first).c_str());
            if (f.second != none) {
                vfw_test::writeFile(hub.file(std::string("kset.") + f.first), f.second);
            }
        }
        ::setenv("SITE", "from-env", 1);
        Store s;
        ASSERT_EQ(0, loadTraced(s, "SITE: from-file\nwhere: $ZONE/$JOINNAME/$site/$Domain\n", 1));
        ::unsetenv("SITE");
        expectValues(s, c.values);
        EXPECT_EQ(4 + 2, s->size(s.p));
    }
    EXPECT_TRUE(contains(trace(), ") : Error to open kset file: /var/vantrelhub/kset.domain\n"));
}

// A record: the level padded to seven characters, " : ", the operation, " (", the source
// line in upper-case hexadecimal without leading zeros, ") : " and the text.
const std::regex RECORD(
    "(ERROR  |WARNING|INFO   |DEBUG  |TRACE  |LOCK   ) : ([A-Za-z]+) \\(([1-9A-F][0-9A-F]*)\\) : "
    "(.*)");

// Expects the first record holding `find` (`text` when empty) to be "level op text"; with a
// `source` file, the line it names (give or take two: a call may span lines) holds `call`.
void expectRecord(const std::string& level, const std::string& op, const std::string& text,
                  const std::string& find = "", const char* source = nullptr,
                  const std::string& call = "") {
    const std::string all = trace();
    const size_t at = all.find(find.empty() ? text : find);
    const size_t begin = at == std::string::npos ? all.size() : all.rfind('\n', at) + 1;
    const std::string record = all.substr(begin, all.find('\n', begin) - begin);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(record, m, RECORD)) << text << " in:\n" << all;
    EXPECT_EQ(level + " " + op + " " + text,
              m[1].str() + " " + m[2].str() + " " + m[4].str() + "\n");
    const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/"));
    std::istringstream lines(source ? vfw_test::readFile(dir + "/lib/vfw/properties/" + source)
                                    : "");
    const unsigned long line = std::stoul(m[3].str(), nullptr, 16);
    std::string window, current;
    for (unsigned long n = 1; std::getline(lines, current) && n <= line + 2; ++n) {
        window += n + 2 >= line ? current : "";
    }
    EXPECT_TRUE(contains(window, call)) << record << ": " << window;
}

std::string g_raced;  // replaced by swapIn each time it has been opened

void swapIn(const char* path) {
    if (path == g_raced) {
        vfw_test::writeFile(g_raced + ".new", "x\n");
        ASSERT_EQ(0, std::rename((g_raced + ".new").c_str(), path));
    }
}

// The trace file (mode 0600, never through a planted link) and its records at each level;
// the texts of the line limit and of every refused list file.
NS_TEST(CPropertiesTrace, RecordsLevelsAndTexts) {
    Sandbox aud("/var/vantrelaud");
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("victim"), "untouched\n");
    ASSERT_EQ(0, ::symlink(dir.file("victim").c_str(), tracePath().c_str()));
    Store linked;
    EXPECT_EQ(0, loadTraced(linked, "a: 1\n", 6));  // the store works, untraced
    EXPECT_EQ(-1, linked->traceFd);
    EXPECT_EQ("untouched\n", vfw_test::readFile(dir.file("victim")));
    ASSERT_EQ(0, ::unlink(tracePath().c_str()));
    Store quiet;  // without the variable no file at all
    ASSERT_EQ(0, loadTraced(quiet, "a.b: 10x\n", -1));
    EXPECT_EQ(30, quiet->getTime(quiet.p, "a.b", 30, 's', nullptr));
    EXPECT_NE(0, ::access(tracePath().c_str(), F_OK));
    Store warnings;  // below 6 no locks, below 5 no traces, below 4 no debug records
    ASSERT_EQ(0, loadTraced(warnings, "a.b: 10x\n", 2));
    EXPECT_EQ(30, warnings->getTime(warnings.p, "a.b", 30, 's', nullptr));
    EXPECT_TRUE(contains(trace(), "WARNING : timeFactor") && !contains(trace(), "LOCK    :") &&
                !contains(trace(), "TRACE   :") && !contains(trace(), "DEBUG   :"))
        << trace();
    ASSERT_EQ(0, ::unlink(tracePath().c_str()));

    Store s;
    ASSERT_EQ(0, loadTraced(s, "a.b: 10x\nneg: -5\n", 6));
    struct stat st;
    ASSERT_EQ(0, ::stat(tracePath().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(30, s->getTime(s.p, "a.b", 30, 's', nullptr));
    EXPECT_EQ(30, s->getTime(s.p, "neg", 30, 's', nullptr));
    EXPECT_EQ(0, s->setProperty(s.p, "k", ""));
    EXPECT_EQ(10, s->getInt(s.p, "a.b", 0, nullptr));
    EXPECT_EQ(0, s->dump(s.p, nullptr));
    EXPECT_EQ(nullptr, s->getValueList(s.p, "k", nullptr, nullptr));
    expectRecord("WARNING", "timeFactor", "Bad unit specification in property file: x\n", "",
                 "cproperties_getters.cpp", "Bad unit specification");
    expectRecord("WARNING", "getTime",
                 "Negative time specification in property file for neg is ignored.  Using "
                 "default.\n");
    expectRecord("TRACE  ", "getTime", "a.b: 30 seconds\n");
    expectRecord("TRACE  ", "setProperty", " Enter arg: k null\n");  // an empty piece: "null"
    expectRecord("TRACE  ", "getInt", " Enter arg: a.b\n", "TRACE   : getInt (");
    expectRecord("TRACE  ", "getInt", " Return: 10\n");
    expectRecord("INFO   ", "dump", "TYPE: PROPERTIES NAME: a.b VALUE: 10x INTERVALUE: 10x\n");
    expectRecord("LOCK   ", "setProperty", "Take the lock\n", "LOCK    : setProperty (",
                 "cproperties_changes.cpp", "EntryLock lock(props, \"setProperty\"");
    for (const char* part : {" : Release the lock\n", " : Take the freelist lock\n",
                             " : Release the freelist lock\n", ") : k is not defined\n"}) {
        EXPECT_TRUE(contains(trace(), part)) << part;
    }
    std::istringstream lines(trace());
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, RECORD)) << line;
    }

    const std::string line = "a: " + std::string(1021, 'x');
    vfw_test::writeFile(dir.file("long"), line + "\n");
    ::setenv("VFW_PROPERTIES2_DEBUG", "5", 1);
    Store longLine;
    EXPECT_EQ(-5, vfw::newPropsFromFile(&longLine.p, dir.file("long").c_str(), 1, 0));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    expectRecord("ERROR  ", "getLine", "Error when parsing line: " + line.substr(0, 1023) + "\n");
    expectRecord("ERROR  ", "loadFromStream", "Fail to read line from config file.\n");
    EXPECT_TRUE(contains(trace(), ") : loadFromStream has error -5\n"));
    EXPECT_TRUE(contains(trace(), ") : Error in opening config file: " + dir.file("long") + "\n"));

    auto make = [&dir](const std::string& name, const std::string& text, mode_t mode = 0644) {
        vfw_test::writeFile(dir.file(name), text);
        EXPECT_EQ(0, ::chmod(dir.file(name).c_str(), mode));
        return dir.file(name);
    };
    std::string other = make("other", "x\n"), writable = make("writable", "x\n", 0666);
    ASSERT_EQ(0, ::chown(other.c_str(), 1000, 1000));
    std::string twice = make("twice", "x\n"), raced = make("raced", "x\n");
    std::string tooLong = make("long", std::string(1024, 'x') + "\n");
    ASSERT_EQ(0, ::link(twice.c_str(), dir.file("twice2").c_str()));
    ASSERT_EQ(0, ::symlink(other.c_str(), dir.file("symlink").c_str()));
    g_raced = raced;
    const std::string skip = ". Skip reading config file for property ";
    auto refused = [&skip](const std::string& path, const char* why, const char* name,
                           const char* please) {
        return "Config file [" + path + why + skip + name + ". Please " + please + "\n";
    };
    auto unknown = [&skip](const std::string& path, const char* name) {
        return "Cannot open config file [" + path + "] due to unknown error" + skip + name + "\n";
    };
    const struct {
        const char* name;
        std::string path;
        int err;
        std::string text;
    } cases[] = {
        {"l.other", other, -125,
         refused(other, "]is not owned by root", "l.other",
                 "change its owner to root to enhance security.")},
        {"l.writable", writable, -125,
         refused(writable, "] is world writable", "l.writable",
                 "ensure the file is not world writable to enhance security.")},
        {"l.twice", twice, -125,
         refused(twice, "] has more than one hardlinks", "l.twice",
                 "ensure the file has only one hardlink")},
        {"l.link", dir.file("symlink"), -125,
         refused(dir.file("symlink"), "] is symlink", "l.link", "ensure the file is not symlink")},
        {"l.missing", dir.file("missing"), -2,
         "Config file does not exist: " + dir.file("missing") + "\n"},
        {"l.dir", dir.path(), -5, unknown(dir.path(), "l.dir")},
        {"l.long", tooLong, -5, unknown(tooLong, "l.long")},  // a line over the limit
        {"l.raced", raced, -5, unknown(raced, "l.raced")}};   // replaced after its opening
    // A refused file falls back to the default, a file again, and then to nothing.
    const std::string good = "file:" + make("good", "g1 g2\n");
    const std::pair<const char*, Items> fallbacks[] = {
        {"d", {"d"}}, {good.c_str(), {"g1", "g2"}}, {nullptr, {}}};
    vfw::cprops::g_afterOpenHook = swapIn;
    for (const auto& c : cases) {
        for (const auto& f : fallbacks) {
            ASSERT_EQ(0, s->setProperty(s.p, c.name, ("file:" + c.path).c_str()));
            int err = 0;
            EXPECT_EQ(f.second, items(s->getValueList(s.p, c.name, f.first, &err))) << c.name;
            EXPECT_EQ(c.err, err) << c.name;
        }
        expectRecord("ERROR  ", "getValueList", c.text);
        int err = 0;
        const std::string none = std::string("none.") + c.name;
        EXPECT_EQ(nullptr, s->getValueList(s.p, none.c_str(), ("file:" + c.path).c_str(), &err));
        EXPECT_EQ(c.err, err) << c.name;
    }
    vfw::cprops::g_afterOpenHook = nullptr;
}

// Run as user 65534 by CPropertiesNobody.FilesItMayNotRead, in that test's namespace.
TEST(CPropertiesNobody, DISABLED_Probe) {
    const std::string dir = std::getenv("CPROP_NOBODY_DIR");
    ASSERT_NE(0u, ::getuid());
    Store unreadable;
    EXPECT_EQ(-1, vfw::newPropsFromFile(&unreadable.p, (dir + "/secret").c_str(), 1, 0));
    EXPECT_EQ(3, unreadable->getInt(unreadable.p, "a", 3, nullptr));
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, (dir + "/conf").c_str(), 1, 0));
    int err = 0;
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "list", "d", &err)));
    EXPECT_EQ(-1, err);
    EXPECT_TRUE(contains(trace(), "No permission to access config file [" + dir +
                                      "/list]. Skip reading config file for property list. "
                                      "Please ensure the file is accessible.\n"))
        << trace();
    vfw_test::LogCapture capture;
    vfw::CProperties2 props;
    props.setSkipLoggerReconfigure(1);
    props.load((dir + "/secret").c_str(), 1);
    EXPECT_EQ(capture.records(), Items{"INFO  util.properties Error in parsing " + dir +
                                       "/secret because of permission denied."});
}

NS_TEST(CPropertiesNobody, FilesItMayNotRead) {
    Sandbox aud("/var/vantrelaud");
    ASSERT_EQ(0, ::chmod("/var/vantrelaud", 0777));  // the fresh directory, in the namespace
    vfw_test::TempDir dir;
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    for (const char* name : {"secret", "list"}) {
        vfw_test::writeFile(dir.file(name), "a: 1\n");
        ASSERT_EQ(0, ::chmod(dir.file(name).c_str(), 0600));
    }
    vfw_test::writeFile(dir.file("conf"), "list: file:" + dir.file("list") + "\n");
    std::string output;
    int status = vfw_test::runCommand(
        "VFW_PROPERTIES2_DEBUG=1 CPROP_NOBODY_DIR='" + dir.path() +
            "' setpriv --reuid=65534 --regid=65534 --clear-groups '" + vfw_test::selfPath() +
            "' --gtest_also_run_disabled_tests --gtest_filter=CPropertiesNobody.DISABLED_Probe",
        output);
    EXPECT_EQ(0, status) << output;
    EXPECT_TRUE(contains(output, "[  PASSED  ] 1 test")) << output;
}

}  // namespace
