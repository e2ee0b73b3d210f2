// The configuration store without its fixed paths: the syntax of the configuration file
// (separators, comments, continuations, the line limit, escapes and quoting), `$` references,
// the typed getters, changes and the dump, creation and loading, bad input, value lists and
// checked list files, and threads. Host facts, the trace and non-root callers are in
// cproperties_ns_test.cpp, saving in cproperties_save_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"

using namespace cprops_test;

namespace {

// A configuration line, and a name with the value it must have once every line is loaded.
struct Line {
    std::string text;
    std::string name;
    std::string value;
};

// Loads the lines as one file (the last without its line feed when `lastEnds` is false) and
// expects every value; the store is left in `s`.
void loadLines(Store& s, const std::vector<Line>& lines, bool lastEnds = true) {
    std::string text;
    for (const Line& line : lines) {
        text += line.text + (&line != &lines.back() || lastEnds ? "\n" : "");
    }
    ASSERT_EQ(0, loadText(s, text));
    for (const Line& line : lines) {
        EXPECT_EQ(line.value, get(s, line.name)) << line.text;
    }
}

TEST(CPropertiesSyntax, OneLineEach) {
    // clang-format off
    const std::vector<Line> lines = {
        {"a: 1", "a", "1"}, {"b=2", "b", "2"}, {"c 3", "c", "3"}, {"d\t4", "d", "4"},
        {"e:=5", "e", "5"}, {"f =6", "f", "6"}, {"g   7", "g", "7"}, {"h:8", "h", "8"},
        {"   i: 9", "i", "9"},
        // A blank before ':' is the separator; a blank and '=' separate together.
        {"ca :value", "ca", ":value"}, {"cb : value", "cb", ": value"},
        {"cc = value", "cc", "value"}, {"cd: = value", "cd", "= value"},
        {"ce : = value", "ce", ": = value"}, {"cf  =value", "cf", "=value"},
        {"alone", "alone", "<none>"}, {"empty:", "empty", ""}, {"blank: ", "blank", ""},
        {"ws:   x  \t y   ", "ws", "x y"},
        {"wq: x \"  in   quotes \" y", "wq", "x \"  in   quotes \" y"},
        // Comments only in the first column.
        {"#c1: 1", "c1", "<none>"}, {"!c2: 2", "!c2", "<none>"}, {"  # note", "#", "note"},
        {"\t! other", "!", "other"}, {"cm: 3 # not a comment", "cm", "3 # not a comment"},
        {"Vaud.At.Spool: spool-x", "VAUD.AT.SPOOL", "spool-x"}, {": no name", "", "<none>"},
        {"= no name", "", "<none>"}, {"'' no name", "", "<none>"},
        {"1abc: digits first", "1ABC", "digits first"},
        // Escapes; only digits and upper-case A to F are hex digits; a NUL is kept as written.
        {"t: a\\tb", "t", "a\tb"}, {"n: a\\nb", "n", "a\nb"}, {"r: a\\rb", "r", "a\rb"},
        {"ff: a\\fb", "ff", "a\fb"}, {"v: a\\vb", "v", "a\vb"},
        {"x: \\x41\\x7E\\x3A", "x", "A~:"}, {"lower: \\x4a", "lower", "x4a"},
        {"short: \\x4", "short", "x4"}, {"nul: a\\x00b", "nul", "a\\x00b"},
        {"other: \\q\\ \\:\\=", "other", "q :="}, {"bs: a\\\\b", "bs", "a\\b"},
        {"escname\\:x\\ y: 1", "escname:x y", "1"}, {"\\=eq=2", "=eq", "2"},
        // Quoting: only a whole quoted string is unquoted; single quotes are all literal;
        // escaped quote marks stay; an escaped quote cannot close a region.
        {"dq: \"a  b\"", "dq", "a  b"}, {"sq: 'a  b'", "sq", "a  b"},
        {"dqesc: \"x\\ty\\\"z\\x41\"", "dqesc", "x\ty\"zA"},
        {"sqlit: 'x\\ty\\x41'", "sqlit", "x\\ty\\x41"}, {"mixed: \"ab\"cd", "mixed", "\"ab\"cd"},
        {"inner: \"it's\"", "inner", "it's"}, {"escq: \\\"abc\\\"", "escq", "\"abc\""},
        {"open: \"abc", "open", "\"abc"}, {"opensq: 'a   b", "opensq", "'a   b"},
        {"none: \"\"", "none", ""}, {"sqesc: 'x\\'", "sqesc", "'x\\'"},
        {"vt\v1", "vt", "1"}, {"fe\f2", "fe", "2"}, {"cr\r3", "cr", "3"}};
    // clang-format on
    Store s;
    loadLines(s, lines);
    EXPECT_STREQ("dflt", s->getPropertyWithDefault(s.p, "alone", "dflt", nullptr));
    EXPECT_STREQ("", s->getPropertyWithDefault(s.p, "empty", "dflt", nullptr));
    EXPECT_EQ(7, s->getInt(s.p, "empty", 7, nullptr));  // empty counts as not set
    EXPECT_EQ(4 + 52, s->size(s.p));  // the host facts and the names; no empty name
}

TEST(CPropertiesSyntax, ContinuationsAndTheLineLimit) {
    // An even run of backslashes ends the line; of an odd run the last one joins; a comment
    // never swallows the next line; with nothing left to join, the backslash goes.
    Store s;
    // clang-format off
    loadLines(s,
              {{"a: one \\\n   two", "a", "one two"}, {"b: x\\\\", "b", "x\\"}, {"c: y", "c", "y"},
               {"d: p\\\\\\\n q", "d", "p\\ q"}, {"e: 1,\\\n2,\\\n3", "e", "1, 2, 3"},
               {"#f: comment \\", "f", "<none>"}, {"g: after comment", "g", "after comment"},
               {"h: last\\", "h", "last"}},
              false);
    // clang-format on
    Store joinedLast;
    loadLines(joinedLast, {{"c: a\\\n   \\", "c", "a"}});

    std::string longest = "a: " + std::string(1020, 'x');  // exactly 1023 characters
    Store fits;
    loadLines(fits, {{longest, "a", std::string(1020, 'x')}, {"b: 2", "b", "2"}});
    // One character more: the line is refused whole (its tail never becomes a line of its
    // own) and the load stops with a read error.
    Store over;
    ASSERT_EQ(-5, loadText(over, "first: 1\n" + longest + "y evil: 1\nlast: 2\n"));
    expectValues(over, {{"first", "1"}, {"a", "<none>"}, {"evil", "<none>"}, {"y", "<none>"}});
    EXPECT_EQ(1, over->isLoaded(over.p));
    // A continuation must fit in what is left of the 1023 characters.
    std::string first = "c: " + std::string(600, 'p') + "\\\n";
    Store joined;
    loadLines(joined, {{first + std::string(419, 'q'), "c",
                        std::string(600, 'p') + " " + std::string(419, 'q')}});
    Store overflows;
    ASSERT_EQ(-5, loadText(overflows, first + std::string(420, 'q') + "\nz: 1\n"));
    expectValues(overflows, {{"c", "<none>"}, {"z", "<none>"}});
    // NUL bytes stop the load without a partial entry.
    Store nul;
    EXPECT_EQ(-5, loadText(nul, std::string("a: 1\nb: x\0y\nc: 3\n", 17)));
    expectValues(nul, {{"a", "1"}, {"b", "<none>"}, {"c", "<none>"}});
}

TEST(CPropertiesReferences, EnvironmentThenEarlierProperties) {
    ::setenv("CPROP_T_HOME", "/home/t", 1);
    ::setenv("CPROP_T_BOTH", "from-env", 1);
    ::setenv("CPROP_T_QUOTED", "'quoted value'", 1);
    ::setenv("CPROP_T_REF", "$CPROP_T_HOME", 1);
    ::setenv("7", "seven", 1);
    ::unsetenv("CPROP_T_UNSET");
    // The environment comes before properties, and only properties loaded before the line
    // count; an undefined name expands to nothing; "{" starts no name, nor does anything
    // else but a letter, digit or '_' (the '$' stays); a name starting with a digit is that
    // digit; replacements are unquoted but not expanded again.
    // clang-format off
    const std::vector<Line> lines = {
        {"a: $CPROP_T_HOME/x", "a", "/home/t/x"}, {"base: /opt", "base", "/opt"},
        {"b: $base/bin:${base}", "b", "/opt/bin:${base}"},
        {"CPROP_T_BOTH: from-file", "CPROP_T_BOTH", "from-file"},
        {"c: $CPROP_T_BOTH", "c", "from-env"}, {"d: [$CPROP_T_UNSET]", "d", "[]"},
        {"e: $later", "e", ""}, {"later: x", "later", "x"}, {"f: $BASE", "f", "/opt"},
        {"sq: '$CPROP_T_HOME'", "sq", "$CPROP_T_HOME"}, {"dq: \"$CPROP_T_HOME\"", "dq", "/home/t"},
        {"esc: \\$CPROP_T_HOME", "esc", "$CPROP_T_HOME"}, {"digit: $7abc", "digit", "sevenabc"},
        {"digit2: $77", "digit2", "seven7"}, {"lone: 5$ and $-x", "lone", "5$ and $-x"},
        {"unq: <$CPROP_T_QUOTED>", "unq", "<quoted value>"},
        {"once: $CPROP_T_REF", "once", "$CPROP_T_HOME"}};
    // clang-format on
    Store s;
    loadLines(s, lines);
    // interValue keeps quotes and escapes; value is unescaped and unquoted.
    const vfw::ValueList* list = s->getPropertyList(s.p, "es", nullptr);
    ASSERT_EQ(1, list->size(list));
    EXPECT_STREQ("\\$CPROP_T_HOME", list->first->strings[2]);
    EXPECT_STREQ("$CPROP_T_HOME", list->first->strings[1]);

    char* text = ::strdup("$base and $CPROP_T_HOME and '$base' and \\$base");
    ASSERT_EQ(0, s->expandEnvVariables(s.p, &text));
    EXPECT_STREQ("/opt and /home/t and '$base' and \\$base", text);
    ASSERT_EQ(0, s->unExpandEnvVariables(s.p, &text));  // load mode 1: nothing to undo
    EXPECT_STREQ("/opt and /home/t and '$base' and \\$base", text);
    std::free(text);
    EXPECT_EQ(-22, s->expandEnvVariables(s.p, nullptr));
    for (const char* name :
         {"CPROP_T_HOME", "CPROP_T_BOTH", "CPROP_T_QUOTED", "CPROP_T_REF", "7"}) {
        ::unsetenv(name);
    }
}

TEST(CPropertiesGetters, IntUIntAndBool) {
    Store s;
    ASSERT_EQ(0, vfw::newProps(&s.p, 1, 0));
    // getInt (default 5, base 10, low 32 bits, no validation), getUInt (default 9, any
    // base, low 32 bits) and getBool (1 true, 0 false, -1 the default) of one value.
    // clang-format off
    const struct { const char* value; int i; unsigned u; int b; } cases[] = {
        {"42", 42, 42, -1}, {"-7", -7, 4294967289u, -1}, {"abc", 0, 0, -1}, {"12abc", 12, 12, -1},
        {"4294967297", 1, 1, -1}, {"0x10", 0, 16, -1}, {"010", 10, 8, -1}, {"0XfF", 0, 255, -1},
        {"4294967296", 0, 0, -1}, {"4000000000", -294967296, 4000000000u, -1},
        {"-1", -1, 4294967295u, -1}, {"0", 0, 0, 0}, {"1", 1, 1, 1}, {"10", 10, 10, -1},
        {"", 5, 9, -1}, {"true", 0, 0, 1}, {"TRUE", 0, 0, 1}, {"Yes", 0, 0, 1}, {"false", 0, 0, 0},
        {"FaLsE", 0, 0, 0}, {"NO", 0, 0, 0}, {"maybe", 0, 0, -1}};
    // clang-format on
    for (const auto& c : cases) {
        ASSERT_EQ(0, s->setProperty(s.p, "V", c.value));
        int err = 1;
        EXPECT_EQ(c.i, s->getInt(s.p, "v", 5, &err)) << c.value;
        EXPECT_EQ(0, err);
        EXPECT_EQ(c.u, s->getUInt(s.p, "v", 9, nullptr)) << c.value;
        EXPECT_EQ(c.b == -1 || c.b == 1, s->getBool(s.p, "v", true, nullptr)) << c.value;
        EXPECT_EQ(c.b == 1, s->getBool(s.p, "v", false, nullptr)) << c.value;
    }
    int err = 1;
    EXPECT_EQ(5, s->getInt(s.p, "missing", 5, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(9u, s->getUInt(s.p, "missing", 9, nullptr));
    EXPECT_TRUE(s->getBool(s.p, "missing", true, nullptr));
    EXPECT_EQ(5, s->getInt(s.p, nullptr, 5, &err));
    EXPECT_EQ(-22, err);
}

TEST(CPropertiesGetters, TimeUnitsLimitsAndErrors) {
    Store s;
    ASSERT_EQ(0, vfw::newProps(&s.p, 1, 0));
    // Units are case-sensitive ("M" a month); one unit letter is read ("2hours"), and a
    // blank is a bad unit; a bad default unit counts 0. What does not fit in 32 bits gives
    // the default (clamped) and -22. A null value: the property is missing.
    // clang-format off
    const struct { const char* value; int dflt; char unit; int seconds, err; } cases[] = {
        {"10s", 30, 's', 10, 0}, {"10m", 30, 's', 600, 0}, {"10h", 30, 's', 36000, 0},
        {"10d", 30, 's', 864000, 0}, {"10w", 30, 's', 6048000, 0}, {"10M", 30, 's', 26280000, 0},
        {"10y", 30, 's', 315360000, 0}, {"10", 30, 's', 10, 0}, {"10", 30, 'm', 600, 0},
        {"0h", 30, 's', 0, 0}, {"2hours", 30, 's', 7200, 0}, {"10 m", 30, 's', 30, 0},
        {"10x", 30, 's', 30, 0}, {"10x", 2, 'm', 120, 0}, {"soon", 30, 's', 30, 0},
        {"", 30, 's', 30, 0}, {nullptr, 2, 'h', 7200, 0}, {nullptr, 2, 'x', 0, 0},
        {"-1", 30, 's', -1, 0}, {"-1h", 30, 'm', -1, 0}, {"-5", 30, 's', 30, -22},
        {"-5m", 30, 'm', 1800, -22}, {"100y", 30, 's', 30, -22}, {"99999999999", 30, 's', 30, -22},
        {"99999999999s", 30, 's', 30, -22}, {"2147483647", 30, 's', INT32_MAX, 0},
        {"2147483647s", 30, 'h', INT32_MAX, 0}, {"2147483647", 30, 'm', 1800, -22},
        {"2147483648", 30, 's', 30, -22}, {"-99999999999", 30, 's', 30, -22},
        {"-2147483648", 30, 's', 30, -22}, {nullptr, 100, 'y', INT32_MAX, -22},
        {nullptr, -100, 'y', INT32_MIN, -22}};
    // clang-format on
    for (const auto& c : cases) {
        if (c.value != nullptr) {
            ASSERT_EQ(0, s->setProperty(s.p, "t", c.value));
        } else {
            s->deleteProperty(s.p, "t", nullptr);
        }
        int err = 1;
        std::string what = std::string(c.value ? c.value : "missing") + " " + c.unit;
        EXPECT_EQ(c.seconds, s->getTime(s.p, "T", c.dflt, c.unit, &err)) << what;
        EXPECT_EQ(c.err, err) << what;
    }
}

TEST(CPropertiesChanges, SetDeleteDumpAndPrefixDelete) {
    Store s;
    ASSERT_EQ(0, loadText(s, "x.one: 1\nx.two: 2\nxy: 3\nkeep: 4\nA: 5\nb: 6\na: 7\n"));
    EXPECT_EQ(4 + 6, s->size(s.p));  // "a" replaced in place
    EXPECT_EQ(-22, s->setProperty(s.p, nullptr, "v"));
    EXPECT_EQ(-22, s->setProperty(s.p, "n", nullptr));
    EXPECT_EQ(-5, s->setProperty(s.p, "", "v"));
    EXPECT_EQ(-2, s->setPropertyInternal(s.p, "missing", "v"));
    ASSERT_EQ(0, s->setPropertyInternal(s.p, "KEEP", "44"));  // only value is replaced
    int err = 1;
    EXPECT_TRUE(s->deleteProperty(s.p, "XY", &err));
    EXPECT_EQ(0, err);
    EXPECT_FALSE(s->deleteProperty(s.p, "xy", &err));
    EXPECT_EQ(-2, err);
    EXPECT_TRUE(s->delPropertySet(s.p, "X.", &err));
    EXPECT_FALSE(s->delPropertySet(s.p, "x.", &err));
    ASSERT_EQ(0, s->setProperty(s.p, "c", "new"));
    ASSERT_EQ(0, s->setProperty(s.p, "B", "two"));
    vfw_test::TempDir dir;
    FILE* out = std::fopen(dir.file("dump").c_str(), "w");
    ASSERT_EQ(0, s->dump(s.p, out));
    std::fclose(out);
    std::string text = vfw_test::readFile(dir.file("dump"));
    std::string expected =  // newest first; a replaced property keeps its place and name
        "TYPE: PROPERTIES NAME: c VALUE: new INTERVALUE: new\n"
        "TYPE: PROPERTIES NAME: b VALUE: two INTERVALUE: two\n"
        "TYPE: PROPERTIES NAME: A VALUE: 7 INTERVALUE: 7\n"
        "TYPE: PROPERTIES NAME: keep VALUE: 44 INTERVALUE: 4\n"
        "TYPE: KSET NAME: ZONE VALUE: ";
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    size_t domain = text.find("TYPE: KSET NAME: DOMAIN VALUE: ");
    size_t site = text.find("TYPE: KSET NAME: SITE VALUE: ");
    size_t join = text.find("TYPE: KSET NAME: JOINNAME VALUE: ");
    EXPECT_TRUE(domain != std::string::npos && domain < site && site < join) << text;
    EXPECT_TRUE(contains(text.substr(join), "INTERVALUE: (null)\n")) << text;
}

TEST(CPropertiesLifecycle, CreationLoadingAndInvalidObjects) {
    vfw::Props* p = reinterpret_cast<vfw::Props*>(1);
    EXPECT_EQ(-5, vfw::newProps(nullptr, 1, 0));
    EXPECT_EQ(-22, vfw::newProps(&p, 0, 0));  // mode 0 is not supported
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(-2, vfw::newPropsFromFile(&p, "", 1, 0));
    EXPECT_EQ(-2, vfw::newPropsFromFile(&p, nullptr, 1, 0));
    EXPECT_EQ(-22, vfw::freeProps(nullptr));
    Store s;
    ASSERT_EQ(0, vfw::newProps(&s.p, 1, 77));
    EXPECT_EQ(vfw::PROPS_MAGIC, s->magic);
    EXPECT_EQ(0, s->isLoaded(s.p));
    EXPECT_EQ(77, s->arg2);
    vfw::Props forged = *s.p;
    forged.magic = 0;
    int err = 0;
    EXPECT_EQ(5, s->getInt(&forged, "a", 5, &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(nullptr, s->getProperty(&forged, "a", &err));
    EXPECT_EQ(-22, s->size(&forged));
    EXPECT_EQ(-22, s->setProperty(&forged, "a", "b"));
    EXPECT_EQ(nullptr, s->getValueList(&forged, "a", "x", &err));
    EXPECT_EQ(-22, s->loadFromFile(&forged, "/etc/hostname", 1));
    EXPECT_FALSE(s->reload(&forged, "/etc/hostname", &err));
    EXPECT_EQ(-22, err);
    EXPECT_EQ(-22, vfw::freeProps(&forged));
    EXPECT_EQ(-22, s->loadFromStream(s.p, nullptr, 1));
    char text[] = "a: 1\nb: $a$a\n";
    FILE* stream = ::fmemopen(text, std::strlen(text), "r");
    Store fromStream;
    ASSERT_EQ(0, vfw::newPropsFromStream(&fromStream.p, stream, 1, 0));
    std::fclose(stream);
    EXPECT_EQ("11", get(fromStream, "b"));

    // The main file is exempt from the owner, link and mode tests; a missing file still
    // gives an empty store; what is not a regular file is refused (a FIFO is never waited on).
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("conf"), "a: 1\n");
    ASSERT_EQ(0, ::chmod(dir.file("conf").c_str(), 0666));
    ASSERT_EQ(0, ::chown(dir.file("conf").c_str(), 1000, 1000));
    ASSERT_EQ(0, ::link(dir.file("conf").c_str(), dir.file("second").c_str()));
    ASSERT_EQ(0, ::symlink(dir.file("conf").c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0644));
    Store linked, missing, directory, fifo;
    ASSERT_EQ(0, vfw::newPropsFromFile(&linked.p, dir.file("link").c_str(), 1, 0));
    EXPECT_EQ("1", get(linked, "a"));
    EXPECT_EQ(-2, vfw::newPropsFromFile(&missing.p, dir.file("none").c_str(), 1, 0));
    EXPECT_EQ(1, missing->isLoaded(missing.p));
    EXPECT_EQ(3, missing->getInt(missing.p, "a", 3, nullptr));
    EXPECT_EQ(-5, vfw::newPropsFromFile(&directory.p, dir.path().c_str(), 1, 0));
    EXPECT_EQ(-5, vfw::newPropsFromFile(&fifo.p, dir.file("fifo").c_str(), 1, 0));
    EXPECT_FALSE(linked->reload(linked.p, dir.file("none").c_str(), &err));
    EXPECT_EQ(-2, err);
    EXPECT_EQ(0, linked->size(linked.p));
    EXPECT_EQ(1, linked->isLoaded(linked.p));
}

TEST(CPropertiesLists, InlineListsDefaultsMembershipAndJoining) {
    // clang-format off
    const struct { const char* value; Items items; } cases[] = {
        {"a, b\\, c 'd e'", {"a", "b,", "c", "d e"}}, {"x\\ty\\nz", {"x", "y", "z"}},
        {"\"p q\",r", {"p q", "r"}}, {"a,, ,b ,", {"a", "b"}}, {"'a b", {"'a b"}},
        {"\\x41\\,", {"A,"}}, {"root, Admin 'x y'", {"root", "Admin", "x y"}}};
    // clang-format on
    std::string text = "empty:\nnovalue\npre.a: 1\npre.b: 2\npre: 3\nPRE.c: 4\n";
    for (const auto& c : cases) {
        text += "l" + std::to_string(&c - cases) + ": " + c.value + "\n";
    }
    Store s;
    ASSERT_EQ(0, loadText(s, text));
    for (const auto& c : cases) {
        int err = 1;
        std::string name = "L" + std::to_string(&c - cases);
        EXPECT_EQ(c.items, items(s->getValueList(s.p, name.c_str(), nullptr, &err))) << c.value;
        EXPECT_EQ(0, err);
    }
    const vfw::ValueList* list = s->getValueList(s.p, "l0", nullptr, nullptr);
    EXPECT_EQ(4, list->size(list));
    EXPECT_EQ(4, list->countNodes(const_cast<vfw::ValueList*>(list)));
    EXPECT_STREQ("d e", list->last(list)->strings[0]);
    int err = 1;
    EXPECT_EQ((Items{"x", "y"}), items(s->getValueList(s.p, "missing", "x y", &err)));
    EXPECT_EQ(0, err);
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "empty", "d", nullptr)));
    EXPECT_EQ((Items{"d"}), items(s->getValueList(s.p, "novalue", "d", nullptr)));
    EXPECT_EQ(nullptr, s->getValueList(s.p, "other", nullptr, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, s->getValueList(s.p, "other", "", nullptr));
    EXPECT_EQ(nullptr, s->getValueList(s.p, "other", " , ", nullptr));  // no item at all
    EXPECT_EQ(nullptr, s->getValueList(s.p, nullptr, "x", &err));
    EXPECT_EQ(-22, err);
    EXPECT_TRUE(s->isStringInPropertyList(s.p, "l6", "x y", nullptr, nullptr));
    EXPECT_FALSE(s->isStringInPropertyList(s.p, "l6", "admin", nullptr, nullptr));
    EXPECT_TRUE(s->isStringInPropertyList(s.p, "nobody", "b", "a b", nullptr));
    EXPECT_FALSE(s->isStringInPropertyList(s.p, "nobody", "c", nullptr, nullptr));
    const vfw::ValueList* users = s->getValueList(s.p, "l6", nullptr, nullptr);
    EXPECT_STREQ("root Admin x y", s->valueListToString(s.p, users, 0, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, s->valueListToString(s.p, nullptr, 0, &err));
    EXPECT_EQ(-22, err);
    ASSERT_EQ(0, s->setValueList(s.p, "copy", users, 0));
    EXPECT_EQ("root Admin x y", get(s, "copy"));
    EXPECT_EQ(0, s->setValueList(s.p, "copy", nullptr, 0));
    // Property lists: name, value and interValue of each longer name with the prefix
    // (case-sensitive), newest first.
    const vfw::ValueList* pre = s->getPropertyList(s.p, "pre.", nullptr);
    Items names;
    for (const vfw::ValueNode* n = pre->next(pre, nullptr); n != nullptr; n = pre->next(pre, n)) {
        names.push_back(std::string(n->strings[0]) + n->strings[1] + n->strings[2]);
    }
    EXPECT_EQ((Items{"pre.b22", "pre.a11"}), names);
    const vfw::ValueList* all = s->getPropertyList(s.p, nullptr, nullptr);
    EXPECT_EQ(4 + 6 + 7 + 1, all->size(all));  // with "copy"
    EXPECT_EQ(nullptr, s->getPropertyList(s.p, "zzz", nullptr));
    EXPECT_EQ(nullptr, s->getPropertyList(s.p, "pre.a", nullptr));  // not longer
}

TEST(CPropertiesLists, CachedByNameUntilTheNameChangesOrTheStoreReloads) {
    vfw_test::TempDir dir;
    vfw_test::writeFile(dir.file("conf"), "list: a b\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, dir.file("conf").c_str(), 1, 0));
    const vfw::ValueList* first = s->getValueList(s.p, "list", "dflt", nullptr);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, s->getValueList(s.p, "LIST", "dflt", nullptr));
    EXPECT_EQ(first, s->getValueList(s.p, "list", "other", nullptr));  // cached by name
    // A change of the property drops the name from the cache; the old list stays valid.
    ASSERT_EQ(0, s->setProperty(s.p, "list", "c"));
    const vfw::ValueList* second = s->getValueList(s.p, "list", nullptr, nullptr);
    EXPECT_EQ((Items{"c"}), items(second));
    EXPECT_EQ((Items{"a", "b"}), items(first));
    ASSERT_TRUE(s->deleteProperty(s.p, "list", nullptr));
    EXPECT_EQ((Items{"gone"}), items(s->getValueList(s.p, "list", "gone", nullptr)));
    // Giving a list back frees it; a reload frees everything handed out before.
    EXPECT_EQ(0, s->release(s.p, second));
    EXPECT_EQ(-2, s->release(s.p, second));
    EXPECT_EQ(-22, s->release(s.p, nullptr));
    const char* value = s->getPropertyWithDefault(s.p, "x", "d", nullptr);
    int err = 1;
    ASSERT_TRUE(s->reload(s.p, dir.file("conf").c_str(), &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(-2, s->release(s.p, value));
    EXPECT_EQ(-2, s->release(s.p, first));
    EXPECT_EQ((Items{"a", "b"}), items(s->getValueList(s.p, "list", nullptr, nullptr)));
}

// List files on real files, as root: "list: file:<path>" queried with `fallback`.
Items queryListFile(const std::string& path, const char* fallback, int& err) {
    Store s;
    EXPECT_EQ(0, loadText(s, "list: file:" + path + "\n"));
    return items(s->getValueList(s.p, "list", fallback, &err));
}

std::string listFile(const vfw_test::TempDir& dir, const std::string& name, const std::string& text,
                     mode_t mode = 0644) {
    vfw_test::writeFile(dir.file(name), text);
    EXPECT_EQ(0, ::chmod(dir.file(name).c_str(), mode));
    return dir.file(name);
}

TEST(CPropertiesListFiles, OneItemPerWordOfARootOwnedFileElseTheDefault) {
    vfw_test::TempDir dir;
    std::string path = listFile(dir, "a b",
                                "# administrators\n  root, daemon\tbin  \n\n   ! not this\n"
                                "\"quoted one\"\n\"not, whole\" x\na\\tb 'c'\n");
    int err = 1;
    const Items words = {"root",  "daemon",  "bin", "quoted", "one",
                         "\"not", "whole\"", "x",   "a\\tb",  "'c'"};
    EXPECT_EQ(words, queryListFile(path, "dflt", err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(Items{}, queryListFile(listFile(dir, "empty", "# nothing\n\n"), "dflt", err));
    EXPECT_EQ(0, err);  // an empty list file is an empty list
    // "\file:" and "fi\le:" name a file too; "File:" does not; the path may be quoted. In a
    // configuration line "\f" is a form feed, so the first form only comes from setProperty.
    Store s;
    ASSERT_EQ(0, loadText(s, "l2: fi\\le:\"" + path + "\"\nl3: File:" + path + "\n"));
    ASSERT_EQ(0, s->setProperty(s.p, "l1", ("\\file: " + dir.path() + "/a\\ b").c_str()));
    EXPECT_EQ(words, items(s->getValueList(s.p, "l1", nullptr, nullptr)));
    EXPECT_EQ(words, items(s->getValueList(s.p, "l2", nullptr, nullptr)));
    EXPECT_EQ(2u, items(s->getValueList(s.p, "l3", nullptr, nullptr)).size());  // inline

    std::string good = listFile(dir, "good", "g1 g2\n");
    std::string other = listFile(dir, "other", "o\n");
    ASSERT_EQ(0, ::chown(other.c_str(), 1000, 1000));
    std::string system = listFile(dir, "system", "s\n");
    ASSERT_EQ(0, ::chown(system.c_str(), 4, 4));  // ids 0 to 4 count as root's
    EXPECT_EQ((Items{"s"}), queryListFile(system, nullptr, err));
    EXPECT_EQ(0, err);
    std::string writable = listFile(dir, "writable", "w\n", 0666);
    ASSERT_EQ(0, ::symlink(good.c_str(), dir.file("symlink").c_str()));
    std::string twice = listFile(dir, "twice", "t\n");
    ASSERT_EQ(0, ::link(twice.c_str(), dir.file("twice2").c_str()));
    ASSERT_EQ(0, ::mkdir(dir.file("dir").c_str(), 0755));
    const struct {
        std::string path;
        int err;
    } refused[] = {{other, -125},
                   {writable, -125},
                   {dir.file("symlink"), -125},
                   {twice, -125},
                   {dir.file("none"), -2},
                   {dir.file("dir"), -5},
                   {listFile(dir, "long", std::string(1024, 'x') + "\n"), -5}};
    // The property's file refused, the default is tried (the refusal is still reported).
    for (const auto& c : refused) {
        EXPECT_EQ((Items{"d1", "d2"}), queryListFile(c.path, "d1,d2", err)) << c.path;
        EXPECT_EQ(c.err, err) << c.path;
        EXPECT_EQ((Items{"g1", "g2"}), queryListFile(c.path, ("file:" + good).c_str(), err));
        EXPECT_EQ(c.err, err) << c.path;
        EXPECT_EQ(Items{}, queryListFile(c.path, nullptr, err)) << c.path;
        EXPECT_EQ(c.err, err) << c.path;
    }
    // The property missing, the default naming a refused file: nothing is left.
    Store none;
    ASSERT_EQ(0, loadText(none, ""));
    EXPECT_EQ(nullptr, none->getValueList(none.p, "list", ("file:" + writable).c_str(), &err));
    EXPECT_EQ(-125, err);
}

TEST(CPropertiesConcurrency, ReadersAndWritersOnManyThreads) {
    Store s;
    ASSERT_EQ(0, loadText(s, "list: a b c\nn: 1\n"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&s, t] {
            std::string own = "own." + std::to_string(t);
            for (int i = 0; i < 500; ++i) {
                const vfw::ValueList* list = s->getValueList(s.p, "list", nullptr, nullptr);
                EXPECT_EQ(3, list->countNodes(const_cast<vfw::ValueList*>(list)));
                ASSERT_EQ(0, s->setProperty(s.p, own.c_str(), std::to_string(i).c_str()));
                const char* value = s->getProperty(s.p, own.c_str(), nullptr);
                EXPECT_EQ(std::to_string(i), value);
                EXPECT_EQ(0, s->release(s.p, value));
                EXPECT_EQ(1, s->getInt(s.p, "n", 0, nullptr));
                if (t == 0 && i % 50 == 0) {
                    ASSERT_EQ(0, s->setProperty(s.p, "list", "a b c"));  // drops the cache
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(4 + 2 + 4, s->size(s.p));
}

}  // namespace
