// The property layer on objects of its own (look-ups, times, keys, prefix ranges,
// value lists and list files, failed loads, setValueList and saving; records read back via
// support/log_capture.h), then the process-wide object with a real rsyslogd.
#include "vfw/properties.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/log.h"

namespace {

using vfw::CProperties2;
using vfw_test::readFile;
using vfw_test::writeFile;
using Items = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

Items itemsOf(const CProperties2::StringListPtr& list) {
    EXPECT_TRUE(list) << "value lists are never null";
    return list ? Items(list->begin(), list->end()) : Items();
}

std::string parsing(const std::string& what, const std::string& why) {
    return "INFO  util.properties Error in parsing " + what + why;
}

class PropertiesTest : public ::testing::Test {
  protected:
    void SetUp() override { m_props.setSkipLoggerReconfigure(1); }
    void TearDown() override { m_log->setLevel(-1); }
    // Writes `text` as the configuration file and loads it.
    std::string load(const std::string& text, const std::string& name = "vantrelaud.conf") {
        writeFile(m_dir.file(name), text);
        m_props.load(m_dir.file(name).c_str(), 1);
        return m_dir.file(name);
    }
    Items records() { return m_capture.records(); }

    vfw_test::TempDir m_dir;
    vfw_test::LogCapture m_capture;
    CProperties2 m_props;
    vfw::Logger m_log = vfw::getLogger("util.properties");
};

TEST_F(PropertiesTest, LookupsTimesKeysAndPrefixRanges) {
    load(
        "vaud.at.spool: spool-x\nquoted: \"two  words\"\nsite: mine\nlog: INFO\nlog.b: DEBUG\n"
        "LOG.A: WARN\nlogger.showmore: 3\nlog.: x\nlogx: 1\ndiag.z: 1\nDIAG.y: 2\ndiagnostic: 3\n"
        "x@1: a\nx[1: b\nxa: c\nt.m: 10m\nt.bad: -5\n");
    std::string value = "untouched";
    EXPECT_EQ(
        (std::vector<long>{1, 0, 1, 0, 600, 7200}),
        (std::vector<long>{m_props.lookup("VAUD.at.SPOOL", value),
                           m_props.lookup("vaud.at.spoo", value), m_props.hasName("LOG.A"),
                           m_props.hasName("log.a"),  // has-name compares byte for byte
                           m_props.getTime("T.M", 30, 's'), m_props.getTime("unset", 2, 'h')}));
    EXPECT_EQ(value, "spool-x") << "a failed lookup leaves the output alone";
    EXPECT_EQ(m_props("QUOTED") + "|" + m_props.getInterValue("quoted") + "|" +
                  m_props.getInterValue("missing") + "|" + m_props("SITE"),
              "two  words|\"two  words\"||mine");  // a property hides the host fact of its name
    EXPECT_EQ(m_props.getTime("t.bad", 30, 's'), 30);
    EXPECT_EQ(records(),
              Items{parsing("t.bad", ". Parameter value may not be expected. (error=-22)")});
    m_log->setLevel(vfw::LEVEL_TRACE);
    m_props.getTime("t.m", 30, 's');
    EXPECT_EQ(records(), Items{"TRACE util.properties t.m: 600 seconds"});
    EXPECT_EQ(CProperties2::buildKey("", "at.spool"), "vaud.at.spool");
    EXPECT_EQ(CProperties2::buildKey("logger", "file", "maxsize"), "logger.file.maxsize");
    // Prefix ranges ignore case ("x[1" sorts after "x@1" and "xa" once folded).
    const std::pair<std::string, Pairs> ranges[] = {
        {"log.", {{"log.", "x"}, {"LOG.A", "WARN"}, {"log.b", "DEBUG"}}},
        {"Diag.", {{"DIAG.y", "2"}, {"diag.z", "1"}}},
        {"x@", {{"x@1", "a"}}},
        {"nothing.", {}}};
    for (const auto& r : ranges) {
        CProperties2::ValueMap::const_iterator first, last;
        EXPECT_EQ(!r.second.empty(), m_props.prefixRange(r.first, first, last)) << r.first;
        EXPECT_EQ(r.second, m_props.listWithPrefix(r.first)) << r.first;  // of the same range
    }
    std::string name, found;  // first-with-prefix compares case-sensitively
    for (const char* prefix : {"diag", "DIAG", "Diag"})
        found += m_props.firstWithPrefix(prefix, name, value) ? name + "=" + value + " " : "no ";
    EXPECT_EQ(found, "diag.z=1 DIAG.y=2 no ");
}

TEST_F(PropertiesTest, ValueListsAreCachedAndListFilesCheckedAndFailedLoadsKeepNothing) {
    std::string listFile = m_dir.file("hosts.list");
    writeFile(listFile, "# hosts\none, two\n\n  three  \n");
    ASSERT_EQ(::chmod(listFile.c_str(), 0644), 0);
    std::string conf =
        load("list: a, b\\, c 'd e'\nhosts: file:" + listFile + "\nmissing: file:/none/x\n");
    EXPECT_EQ(itemsOf(m_props.getValueList("list", "z")), (Items{"a", "b,", "c", "d e"}));
    // Without the property the default decides, and each default is parsed anew.
    EXPECT_EQ(itemsOf(m_props.getValueList("none", "d1 d2")), (Items{"d1", "d2"}));
    EXPECT_EQ(itemsOf(m_props.getValueList("NONE", "e1")), Items{"e1"});
    EXPECT_EQ(itemsOf(m_props.getValueList("hosts", "x")), (Items{"one", "two", "three"}));
    m_log->setLevel(vfw::LEVEL_DEBUG);
    m_props.getValueList("list", "x");  // another default: built anew
    m_props.getValueList("LIST", "x");
    m_props.getValueList("absent", "");
    EXPECT_EQ(records(), (Items{"DEBUG util.properties Property list list: (a), (b,), (c), (d e), ",
                                "DEBUG util.properties Property list absent: "}))
        << "one record per list built, none for a cached one";
    m_log->setLevel(-1);
    ASSERT_EQ(::chmod(listFile.c_str(), 0666), 0);
    m_props.load(conf.c_str(), 1);
    EXPECT_EQ(itemsOf(m_props.getValueList("hosts", "fallback")), Items{"fallback"})
        << "a load drops the cache";
    EXPECT_EQ(records(), Items{parsing("hosts",
                                       " because of security reason.\nPlease make sure config "
                                       "file must be:\n1. Owned by root.\n2. Not world "
                                       "writable.\n3. Not a symlink.\n4. Hardlink count must "
                                       "be 1.\n")});
    EXPECT_EQ(itemsOf(m_props.getValueList("missing", "m1 m2")), (Items{"m1", "m2"}));
    EXPECT_EQ(records(), Items{parsing("missing", " because file does not exist.")});
    ASSERT_EQ(::mkdir(m_dir.file("dir").c_str(), 0755), 0);  // a failed load keeps nothing
    m_props.load(m_dir.file("dir").c_str(), 1);
    EXPECT_FALSE(m_props.isLoaded() || m_props.hasName("list") || m_props.reload());
    EXPECT_EQ(records(), Items(2, parsing(m_dir.file("dir"), ".")));  // reload: the last path
}

// Items set as a list read back the same, also once saved; an empty list stays empty.
TEST_F(PropertiesTest, SetValueListItemsReadBackAsTheSameItemsAlsoOnceSaved) {
    ::setenv("VFW_PROPS_TEST_REF", "expanded", 1);
    // clang-format off
    const Items items = {"plain", "two words", "comma,inside", "\"double\"", "'single'", "it's",
        "back\\slash", "trailing\\", "$VFW_PROPS_TEST_REF", "${VFW_PROPS_TEST_REF}", "tab\there",
        "line\nend", "cr\rff\fvt\v", std::string("\x01\x1f\x7f", 3), "", "#hash", "!bang", "a:b=c",
        "\xc3\xa9t\xc3\xa9", "  padded  "};
    // clang-format on
    std::string path = load("# lists\nkeep: 1\nmy.list: old\n");
    m_props.setValueList("My.List", CProperties2::StringList(items.begin(), items.end()), 0);
    m_props.setValueList("empty", CProperties2::StringList(), 0);
    EXPECT_TRUE(m_props.isDirty());
    // Unsaved, the list reader decodes "\t" and the like itself; loading decodes them earlier.
    EXPECT_EQ(itemsOf(m_props.getValueList("my.list", "default")), items);
    EXPECT_EQ(itemsOf(m_props.getValueList("colours", "red")), Items{"red"});
    m_props.setValueList("colours", {"green", "blue"}, 0);
    EXPECT_EQ(itemsOf(m_props.getValueList("colours", "red")), (Items{"green", "blue"}));
    EXPECT_EQ(0, m_props.saveProperty(path.c_str()));
    EXPECT_FALSE(m_props.isDirty());
    EXPECT_EQ("# lists\nkeep: 1\n", readFile(path).substr(0, 16));
    m_props.load(path.c_str(), 1);
    EXPECT_EQ(itemsOf(m_props.getValueList("my.list", "default")), items);
    EXPECT_EQ(itemsOf(m_props.getValueList("empty", "d1 d2")), Items());
    EXPECT_EQ(itemsOf(m_props.getValueList("colours", "")), (Items{"green", "blue"}));
    ::unsetenv("VFW_PROPS_TEST_REF");

    CProperties2 bare;  // never loaded: it logs, uses the defaults and saves nothing
    m_log->setLevel(vfw::LEVEL_DEBUG);
    bare.setValueList("x", {"a", "b c"}, 0);
    EXPECT_TRUE(bare("x").empty() && !bare.isDirty() &&
                itemsOf(bare.getValueList("x", "d")).empty() && bare.getTime("t", 2, 'm') == 120);
    const std::string unset =
        "DEBUG util.properties property: cproperties module is unexpectedly not initialised. "
        "Value list x";
    EXPECT_EQ(records(), (Items{unset + " (a \"b c\") may not be set correctly.",
                                unset + " is treated as empty."}));
    EXPECT_EQ(-22, bare.saveProperty(path.c_str()));
}

// The process-wide object, in a process and mount namespace of its own with a private /dev,
// a real rsyslogd and a temporary directory bound over /etc/vantrelaud.
NS_TEST(PropertiesSingleton, FirstUseLoadsTheRealPathServesLoggingReloadsAndDumps) {
    vfw_test::SyslogDaemon daemon;
    vfw_test::Sandbox etc("/etc/vantrelaud");
    const std::string conf = "/etc/vantrelaud/vantrelaud.conf";
    const std::string tag =
        std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + "]";
    auto seen = [](const vfw_test::SyslogMessage& m) {  // priority: facility * 8 + severity
        return std::to_string(m.priority) + " " + m.tag + " " + m.text;
    };
    EXPECT_EQ(vfw::getProperty("vaud.at.spool", "none"), "none") << "nothing installed yet";
    // Without the file: reported at auth, info, and every key keeps its default.
    CProperties2* props = CProperties2::instance();
    EXPECT_EQ(vfw::getProperty("vaud.at.spool", "spool-atdbqc"), "spool-atdbqc");

    writeFile(conf,
              "VAUD.AT.SPOOL: spool-x\nlog.util.properties: DEBUG\nlogger.facility.*: local3\n");
    EXPECT_EQ(CProperties2::instance(), props);
    EXPECT_FALSE(props->isLoaded()) << "loaded once, not at every use";
    EXPECT_EQ(CProperties2::instance(false, true), props);
    EXPECT_EQ(vfw::getProperty("Vaud.At.Spool", "none"), "spool-x");  // the property source
    EXPECT_EQ(vfw::getLogger("util.properties")->getLevel(), vfw::LEVEL_DEBUG);  // logging read
    VFW_LOG(vfw::getLogger("singleton.test"), vfw::LEVEL_WARN, "after the load");
    const std::vector<vfw_test::SyslogMessage> messages = daemon.sync();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(seen(messages[0]),
              "38 " + tag + " " + parsing(conf, " because file does not exist."));
    EXPECT_EQ(seen(messages[1]), "156 " + tag + " WARN  singleton.test after the load");
    writeFile(conf, "b: 2\nA: one  two\n");
    EXPECT_EQ(CProperties2::instance(false, true), props);
    EXPECT_EQ((*props)("vaud.at.spool"), "");
    EXPECT_EQ(vfw::getLogger("util.properties")->getLevel(), vfw::LEVEL_INFO);
    EXPECT_FALSE(vfw::dumpProperties());
    EXPECT_NE(::access("/dev/tty", F_OK), 0) << "nothing is made where the terminal is missing";
    writeFile("/dev/tty", "");
    EXPECT_TRUE(vfw::dumpProperties());
    std::ostringstream facts;
    props->dump(facts, "");
    EXPECT_EQ(readFile("/dev/tty"),
              "#Properties dump\nA=one two\nb=2\n" + facts.str().substr(14));  // host facts
    EXPECT_EQ(daemon.sync().size(), 2u) << "nothing logged since the warning";
}

}  // namespace
