// Paths and file utilities on real files as root (umask 077) and on fresh tmpfs mounts in a
// private mount namespace. Every name lies below a directory named with printf conversions ("@"
// in the expected texts), which every message must show literally; system texts become symbols.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstring>

#include "support/log_capture.h"
#include "support/test_util.h"
#include "support/thrown.h"
#include "vfw/file_util.h"
#include "vfw/log.h"
#include "vfw/path.h"
#include "vfw/string_util.h"
namespace {
using vfw::path;
using vfw_test::readFile;
void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
}

// "<type d|f|l|p> <mode> <uid>[:<gid> when it differs]" of a name, "-" when it does not exist.
std::string describe(const std::string& name) {
    struct stat s;
    if (::lstat(name.c_str(), &s) != 0) {
        return "-";
    }
    const int type = S_ISREG(s.st_mode) + 2 * S_ISDIR(s.st_mode) + 3 * S_ISLNK(s.st_mode);
    return vfw::formatString("%c %o %u", "pfdl"[type], s.st_mode & 07777, s.st_uid) +
           (s.st_gid != s.st_uid ? ":" + std::to_string(s.st_gid) : "");
}

class Files : public ::testing::Test {
  protected:
    void SetUp() override {  // every test of this file runs with this mask
        ::umask(077);
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        make({""});
        vfw::getLogger("util.file")->setLevel(vfw::LEVEL_TRACE);
    }
    std::string at(const std::string& n) const { return n.empty() ? base : base + "/" + n; }
    path p(const std::string& name) const { return path(at(name)); }
    std::string state(const std::string& name) const { return describe(at(name)); }
    // Makes directories (of `mode`), files ("name=content") and links ("target>name"), in order.
    void make(std::initializer_list<std::string> names, mode_t mode = 0755) const {
        for (const std::string& name : names) {
            const std::string::size_type m = name.find_first_of("=>");
            if (m != std::string::npos && name[m] == '>') {
                ASSERT_EQ(::symlink(name.substr(0, m).c_str(), at(name.substr(m + 1)).c_str()), 0);
            } else if (m != std::string::npos) {
                vfw_test::writeFile(at(name.substr(0, m)), name.substr(m + 1));
            } else {
                ASSERT_EQ(::mkdir(at(name).c_str(), mode) + ::chmod(at(name).c_str(), mode), 0);
            }
        }
    }
    // The directory's name as "@" and the system's texts as the errors' symbols.
    std::string norm(std::string text) const {
        replaceAll(text, base, "@");
        for (int code : {ENOENT, EEXIST, EINVAL, ENOTDIR, ENOTEMPTY, EFBIG, ENAMETOOLONG}) {
            replaceAll(text, std::strerror(code), strerrorname_np(code));
        }
        return text;
    }
    // True when a record of "util.file" at `level` since the start begins with `message`.
    bool logged(const std::string& level, const std::string& message) const {
        const std::string record = (level + "  ").substr(0, 5) + " util.file " + message;
        return norm(log.text()).find(record) != std::string::npos;
    }
    std::string listed(const std::string& name) const {
        std::vector<std::string> names;
        p(name).list(names);
        std::sort(names.begin(), names.end());
        return vfw::join(names, "|");
    }
    void expectAll(std::initializer_list<std::pair<std::string, std::string>> cases) const {
        for (const auto& [got, expected] : cases) {
            EXPECT_EQ(norm(got), expected);
        }
    }
    vfw_test::TempDir dir;
    vfw_test::LogCapture log;
    const std::string base = dir.path() + "/%s%n%d%x%%%p";
};
#define THROWN(...) norm(vfw_test::thrown([&] { __VA_ARGS__; }))
// "/a|b|>leaf": the absolute flag, the components and the leaf; "empty " first when empty.
std::string shape(const path& p) {
    std::string text = std::string(p.isEmpty() ? "empty " : "") + (p.isAbsolute() ? "/" : "");
    for (const std::string& component : p.getComponents()) {
        text += component + "|";
    }
    return text + ">" + p.getLeaf();
}

TEST_F(Files, PathFormsComparisonAppendTestsAttributesRenameAndList) {
    for (const auto& row : vfw_test::table("path_forms")) {  // text, shape, form, stem, extension
        const path p(row[0]);
        EXPECT_EQ(row, (std::vector<std::string>{row[0], shape(p), p.toString(), p.stem(),
                                                 p.extension()}));
    }
    EXPECT_EQ(path("/var/my spool/a b").toString(true), "/var/my spool/a b");
    EXPECT_TRUE(path().isEmpty() && path(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_TRUE(path("a b/c") == path("a_b/c") && path("/a") != path("a"));  // blanks replaced
    path appended("/var/spool");
    path relative("a");
    relative /= path("b/");
    EXPECT_EQ(shape(appended.append(path("queue/file.dat"))) + shape(relative.append(path(""))),
              "/var|spool|queue|>file.data|b|>");
    EXPECT_EQ(THROWN(appended /= path("/etc")) + " " + appended.toString(),
              "BadData 0 Attempt to append root path /var/spool/queue/file.dat");
    make({"a file=x", "a_b=x", "sub dir", "nowhere>dangling"});
    // The tests keep the blanks; everything else, messages included, has them replaced.
    EXPECT_TRUE(p("a file").exists() && path("/").exists() && p("sub dir").isDirectory());
    EXPECT_FALSE(p("a_file").exists() || p("dangling").exists() || path("").exists());
    EXPECT_TRUE(p("").canWrite() && !p("a file").isDirectory());
    p("a b").setOwner(65534, 65534);
    p("a b").setPermissions(04751);
    EXPECT_EQ(state("a_b"), "f 4751 65534");
    p("a b").rename(p("new name"));
    std::vector<std::string> names;
    expectAll({
        {THROWN(path("").isDirectory()) + THROWN(path("").canWrite()),
         "BadData 0 Empty pathBadData 0 Empty path"},
        {THROWN(p("no such").isDirectory()), "NotFound -1 Cannot stat @/no_such: ENOENT"},
        {THROWN(p("no such").canWrite()), "NotFound -1 Cannot access @/no_such: ENOENT"},
        {THROWN(p("gone").setOwner(12, 34)), "IO 0 Can't change owner of @/gone to 12/34: ENOENT"},
        {THROWN(p("gone").setPermissions(0640)),
         "IO 0 Can't change permissions of @/gone to 1a0: ENOENT"},
        {THROWN(path("").rename(p("x"))) + THROWN(p("x").rename(path())),
         "BadData 0 Empty pathBadData 0 Empty path"},
        {THROWN(p("gone").rename(p("to"))), "IO -1 Cannot rename @/gone to @/to: ENOENT"},
        {THROWN(p("gone").list(names)), "NotFound 0 @/gone: No such directory"},
        {THROWN(p("new_name").list(names)), "System 20 @/new_name: Failed to open"},
        {THROWN(path().list(names)), "BadData 0 Empty path"},
    });
    EXPECT_EQ(listed(""), "a file|dangling|new_name|sub dir");
}

TEST_F(Files, CreateDirectoryRelativeNamesAndTemporaryFiles) {
    make({"existing", "first", "file=x", "file>link"}, 0700);
    char* old = ::get_current_dir_name();
    ASSERT_EQ(::chdir(base.c_str()), 0);
    std::string relative;
    for (const char* name : {"single", "missing/child", ""}) {  // a single name has no parent
        relative += THROWN(path(name).createDirectory(0755)) + "|";
    }
    path("first/second/third/").createDirectory(0750);
    std::string linked;  // a relative link's name without a directory: its target as it is
    relative += vfw::GetSymLinkPath("link", linked) ? linked : "unresolved";
    ASSERT_EQ(::chdir(old), 0);
    std::free(old);
    p("my spool/queue").createDirectory(0700);  // tested with the blank, made with "_"
    std::string name, second;
    const int fd = vfw::MakeTempFile(at("spool.XXXXXX"), 0640, name, 65534, 65534);
    const bool closeOnExec = (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    EXPECT_TRUE(closeOnExec && ::write(fd, "abc", 3) == 3 && ::close(fd) == 0);
    ::close(vfw::MakeTempFile(at("spool.XXXXXX"), 0600, second));
    std::string unchanged = "unchanged";
    const std::string failed = "IO -1 Cannot create directory ";
    expectAll({
        {relative, "BadData 0 Empty path|BadData 0 Empty path|BadData 0 Empty path|file"},
        {THROWN(p("existing").createDirectory(0755)), failed + "@/existing: EEXIST"},
        {THROWN(p("file").createDirectory(0755)), failed + "@/file: EEXIST"},
        {THROWN(p(std::string(PATH_MAX, 'n')).createDirectory(0700)),  // cut at 511
         norm("IO -1 " + (failed.substr(6) + at(std::string(PATH_MAX, 'n'))).substr(0, 511))},
        {state("first/second") + state("first/second/third"), "d 750 0d 750 0"},
        {state("") + state("my_spool/queue") + state("my spool"), "d 755 0d 700 0-"},
        // An existing directory gets the mode before the throw, a file keeps its own.
        {state("existing") + state("file") + state("single") + state("missing") + state("d"),
         "d 755 0f 600 0---"},
        {name.substr(0, name.size() - 6) + std::to_string(name.size() - base.size()) +
             (name != at("spool.XXXXXX") && second != name ? " unique" : " same"),
         "@/spool.13 unique"},
        {describe(name) + readFile(name) + describe(second), "f 640 65534abcf 600 0"},
        {THROWN(vfw::MakeTempFile(at("missing/XXXXXX"), 0600, unchanged)) + unchanged,
         "System -1 Cannot create temporary file @/missing/XXXXXX: ENOENTunchanged"},
    });
    EXPECT_TRUE(logged("ERROR", "mkstemp @/missing/XXXXXX: ENOENT"));
}

// "." and ".." resolve through what exists (links too); only directories made get the mode; ".."
// after one still to make, or a last "." or "..", is refused first.
TEST_F(Files, CreateDirectoryNeverChangesADirectoryTheCallerDidNotName) {
    int i = 0;
    for (const auto& row : vfw_test::table("path_directories")) {  // name, outcome
        const std::string tree = std::to_string(i++) + "/", target = row[0];
        make({tree, tree + "dd", tree + "dd/existing", tree + "elsewhere", tree + "elsewhere/inner",
              at(tree + "elsewhere/inner") + ">" + tree + "dd/link"});
        std::string result = THROWN(p(tree + target).createDirectory(0700));
        replaceAll(result, "IO -1 Cannot create directory @/" + tree + target + ": ", "");
        replaceAll(result, "@/" + tree, "@/0/");
        for (const char* name : {"dd/sub", "dd/new", "dd/sub/new", "elsewhere/new"}) {
            result += state(tree + name) == "d 700 0" ? std::string(" ") + name : "";
        }
        EXPECT_EQ(result, row[1]) << target;
        EXPECT_EQ(state(tree + "dd") + state(tree + "dd/existing") + state(tree + "elsewhere") +
                      state(tree + "elsewhere/inner"),
                  "d 755 0d 755 0d 755 0d 755 0");
    }
}

TEST_F(Files, RemoveTakesNamesAsOnDiskAndNeverFollowsLinks) {
    p("missing").remove(false);
    make({"a_dir", "full", "tree", "tree/sub", "tree/sub/deeper", "tree/sub dir", "outside",
          "a_file=", "full/x=", "tree/a=", "tree/sub/deeper/c=", "tree/sub dir/d e=",
          "tree/back\\slash=", "tree/%s%n%x=", "outside/keep=x", at("outside") + ">tree/link",
          "nowhere>tree/dangling", at("outside") + ">toplink"});
    ASSERT_EQ(::mkfifo(at("tree/fifo").c_str(), 0600) + ::chmod(at("tree/sub/deeper").c_str(), 0),
              0);
    p("a_file/below").remove(true);  // ENOTDIR: missing too
    for (const char* name : {"a file", "a dir", "toplink", "tree"}) {
        p(name).remove(std::string(name) != "a file");
    }
    expectAll({
        {listed("") + " " + readFile(at("outside/keep")) + readFile(at("full/x")) + state("full/x"),
         "full|outside xf 600 0"},
        {THROWN(path("").remove(true)), "BadData 0 Empty path"},
        {THROWN(p("full").remove(false)), "IO -1 Cannot remove directory @/full: ENOTEMPTY"},
        {THROWN(p("full/x/..").remove(true)) + THROWN(p("full/./").remove(true)),
         "IO -1 Cannot remove directory @/full/x/..: EINVAL"
         "IO -1 Cannot remove directory @/full/.: EINVAL"},
    });
}

// Fresh tmpfs mounts give exact figures: 1024 KiB free in 256 blocks of 4 KiB (under 1024 blocks
// must not round to nothing), a read-only one, and files of two that share an inode number (no
// copy onto itself). Then the root is a scratch directory, where touching the root harms nothing.
TEST_F(Files, OnFreshFileSystemsAndInAScratchRoot) {
    make({"mnt", "other", "ro", "jail", "jail/canary=x"});
    const std::string result = vfw_test::inChild([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("none", at("mnt").c_str(), "tmpfs", 0, "size=1m") != 0 ||
            ::mount("none", at("other").c_str(), "tmpfs", 0, "size=1m") != 0 ||
            ::mount("none", at("ro").c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
            return "mount failed";
        }
        uint64_t free[2] = {99, 99};
        const int rc = vfw::GetFreeSpaceSize(at("mnt"), free[0]);
        make({"mnt/data=" + std::string(100 * 1024, 'x'), "other/copy=old"});
        const int rcData = vfw::GetFreeSpaceSize(at("mnt/data"), free[1]);
        struct stat data {
        }, copy{};
        const bool same = ::stat(at("mnt/data").c_str(), &data) == 0 &&
                          ::stat(at("other/copy").c_str(), &copy) == 0 &&
                          data.st_ino == copy.st_ino;
        vfw::CopyFile(at("mnt/data"), at("other/copy"));
        const std::string text =
            vfw::formatString("%d %lu %d %lu %s %s %zu|", rc, free[0], rcData, free[1],
                              p("ro").canWrite() ? "rw" : "ro", same ? "same inode" : "other inode",
                              readFile(at("other/copy")).size());
        return ::chroot(at("jail").c_str()) != 0 || ::chdir("/") != 0
                   ? "chroot failed"
                   : text + THROWN(path("/").createDirectory(0700)) + "|" +
                         THROWN(path("//").remove(true));
    });
    EXPECT_EQ(result,
              "0 1024 0 924 ro same inode 102400|"
              "IO -1 Cannot create directory /: \"/\" names no new directory|"
              "IO -1 Cannot remove directory /: the root is never removed");
    EXPECT_EQ(state("jail") + readFile(at("jail/canary")), "d 755 0x");
}

TEST_F(Files, ModeSizeFreeSpaceRenamingMovingAndSymbolicLinks) {
    make({"file=x", "sparse=", at("file") + ">link", "from=content"});
    ASSERT_EQ(::chmod(at("file").c_str(), 06755) + ::mkfifo(at("fifo").c_str(), 0600) +
                  ::truncate(at("sparse").c_str(), 5000000000LL),  // beyond 32 bits
              0);
    uint64_t free = 0;  // here too: the child's coverage is never written
    EXPECT_TRUE(vfw::GetFreeSpaceSize(base, free) == 0 && free > 0);
    free = 77;
    const auto result = [](int rc) { return std::to_string(rc) + " " + std::strerror(errno); };
    const std::string space = result(vfw::GetFreeSpaceSize(at("missing"), free));
    testing::internal::CaptureStderr();
    const std::string renamed = result(vfw::renameFile(at("missing"), at("target")));
    const int moved = vfw::renameFile(at("from"), at("to")) + vfw::renameFile(at("x"), at("x"));
    vfw::MoveFile(at("to"), at("moved"));
    const std::string figures =  // a FIFO is looked at, never opened
        vfw::formatString("%o %o %ld %ld", vfw::GetFileMode(at("file")),
                          vfw::GetFileMode(at("link")), vfw::GetFileSize(at("sparse")),
                          vfw::GetFileSize(at("fifo")));
    expectAll({
        {figures, "755 755 5000000000 0"},
        {THROWN(vfw::GetFileMode(at("missing"))), "System -1 OS call failed: ENOENT"},
        // Equal names are renamed at once, without a system call.
        {space + " " + std::to_string(free) + "|" + renamed + " " + std::to_string(moved) +
             state("from") + state("to") + readFile(at("moved")),
         "-1 ENOENT 77|-1 ENOENT 0--content"},
        {testing::internal::GetCapturedStderr(),
         "Unable to rename \"@/missing\" to \"@/target\".\n"},
        {THROWN(vfw::MoveFile(at("missing"), at("target"))),
         "IO 2 Move @/missing to @/target failed: ENOENT"},
    });
    EXPECT_TRUE(logged("WARN", "statfs return (-1). Cannot detect free disk space.: ENOENT"));
    EXPECT_TRUE(logged("INFO", "Unable to rename \"@/missing\" to \"@/target\"."));
    make({"a", "b", "b/target=x", "end=x", at("b/target") + ">absolute", "../b/target>a/relative",
          "a/relative>chain", "gone>dangling"});
    for (int i = 1; i <= 101; ++i) {  // link1 -> link2 -> ... -> link101 -> end
        make({(i == 101 ? "end" : "link" + std::to_string(i + 1)) + ">link" + std::to_string(i)});
    }
    // Relative targets count from the directory of the link, not from the working directory.
    const auto resolved = [](const std::string& name, int depth = 0) {
        std::string target = "unchanged";
        return (vfw::GetSymLinkPath(name, target, depth) ? "" : "false ") + target + "|";
    };
    expectAll({
        {resolved(at("b/target")) + resolved(at("absolute")), "@/b/target|@/b/target|"},
        {resolved(at("chain")) + resolved(at("link2")), "@/a/../b/target|@/end|"},  // 100 links
        {resolved(at("missing")) + resolved(at("dangling")), "false unchanged|false unchanged|"},
    });
    EXPECT_TRUE(logged("TRACE", "Value for symlink '@/a/relative' is '../b/target'"));
    EXPECT_TRUE(logged("INFO", "Path '@/missing' does not exist!"));
    // 101 links are taken for a loop, reported where the walk stands; the depth spent counts.
    EXPECT_EQ(resolved(at("link1")) + resolved(at("link2"), 1), "false unchanged|false unchanged|");
    EXPECT_TRUE(logged("WARN", "Detected a potential circular sym link in @/end!"));
}

TEST_F(Files, CopyFileAndCopyFiles) {
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
    // A new file gets the source's mode, an existing one keeps its mode and owner; a link at the
    // destination is replaced (its target untouched, even the source), one at the source resolved.
    const std::pair<const char*, const char*> copies[] = {
        {"source", "copy"},    {"short", "target"},    {"short", "link"},
        {"short", "dangling"}, {"short", "to itself"}, {"source link", "from link"}};
    for (const auto& [from, to] : copies) {
        vfw::CopyFile(at(from), at(to));
    }
    EXPECT_TRUE(logged("INFO", "Symlink file:'@/link' is pre-existence, should delete it first"));
    EXPECT_TRUE(readFile(at("copy")) == bytes && readFile(at("from link")) == bytes);
    expectAll({
        {state("copy") + state("from link") + state("hard"), "f 644 0f 644 0f 640 65534"},
        {state("link") + state("dangling") + state("to itself") + state("nowhere"),
         "f 600 0f 600 0f 600 0-"},
        {readFile(at("hard")) + readFile(at("link")) + readFile(at("dangling")) +
             readFile(at("to itself")) + readFile(at("victim")) + readFile(at("short")),
         "shortshortshortshortpreciousshort"},
    });
    // Copies by pattern: the regular files (or links to them) whose names match.
    make({"from", "to", "from/dir.log", "from/a.log=a", "from/b.log=b", "from/c.txt=c",
          "from/log=l", "a.log>from/link.log", "gone>from/dangling.log"});
    ASSERT_EQ(::mkfifo(at("from/fifo.log").c_str(), 0600), 0);
    vfw::CopyFiles(at("from"), at("to"), "\\.log$");
    EXPECT_EQ(listed("to"), "a.log|b.log|link.log");
    expectAll({
        {readFile(at("to/b.log")) + readFile(at("to/link.log")) + state("to/link.log"),
         "baf 600 0"},
        {THROWN(vfw::CopyFiles(at("from"), at("to"), "[abc")),
         "BadData " + std::to_string(REG_EBRACK) +  // the compiler's code and text
             " CopyFiles: Error compiling pattern: Unmatched [, [^, [:, [., or [="},
        {THROWN(vfw::CopyFiles(at("none"), at("to"), "x")),
         "NotFound 2 Cannot open directory @/none"},
    });
}

TEST_F(Files, CopyFileRefusalsAndFailures) {
    make({"file=keep me", "gone>dangling", "source=" + std::string(300000, 'b'), "existing=old"});
    ASSERT_EQ(::link(at("file").c_str(), at("hard").c_str()) + ::mkfifo(at("fifo").c_str(), 0600),
              0);
    const auto copy = [&](const std::string& from, const std::string& to) {
        return THROWN(vfw::CopyFile(at(from), at(to)));
    };
    // A write failing midway (the size limit): a file the copy made goes, an existing one keeps.
    const std::string limited = vfw_test::inChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {4096, 4096};
        return ::setrlimit(RLIMIT_FSIZE, &limit) != 0
                   ? "setrlimit failed"
                   : copy("source", "out") + "|" + copy("source", "existing");
    });
    expectAll({
        {copy("fifo", "out"), "BadData 0 Cannot copy @/fifo: not a regular file"},
        {copy("file", "fifo"), "BadData 0 Cannot copy to @/fifo: not a regular file"},
        {copy("file", "hard"), "BadData 0 Cannot copy @/file onto itself"},
        {copy("dangling", "out"), "IO 2 Failed to get real path for file:'@/dangling': ENOENT"},
        {copy("missing", "out"), "IO 2 Cannot open @/missing for reading: ENOENT"},
        {copy("file", "no/such"), "IO 2 Cannot open @/no/such for writing: ENOENT"},
        {limited, "IO 27 Cannot write @/out: EFBIG|IO 27 Cannot write @/existing: EFBIG"},
        {state("out") + readFile(at("file")) + readFile(at("hard")), "-keep mekeep me"},
        {readFile(at("existing")) == std::string(4096, 'b') ? "kept" : "lost", "kept"},
    });
    EXPECT_TRUE(logged("ERROR", "Failed to get real path for file:'@/dangling'"));
}
}  // namespace
