// The configuration store: syntax, references, getters, changes, the dump, loading, value lists
// and list files; in private mount namespaces the trace and its records, refused list files,
// the host facts and files user 65534 may not read. Saving is in cproperties_save_test.cpp.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"
#include "support/log_capture.h"
#include "vfw/properties.h"

using namespace cprops_test;

namespace {

TEST(CPropertiesSyntax, EveryRuleOnALineOfItsOwn) {
    // The rules' table (tests/data/cproperties_syntax), after two lines of 1023 characters.
    const std::string x1016(1016, 'x'), p599(599, 'p'), q419(419, 'q');
    const Pairs env = {{"CPT_HOME", "/home/t"},
                       {"CPT_BOTH", "from-env"},
                       {"CPT_QUOTED", "'quoted value'"},
                       {"CPT_REF", "$CPT_HOME"},
                       {"7", "seven"}};
    std::vector<std::vector<std::string>> lines = {
        {"exact: " + x1016, "exact", x1016},
        {"jl: " + p599 + "\\\n" + q419, "jl", p599 + " " + q419}};
    for (auto& row : vfw_test::table("cproperties_syntax"))
        lines.push_back(row);
    for (const auto& e : env)
        ::setenv(e.first.c_str(), e.second.c_str(), 1);
    std::string text;
    for (const auto& line : lines)
        text += line.at(0) + (&line != &lines.back() ? "\n" : "");
    Store s;
    ASSERT_EQ(0, loadText(s, text));
    for (const auto& line : lines)
        EXPECT_EQ(line.at(2), get(s, line.at(1))) << line.at(0);
    EXPECT_EQ(4 + 63, s->size(s.p));  // the host facts and the names; no empty name
    EXPECT_STREQ("dflt", s->getPropertyWithDefault(s.p, "alone", "dflt", nullptr));
    EXPECT_STREQ("", s->getPropertyWithDefault(s.p, "empty", "dflt", nullptr));
    EXPECT_EQ(7, s->getInt(s.p, "empty", 7, nullptr));  // empty counts as not set
    const vfw::ValueList* esc = s->getPropertyList(s.p, "dolla", nullptr);
    ASSERT_EQ(1, esc->size(esc));
    EXPECT_STREQ("\\$CPT_HOME", esc->first->strings[2]);  // interValue as written
    char* copy = ::strdup("$base and $CPT_HOME and '$base' and \\$base");
    ASSERT_EQ(0, s->expandEnvVariables(s.p, &copy));
    ASSERT_EQ(0, s->unExpandEnvVariables(s.p, &copy));  // load mode 1: nothing to undo
    EXPECT_STREQ("/opt and /home/t and '$base' and \\$base", copy);
    std::free(copy);
    EXPECT_EQ(-22, s->expandEnvVariables(s.p, nullptr));
    for (const auto& e : env)
        ::unsetenv(e.first.c_str());
}

TEST(CPropertiesGetters, IntUIntBoolAndTime) {
    Store s;
    ASSERT_EQ(0, vfw::newProps(&s.p, 1, 0));
    for (const auto& c : vfw_test::table("cproperties_getters")) {  // int|time, value, expected
        const char* value = c.at(1) == "<unset>" ? nullptr : c[1].c_str();
        ASSERT_EQ(0, value ? s->setProperty(s.p, "V", value) : (s->deleteProperty(s.p, "v", 0), 0));
        int err = 1;
        const std::string got =
            c[0] == "int"
                ? std::to_string(s->getInt(s.p, "v", 5, &err)) + " " +
                      std::to_string(s->getUInt(s.p, "v", 9, nullptr)) + " " +
                      (s->getBool(s.p, "v", true, nullptr)
                           ? s->getBool(s.p, "v", false, nullptr) ? "1" : "-1"
                           : "0")
                : std::to_string(s->getTime(s.p, "V", std::stoi(c.at(2)), c.at(3)[0], &err));
        std::string expected = c[0] == "int" ? c.at(2) + " " + c.at(3) + " " + c.at(4) : c.at(4);
        EXPECT_EQ(got + " " + std::to_string(err), expected + " " + c.back())
            << c[1] << " " << c[3];
    }
    int err = 1;
    EXPECT_EQ(5, s->getInt(s.p, nullptr, 5, &err));
    EXPECT_EQ(-22, err);
}

TEST(CPropertiesChanges, SetDeleteAndTheDump) {
    Store s;
    ASSERT_EQ(0, loadText(s, "x.one: 1\nx.two: 2\nxy: 3\nkeep: 4\nA: 5\nb: 6\na: 7\n"));
    EXPECT_EQ(4 + 6, s->size(s.p));  // "a" replaced in place
    int err = 1;
    EXPECT_EQ((Codes{-22, -22, -5, -2, 0, 1, 0, 0, -2, 1, 0, 0}),
              (Codes{s->setProperty(s.p, nullptr, "v"), s->setProperty(s.p, "n", nullptr),
                     s->setProperty(s.p, "", "v"), s->setPropertyInternal(s.p, "missing", "v"),
                     s->setPropertyInternal(s.p, "KEEP", "44"),  // only value is replaced
                     s->deleteProperty(s.p, "XY", &err), err, s->deleteProperty(s.p, "xy", &err),
                     err, s->delPropertySet(s.p, "X.", &err), s->delPropertySet(s.p, "x.", &err),
                     s->setProperty(s.p, "c", "new")}));
    ASSERT_EQ(0, s->setProperty(s.p, "B", "two"));
    vfw_test::TempDir dir;
    FILE* out = std::fopen(dir.file("dump").c_str(), "w");
    ASSERT_EQ(0, s->dump(s.p, out));
    std::fclose(out);
    std::string text = vfw_test::readFile(dir.file("dump"));
    const std::string expected =  // newest first; a replaced property keeps place and name
        "TYPE: PROPERTIES NAME: c VALUE: new INTERVALUE: new\n"
        "TYPE: PROPERTIES NAME: b VALUE: two INTERVALUE: two\n"
        "TYPE: PROPERTIES NAME: A VALUE: 7 INTERVALUE: 7\n"
        "TYPE: PROPERTIES NAME: keep VALUE: 44 INTERVALUE: 4\nTYPE: KSET NAME: ZONE VALUE: ";
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    EXPECT_TRUE(std::regex_search(text, std::regex("ZONE VALUE: .*\n.*DOMAIN.*\n.*SITE.*\n"
                                                   ".*JOINNAME.* INTERVALUE: \\(null\\)\n$")))
        << text;
}

// Creation (mode 0 unsupported), loading from a stream and from files, objects that are not
// stores. The main file is exempt from the owner, link and mode checks; a FIFO is refused.
TEST(CPropertiesLifecycle, CreationLoadingAndInvalidObjects) {
    vfw_test::TempDir dir;
    const std::string conf = dir.file("conf"), none = dir.file("none");
    vfw_test::writeFile(conf, "a: 1\nb: $a$a\n");
    ASSERT_TRUE(::chmod(conf.c_str(), 0666) == 0 && ::chown(conf.c_str(), 1000, 1000) == 0 &&
                ::link(conf.c_str(), dir.file("second").c_str()) == 0 &&
                ::symlink(conf.c_str(), dir.file("link").c_str()) == 0 &&
                ::mkfifo(dir.file("fifo").c_str(), 0644) == 0);
    FILE* stream = std::fopen(conf.c_str(), "r");
    vfw::Props* p = reinterpret_cast<vfw::Props*>(1);
    Store s, fromStream, linked, missing, directory, fifo;
    ASSERT_EQ(0, vfw::newProps(&s.p, 1, 77));
    vfw::Props forged = *s.p;
    forged.magic = 0;
    int err = 0;
    EXPECT_EQ((Codes{-5, -22, 0, -2, -2, -22, vfw::PROPS_MAGIC, 0, 77}),
              (Codes{vfw::newProps(nullptr, 1, 0), vfw::newProps(&p, 0, 0), p != nullptr,
                     vfw::newPropsFromFile(&p, "", 1, 0), vfw::newPropsFromFile(&p, nullptr, 1, 0),
                     vfw::freeProps(nullptr), s->magic, s->isLoaded(s.p), s->arg2}));
    EXPECT_EQ(
        (Codes{5, -22, 0, -22, -22, -22, 0, -22, 0, -22, -22, -22}),
        (Codes{s->getInt(&forged, "a", 5, &err), err, s->getProperty(&forged, "a", &err) != nullptr,
               err, s->size(&forged), s->setProperty(&forged, "a", "b"),
               s->getValueList(&forged, "a", "x", &err) != nullptr,
               s->loadFromFile(&forged, "/etc/hostname", 1),
               s->reload(&forged, "/etc/hostname", &err), err, vfw::freeProps(&forged),
               s->loadFromStream(s.p, nullptr, 1)}));
    EXPECT_EQ(
        (Codes{0, 0, -2, 1, -5, -5}),
        (Codes{vfw::newPropsFromStream(&fromStream.p, stream, 1, 0),
               vfw::newPropsFromFile(&linked.p, dir.file("link").c_str(), 1, 0),
               vfw::newPropsFromFile(&missing.p, none.c_str(), 1, 0), missing->isLoaded(missing.p),
               vfw::newPropsFromFile(&directory.p, dir.path().c_str(), 1, 0),
               vfw::newPropsFromFile(&fifo.p, dir.file("fifo").c_str(), 1, 0)}));
    EXPECT_EQ((Items{"11", "1"}), (Items{get(fromStream, "b"), get(linked, "a")}));
    EXPECT_EQ((Codes{0, -2, 0}),
              (Codes{linked->reload(linked.p, none.c_str(), &err), err, linked->size(linked.p)}));
    std::fclose(stream);
}

// Inline lists, property lists, the cache, and list files of owners 0 to 4, an item a word.
TEST(CPropertiesLists, InlineListsPropertyListsTheCacheAndListFiles) {
    vfw_test::TempDir dir;
    const std::string listFile = dir.file("a b"), system = dir.file("system");
    vfw_test::writeFile(listFile,
                        "# administrators\n  root, daemon\tbin  \n\n   ! not this\n"
                        "\"quoted one\"\n\"not, whole\" x\na\\tb 'c'\n");
    vfw_test::writeFile(dir.file("empty"), "# nothing\n\n");
    vfw_test::writeFile(system, "s\n");
    ASSERT_EQ(0, ::chown(system.c_str(), 4, 4));
    const Items words = {"root",  "daemon",  "bin", "quoted", "one",
                         "\"not", "whole\"", "x",   "a\\tb",  "'c'"};
    // clang-format off
    const struct { std::string value; Items items; } cases[] = {
        {"a, b\\, c 'd e'", {"a", "b,", "c", "d e"}}, {"x\\ty\\nz", {"x", "y", "z"}},
        {"\"p q\",r", {"p q", "r"}}, {"a,, ,b ,", {"a", "b"}}, {"'a b", {"'a b"}},
        {"\\x41\\,", {"A,"}}, {"root, Admin 'x y'", {"root", "Admin", "x y"}},
        {"file:" + listFile, words}, {"fi\\le:\"" + listFile + "\"", words},  // a file too
        {"File:" + listFile, {"File:" + dir.path() + "/a", "b"}}, {"file:" + dir.file("empty"), {}},
        {"file:" + system, {"s"}}};
    // clang-format on
    std::string text = "empty:\nnovalue\npre.a: 1\npre.b: 2\npre: 3\nPRE.c: 4\n";
    for (const auto& c : cases)
        text += "l" + std::to_string(&c - cases) + ": " + c.value + "\n";
    vfw_test::writeFile(dir.file("conf"), text);
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, dir.file("conf").c_str(), 1, 0));
    int err = 1;
    for (const auto& c : cases) {
        std::string name = "L" + std::to_string(&c - cases);
        EXPECT_EQ(c.items, items(s->getValueList(s.p, name.c_str(), "dflt", &err))) << c.value;
        EXPECT_EQ(0, err);
    }
    // In a configuration line "\f" is a form feed, so "\file:" only comes from setProperty.
    ASSERT_EQ(0, s->setProperty(s.p, "bs", ("\\file: " + dir.path() + "/a\\ b").c_str()));
    EXPECT_EQ(words, items(s->getValueList(s.p, "bs", nullptr, nullptr)));
    const vfw::ValueList* users = s->getValueList(s.p, "l6", nullptr, nullptr);
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "empty", "d", nullptr)));
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "novalue", "d", nullptr)));
    EXPECT_STREQ("root Admin x y", s->valueListToString(s.p, users, 0, &err));
    EXPECT_EQ((Codes{3, 0, 0, 0, 0, 0, -22, 1, 0, 1, 0, -22, 0}),  // " , ": no item at all
              (Codes{users->countNodes(const_cast<vfw::ValueList*>(users)),
                     std::strcmp("x y", users->last(users)->strings[0]),
                     s->getValueList(s.p, "other", nullptr, &err) != nullptr, err,
                     s->getValueList(s.p, "other", " , ", nullptr) != nullptr,
                     s->getValueList(s.p, nullptr, "x", &err) != nullptr, err,
                     s->isStringInPropertyList(s.p, "l6", "x y", nullptr, nullptr),
                     s->isStringInPropertyList(s.p, "l6", "admin", nullptr, nullptr),
                     s->isStringInPropertyList(s.p, "nobody", "b", "a b", nullptr),
                     s->valueListToString(s.p, nullptr, 0, &err) != nullptr, err,
                     s->setValueList(s.p, "copy", users, 0)}));
    EXPECT_EQ("root Admin x y", get(s, "copy"));
    EXPECT_EQ(0, s->setValueList(s.p, "copy", nullptr, 0));
    // Property lists: each longer name with the prefix (case-sensitive), newest first.
    const vfw::ValueList* pre = s->getPropertyList(s.p, "pre.", nullptr);
    EXPECT_EQ((std::vector<Items>{{"pre.b", "pre.a"}, {"2", "1"}, {"2", "1"}}),
              (std::vector<Items>{items(pre), items(pre, 1), items(pre, 2)}));
    const vfw::ValueList* all = s->getPropertyList(s.p, nullptr, nullptr);
    EXPECT_EQ(4 + 6 + 12 + 2, all->size(all));                      // with "bs" and "copy"
    EXPECT_EQ(nullptr, s->getPropertyList(s.p, "pre.a", nullptr));  // not longer
    // A change drops the cached list, which stays valid until given back or a reload.
    const vfw::ValueList* first = s->getValueList(s.p, "l6", "dflt", nullptr);
    EXPECT_EQ(first, s->getValueList(s.p, "L6", "other", nullptr));
    ASSERT_EQ(0, s->setProperty(s.p, "l6", "c"));
    const vfw::ValueList* second = s->getValueList(s.p, "l6", nullptr, nullptr);
    EXPECT_EQ((Items{"c"}), items(second));
    EXPECT_EQ((Items{"root", "Admin", "x y"}), items(first));
    ASSERT_TRUE(s->deleteProperty(s.p, "l6", nullptr));
    EXPECT_EQ((Items{"gone"}), items(s->getValueList(s.p, "l6", "gone", nullptr)));
    EXPECT_EQ(0, s->release(s.p, second));
    EXPECT_EQ(-2, s->release(s.p, second));
    EXPECT_EQ(-22, s->release(s.p, nullptr));
    const char* value = s->getPropertyWithDefault(s.p, "x", "d", nullptr);
    ASSERT_TRUE(s->reload(s.p, dir.file("conf").c_str(), nullptr));
    EXPECT_EQ(-2, s->release(s.p, value));
    EXPECT_EQ(-2, s->release(s.p, first));
    EXPECT_EQ(cases[6].items, items(s->getValueList(s.p, "l6", nullptr, nullptr)));
}

// Loads `text` with the trace at `level` (unset for a negative one).
int loadTraced(Store& s, const std::string& text, int level) {
    if (level >= 0)
        ::setenv("VFW_PROPERTIES2_DEBUG", std::to_string(level).c_str(), 1);
    const int rc = loadText(s, text);
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    return rc;
}

std::string trace() {
    return vfw_test::readFile(tracePath());
}

// A record: level (7 wide) " : " operation " (" source line in hexadecimal ") : " text.
const std::regex RECORD(
    "(ERROR  |WARNING|INFO   |DEBUG  |TRACE  |LOCK   ) : ([A-Za-z]+) \\(([1-9A-F][0-9A-F]*)\\) : "
    "(.*)");

// Expects the first record holding `find` (`text` when empty) to be "level op text".
void expectRecord(const std::string& level, const std::string& op, const std::string& text,
                  const std::string& find = "") {
    const std::string all = trace();
    const size_t at = all.find(find.empty() ? text : find);
    const size_t begin = at == std::string::npos ? all.size() : all.rfind('\n', at) + 1;
    const std::string record = all.substr(begin, all.find('\n', begin) - begin);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(record, m, RECORD)) << text << " in:\n" << all;
    EXPECT_EQ(level + " " + op + " " + text,
              m[1].str() + " " + m[2].str() + " " + m[4].str() + "\n");
}

std::string g_raced;  // replaced by swapIn each time it has been opened

void swapIn(const char* path) {
    if (path == g_raced) {
        vfw_test::writeFile(g_raced + ".new", "x\n");
        ASSERT_EQ(0, std::rename((g_raced + ".new").c_str(), path));
    }
}

// The trace file (0600, never through a planted link), its levels, and records' texts; the
// host facts.
NS_TEST(CPropertiesTrace, RecordsLevelsTextsAndHostFacts) {
    Sandbox aud("/var/vantrelaud"), hub("/var/vantrelhub");
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("victim"), "untouched\n");
    ASSERT_EQ(0, ::symlink(dir.file("victim").c_str(), tracePath().c_str()));
    Store linked;
    EXPECT_EQ(0, loadTraced(linked, "a: 1\n", 6));  // the store works, untraced
    EXPECT_EQ(-1, linked->traceFd);
    EXPECT_EQ("untouched\n", vfw_test::readFile(dir.file("victim")));
    ASSERT_EQ(0, ::unlink(tracePath().c_str()));
    Store quiet, warnings, s;  // without the variable no file at all
    ASSERT_EQ(0, loadTraced(quiet, "a.b: 10x\n", -1));
    EXPECT_EQ((Codes{30, -1}), (Codes{quiet->getTime(quiet.p, "a.b", 30, 's', nullptr),
                                      ::access(tracePath().c_str(), F_OK)}));
    // Below 6 no locks, below 5 no traces, below 4 no debug records.
    ASSERT_EQ(0, loadTraced(warnings, "a.b: 10x\n", 2));
    EXPECT_EQ(30, warnings->getTime(warnings.p, "a.b", 30, 's', nullptr));
    EXPECT_TRUE(contains(trace(), "WARNING : timeFactor") && !contains(trace(), "LOCK    :") &&
                !contains(trace(), "TRACE   :") && !contains(trace(), "DEBUG   :"))
        << trace();
    ASSERT_EQ(0, ::unlink(tracePath().c_str()));
    ASSERT_EQ(0, loadTraced(s, "a.b: 10x\nneg: -5\n", 6));
    struct stat st;
    EXPECT_TRUE(::stat(tracePath().c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(
        (Codes{30, 30, 0, 10, 0, 0}),
        (Codes{s->getTime(s.p, "a.b", 30, 's', nullptr), s->getTime(s.p, "neg", 30, 's', nullptr),
               s->setProperty(s.p, "k", ""), s->getInt(s.p, "a.b", 0, nullptr),
               s->dump(s.p, nullptr), s->getValueList(s.p, "k", nullptr, nullptr) != nullptr}));
    // A line over 1023 characters (also once joined) or a NUL byte stops the load there.
    const std::string line = "a: " + std::string(1021, 'x');
    Store longLine, nul, joined, lastJoined;
    EXPECT_EQ(
        (Codes{-5, -5, -5, 0}),
        (Codes{loadTraced(longLine, "first: 1\n" + line + "y evil: 1\nlast: 2\n", 5),
               loadTraced(nul, std::string("b: x\0y\nc: 3\n", 12), -1),
               loadTraced(
                   joined,
                   "c: " + std::string(600, 'p') + "\\\n" + std::string(420, 'q') + "\nz: 1\n", -1),
               loadTraced(lastJoined, "c: a\\\n   \\\n", -1)}));
    EXPECT_EQ(
        (Items{"1", "<none>", "<none>", "<none>", "<none>", "<none>", "<none>", "a"}),
        (Items{get(longLine, "first"), get(longLine, "evil"), get(longLine, "last"), get(nul, "b"),
               get(nul, "c"), get(joined, "c"), get(joined, "z"), get(lastJoined, "c")}));
    expectRecord("WARNING", "timeFactor", "Bad unit specification in property file: x\n");
    expectRecord("WARNING", "getTime",
                 "Negative time specification in property file for neg is ignored.  Using "
                 "default.\n");
    expectRecord("TRACE  ", "getTime", "a.b: 30 seconds\n");
    expectRecord("TRACE  ", "setProperty", " Enter arg: k null\n");  // an empty piece: "null"
    expectRecord("TRACE  ", "getInt", " Enter arg: a.b\n", "TRACE   : getInt (");
    expectRecord("TRACE  ", "getInt", " Return: 10\n");
    expectRecord("INFO   ", "dump", "TYPE: PROPERTIES NAME: a.b VALUE: 10x INTERVALUE: 10x\n");
    expectRecord("LOCK   ", "setProperty", "Take the lock\n", "LOCK    : setProperty (");
    expectRecord("ERROR  ", "getLine", "Error when parsing line: " + line.substr(0, 1023) + "\n");
    expectRecord("ERROR  ", "loadFromStream", "Fail to read line from config file.\n");
    for (const char* part :
         {" : Release the lock\n", " : Take the freelist lock\n", " : Release the freelist lock\n",
          ") : k is not defined\n", ") : loadFromStream has error -5\n",
          ") : Error in opening config file: /"}) {
        EXPECT_TRUE(contains(trace(), part)) << part;
    }
    std::istringstream lines(trace());
    for (std::string record; std::getline(lines, record);)
        EXPECT_TRUE(std::regex_match(record, RECORD)) << record;

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
    // clang-format off
    const struct { std::string name, path; int err; const char *why, *please; } cases[] = {
        {"other", other, -125, "]is not owned by root",
         "change its owner to root to enhance security."},
        {"writable", writable, -125, "] is world writable",
         "ensure the file is not world writable to enhance security."},
        {"twice", twice, -125, "] has more than one hardlinks",
         "ensure the file has only one hardlink"},
        {"link", dir.file("symlink"), -125, "] is symlink", "ensure the file is not symlink"},
        {"missing", dir.file("missing"), -2, "", ""}, {"dir", dir.path(), -5, "", ""},
        {"long", tooLong, -5, "", ""}, {"raced", raced, -5, "", ""}};  // over the limit; replaced
    // clang-format on
    // A refused file falls back to the default, a file again, and then to nothing.
    const std::string good = "file:" + make("good", "g1 g2\n");
    const std::pair<const char*, Items> fallbacks[] = {
        {"d", {"d"}}, {good.c_str(), {"g1", "g2"}}, {nullptr, {}}};
    vfw::cprops::g_afterOpenHook = swapIn;
    for (const auto& c : cases) {
        const std::string name = "l." + c.name, file = "file:" + c.path,
                          skip = ". Skip reading config file for property " + name;
        for (const auto& f : fallbacks) {
            ASSERT_EQ(0, s->setProperty(s.p, name.c_str(), file.c_str()));
            int err = 0;
            EXPECT_EQ(f.second, items(s->getValueList(s.p, name.c_str(), f.first, &err))) << name;
            EXPECT_EQ(c.err, err) << name;
        }
        expectRecord(
            "ERROR  ", "getValueList",
            c.err == -2 ? "Config file does not exist: " + c.path + "\n"
            : c.err == -5
                ? "Cannot open config file [" + c.path + "] due to unknown error" + skip + "\n"
                : "Config file [" + c.path + c.why + skip + ". Please " + c.please + "\n");
        int err = 0;
        EXPECT_EQ(nullptr, s->getValueList(s.p, ("none." + name).c_str(), file.c_str(), &err));
        EXPECT_EQ(c.err, err) << name;
    }
    vfw::cprops::g_afterOpenHook = nullptr;
    // Fact files: printable text, one final line feed at most, trimmed, 64 KiB at most, else
    // "<unknown>"; a zone's DN gives its first value; a reference takes the fact first.
    const std::string unknown = "<unknown>", none = "no file";
    ::setenv("SITE", "from-env", 1);
    // clang-format off
    const struct { std::string host, site, domain, zone; Pairs values; } hosts[] = {
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
    for (const auto& h : hosts) {
        for (const auto& f : Pairs{{"kset.host", h.host},
                                   {"kset.site", h.site},
                                   {"kset.domain", h.domain},
                                   {"kset.zonename", h.zone}})
            f.second == none ? (void)::unlink(hub.file(f.first).c_str())
                             : vfw_test::writeFile(hub.file(f.first), f.second);
        Store facts;
        ASSERT_EQ(0,
                  loadTraced(facts, "SITE: from-file\nwhere: $ZONE/$JOINNAME/$site/$Domain\n", 1));
        expectValues(facts, h.values);
        EXPECT_EQ(4 + 2, facts->size(facts.p));
    }
    ::unsetenv("SITE");
    EXPECT_TRUE(contains(trace(), ") : Error to open kset file: /var/vantrelhub/kset.domain\n"));
}

// Run as user 65534 by CPropertiesNobody.FilesItMayNotRead, in that test's namespace.
TEST(CPropertiesNobody, DISABLED_Probe) {
    const std::string dir = std::getenv("CPROP_NOBODY_DIR");
    ASSERT_NE(0u, ::getuid());
    Store unreadable, s;
    int err = 0;
    EXPECT_EQ((Codes{-1, 3, 0}),
              (Codes{vfw::newPropsFromFile(&unreadable.p, (dir + "/secret").c_str(), 1, 0),
                     unreadable->getInt(unreadable.p, "a", 3, nullptr),
                     vfw::newPropsFromFile(&s.p, (dir + "/conf").c_str(), 1, 0)}));
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
    vfw_test::expectPassesUnder("VFW_PROPERTIES2_DEBUG=1 CPROP_NOBODY_DIR='" + dir.path() +
                                    "' setpriv --reuid=65534 --regid=65534 --clear-groups",
                                "CPropertiesNobody.DISABLED_Probe");
}

}  // namespace
