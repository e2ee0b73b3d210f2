// Creating and removing directory trees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/path_test_util.h"
#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/path.h"

namespace {

using path_test::CwdGuard;
using path_test::inChild;
using path_test::modeOf;
using path_test::present;
using path_test::sysText;
using path_test::thrown;
using path_test::UmaskGuard;
using vfw::path;
using vfw_test::TempDir;

// Directory creation.

TEST(PathCreate, MissingAncestorsGetTheModeWhateverTheUmask) {
    UmaskGuard mask(0077);
    TempDir dir;
    path(dir.file("parent/child/grandchild")).createDirectory(0751);
    for (const char* name : {"parent", "parent/child", "parent/child/grandchild"}) {
        EXPECT_TRUE(path(dir.file(name)).isDirectory()) << name;
        EXPECT_EQ(modeOf(dir.file(name)), 0751u) << name;
    }
    // The existing start point is left alone.
    EXPECT_EQ(modeOf(dir.path()), 0700u);
}

TEST(PathCreate, FailureBelowANewDirectoryReportsTheMkdirError) {
    // A non-root caller cannot descend into a directory it made without search permission:
    // the outer directory is made and gets its mode, the inner mkdir fails and is reported.
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    std::string target = dir.file("a/b");
    std::string result = inChild(true, [&] {
        return thrown<vfw::IOException>([&] { path(target).createDirectory(0600); });
    });
    EXPECT_EQ(result, "-1 Cannot create directory " + target + ": " + sysText(EACCES));
    EXPECT_EQ(modeOf(dir.file("a")), 0600u);
    EXPECT_FALSE(present(target));
}

TEST(PathCreate, ExistingDirectoryGetsTheModeAndThrows) {
    TempDir dir;
    std::string existing = dir.file("existing");
    ASSERT_EQ(::mkdir(existing.c_str(), 0700), 0);
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(existing).createDirectory(0755); }),
              "-1 Cannot create directory " + existing + ": " + sysText(EEXIST));
    EXPECT_EQ(modeOf(existing), 0755u);
}

TEST(PathCreate, ExistingFileKeepsItsModeAndThrows) {
    TempDir dir;
    std::string file = dir.file("file");
    vfw_test::writeFile(file, "x");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(file).createDirectory(0755); }),
              "-1 Cannot create directory " + file + ": " + sysText(EEXIST));
    EXPECT_EQ(modeOf(file), 0600u);

    std::string below = dir.file("file/sub");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(below).createDirectory(0755); }),
              "-1 Cannot create directory " + below + ": " + sysText(ENOTDIR));
}

TEST(PathCreate, RelativePaths) {
    TempDir dir;
    CwdGuard cwd(dir.path());
    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("single").createDirectory(0755); }),
              "0 Empty path");
    EXPECT_FALSE(present(dir.file("single")));
    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("missing/child").createDirectory(0755); }),
              "0 Empty path");
    EXPECT_FALSE(present(dir.file("missing")));
    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("").createDirectory(0755); }),
              "0 Empty path");

    ASSERT_EQ(::mkdir(dir.file("first").c_str(), 0700), 0);
    path("first/second/third/").createDirectory(0750);
    EXPECT_EQ(modeOf(dir.file("first/second")), 0750u);
    EXPECT_EQ(modeOf(dir.file("first/second/third")), 0750u);
}

TEST(PathCreate, BlankIsTestedAsBlankButCreatedAsUnderscore) {
    TempDir dir;
    path(dir.file("my spool/queue")).createDirectory(0700);
    EXPECT_TRUE(path(dir.file("my_spool/queue")).isDirectory());
    EXPECT_FALSE(present(dir.file("my spool")));
}

TEST(PathCreate, OverlongPathsFailWithoutCrashing) {
    TempDir dir;
    std::string longName = dir.file(std::string(300, 'n'));
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(longName + "/x").createDirectory(0700); }),
              "-1 Cannot create directory " + longName + ": " + sysText(ENAMETOOLONG));

    std::string deep = dir.path();
    for (int i = 0; i < 100000; ++i) {
        deep += "/d";
    }
    std::string result = thrown<vfw::IOException>([&] { path(deep).createDirectory(0700); });
    EXPECT_EQ(result.substr(0, 27), "-1 Cannot create directory ");
    EXPECT_EQ(result.size(), 511u + 3u);  // the message is cut at 511 characters
    EXPECT_FALSE(present(dir.file("d")));
}

// "." and ".." inside the path are resolved by the system through the directories that exist
// (a link's target included); the mode goes only to the directories made. A ".." after a
// directory still to be made, and a last name "." or "..", are refused before anything
// changes.
TEST(PathCreate, DotNamesNeverChangeADirectoryTheCallerDidNotName) {
    struct Case {
        const char* target;
        const char* reason;  // of the refusal, "@" standing for the tree; null when created
        std::vector<std::pair<const char*, mode_t>> after;  // mode 0: absent
    };
    const Case cases[] = {
        {"dd/sub/../new",
         "\"..\" follows @/dd/sub, which is not an existing directory",
         {{"dd/sub", 0}, {"dd/new", 0}}},
        {"dd/existing/../new", nullptr, {{"dd/new", 0700}}},
        {"dd/link/../new", nullptr, {{"elsewhere/new", 0700}, {"dd/new", 0}}},
        {"dd/sub/./new", nullptr, {{"dd/sub", 0700}, {"dd/sub/new", 0700}}},
        {"dd/existing/..", "\"..\" names no new directory", {}},
        {"dd/missing/..", "\"..\" names no new directory", {{"dd/missing", 0}}},
        {"dd/.", "\".\" names no new directory", {}},
    };
    const char* const existing[] = {"dd", "dd/existing", "elsewhere", "elsewhere/inner"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        TempDir dir;
        for (const char* name : existing) {
            ASSERT_EQ(::mkdir(dir.file(name).c_str(), 0755), 0);
        }
        ASSERT_EQ(::symlink(dir.file("elsewhere/inner").c_str(), dir.file("dd/link").c_str()), 0);
        std::string expected = "no exception";
        if (c.reason != nullptr) {
            std::string reason = c.reason;
            const std::string::size_type at = reason.find('@');
            if (at != std::string::npos) {
                reason.replace(at, 1, dir.path());
            }
            expected = "-1 Cannot create directory " + dir.file(c.target) + ": " + reason;
        }
        EXPECT_EQ(thrown<vfw::IOException>([&] { path(dir.file(c.target)).createDirectory(0700); }),
                  expected);
        for (const char* name : existing) {
            EXPECT_EQ(modeOf(dir.file(name)), 0755u) << name;
        }
        for (const auto& [name, mode] : c.after) {
            EXPECT_EQ(present(dir.file(name)) ? modeOf(dir.file(name)) : 0, mode) << name;
        }
    }
}

// Run where the root is a scratch directory, so that a fault could touch nothing else.
TEST(PathRoot, CreationAndRemovalAreRefusedAndLeaveTheRootAlone) {
    TempDir dir;
    const std::string jail = dir.file("jail");
    ASSERT_EQ(::mkdir(jail.c_str(), 0755), 0);
    vfw_test::writeFile(jail + "/canary", "x");
    std::string result = inChild(false, [&]() -> std::string {
        if (::chroot(jail.c_str()) != 0 || ::chdir("/") != 0) {
            return std::string("chroot failed: ") + std::strerror(errno);
        }
        return thrown<vfw::IOException>([] { path("/").createDirectory(0700); }) + "|" +
               thrown<vfw::IOException>([] { path("//").remove(true); }) + "|" +
               thrown<vfw::IOException>([] { path("/").remove(false); });
    });
    EXPECT_EQ(result,
              "-1 Cannot create directory /: \"/\" names no new directory|"
              "-1 Cannot remove directory /: the root is never removed|"
              "-1 Cannot remove directory /: the root is never removed");
    EXPECT_EQ(modeOf(jail), 0755u);
    EXPECT_EQ(vfw_test::readFile(jail + "/canary"), "x");
}

// Removal.

TEST(PathRemove, MissingPathIsNoError) {
    TempDir dir;
    path(dir.file("missing")).remove(false);
    path(dir.file("missing/below")).remove(true);
    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("").remove(true); }), "0 Empty path");
}

TEST(PathRemove, FileAndEmptyDirectory) {
    TempDir dir;
    vfw_test::writeFile(dir.file("a_file"), "x");
    ASSERT_EQ(::mkdir(dir.file("a_dir").c_str(), 0700), 0);
    path(dir.file("a file")).remove(false);
    path(dir.file("a dir")).remove(false);
    EXPECT_FALSE(present(dir.file("a_file")));
    EXPECT_FALSE(present(dir.file("a_dir")));
}

TEST(PathRemove, NonEmptyDirectoryNeedsTheRecursiveFlag) {
    TempDir dir;
    std::string full = dir.file("full");
    ASSERT_EQ(::mkdir(full.c_str(), 0700), 0);
    vfw_test::writeFile(dir.file("full/x"), "x");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(full).remove(false); }),
              "-1 Cannot remove directory " + full + ": " + sysText(ENOTEMPTY));
    EXPECT_EQ(vfw_test::readFile(dir.file("full/x")), "x");
}

TEST(PathRemove, RecursiveRemovalTakesEntriesByTheirNames) {
    TempDir dir;
    std::string top = dir.file("tree");
    for (const char* name : {"tree", "tree/sub", "tree/sub/deeper", "tree/sub dir"}) {
        ASSERT_EQ(::mkdir(dir.file(name).c_str(), 0700), 0) << name;
    }
    for (const char* name : {"tree/a", "tree/sub/b", "tree/sub/deeper/c", "tree/sub dir/d e",
                             "tree/back\\slash", "tree/%s%n%x"}) {
        vfw_test::writeFile(dir.file(name), "x");
    }
    ASSERT_EQ(::mkfifo(dir.file("tree/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.file("tree/sub/deeper").c_str(), 0), 0);
    path(top).remove(true);
    EXPECT_FALSE(present(top));
}

TEST(PathRemove, LinksAreRemovedNotFollowed) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("outside").c_str(), 0700), 0);
    vfw_test::writeFile(dir.file("outside/keep"), "keep");
    ASSERT_EQ(::mkdir(dir.file("tree").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("tree/link").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", dir.file("tree/dangling").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("outside").c_str(), dir.file("toplink").c_str()), 0);

    path(dir.file("toplink")).remove(true);
    EXPECT_FALSE(present(dir.file("toplink")));
    path(dir.file("tree")).remove(true);
    EXPECT_FALSE(present(dir.file("tree")));
    EXPECT_EQ(vfw_test::readFile(dir.file("outside/keep")), "keep");
}

TEST(PathRemove, DotNamesAreRefusedBeforeAnythingIsRemoved) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    vfw_test::writeFile(dir.file("keep"), "x");
    std::string up = dir.file("sub/..");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(up).remove(true); }),
              "-1 Cannot remove directory " + up + ": " + sysText(EINVAL));
    std::string here = dir.file("sub/./");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(here).remove(true); }),
              "-1 Cannot remove directory " + dir.file("sub/.") + ": " + sysText(EINVAL));
    EXPECT_TRUE(present(dir.file("keep")));
    EXPECT_TRUE(present(dir.file("sub")));
}

TEST(PathRemove, FailuresOfOtherUsers) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("tree").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("other").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dir.file("other/closed").c_str(), 0700), 0);
    vfw_test::writeFile(dir.file("tree/file"), "x");
    vfw_test::writeFile(dir.file("other/closed/hidden"), "x");
    std::string file = dir.file("tree/file");
    std::string tree = dir.file("other");
    std::string closed = dir.file("other/closed");
    std::string result = inChild(true, [&] {
        return thrown<vfw::IOException>([&] { path(file).remove(false); }) + "|" +
               thrown<vfw::SystemException>([&] { path(tree).remove(true); }) + "|" +
               thrown<vfw::IOException>([&] { path(closed + "/hidden").remove(false); });
    });
    EXPECT_EQ(result, "-1 Cannot remove file " + file + ": " + sysText(EACCES) + "|" +
                          std::to_string(EACCES) + " " + closed + ": Failed to open|" +
                          "-1 Cannot stat " + closed + "/hidden: " + sysText(EACCES));
    EXPECT_TRUE(present(file));
    EXPECT_TRUE(present(dir.file("other/closed/hidden")));
}

}  // namespace
