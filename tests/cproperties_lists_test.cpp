// The configuration store's value lists: inline lists, list files and their security
// checks on real files, the cache of lists by name and the free list. The trace texts of
// refused list files are checked in cproperties_ns_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"

using cprops_test::items;
using cprops_test::loadText;
using cprops_test::Store;
using Items = std::vector<std::string>;

namespace {

TEST(CPropertiesInlineLists, SeparatorsEscapesAndQuotes) {
    Store s;
    ASSERT_EQ(0, loadText(s,
                          "list: a, b\\, c 'd e'\n"
                          "tabs: x\\ty\\nz\n"
                          "quoted: \"p q\",r\n"
                          "runs: a,, ,b ,\n"
                          "openq: 'a b\n"
                          "hex: \\x41\\,\n"));
    int err = 1;
    EXPECT_EQ((Items{"a", "b,", "c", "d e"}), items(s->getValueList(s.p, "list", nullptr, &err)));
    EXPECT_EQ(0, err);
    EXPECT_EQ((Items{"x", "y", "z"}), items(s->getValueList(s.p, "tabs", nullptr, nullptr)));
    EXPECT_EQ((Items{"p q", "r"}), items(s->getValueList(s.p, "quoted", nullptr, nullptr)));
    EXPECT_EQ((Items{"a", "b"}), items(s->getValueList(s.p, "runs", nullptr, nullptr)));
    EXPECT_EQ((Items{"'a b"}), items(s->getValueList(s.p, "openq", nullptr, nullptr)));
    EXPECT_EQ((Items{"A,"}), items(s->getValueList(s.p, "hex", nullptr, nullptr)));
    const vfw::ValueList* list = s->getValueList(s.p, "list", nullptr, nullptr);
    EXPECT_EQ(4, list->size(list));
    EXPECT_EQ(4, list->countNodes(const_cast<vfw::ValueList*>(list)));
    EXPECT_STREQ("d e", list->last(list)->strings[0]);
}

TEST(CPropertiesInlineLists, DefaultWhenMissingOrEmpty) {
    Store s;
    ASSERT_EQ(0, loadText(s, "empty:\nnovalue\n"));
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
}

TEST(CPropertiesListCache, SameListUntilTheNameChangesOrTheStoreReloads) {
    vfw_test::TempDir dir;
    std::string path = dir.file("conf");
    vfw_test::writeFile(path, "list: a b\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
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

    // Giving a list back frees it; the next query builds a new one.
    EXPECT_EQ(0, s->release(s.p, second));
    EXPECT_EQ(-2, s->release(s.p, second));
    EXPECT_EQ(-22, s->release(s.p, nullptr));

    // A reload frees everything handed out before.
    const vfw::ValueList* before = s->getValueList(s.p, "other", "x", nullptr);
    ASSERT_NE(nullptr, before);
    ASSERT_TRUE(s->reload(s.p, path.c_str(), nullptr));
    EXPECT_EQ(-2, s->release(s.p, before));
    EXPECT_EQ(-2, s->release(s.p, first));
    EXPECT_EQ((Items{"a", "b"}), items(s->getValueList(s.p, "list", nullptr, nullptr)));
}

TEST(CPropertiesLists, MembershipJoiningAndPropertyLists) {
    Store s;
    ASSERT_EQ(0, loadText(s, "users: root, Admin 'x y'\npre.a: 1\npre.b: 2\npre: 3\nPRE.c: 4\n"));
    EXPECT_TRUE(s->isStringInPropertyList(s.p, "users", "Admin", nullptr, nullptr));
    EXPECT_TRUE(s->isStringInPropertyList(s.p, "users", "x y", nullptr, nullptr));
    EXPECT_FALSE(s->isStringInPropertyList(s.p, "users", "admin", nullptr, nullptr));
    EXPECT_TRUE(s->isStringInPropertyList(s.p, "nobody", "b", "a b", nullptr));
    EXPECT_FALSE(s->isStringInPropertyList(s.p, "nobody", "c", nullptr, nullptr));

    const vfw::ValueList* users = s->getValueList(s.p, "users", nullptr, nullptr);
    int err = 1;
    EXPECT_STREQ("root Admin x y", s->valueListToString(s.p, users, 0, &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, s->valueListToString(s.p, nullptr, 0, &err));
    EXPECT_EQ(-22, err);
    ASSERT_EQ(0, s->setValueList(s.p, "copy", users, 0));
    EXPECT_STREQ("root Admin x y", s->getProperty(s.p, "copy", nullptr));
    EXPECT_EQ(0, s->setValueList(s.p, "copy", nullptr, 0));

    const vfw::ValueList* pre = s->getPropertyList(s.p, "pre.", nullptr);
    Items names;
    for (const vfw::ValueNode* n = pre->next(pre, nullptr); n != nullptr; n = pre->next(pre, n)) {
        ASSERT_EQ(3, n->count);
        names.push_back(std::string(n->strings[0]) + "=" + n->strings[1]);
    }
    EXPECT_EQ((Items{"pre.b=2", "pre.a=1"}), names);  // case-sensitive, newest first
    const vfw::ValueList* all = s->getPropertyList(s.p, nullptr, nullptr);
    EXPECT_EQ(4 + 6, all->size(all));
    EXPECT_EQ(nullptr, s->getPropertyList(s.p, "zzz", nullptr));
}

// List files on real files, as root.
class CPropertiesListFiles : public ::testing::Test {
  protected:
    std::string listFile(const std::string& name, const std::string& text, mode_t mode = 0644) {
        std::string path = m_dir.file(name);
        vfw_test::writeFile(path, text);
        EXPECT_EQ(0, ::chmod(path.c_str(), mode));
        return path;
    }
    // Loads "list: file:<path>" and queries it with `fallback` as the default.
    Items query(const std::string& path, const char* fallback, int& err) {
        Store s;
        EXPECT_EQ(0, loadText(s, "list: file:" + path + "\n"));
        return items(s->getValueList(s.p, "list", fallback, &err));
    }
    vfw_test::TempDir m_dir;
};

TEST_F(CPropertiesListFiles, RootOwnedFileGivesOneItemPerWord) {
    std::string path = listFile("users",
                                "# administrators\n"
                                "  root, daemon\tbin  \n"
                                "\n"
                                "   ! not this\n"
                                "\"quoted one\"\n"
                                "\"not, whole\" x\n"
                                "a\\tb 'c'\n");
    int err = 1;
    EXPECT_EQ(
        (Items{"root", "daemon", "bin", "quoted", "one", "\"not", "whole\"", "x", "a\\tb", "'c'"}),
        query(path, "dflt", err));
    EXPECT_EQ(0, err);

    std::string empty = listFile("empty", "# nothing\n\n");
    EXPECT_EQ(Items{}, query(empty, "dflt", err));  // an empty list file is an empty list
    EXPECT_EQ(0, err);
}

TEST_F(CPropertiesListFiles, EscapedPrefixAndQuotedPath) {
    std::string path = listFile("a b", "one\n");
    Store s;
    ASSERT_EQ(0,
              loadText(s, "l2: fi\\le:\"" + m_dir.path() + "/a b\"\n" + "l3: File:" + path + "\n"));
    // In a configuration line "\f" is a form feed, so this form only comes from setProperty.
    ASSERT_EQ(0, s->setProperty(s.p, "l1", ("\\file: " + m_dir.path() + "/a\\ b").c_str()));
    EXPECT_EQ((Items{"one"}), items(s->getValueList(s.p, "l1", nullptr, nullptr)));
    EXPECT_EQ((Items{"one"}), items(s->getValueList(s.p, "l2", nullptr, nullptr)));
    EXPECT_EQ(2u, items(s->getValueList(s.p, "l3", nullptr, nullptr)).size());  // inline
}

TEST_F(CPropertiesListFiles, RefusedFilesFallBackToTheDefault) {
    std::string good = listFile("good", "g1 g2\n");
    struct Case {
        const char* what;
        std::string path;
        int err;
    };
    std::string other = listFile("other", "o\n");
    ASSERT_EQ(0, ::chown(other.c_str(), 1000, 1000));
    std::string system = listFile("system", "s\n");
    ASSERT_EQ(0, ::chown(system.c_str(), 4, 4));  // ids 0 to 4 count as root's
    std::string writable = listFile("writable", "w\n", 0666);
    std::string linked = m_dir.file("symlink");
    ASSERT_EQ(0, ::symlink(good.c_str(), linked.c_str()));
    std::string twice = listFile("twice", "t\n");
    ASSERT_EQ(0, ::link(twice.c_str(), m_dir.file("twice2").c_str()));
    ASSERT_EQ(0, ::mkdir(m_dir.file("dir").c_str(), 0755));
    std::string longLine = listFile("long", std::string(1024, 'x') + "\n");
    std::vector<Case> cases = {
        {"uid 1000", other, -125},           {"world writable", writable, -125},
        {"symlink", linked, -125},           {"two links", twice, -125},
        {"missing", m_dir.file("none"), -2}, {"directory", m_dir.file("dir"), -5},
        {"overlong line", longLine, -5},
    };
    for (const Case& c : cases) {
        int err = 0;
        EXPECT_EQ((Items{"d1", "d2"}), query(c.path, "d1,d2", err)) << c.what;
        EXPECT_EQ(c.err, err) << c.what;
        EXPECT_EQ((Items{"g1", "g2"}), query(c.path, ("file:" + good).c_str(), err)) << c.what;
        EXPECT_EQ(c.err, err) << c.what;  // the property's refusal is still reported
        EXPECT_EQ(Items{}, query(c.path, nullptr, err)) << c.what;
        EXPECT_EQ(c.err, err) << c.what;
    }
    int err = 1;
    EXPECT_EQ((Items{"s"}), query(system, nullptr, err));
    EXPECT_EQ(0, err);

    // The property missing, the default naming a refused file: nothing is left.
    Store s;
    ASSERT_EQ(0, loadText(s, ""));
    EXPECT_EQ(nullptr, s->getValueList(s.p, "list", ("file:" + writable).c_str(), &err));
    EXPECT_EQ(-125, err);
}

std::string g_replacement;

void replaceAfterOpen(const char* path) {
    ASSERT_EQ(0, std::rename(g_replacement.c_str(), path));
}

TEST_F(CPropertiesListFiles, FileReplacedBetweenOpenAndCheck) {
    std::string path = listFile("raced", "opened\n");
    g_replacement = listFile("swapped", "swapped\n");
    Store s;
    ASSERT_EQ(0, loadText(s, "list: file:" + path + "\n"));
    vfw::cprops::g_afterOpenHook = replaceAfterOpen;
    int err = 0;
    Items result = items(s->getValueList(s.p, "list", "d", &err));
    vfw::cprops::g_afterOpenHook = nullptr;
    EXPECT_EQ((Items{"d"}), result);  // neither the opened nor the swapped-in file is read
    EXPECT_EQ(-5, err);
    EXPECT_EQ("swapped\n", vfw_test::readFile(path));
}

}  // namespace
