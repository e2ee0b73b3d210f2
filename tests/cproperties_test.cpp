// The configuration store: syntax of the configuration file, escapes and quoting, `$`
// references, changes, the dump and bad input. Typed getters are in
// cproperties_getters_test.cpp, value lists in cproperties_lists_test.cpp, host facts and the
// trace (which need private mount namespaces) in cproperties_ns_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cproperties_test_helpers.h"

using cprops_test::get;
using cprops_test::loadText;
using cprops_test::Store;

namespace {

TEST(CPropertiesSyntax, SeparatorsColonEqualsAndWhiteSpace) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a: 1\n"
                          "b=2\n"
                          "c 3\n"
                          "d\t4\n"
                          "e:=5\n"
                          "f =6\n"
                          "g   7\n"
                          "h:8\n"
                          "   i: 9\n"));
    EXPECT_EQ("1", get(s, "a"));
    EXPECT_EQ("2", get(s, "b"));
    EXPECT_EQ("3", get(s, "c"));
    EXPECT_EQ("4", get(s, "d"));
    EXPECT_EQ("5", get(s, "e"));
    EXPECT_EQ("6", get(s, "f"));
    EXPECT_EQ("7", get(s, "g"));
    EXPECT_EQ("8", get(s, "h"));
    EXPECT_EQ("9", get(s, "i"));
}

TEST(CPropertiesSyntax, BlankBeforeColonMakesTheValueStartWithTheColon) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a :value\n"
                          "b : value\n"
                          "c = value\n"
                          "d: = value\n"
                          "e : = value\n"
                          "f  =value\n"));
    EXPECT_EQ(":value", get(s, "a"));
    EXPECT_EQ(": value", get(s, "b"));
    EXPECT_EQ("value", get(s, "c"));  // a blank and '=' separate together
    EXPECT_EQ("= value", get(s, "d"));
    EXPECT_EQ(": = value", get(s, "e"));
    EXPECT_EQ("=value", get(s, "f"));  // only the character right after the separator joins it
}

TEST(CPropertiesSyntax, NameWithoutValueAndEmptyValue) {
    Store s;
    ASSERT_EQ(0, loadText(s, "alone\nempty:\nblank: \n"));
    EXPECT_EQ("<none>", get(s, "alone"));
    EXPECT_STREQ("dflt", s->getPropertyWithDefault(s.p, "alone", "dflt", nullptr));
    EXPECT_EQ("", get(s, "empty"));
    EXPECT_EQ("", get(s, "blank"));
    EXPECT_STREQ("", s->getPropertyWithDefault(s.p, "empty", "dflt", nullptr));
    EXPECT_EQ(7, s->getInt(s.p, "empty", 7, nullptr));  // empty counts as not set
    EXPECT_EQ(4 + 3, s->size(s.p));                     // the host facts and three names
}

TEST(CPropertiesSyntax, WhiteSpaceRunsCollapseOutsideQuotes) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a:   x  \t y   \n"
                          "b: x \"  in   quotes \" y\n"));
    EXPECT_EQ("x y", get(s, "a"));
    EXPECT_EQ("x \"  in   quotes \" y", get(s, "b"));
}

TEST(CPropertiesSyntax, CommentsOnlyInTheFirstColumn) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "#a: 1\n"
                          "!b: 2\n"
                          "  # note\n"
                          "\t! other\n"
                          "c: 3 # not a comment\n"));
    EXPECT_EQ("<none>", get(s, "#a"));
    EXPECT_EQ("<none>", get(s, "a"));
    EXPECT_EQ("<none>", get(s, "!b"));
    EXPECT_EQ("note", get(s, "#"));
    EXPECT_EQ("other", get(s, "!"));
    EXPECT_EQ("3 # not a comment", get(s, "c"));
}

TEST(CPropertiesSyntax, ContinuationLinesWithOddAndEvenBackslashRuns) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a: one \\\n   two\n"
                          "b: x\\\\\n"
                          "c: y\n"
                          "d: p\\\\\\\n q\n"
                          "e: 1,\\\n2,\\\n3\n"
                          "#f: comment \\\n"
                          "g: after comment\n"
                          "h: last\\"));
    EXPECT_EQ("one two", get(s, "a"));
    EXPECT_EQ("x\\", get(s, "b"));  // an even run ends the line; the pair is one backslash
    EXPECT_EQ("y", get(s, "c"));
    EXPECT_EQ("p\\ q", get(s, "d"));  // odd run: the last backslash joins, the pair stays
    EXPECT_EQ("1, 2, 3", get(s, "e"));
    EXPECT_EQ("after comment", get(s, "g"));  // a comment never swallows the next line
    EXPECT_EQ("last", get(s, "h"));  // nothing left to join: the stray backslash is dropped
}

TEST(CPropertiesSyntax, LineLimitOf1023Characters) {
    std::string longest = "a: " + std::string(1020, 'x');  // exactly 1023 characters
    {
        Store s;
        ASSERT_EQ(0, loadText(s, longest + "\nb: 2\n"));
        EXPECT_EQ(std::string(1020, 'x'), get(s, "a"));
        EXPECT_EQ("2", get(s, "b"));
    }
    {
        // One character more: the line is refused whole (its tail never becomes a line of
        // its own) and the load stops with a read error.
        Store s;
        ASSERT_EQ(-5, loadText(s, "first: 1\n" + longest + "y evil: 1\nlast: 2\n"));
        EXPECT_EQ("1", get(s, "first"));
        EXPECT_EQ("<none>", get(s, "a"));
        EXPECT_EQ("<none>", get(s, "evil"));
        EXPECT_EQ("<none>", get(s, "y"));
        EXPECT_EQ(1, s->isLoaded(s.p));
    }
    {
        // A continuation must fit in what is left of the 1023 characters.
        std::string first = "c: " + std::string(600, 'p') + "\\";
        Store fits;
        ASSERT_EQ(0, loadText(fits, first + "\n" + std::string(1023 - 604, 'q') + "\n"));
        EXPECT_EQ(std::string(600, 'p') + " " + std::string(419, 'q'), get(fits, "c"));
        Store overflows;
        ASSERT_EQ(-5,
                  loadText(overflows, first + "\n" + std::string(1024 - 604, 'q') + "\nz: 1\n"));
        EXPECT_EQ("<none>", get(overflows, "c"));
        EXPECT_EQ("<none>", get(overflows, "z"));
    }
}

TEST(CPropertiesSyntax, EscapesAndHexBytes) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "t: a\\tb\n"
                          "n: a\\nb\n"
                          "r: a\\rb\n"
                          "f: a\\fb\n"
                          "v: a\\vb\n"
                          "x: \\x41\\x7E\\x3A\n"
                          "lower: \\x4a\n"
                          "short: \\x4\n"
                          "nul: a\\x00b\n"
                          "other: \\q\\ \\:\\=\n"
                          "bs: a\\\\b\n"
                          "escname\\:x\\ y: 1\n"
                          "\\=eq=2\n"));
    EXPECT_EQ("a\tb", get(s, "t"));
    EXPECT_EQ("a\nb", get(s, "n"));
    EXPECT_EQ("a\rb", get(s, "r"));
    EXPECT_EQ("a\fb", get(s, "f"));
    EXPECT_EQ("a\vb", get(s, "v"));
    EXPECT_EQ("A~:", get(s, "x"));
    EXPECT_EQ("x4a", get(s, "lower"));  // only digits and upper-case A to F are hex digits
    EXPECT_EQ("x4", get(s, "short"));
    EXPECT_EQ("a\\x00b", get(s, "nul"));  // a NUL cannot live in a value: kept as written
    EXPECT_EQ("q :=", get(s, "other"));
    EXPECT_EQ("a\\b", get(s, "bs"));
    EXPECT_EQ("1", get(s, "escname:x y"));
    EXPECT_EQ("2", get(s, "=eq"));
}

TEST(CPropertiesSyntax, QuotedRegionsAndUnquoting) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "dq: \"a  b\"\n"
                          "sq: 'a  b'\n"
                          "dqesc: \"x\\ty\\\"z\\x41\"\n"
                          "sqlit: 'x\\ty\\x41'\n"
                          "mixed: \"ab\"cd\n"
                          "inner: \"it's\"\n"
                          "escquotes: \\\"abc\\\"\n"
                          "open: \"abc\n"
                          "opensq: 'a   b\n"
                          "empty: \"\"\n"));
    EXPECT_EQ("a  b", get(s, "dq"));
    EXPECT_EQ("a  b", get(s, "sq"));
    EXPECT_EQ("x\ty\"zA", get(s, "dqesc"));
    EXPECT_EQ("x\\ty\\x41", get(s, "sqlit"));  // everything is literal inside single quotes
    EXPECT_EQ("\"ab\"cd", get(s, "mixed"));    // not one quoted string: quotes stay
    EXPECT_EQ("it's", get(s, "inner"));
    EXPECT_EQ("\"abc\"", get(s, "escquotes"));  // escaped quote marks stay literal
    EXPECT_EQ("\"abc", get(s, "open"));         // unterminated: kept as written
    EXPECT_EQ("'a   b", get(s, "opensq"));
    EXPECT_EQ("", get(s, "empty"));
}

TEST(CPropertiesSyntax, NamesAreCaseInsensitiveAndEmptyNamesIgnored) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "Vaud.At.Spool: spool-x\n"
                          ": no name\n"
                          "= no name\n"
                          "'' no name\n"
                          "1abc: digits first\n"));
    EXPECT_EQ("spool-x", get(s, "VAUD.AT.SPOOL"));
    EXPECT_EQ("digits first", get(s, "1ABC"));
    EXPECT_EQ(4 + 2, s->size(s.p));
}

class CPropertiesReferences : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("CPROP_T_HOME", "/home/t", 1);
        ::setenv("CPROP_T_BOTH", "from-env", 1);
        ::setenv("CPROP_T_QUOTED", "'quoted value'", 1);
        ::setenv("CPROP_T_REF", "$CPROP_T_HOME", 1);
        ::setenv("7", "seven", 1);
        ::unsetenv("CPROP_T_UNSET");
    }
    void TearDown() override {
        for (const char* name :
             {"CPROP_T_HOME", "CPROP_T_BOTH", "CPROP_T_QUOTED", "CPROP_T_REF", "7"}) {
            ::unsetenv(name);
        }
    }
};

TEST_F(CPropertiesReferences, EnvironmentThenEarlierProperties) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a: $CPROP_T_HOME/x\n"
                          "base: /opt\n"
                          "b: $base/bin:${base}\n"
                          "CPROP_T_BOTH: from-file\n"
                          "c: $CPROP_T_BOTH\n"
                          "d: [$CPROP_T_UNSET]\n"
                          "e: $later\n"
                          "later: x\n"
                          "f: $BASE\n"));
    EXPECT_EQ("/home/t/x", get(s, "a"));
    EXPECT_EQ("/opt/bin:${base}", get(s, "b"));  // "{" starts no name
    EXPECT_EQ("from-env", get(s, "c"));          // the environment comes before properties
    EXPECT_EQ("[]", get(s, "d"));                // undefined: expands to nothing
    EXPECT_EQ("", get(s, "e"));                  // only properties loaded before the line count
    EXPECT_EQ("/opt", get(s, "f"));              // property names ignore case
}

TEST_F(CPropertiesReferences, QuotingEscapingAndNameRules) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "sq: '$CPROP_T_HOME'\n"
                          "dq: \"$CPROP_T_HOME\"\n"
                          "esc: \\$CPROP_T_HOME\n"
                          "digit: $7abc\n"
                          "digit2: $77\n"
                          "lone: 5$ and $-x\n"
                          "unq: <$CPROP_T_QUOTED>\n"
                          "once: $CPROP_T_REF\n"));
    EXPECT_EQ("$CPROP_T_HOME", get(s, "sq"));  // single quotes keep '$' literal
    EXPECT_EQ("/home/t", get(s, "dq"));
    EXPECT_EQ("$CPROP_T_HOME", get(s, "esc"));
    EXPECT_EQ("sevenabc", get(s, "digit"));  // a name starting with a digit is one digit
    EXPECT_EQ("seven7", get(s, "digit2"));
    EXPECT_EQ("5$ and $-x", get(s, "lone"));  // no name follows: the '$' stays
    EXPECT_EQ("<quoted value>", get(s, "unq"));
    EXPECT_EQ("$CPROP_T_HOME", get(s, "once"));  // replacements are not expanded again

    // interValue keeps quotes and escapes; value is unescaped and unquoted.
    const vfw::ValueList* list = s->getPropertyList(s.p, "es", nullptr);
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(1, list->size(list));
    EXPECT_STREQ("\\$CPROP_T_HOME", list->first->strings[2]);
    EXPECT_STREQ("$CPROP_T_HOME", list->first->strings[1]);
}

TEST_F(CPropertiesReferences, ExpandEnvVariablesOnACallersString) {
    Store s;
    ASSERT_EQ(0, loadText(s, "base: /opt\n"));
    char* text = ::strdup("$base and $CPROP_T_HOME and '$base' and \\$base");
    ASSERT_EQ(0, s->expandEnvVariables(s.p, &text));
    EXPECT_STREQ("/opt and /home/t and '$base' and \\$base", text);
    ASSERT_EQ(0, s->unExpandEnvVariables(s.p, &text));  // load mode 1: nothing to undo
    EXPECT_STREQ("/opt and /home/t and '$base' and \\$base", text);
    std::free(text);
    EXPECT_EQ(-22, s->expandEnvVariables(s.p, nullptr));
}

TEST(CPropertiesChanges, ReplacingKeepsThePlaceAndDumpShowsNewestFirst) {
    Store s;
    ASSERT_EQ(0, loadText(s, "a: 1\nb: 2\nA: 3\n"));
    EXPECT_EQ("3", get(s, "a"));
    EXPECT_EQ(4 + 2, s->size(s.p));
    ASSERT_EQ(0, s->setProperty(s.p, "c", "new"));
    ASSERT_EQ(0, s->setProperty(s.p, "B", "two"));

    vfw_test::TempDir dir;
    std::string path = dir.file("dump");
    FILE* out = std::fopen(path.c_str(), "w");
    ASSERT_NE(nullptr, out);
    ASSERT_EQ(0, s->dump(s.p, out));
    std::fclose(out);
    std::string text = vfw_test::readFile(path);
    std::string expected =
        "TYPE: PROPERTIES NAME: c VALUE: new INTERVALUE: new\n"
        "TYPE: PROPERTIES NAME: b VALUE: two INTERVALUE: two\n"
        "TYPE: PROPERTIES NAME: a VALUE: 3 INTERVALUE: 3\n"
        "TYPE: KSET NAME: ZONE VALUE: ";
    EXPECT_EQ(expected, text.substr(0, expected.size()));
    size_t domain = text.find("TYPE: KSET NAME: DOMAIN VALUE: ");
    size_t site = text.find("TYPE: KSET NAME: SITE VALUE: ");
    size_t join = text.find("TYPE: KSET NAME: JOINNAME VALUE: ");
    EXPECT_TRUE(domain != std::string::npos && domain < site && site < join) << text;
    EXPECT_NE(std::string::npos, text.find("INTERVALUE: (null)\n", join));
}

TEST(CPropertiesChanges, SetDeleteAndPrefixDelete) {
    Store s;
    ASSERT_EQ(0, loadText(s, "x.one: 1\nx.two: 2\nxy: 3\nkeep: 4\n"));
    EXPECT_EQ(-22, s->setProperty(s.p, nullptr, "v"));
    EXPECT_EQ(-22, s->setProperty(s.p, "n", nullptr));
    EXPECT_EQ(-5, s->setProperty(s.p, "", "v"));
    EXPECT_EQ(-2, s->setPropertyInternal(s.p, "missing", "v"));
    ASSERT_EQ(0, s->setPropertyInternal(s.p, "KEEP", "44"));
    EXPECT_EQ("44", get(s, "keep"));
    const vfw::ValueList* list = s->getPropertyList(s.p, "keep", nullptr);
    EXPECT_EQ(nullptr, list);  // a prefix equal to the whole name does not match
    list = s->getPropertyList(s.p, "kee", nullptr);
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("4", list->first->strings[2]);  // only value was replaced

    int err = 1;
    EXPECT_TRUE(s->deleteProperty(s.p, "XY", &err));
    EXPECT_EQ(0, err);
    EXPECT_FALSE(s->deleteProperty(s.p, "xy", &err));
    EXPECT_EQ(-2, err);
    EXPECT_TRUE(s->delPropertySet(s.p, "X.", &err));
    EXPECT_FALSE(s->delPropertySet(s.p, "x.", &err));
    EXPECT_EQ("<none>", get(s, "x.one"));
    EXPECT_EQ("<none>", get(s, "x.two"));
    EXPECT_EQ("44", get(s, "keep"));
    EXPECT_EQ(4 + 1, s->size(s.p));
}

TEST(CPropertiesLifecycle, CreationArgumentsAndInvalidObjects) {
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
}

TEST(CPropertiesLifecycle, ReloadReplacesEverything) {
    vfw_test::TempDir dir;
    std::string path = dir.file("conf");
    vfw_test::writeFile(path, "a: 1\nb: 2\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    const char* old = s->getProperty(s.p, "a", nullptr);
    vfw_test::writeFile(path, "a: 10\n");
    int err = 1;
    ASSERT_TRUE(s->reload(s.p, path.c_str(), &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(-2, s->release(s.p, old));  // handed out before the reload: already gone
    EXPECT_EQ("10", get(s, "a"));
    EXPECT_EQ("<none>", get(s, "b"));
    EXPECT_FALSE(s->reload(s.p, dir.file("missing").c_str(), &err));
    EXPECT_EQ(-2, err);
    EXPECT_EQ(0, s->size(s.p));
    EXPECT_EQ(1, s->isLoaded(s.p));
}

TEST(CPropertiesLifecycle, LoadFromStream) {
    char text[] = "a: 1\nb: $a$a\n";
    FILE* stream = ::fmemopen(text, std::strlen(text), "r");
    ASSERT_NE(nullptr, stream);
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromStream(&s.p, stream, 1, 0));
    std::fclose(stream);
    EXPECT_EQ("11", get(s, "b"));
}

TEST(CPropertiesLifecycle, MainFileIsExemptFromOwnerLinkAndModeTests) {
    vfw_test::TempDir dir;
    std::string path = dir.file("conf");
    vfw_test::writeFile(path, "a: 1\n");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
    ASSERT_EQ(0, ::chown(path.c_str(), 1000, 1000));
    ASSERT_EQ(0, ::link(path.c_str(), dir.file("second").c_str()));
    ASSERT_EQ(0, ::symlink(path.c_str(), dir.file("link").c_str()));
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, dir.file("link").c_str(), 1, 0));
    EXPECT_EQ("1", get(s, "a"));
}

TEST(CPropertiesBadInput, MissingDirectoryAndNonRegularFiles) {
    vfw_test::TempDir dir;
    Store missing;
    EXPECT_EQ(-2, vfw::newPropsFromFile(&missing.p, dir.file("none").c_str(), 1, 0));
    ASSERT_NE(nullptr, missing.p);  // the store is still handed out, empty
    EXPECT_EQ(1, missing->isLoaded(missing.p));
    EXPECT_EQ(3, missing->getInt(missing.p, "a", 3, nullptr));
    Store directory;
    EXPECT_EQ(-5, vfw::newPropsFromFile(&directory.p, dir.path().c_str(), 1, 0));
    ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0644));
    Store fifo;  // opened non-blocking: refused, never waited on
    EXPECT_EQ(-5, vfw::newPropsFromFile(&fifo.p, dir.file("fifo").c_str(), 1, 0));
}

TEST(CPropertiesBadInput, NulBytesStopTheLoadWithoutAPartialEntry) {
    Store s;
    EXPECT_EQ(-5, loadText(s, std::string("a: 1\nb: x\0y\nc: 3\n", 17)));
    EXPECT_EQ("1", get(s, "a"));
    EXPECT_EQ("<none>", get(s, "b"));
    EXPECT_EQ("<none>", get(s, "c"));
}

TEST(CPropertiesBadInput, UnterminatedQuotesAndStrayBackslashes) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "a: \"abc\n"
                          "b: 'x\\'\n"
                          "c: a\\\n"
                          "   \\\n"));
    EXPECT_EQ("\"abc", get(s, "a"));
    EXPECT_EQ("'x\\'", get(s, "b"));  // the escaped quote cannot close the region
    // c joins the next line, which ends the input with a lone backslash: it is dropped.
    EXPECT_EQ("a", get(s, "c"));
}

TEST(CPropertiesBadInput, BinaryFileNeverCrashes) {
    std::string bytes;
    unsigned state = 12345;
    for (int i = 0; i < 20000; ++i) {
        state = state * 1103515245 + 12345;
        bytes += static_cast<char>(state >> 16);
    }
    Store s;
    int rc = loadText(s, bytes);
    EXPECT_TRUE(rc == 0 || rc == -5) << rc;
    EXPECT_EQ(1, s->isLoaded(s.p));
    const vfw::ValueList* all = s->getPropertyList(s.p, nullptr, nullptr);
    for (const vfw::ValueNode* n = all->next(all, nullptr); n != nullptr; n = all->next(all, n)) {
        ASSERT_NE(nullptr, n->strings[0]);
        EXPECT_LE(std::strlen(n->strings[0]), 1023u);
    }
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
                ASSERT_NE(nullptr, list);
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
