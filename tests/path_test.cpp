// Paths and file utilities: parsing and string forms, then real files as root, as user 65534
// in a child process, and on fresh tmpfs mounts in a private mount namespace: path tests and
// attributes, directory trees made and removed, file queries, free space, links, renaming,
// copies and temporary files. Every name lies below a directory whose name holds printf
// conversions, which must appear literally in every message; the umask is 077 throughout, so
// every mode the code sets must be its own.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_util.h"
#include "vfw/error_util.h"
#include "vfw/file_util.h"
#include "vfw/log.h"
#include "vfw/path.h"

namespace {

using vfw::path;
using vfw_test::readFile;
using vfw_test::TempDir;
using vfw_test::writeFile;
using Cases = std::initializer_list<std::pair<std::string, std::string>>;

void expectAll(Cases cases) {
    for (const auto& [got, expected] : cases) {
        EXPECT_EQ(got, expected);
    }
}

// "<head>: <system text>", the shape of every message that carries an error.
std::string sys(const std::string& head, int error) {
    return head + ": " + std::strerror(error);
}

// "<rc> <message>" of the exception of class E thrown by `action`, or what happened instead.
template <class E>
std::string thrown(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return std::to_string(e.getRc()) + " " + e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// Runs `body` in a forked child (as user and group 65534 without supplementary groups when
// `asNobody`) and returns the text it produced.
std::string inChild(bool asNobody, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool dropped =
            !asNobody || (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
                          ::setresuid(65534, 65534, 65534) == 0);
        const std::string result = dropped ? body() : "cannot drop privileges";
        ::_exit(::write(fds[1], result.data(), result.size()) == ssize_t(result.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string output;
    char buffer[512];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? output : "child failed: " + output;
}

// "<type> <mode> <owner>" of a name (type d, f, l or p; owner the uid, ":gid" after it when
// they differ), "-" when it does not exist.
std::string describe(const std::string& name) {
    struct stat s;
    if (::lstat(name.c_str(), &s) != 0) {
        return "-";
    }
    const char* type = S_ISDIR(s.st_mode)   ? "d"
                       : S_ISREG(s.st_mode) ? "f"
                       : S_ISLNK(s.st_mode) ? "l"
                                            : "p";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", s.st_mode & 07777);
    return std::string(type) + " " + mode + " " + std::to_string(s.st_uid) +
           (s.st_gid != s.st_uid ? ":" + std::to_string(s.st_gid) : "");
}

std::string listed(const std::string& directory) {
    std::vector<std::string> names;
    path(directory).list(names);
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names) {
        text += name + "|";
    }
    return text;
}

// Every record of the process goes to a file of the test run, never to syslog, with
// "util.file" at TRACE; records() hands out what was written since its last call.
std::string records() {
    static TempDir dir;
    const std::string file = dir.file("records.log");
    vfw::getFileLogging().close();
    const std::string text = readFile(file);
    writeFile(file, "");
    EXPECT_EQ(vfw::getFileLogging().open(file), 0);
    vfw::getLogger("util.file")->setLevel(vfw::LEVEL_TRACE);
    return text;
}

struct RecordsToFile : ::testing::Environment {
    void SetUp() override { records(); }
};
[[maybe_unused]] auto* const g_records = ::testing::AddGlobalTestEnvironment(new RecordsToFile);

// True when the line of `text` that holds `message` holds `level` before it.
bool hasRecord(const std::string& text, const std::string& level, const std::string& message) {
    const std::string::size_type at = text.find(message);
    const std::string::size_type start = at == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    return at != std::string::npos &&
           text.substr(start, at - start).find(level + " ") != std::string::npos;
}

class Files : public ::testing::Test {
  protected:
    void SetUp() override {
        m_umask = ::umask(077);
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        make({""});
        records();
    }
    void TearDown() override { ::umask(m_umask); }
    std::string at(const std::string& name) const {
        return name.empty() ? base : base + "/" + name;
    }
    // Directories (mode 0755 unless given), files ("content" or "=content" after the name)
    // and links ("target>name").
    void make(std::initializer_list<std::string> names, mode_t mode = 0755) const {
        for (const std::string& name : names) {
            const std::string::size_type mark = name.find_first_of("=>");
            if (mark != std::string::npos && name[mark] == '>') {
                ASSERT_EQ(
                    ::symlink(name.substr(0, mark).c_str(), at(name.substr(mark + 1)).c_str()), 0);
            } else if (mark != std::string::npos) {
                writeFile(at(name.substr(0, mark)), name.substr(mark + 1));
            } else {
                ASSERT_EQ(::mkdir(at(name).c_str(), mode) + ::chmod(at(name).c_str(), mode), 0);
            }
        }
    }

    TempDir dir;
    const std::string base = dir.path() + "/%s%n%d%x%%%p";
    mode_t m_umask = 0;
};

// "/a|b|>leaf": the absolute flag, the components and the leaf; "empty " first when empty.
std::string shape(const path& p) {
    std::string text = std::string(p.isEmpty() ? "empty " : "") + (p.isAbsolute() ? "/" : "");
    for (const std::string& component : p.getComponents()) {
        text += component + "|";
    }
    return text + ">" + p.getLeaf();
}

TEST(Path, ParseFormsStemExtensionComparisonAndAppend) {
    const std::pair<const char*, const char*> cases[] = {
        // text, then shape, string form, stem and extension
        {"/var/spool/queue/file", "/var|spool|queue|>file /var/spool/queue/file  "},
        {"/var//spool///queue/file", "/var|spool|queue|>file /var/spool/queue/file  "},
        {"/var\\spool\\queue\\file", "/var|spool|queue|>file /var/spool/queue/file  "},
        {"//var\\\\spool/\\queue//file", "/var|spool|queue|>file /var/spool/queue/file  "},
        {"spool\\queue\\\\", "spool|queue|> spool/queue  "},
        {"///", "/> /  "},
        {"", "empty >   "},
        {"\\queue", ">queue queue  "},
        {"/var/my spool/a b", "/var|my spool|>a b /var/my_spool/a_b  "},
        {"/logs.d/trail.tar.gz", "/logs.d|>trail.tar.gz /logs.d/trail.tar.gz trail.tar .gz"},
        {"/spool/queue.d/", "/spool|queue.d|> /spool/queue.d queue .d"},
        {"home/.profile", "home|>.profile home/.profile  .profile"},
        {"name.", ">name. name. name ."},
    };
    for (const auto& [text, expected] : cases) {
        const path p(text);
        EXPECT_EQ(shape(p) + " " + p.toString() + " " + p.stem() + " " + p.extension(), expected);
    }
    EXPECT_EQ(path("/var/my spool/a b").toString(true), "/var/my spool/a b");
    EXPECT_TRUE(path().isEmpty() && path(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_TRUE(path("a b/c") == path("a_b/c") && path("/a") != path("a"));  // blanks replaced
    EXPECT_TRUE(path("/a/b") < path("/a/c") && path("a/z") < path("a_b") &&
                !(path("b") < path("a")));
    path appended("/var/spool");
    appended.append(path("queue/file.dat"));
    path relative("a");
    relative /= path("b/");
    relative.append(path(""));
    expectAll({
        {shape(appended), "/var|spool|queue|>file.dat"},
        {shape(relative), "a|b|>"},
        {thrown<vfw::BadDataException>([&] { appended /= path("/etc"); }),
         "0 Attempt to append root path"},
        {appended.toString(), "/var/spool/queue/file.dat"},
    });
}

TEST_F(Files, PathTestsAttributesRenameAndList) {
    make({"a file=x", "a_b=x", "sub dir", "nowhere>dangling"});
    // The tests keep the blanks; everything else, messages included, has them replaced.
    EXPECT_TRUE(path(at("a file")).exists() && path("/").exists());
    EXPECT_FALSE(path(at("a_file")).exists() || path(at("dangling")).exists() || path("").exists());
    EXPECT_TRUE(path(at("sub dir")).isDirectory() && path(base).canWrite());
    EXPECT_FALSE(path(at("a file")).isDirectory());
    path(at("a b")).setOwner(65534, 65534);
    path(at("a b")).setPermissions(04751);
    EXPECT_EQ(describe(at("a_b")), "f 4751 65534");
    path(at("a b")).rename(path(at("new name")));
    std::vector<std::string> names;
    const std::string empty = "0 Empty path";
    expectAll({
        {listed(base), "a file|dangling|new_name|sub dir|"},
        {thrown<vfw::BadDataException>([] { path("").isDirectory(); }), empty},
        {thrown<vfw::BadDataException>([] { path("").canWrite(); }), empty},
        {thrown<vfw::NotFoundException>([&] { path(at("no such")).isDirectory(); }),
         sys("-1 Cannot stat " + at("no_such"), ENOENT)},
        {thrown<vfw::NotFoundException>([&] { path(at("no such")).canWrite(); }),
         sys("-1 Cannot access " + at("no_such"), ENOENT)},
        {thrown<vfw::IOException>([&] { path(at("gone")).setOwner(12, 34); }),
         sys("0 Can't change owner of " + at("gone") + " to 12/34", ENOENT)},
        {thrown<vfw::IOException>([&] { path(at("gone")).setPermissions(0640); }),
         sys("0 Can't change permissions of " + at("gone") + " to 1a0", ENOENT)},
        {thrown<vfw::BadDataException>([&] { path("").rename(path(at("x"))); }), empty},
        {thrown<vfw::BadDataException>([&] { path(at("x")).rename(path()); }), empty},
        {thrown<vfw::IOException>([&] { path(at("gone")).rename(path(at("to"))); }),
         sys("-1 Cannot rename " + at("gone") + " to " + at("to"), ENOENT)},
        {thrown<vfw::NotFoundException>([&] { path(at("gone")).list(names); }),
         "0 " + at("gone") + ": No such directory"},
        {thrown<vfw::SystemException>([&] { path(at("new_name")).list(names); }),
         std::to_string(ENOTDIR) + " " + at("new_name") + ": Failed to open"},
        {thrown<vfw::BadDataException>([&] { path().list(names); }), empty},
    });
}

TEST_F(Files, CreateDirectory) {
    make({"existing", "first", "file=x"}, 0700);
    std::string deep = base;
    for (int i = 0; i < 100000; ++i) {
        deep += "/d";
    }
    char* old = ::get_current_dir_name();
    ASSERT_EQ(::chdir(base.c_str()), 0);
    std::string relative;
    for (const char* name : {"single", "missing/child", ""}) {  // a single name has no parent
        relative += thrown<vfw::BadDataException>([&] { path(name).createDirectory(0755); }) + "|";
    }
    path("first/second/third/").createDirectory(0750);
    ASSERT_EQ(::chdir(old), 0);
    std::free(old);
    path(at("parent/child/grandchild")).createDirectory(0751);
    path(at("my spool/queue")).createDirectory(0700);  // tested with the blank, made with "_"
    const std::string failed = "-1 Cannot create directory ";
    expectAll({
        {relative, "0 Empty path|0 Empty path|0 Empty path|"},
        {thrown<vfw::IOException>([&] { path(at("existing")).createDirectory(0755); }),
         sys(failed + at("existing"), EEXIST)},
        {thrown<vfw::IOException>([&] { path(at("file")).createDirectory(0755); }),
         sys(failed + at("file"), EEXIST)},
        {thrown<vfw::IOException>([&] { path(deep).createDirectory(0700); }),
         (failed + deep).substr(0, 3 + 511)},  // the message is cut at 511 characters
        {describe(at("parent")) + describe(at("parent/child")) +
             describe(at("parent/child/grandchild")),
         "d 751 0d 751 0d 751 0"},
        {describe(at("first/second")) + describe(at("first/second/third")), "d 750 0d 750 0"},
        {describe(base) + describe(at("my_spool/queue")) + describe(at("my spool")),
         "d 755 0d 700 0-"},
        {describe(at("existing")) + describe(at("file")) + describe(at("single")) +
             describe(at("missing")) + describe(at("d")),
         "d 755 0f 600 0---"},  // an existing directory gets the mode before the throw
    });
}

// "." and ".." inside the path are resolved by the system through the directories that exist
// (a link's target included); the mode goes only to the directories made. A ".." after a
// directory still to be made, and a last name "." or "..", are refused before anything
// changes.
TEST_F(Files, CreateDirectoryNeverChangesADirectoryTheCallerDidNotName) {
    const std::pair<const char*, const char*> cases[] = {
        // target, then the refusal ("@" standing for the tree) or "made", and the names after
        {"dd/sub/../new", "\"..\" follows @/dd/sub, which is not an existing directory"},
        {"dd/existing/../new", "made dd/new"},
        {"dd/link/../new", "made elsewhere/new"},
        {"dd/sub/./new", "made dd/sub dd/sub/new"},
        {"dd/existing/..", "\"..\" names no new directory"},
        {"dd/missing/..", "\"..\" names no new directory"},
        {"dd/.", "\".\" names no new directory"},
    };
    int i = 0;
    for (const auto& [target, outcome] : cases) {
        const std::string tree = std::to_string(i++);
        make({tree, tree + "/dd", tree + "/dd/existing", tree + "/elsewhere",
              tree + "/elsewhere/inner", at(tree + "/elsewhere/inner") + ">" + tree + "/dd/link"});
        std::string result =
            thrown<vfw::IOException>([&] { path(at(tree + "/") + target).createDirectory(0700); });
        result = result == "no exception" ? "made" : result;
        const std::string prefix = "-1 Cannot create directory " + at(tree + "/") + target + ": ";
        if (result.compare(0, prefix.size(), prefix) == 0) {
            result.erase(0, prefix.size());
            const std::string::size_type tag = result.find(at(tree));
            result = tag == std::string::npos ? result : result.replace(tag, at(tree).size(), "@");
        }
        for (const char* name : {"dd/sub", "dd/new", "dd/sub/new", "dd/missing", "elsewhere/new"}) {
            result += describe(at(tree + "/" + name)) == "d 700 0" ? std::string(" ") + name : "";
        }
        EXPECT_EQ(result, outcome);
        EXPECT_EQ(describe(at(tree + "/dd")) + describe(at(tree + "/dd/existing")) +
                      describe(at(tree + "/elsewhere")) + describe(at(tree + "/elsewhere/inner")),
                  "d 755 0d 755 0d 755 0d 755 0");
    }
}

// Run where the root is a scratch directory, so that a fault could touch nothing else.
TEST_F(Files, CreationAndRemovalOfTheRootAreRefused) {
    make({"jail", "jail/canary=x"});
    EXPECT_EQ(inChild(false,
                      [&]() -> std::string {
                          if (::chroot(at("jail").c_str()) != 0 || ::chdir("/") != 0) {
                              return "chroot failed";
                          }
                          return thrown<vfw::IOException>([] { path("/").createDirectory(0700); }) +
                                 "|" + thrown<vfw::IOException>([] { path("//").remove(true); }) +
                                 "|" + thrown<vfw::IOException>([] { path("/").remove(false); });
                      }),
              "-1 Cannot create directory /: \"/\" names no new directory|"
              "-1 Cannot remove directory /: the root is never removed|"
              "-1 Cannot remove directory /: the root is never removed");
    EXPECT_EQ(describe(at("jail")) + readFile(at("jail/canary")), "d 755 0x");
}

TEST_F(Files, RemoveTakesNamesAsOnDiskAndNeverFollowsLinks) {
    path(at("missing")).remove(false);
    path(at("missing/below")).remove(true);
    make({"a_dir", "full", "tree", "tree/sub", "tree/sub/deeper", "tree/sub dir", "outside",
          "a_file=", "full/x=", "tree/a=", "tree/sub/deeper/c=", "tree/sub dir/d e=",
          "tree/back\\slash=", "tree/%s%n%x=", "outside/keep=x", at("outside") + ">tree/link",
          "nowhere>tree/dangling", at("outside") + ">toplink"});
    ASSERT_EQ(::mkfifo(at("tree/fifo").c_str(), 0600) + ::chmod(at("tree/sub/deeper").c_str(), 0),
              0);
    for (const char* name : {"a file", "a dir", "toplink", "tree"}) {
        path(at(name)).remove(std::string(name) != "a file");
    }
    expectAll({
        {listed(base) + readFile(at("outside/keep")), "full|outside|x"},
        {thrown<vfw::BadDataException>([] { path("").remove(true); }), "0 Empty path"},
        {thrown<vfw::IOException>([&] { path(at("full")).remove(false); }),
         sys("-1 Cannot remove directory " + at("full"), ENOTEMPTY)},
        {thrown<vfw::IOException>([&] { path(at("full/x/..")).remove(true); }),
         sys("-1 Cannot remove directory " + at("full/x/.."), EINVAL)},
        {thrown<vfw::IOException>([&] { path(at("full/./")).remove(true); }),
         sys("-1 Cannot remove directory " + at("full/."), EINVAL)},
        {listed(at("full")), "x|"},
    });
}

// What the system refuses to user 65534: names it may not write, search or remove, a copy it
// may not read or whose destination link it may not remove, a temporary file it may not give
// away (removed again).
TEST_F(Files, RefusalsToAnotherUser) {
    make({"open", "temp"}, 0777);
    make({"tree", "other", "other/closed", "readonly=s", "shared=s", "secret=s", "tree/file=s",
          "other/closed/hidden=s", at("secret") + ">tree/link"});
    ASSERT_EQ(::chmod(at("other/closed").c_str(), 0700) + ::chmod(at("readonly").c_str(), 0644) +
                  ::chmod(at("shared").c_str(), 0666),
              0);
    const std::string hidden = at("other/closed/hidden");
    const std::string result = inChild(true, [&] {
        std::string out;
        for (const std::string& name : {at("readonly"), at("shared"), base, hidden}) {
            out += path(name).canWrite() ? "w" : "-";
        }
        std::string temp = thrown<vfw::SystemException>([&] {
            std::string created;
            vfw::MakeTempFile(at("temp/tmpXXXXXX"), 0600, created, 0, 0);
        });
        const std::string::size_type name = temp.find(at("temp/tmp"));
        temp = name == std::string::npos ? temp
                                         : temp.replace(name + at("temp/tmp").size(), 6, "XXXXXX");
        return out + "|" +
               thrown<vfw::IOException>([&] { path(at("open/a/b")).createDirectory(0600); }) + "|" +
               thrown<vfw::IOException>([&] { path(at("tree/file")).remove(false); }) + "|" +
               thrown<vfw::SystemException>([&] { path(at("other")).remove(true); }) + "|" +
               thrown<vfw::IOException>([&] { path(hidden).remove(false); }) + "|" +
               thrown<vfw::IOException>([&] { vfw::CopyFile(at("secret"), at("open/out")); }) +
               "|" +
               thrown<vfw::IOException>([&] { vfw::CopyFile(at("readonly"), at("tree/link")); }) +
               "|" + temp;
    });
    const std::string eacces = std::to_string(EACCES) + " ";
    EXPECT_EQ(
        result,
        "-w--|" + sys("-1 Cannot create directory " + at("open/a/b"), EACCES) + "|" +
            sys("-1 Cannot remove file " + at("tree/file"), EACCES) + "|" + eacces +
            at("other/closed") + ": Failed to open|" + sys("-1 Cannot stat " + hidden, EACCES) +
            "|" + sys(eacces + "Cannot open " + at("secret") + " for reading", EACCES) + "|" +
            sys(eacces + "Failed to delete symlink file:'" + at("tree/link") + "'", EACCES) + "|" +
            sys("-1 Cannot set mode 600 and owner 0/0 of " + at("temp/tmpXXXXXX"), EPERM));
    // The outer directory was made with its mode before the inner one failed.
    EXPECT_EQ(describe(at("open/a")) + describe(at("open/a/b")) + describe(at("open/out")) +
                  listed(at("temp")),
              "d 600 65534--");
    EXPECT_EQ(describe(at("tree/file")) + describe(hidden) + describe(at("tree/link")),
              "f 600 0f 600 0l 777 0");
}

// Fresh tmpfs mounts in a private mount namespace, so the figures are exact: 1024 KiB free in
// 256 blocks of 4 KiB (fewer than 1024 blocks must not round down to nothing), a read-only
// file system, and two files of two file systems that share an inode number (a copy from one
// to the other is no copy onto itself).
TEST_F(Files, OnFreshFileSystems) {
    make({"mnt", "other", "ro"});
    const std::string result = inChild(false, [&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", at("mnt").c_str(), "tmpfs", 0, "size=1m") != 0 ||
            ::mount("none", at("other").c_str(), "tmpfs", 0, "size=1m") != 0 ||
            ::mount("none", at("ro").c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
            return sys("mount failed", errno);
        }
        uint64_t free = 99;
        std::string out = std::to_string(vfw::GetFreeSpaceSize(at("mnt"), free));
        out += " " + std::to_string(free);
        writeFile(at("mnt/data"), std::string(100 * 1024, 'x'));
        out += " " + std::to_string(vfw::GetFreeSpaceSize(at("mnt/data"), free));
        out +=
            " " + std::to_string(free) + (path(at("ro")).canWrite() ? " writable" : " read-only");
        writeFile(at("other/copy"), "old");
        struct stat data {};
        struct stat copy {};
        ::stat(at("mnt/data").c_str(), &data);
        ::stat(at("other/copy").c_str(), &copy);
        vfw::CopyFile(at("mnt/data"), at("other/copy"));
        return out + (data.st_ino == copy.st_ino ? " same inode " : " other inode ") +
               std::to_string(readFile(at("other/copy")).size());
    });
    EXPECT_EQ(result, "0 1024 0 924 read-only same inode 102400");
}

TEST_F(Files, ModeSizeAndFreeSpace) {
    make({"file=x", "sparse=", at("file") + ">link", "loop>loop"});
    ASSERT_EQ(::chmod(at("file").c_str(), 06755), 0);
    ASSERT_EQ(::truncate(at("sparse").c_str(), 5000000000LL), 0);  // beyond 32 bits
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);              // looked at, never opened
    uint64_t free = 77;
    ASSERT_EQ(vfw::GetFreeSpaceSize(base, free), 0);
    EXPECT_GT(free, 0u);
    free = 77;
    errno = 0;
    const std::string failing = std::to_string(vfw::GetFreeSpaceSize(at("missing"), free));
    const int error = errno;
    const std::string failed = "-1 OS call failed";
    expectAll({
        {std::to_string(vfw::GetFileMode(at("file"))) + " " +
             std::to_string(vfw::GetFileMode(at("link"))),
         std::to_string(0755) + " " + std::to_string(0755)},
        {std::to_string(vfw::GetFileSize(at("sparse"))) + " " +
             std::to_string(vfw::GetFileSize(at("fifo"))),
         "5000000000 0"},
        {thrown<vfw::SystemException>([&] { vfw::GetFileMode(at("missing")); }),
         sys(failed, ENOENT)},
        {thrown<vfw::SystemException>([&] { vfw::GetFileSize(""); }), sys(failed, ENOENT)},
        {thrown<vfw::SystemException>([&] { vfw::GetFileSize(std::string(5000, 'x')); }),
         sys(failed, ENAMETOOLONG)},
        {thrown<vfw::SystemException>([&] { vfw::GetFileMode(at("loop")); }), sys(failed, ELOOP)},
        {failing + ": " + std::strerror(error) + " " + std::to_string(free),
         sys("-1", ENOENT) + " 77"},
    });
    EXPECT_TRUE(hasRecord(records(), "WARN",
                          sys("statfs return (-1). Cannot detect free disk space.", ENOENT)));
}

TEST_F(Files, SymbolicLinks) {
    make({"a", "b", "b/target=x", "end=x", at("b/target") + ">absolute", "../b/target>a/relative",
          "a/relative>chain", "gone>dangling"});
    for (int i = 1; i <= 101; ++i) {  // link1 -> link2 -> ... -> link101 -> end
        make({(i == 101 ? "end" : "link" + std::to_string(i + 1)) + ">link" + std::to_string(i)});
    }
    // Relative targets count from the directory of the link, not from the working directory.
    const auto resolved = [](const std::string& name, int depth = 0) {
        std::string target = "unchanged";
        return vfw::GetSymLinkPath(name, target, depth) ? target : "false " + target;
    };
    expectAll({
        {resolved(at("b/target")) + " " + resolved(base), at("b/target") + " " + base},
        {resolved(at("absolute")), at("b/target")},
        {resolved(at("chain")), at("a/../b/target")},
        {resolved(at("missing")) + resolved(at("dangling")) + resolved(""),
         "false unchangedfalse unchangedfalse unchanged"},
        {resolved(at("link2")), at("end")},  // 100 links
    });
    std::string text = records();
    EXPECT_TRUE(
        hasRecord(text, "TRACE", "Value for symlink '" + at("a/relative") + "' is '../b/target'"));
    EXPECT_TRUE(hasRecord(text, "INFO", "Path '" + at("missing") + "' does not exist!"));
    // 101 links are taken for a loop, reported where the walk stands; the depth spent counts.
    EXPECT_EQ(resolved(at("link1")) + resolved(at("link2"), 1), "false unchangedfalse unchanged");
    EXPECT_TRUE(hasRecord(records(), "WARN",
                          "Detected a potential circular sym link in " + at("end") + "!"));
    EXPECT_EQ(
        inChild(false,
                [&] { return ::chdir(base.c_str()) == 0 ? resolved("link101") : "chdir failed"; }),
        "end");
}

TEST_F(Files, RenameAndMove) {
    make({"from=content", "directory"});
    const std::string text =
        "Unable to rename \"" + at("missing") + "\" to \"" + at("target") + "\".";
    testing::internal::CaptureStderr();
    errno = 0;
    const std::string renamed = std::to_string(vfw::renameFile(at("missing"), at("target")));
    const std::string error = std::strerror(errno);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), text + "\n");
    EXPECT_TRUE(hasRecord(records(), "INFO", text));
    const std::string moved =
        std::to_string(vfw::renameFile(at("from"), at("to"))) +
        std::to_string(vfw::renameFile(at("missing"), at("missing")));  // no call
    vfw::MoveFile(at("to"), at("moved"));
    expectAll({
        {renamed + ": " + error + " " + moved, sys("-1", ENOENT) + " 00"},
        {listed(base) + readFile(at("moved")), "directory|moved|content"},
        {thrown<vfw::IOException>([&] { vfw::MoveFile(at("missing"), at("target")); }),
         sys(std::to_string(ENOENT) + " Move " + at("missing") + " to " + at("target") + " failed",
             ENOENT)},
        {thrown<vfw::IOException>([&] { vfw::MoveFile(at("moved"), at("directory")); }),
         sys(std::to_string(EISDIR) + " Move " + at("moved") + " to " + at("directory") + " failed",
             EISDIR)},
    });
}

TEST_F(Files, CopyFile) {
    std::string bytes(1000003, '\0');  // not all alike, so that a misplaced buffer shows
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(i * 7919 >> 5);
    }
    make({"source=" + bytes, "short=short", "target=" + std::string(5000, 'o'), "victim=precious",
          at("victim") + ">link", "nowhere>dangling", "short>to itself", "source>source link"});
    ASSERT_EQ(::chmod(at("source").c_str(), 0644) + ::chmod(at("target").c_str(), 0640) +
                  ::chown(at("target").c_str(), 65534, 65534) +
                  ::link(at("target").c_str(), at("hard").c_str()),
              0);
    // A new file gets the source's mode; an existing one is written in place and keeps its own
    // mode and owner; a link at the destination is replaced and its target left alone, also a
    // link to the source itself; a link at the source is resolved.
    const std::pair<const char*, const char*> copies[] = {
        {"source", "copy"},    {"short", "target"},    {"short", "link"},
        {"short", "dangling"}, {"short", "to itself"}, {"source link", "from link"}};
    for (const auto& [from, to] : copies) {
        vfw::CopyFile(at(from), at(to));
    }
    EXPECT_TRUE(
        hasRecord(records(), "INFO",
                  "Symlink file:'" + at("link") + "' is pre-existence, should delete it first"));
    expectAll({
        {readFile(at("copy")) == bytes && readFile(at("from link")) == bytes ? "copied" : "",
         "copied"},
        {describe(at("copy")) + describe(at("from link")) + describe(at("hard")),
         "f 644 0f 644 0f 640 65534"},
        {readFile(at("hard")) + readFile(at("link")) + readFile(at("dangling")) +
             readFile(at("to itself")),
         "shortshortshortshort"},
        {describe(at("link")) + describe(at("dangling")) + describe(at("to itself")) +
             describe(at("nowhere")),
         "f 600 0f 600 0f 600 0-"},
        {readFile(at("victim")) + readFile(at("short")), "preciousshort"},
    });
}

TEST_F(Files, CopyFileRefusalsAndFailures) {
    make({"file=keep me", "directory", "gone>dangling", "source=" + std::string(300000, 'b'),
          "existing=old"});
    ASSERT_EQ(::link(at("file").c_str(), at("hard").c_str()) + ::mkfifo(at("fifo").c_str(), 0600),
              0);
    const auto copy = [&](const std::string& from, const std::string& to) {
        return thrown<vfw::IOException>([&] { vfw::CopyFile(from, to); });
    };
    const auto refused = [&](const std::string& from, const std::string& to) {
        return thrown<vfw::BadDataException>([&] { vfw::CopyFile(from, to); });
    };
    const std::string enoent = std::to_string(ENOENT) + " ";
    // A write that fails part of the way through (the file size limit): a file the copy
    // created is removed again, an existing one keeps what was written.
    const std::string limited = inChild(false, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {4096, 4096};
        return ::setrlimit(RLIMIT_FSIZE, &limit) != 0
                   ? "setrlimit failed"
                   : copy(at("source"), at("out")) + "|" + copy(at("source"), at("existing"));
    });
    expectAll({
        {refused(at("fifo"), at("out")), "0 Cannot copy " + at("fifo") + ": not a regular file"},
        {refused(at("file"), at("fifo")),
         "0 Cannot copy to " + at("fifo") + ": not a regular file"},
        {refused(at("directory"), at("out")),
         "0 Cannot copy " + at("directory") + ": not a regular file"},
        {refused(at("file"), at("directory")),
         "0 Cannot copy to " + at("directory") + ": not a regular file"},
        {refused("/dev/null", at("out")), "0 Cannot copy /dev/null: not a regular file"},
        {refused(at("file"), at("file")), "0 Cannot copy " + at("file") + " onto itself"},
        {refused(at("file"), at("hard")), "0 Cannot copy " + at("file") + " onto itself"},
        {copy(at("dangling"), at("out")),
         sys(enoent + "Failed to get real path for file:'" + at("dangling") + "'", ENOENT)},
        {copy(at("missing"), at("out")),
         sys(enoent + "Cannot open " + at("missing") + " for reading", ENOENT)},
        {copy(at("file"), at("no/such")),
         sys(enoent + "Cannot open " + at("no/such") + " for writing", ENOENT)},
        {limited, sys(std::to_string(EFBIG) + " Cannot write " + at("out"), EFBIG) + "|" +
                      sys(std::to_string(EFBIG) + " Cannot write " + at("existing"), EFBIG)},
        {describe(at("out")) + readFile(at("file")) + readFile(at("hard")), "-keep mekeep me"},
        {readFile(at("existing")), std::string(4096, 'b')},
    });
    EXPECT_TRUE(
        hasRecord(records(), "ERROR", "Failed to get real path for file:'" + at("dangling") + "'"));
}

TEST_F(Files, CopyFilesByPattern) {
    make({"from", "to", "plus", "from/dir.log", "from/a.log=a", "from/b.log=b", "from/c.txt=c",
          "from/log=l", "from/x+=x", "from/xx=xx", "a.log>from/link.log",
          "gone>from/dangling.log"});
    ASSERT_EQ(::mkfifo(at("from/fifo.log").c_str(), 0600), 0);
    vfw::CopyFiles(at("from"), at("to"), "\\.log$");
    vfw::CopyFiles(at("from"), at("plus"), "^x+$");  // basic syntax: "+" is a plain character
    regex_t regex;
    const int code = ::regcomp(&regex, "[abc", REG_NOSUB);
    char text[256];
    ::regerror(code, &regex, text, sizeof text);
    expectAll({
        {listed(at("to")) + listed(at("plus")), "a.log|b.log|link.log|x+|"},
        {readFile(at("to/b.log")) + readFile(at("to/link.log")) + describe(at("to/link.log")),
         "baf 600 0"},
        {std::to_string(code), std::to_string(REG_EBRACK)},
        {thrown<vfw::BadDataException>([&] { vfw::CopyFiles(at("from"), at("to"), "[abc"); }),
         std::to_string(code) + " CopyFiles: Error compiling pattern: " + text},
        {thrown<vfw::NotFoundException>([&] { vfw::CopyFiles(at("none"), at("to"), "x"); }),
         std::to_string(ENOENT) + " Cannot open directory " + at("none")},
        {thrown<vfw::IOException>([&] { vfw::CopyFiles(at("from"), at("none"), "^c"); }),
         sys(std::to_string(ENOENT) + " Cannot open " + at("none/c.txt") + " for writing", ENOENT)},
        {thrown<vfw::BadDataException>([&] { vfw::CopyFiles(at("from"), at("from"), "^c"); }),
         "0 Cannot copy " + at("from/c.txt") + " onto itself"},
        {readFile(at("from/c.txt")), "c"},
    });
}

TEST_F(Files, TemporaryFiles) {
    std::string name;
    std::string second;
    const int fd = vfw::MakeTempFile(at("spool.XXXXXX"), 0640, name, 65534, 65534);
    ASSERT_GE(fd, 0);
    const bool closeOnExec = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    EXPECT_EQ(::write(fd, "abc", 3), 3);
    ::close(fd);
    ::close(vfw::MakeTempFile(at("spool.XXXXXX"), 0600, second));
    std::string unchanged = "unchanged";
    const std::string failed = "-1 Cannot create temporary file ";
    expectAll({
        {name.substr(0, name.size() - 6) + std::to_string(name.size()),
         at("spool.") + std::to_string(at("spool.XXXXXX").size())},
        {std::to_string(closeOnExec) + std::to_string(name != at("spool.XXXXXX")) +
             std::to_string(second != name),
         "111"},
        {describe(name) + readFile(name) + describe(second), "f 640 65534abcf 600 0"},
        {thrown<vfw::SystemException>([&] { vfw::MakeTempFile(at("x"), 0600, unchanged); }),
         sys(failed + at("x"), EINVAL)},
        {thrown<vfw::SystemException>(
             [&] { vfw::MakeTempFile(at("missing/XXXXXX"), 0600, unchanged); }),
         sys(failed + at("missing/XXXXXX"), ENOENT)},
        {unchanged, "unchanged"},
    });
    EXPECT_TRUE(hasRecord(records(), "ERROR", sys("mkstemp " + at("x"), EINVAL)));
}

}  // namespace
