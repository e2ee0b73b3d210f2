#include "vfw/path.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "support/path_test_util.h"
#include "support/test_util.h"
#include "vfw/error_util.h"

namespace {

using path_test::inChild;
using path_test::kNobody;
using path_test::modeOf;
using path_test::present;
using path_test::sysText;
using path_test::thrown;
using path_test::UmaskGuard;
using vfw::path;
using vfw_test::TempDir;

// Parsing and string forms.

TEST(PathParse, DoubledSlashesAndBackslashesSplitLikeSingleSlashes) {
    path single("/var/spool/queue/file");
    for (const char* text : {"/var//spool///queue/file", "/var\\spool\\queue\\file",
                             "/var\\\\spool/\\queue//file", "//var/spool/queue/file"}) {
        path parsed(text);
        EXPECT_TRUE(parsed.isAbsolute()) << text;
        EXPECT_EQ(parsed.getComponents(), single.getComponents()) << text;
        EXPECT_EQ(parsed.getLeaf(), "file") << text;
        EXPECT_EQ(parsed.toString(), "/var/spool/queue/file") << text;
        EXPECT_EQ(parsed, single) << text;
    }
    EXPECT_EQ(single.getComponents(), (std::vector<std::string>{"var", "spool", "queue"}));
}

TEST(PathParse, TrailingSeparatorLeavesTheLeafEmpty) {
    path directory("spool/queue/");
    EXPECT_FALSE(directory.isAbsolute());
    EXPECT_EQ(directory.getComponents(), (std::vector<std::string>{"spool", "queue"}));
    EXPECT_EQ(directory.getLeaf(), "");
    EXPECT_EQ(directory.toString(), "spool/queue");
    EXPECT_EQ(path("spool\\queue\\\\").toString(), "spool/queue");
}

TEST(PathParse, RootEmptyAndSingleNames) {
    path root("/");
    EXPECT_TRUE(root.isAbsolute());
    EXPECT_FALSE(root.isEmpty());
    EXPECT_EQ(root.toString(), "/");
    EXPECT_EQ(path("///").toString(), "/");

    EXPECT_TRUE(path("").isEmpty());
    EXPECT_TRUE(path().isEmpty());
    EXPECT_TRUE(path(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_EQ(path("").toString(), "");

    path name("queue");
    EXPECT_FALSE(name.isAbsolute());
    EXPECT_TRUE(name.getComponents().empty());
    EXPECT_EQ(name.getLeaf(), "queue");
    // Only a leading "/" makes a path absolute.
    path backslashed("\\queue");
    EXPECT_FALSE(backslashed.isAbsolute());
    EXPECT_EQ(backslashed.toString(), "queue");
}

TEST(PathParse, BlanksAreReplacedUnlessKept) {
    path spaced("/var/my spool/a b c");
    EXPECT_EQ(spaced.toString(), "/var/my_spool/a_b_c");
    EXPECT_EQ(spaced.toString(true), "/var/my spool/a b c");
    EXPECT_EQ(spaced.toString(false), "/var/my_spool/a_b_c");
    EXPECT_EQ(path("a b/").toString(), "a_b");
    // Only blanks: tabs stay.
    EXPECT_EQ(path("a\tb").toString(), "a\tb");
}

TEST(PathParse, StemAndExtension) {
    path archive("/logs/trail.tar.gz");
    EXPECT_EQ(archive.stem(), "trail.tar");
    EXPECT_EQ(archive.extension(), ".gz");

    path noDot("/logs/trail");
    EXPECT_EQ(noDot.stem(), "");
    EXPECT_EQ(noDot.extension(), "");

    // A dot in a directory does not count for the leaf.
    path dottedDirectory("/logs.d/trail");
    EXPECT_EQ(dottedDirectory.stem(), "");
    EXPECT_EQ(dottedDirectory.extension(), "");

    // With an empty leaf the last component is the name.
    path trailing("/spool/queue.d/");
    EXPECT_EQ(trailing.stem(), "queue");
    EXPECT_EQ(trailing.extension(), ".d");

    path hidden("home/.profile");
    EXPECT_EQ(hidden.stem(), "");
    EXPECT_EQ(hidden.extension(), ".profile");

    path endsWithDot("name.");
    EXPECT_EQ(endsWithDot.stem(), "name");
    EXPECT_EQ(endsWithDot.extension(), ".");

    EXPECT_EQ(path("").stem(), "");
    EXPECT_EQ(path("/").extension(), "");
}

TEST(PathParse, ComparisonUsesTheBlankFreeForm) {
    EXPECT_EQ(path("a b/c"), path("a_b/c"));
    EXPECT_EQ(path("a//b"), path("a\\b"));
    EXPECT_NE(path("/a"), path("a"));
    EXPECT_LT(path("/a/b"), path("/a/c"));
    EXPECT_LT(path("a"), path("b"));
    EXPECT_FALSE(path("b") < path("a"));
    // Byte-wise: "/" (0x2f) sorts before "_" (0x5f) and letters.
    EXPECT_LT(path("a/z"), path("a_b"));
}

TEST(PathAppend, ComponentsAndLeafFollow) {
    path base("/var/spool");
    base.append(path("queue/file.dat"));
    EXPECT_EQ(base.toString(), "/var/spool/queue/file.dat");
    EXPECT_EQ(base.getComponents(), (std::vector<std::string>{"var", "spool", "queue"}));
    EXPECT_EQ(base.getLeaf(), "file.dat");

    path directory("/var/spool/");
    directory /= path("0");
    EXPECT_EQ(directory.toString(), "/var/spool/0");
    EXPECT_EQ(directory.getComponents().size(), 2u);

    path relative("a");
    relative /= path("b/");
    EXPECT_EQ(relative.toString(), "a/b");
    EXPECT_EQ(relative.getLeaf(), "");

    path withEmpty("x/y");
    withEmpty.append(path(""));
    EXPECT_EQ(withEmpty.toString(), "x/y");
}

TEST(PathAppend, RootPathIsRefused) {
    path base("/var/spool");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { base.append(path("/etc")); }),
              "0 Attempt to append root path");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { base /= path("/"); }),
              "0 Attempt to append root path");
    EXPECT_EQ(base.toString(), "/var/spool");
}

// Tests of the file system.

TEST(PathTests, ExistsFollowsStatAndKeepsBlanks) {
    TempDir dir;
    vfw_test::writeFile(dir.file("a file"), "x");
    EXPECT_TRUE(path(dir.path()).exists());
    EXPECT_TRUE(path(dir.file("a file")).exists());
    EXPECT_FALSE(path(dir.file("a_file")).exists());
    EXPECT_FALSE(path(dir.file("missing")).exists());
    EXPECT_FALSE(path("").exists());
    EXPECT_TRUE(path("/").exists());

    ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
    EXPECT_FALSE(path(dir.file("dangling")).exists());
    EXPECT_FALSE(path(std::string(10000, 'a')).exists());
}

TEST(PathTests, IsDirectory) {
    TempDir dir;
    vfw_test::writeFile(dir.file("file"), "x");
    ASSERT_EQ(::mkdir(dir.file("sub dir").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_TRUE(path(dir.path()).isDirectory());
    EXPECT_TRUE(path(dir.file("sub dir")).isDirectory());
    EXPECT_FALSE(path(dir.file("file")).isDirectory());
    EXPECT_FALSE(path(dir.file("fifo")).isDirectory());

    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("").isDirectory(); }), "0 Empty path");
    std::string missing = dir.file("no such");
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(missing).isDirectory(); }),
              "-1 Cannot stat " + dir.file("no_such") + ": " + sysText(ENOENT));
    std::string underFile = dir.file("file/below");
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(underFile).isDirectory(); }),
              "-1 Cannot stat " + underFile + ": " + sysText(ENOTDIR));
}

TEST(PathTests, CanWriteAsRoot) {
    TempDir dir;
    vfw_test::writeFile(dir.file("file"), "x");
    ASSERT_EQ(::chmod(dir.file("file").c_str(), 0444), 0);
    EXPECT_TRUE(path(dir.path()).canWrite());
    EXPECT_TRUE(path(dir.file("file")).canWrite());  // root writes anyway

    EXPECT_EQ(thrown<vfw::BadDataException>([] { path("").canWrite(); }), "0 Empty path");
    std::string missing = dir.file("missing file");
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(missing).canWrite(); }),
              "-1 Cannot access " + dir.file("missing_file") + ": " + sysText(ENOENT));
}

TEST(PathTests, CanWriteIsFalseWhenTheSystemRefusesWriting) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    vfw_test::writeFile(dir.file("readonly"), "x");
    vfw_test::writeFile(dir.file("shared"), "x");
    ASSERT_EQ(::chmod(dir.file("readonly").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(dir.file("shared").c_str(), 0666), 0);

    std::string result = inChild(true, [&] {
        std::string out;
        out += path(dir.file("readonly")).canWrite() ? "w" : "-";
        out += path(dir.file("shared")).canWrite() ? "w" : "-";
        out += path(dir.path()).canWrite() ? "w" : "-";
        return out;
    });
    EXPECT_EQ(result, "-w-");

    // A name below a directory that may not be searched is refused too, not "not found".
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    result = inChild(true, [&] { return path(dir.file("shared")).canWrite() ? "w" : "-"; });
    EXPECT_EQ(result, "-");
}

TEST(PathTests, CanWriteIsFalseOnAReadOnlyFileSystem) {
    TempDir dir;
    std::string mountPoint = dir.file("ro");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0755), 0);
    std::string result = inChild(false, [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", mountPoint.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
            return std::string("mount failed: ") + std::strerror(errno);
        }
        return path(mountPoint).canWrite() ? "writable" : "read-only";
    });
    EXPECT_EQ(result, "read-only");
}

// Owner and permissions.

TEST(PathAttributes, SetOwnerAsRoot) {
    TempDir dir;
    vfw_test::writeFile(dir.file("file_1"), "x");
    path(dir.file("file 1")).setOwner(kNobody, kNobody);
    struct stat status;
    ASSERT_EQ(::stat(dir.file("file_1").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, kNobody);
    EXPECT_EQ(status.st_gid, kNobody);

    // -1 keeps an id.
    path(dir.file("file_1")).setOwner(0, static_cast<gid_t>(-1));
    ASSERT_EQ(::stat(dir.file("file_1").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 0u);
    EXPECT_EQ(status.st_gid, kNobody);

    std::string missing = dir.file("missing");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(missing).setOwner(12, 34); }),
              "0 Can't change owner of " + missing + " to 12/34: " + sysText(ENOENT));
}

TEST(PathAttributes, SetOwnerRefusedToOtherUsers) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    vfw_test::writeFile(dir.file("file"), "x");
    std::string name = dir.file("file");
    std::string result =
        inChild(true, [&] { return thrown<vfw::IOException>([&] { path(name).setOwner(0, 0); }); });
    EXPECT_EQ(result, "0 Can't change owner of " + name + " to 0/0: " + sysText(EPERM));
}

TEST(PathAttributes, SetPermissionsIgnoresTheUmask) {
    UmaskGuard mask(0777);
    TempDir dir;
    vfw_test::writeFile(dir.file("a_b"), "x");
    path(dir.file("a b")).setPermissions(0751);
    EXPECT_EQ(modeOf(dir.file("a_b")), 0751u);
    path(dir.file("a_b")).setPermissions(04700);
    EXPECT_EQ(modeOf(dir.file("a_b")), 04700u);

    std::string missing = dir.file("missing");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(missing).setPermissions(0640); }),
              "0 Can't change permissions of " + missing + " to 1a0: " + sysText(ENOENT));
}

// Renaming.

TEST(PathRename, MovesWithBlanksReplaced) {
    TempDir dir;
    vfw_test::writeFile(dir.file("old_name"), "content");
    path(dir.file("old name")).rename(path(dir.file("new name")));
    EXPECT_FALSE(present(dir.file("old_name")));
    EXPECT_EQ(vfw_test::readFile(dir.file("new_name")), "content");
    EXPECT_FALSE(present(dir.file("new name")));
}

TEST(PathRename, Failures) {
    TempDir dir;
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { path("").rename(path(dir.file("x"))); }),
              "0 Empty path");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { path(dir.file("x")).rename(path()); }),
              "0 Empty path");
    std::string from = dir.file("missing");
    std::string to = dir.file("target");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(from).rename(path(to)); }),
              "-1 Cannot rename " + from + " to " + to + ": " + sysText(ENOENT));

    ASSERT_EQ(::mkdir(dir.file("full").c_str(), 0700), 0);
    vfw_test::writeFile(dir.file("full/x"), "x");
    ASSERT_EQ(::mkdir(dir.file("other").c_str(), 0700), 0);
    std::string full = dir.file("full");
    std::string other = dir.file("other");
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(other).rename(path(full)); }),
              "-1 Cannot rename " + other + " to " + full + ": " + sysText(ENOTEMPTY));
}

// Listing.

TEST(PathList, NamesWithoutDotEntries) {
    TempDir dir;
    vfw_test::writeFile(dir.file("1"), "x");
    vfw_test::writeFile(dir.file("name with blank"), "x");
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    std::vector<std::string> names{"kept"};
    path(dir.path()).list(names);
    std::sort(names.begin() + 1, names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "1", "name with blank", "sub"}));
}

TEST(PathList, Failures) {
    TempDir dir;
    std::vector<std::string> names;
    std::string missing = dir.file("missing");
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(missing).list(names); }),
              "0 " + missing + ": No such directory");
    vfw_test::writeFile(dir.file("file"), "x");
    std::string file = dir.file("file");
    EXPECT_EQ(thrown<vfw::SystemException>([&] { path(file).list(names); }),
              std::to_string(ENOTDIR) + " " + file + ": Failed to open");
    EXPECT_EQ(thrown<vfw::BadDataException>([&] { path().list(names); }), "0 Empty path");
    EXPECT_TRUE(names.empty());
}

// Paths are arguments of messages, never their formats.

TEST(PathMessages, ConversionsInPathsAppearLiterally) {
    TempDir dir;
    std::string odd = dir.file("%s%n%d%x%%%p");
    std::string expectedEnd = ": " + sysText(ENOENT);
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(odd).isDirectory(); }),
              "-1 Cannot stat " + odd + expectedEnd);
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(odd).canWrite(); }),
              "-1 Cannot access " + odd + expectedEnd);
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(odd).setPermissions(0600); }),
              "0 Can't change permissions of " + odd + " to 180" + expectedEnd);
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(odd).setOwner(1, 2); }),
              "0 Can't change owner of " + odd + " to 1/2" + expectedEnd);
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(odd).rename(path(odd + "%n")); }),
              "-1 Cannot rename " + odd + " to " + odd + "%n" + expectedEnd);
    std::string below = odd + "/%n";
    path(below).createDirectory(0700);
    EXPECT_TRUE(path(below).isDirectory());
    EXPECT_EQ(thrown<vfw::IOException>([&] { path(odd).remove(false); }),
              "-1 Cannot remove directory " + odd + ": " + sysText(ENOTEMPTY));
    path(odd).remove(true);
    EXPECT_FALSE(present(odd));
    std::vector<std::string> names;
    EXPECT_EQ(thrown<vfw::NotFoundException>([&] { path(odd).list(names); }),
              "0 " + odd + ": No such directory");
}

}  // namespace
