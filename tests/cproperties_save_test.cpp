// Saving the configuration store: the layout kept, saves writing only what their store changed,
// a load racing a save's rename, the lock file, failures leaving the old file alone, and two
// writer processes, killed while saving, with a reader.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <random>

#include "../lib/vfw/properties/cproperties_internal.h"
#include "cproperties_test_helpers.h"

using namespace cprops_test;
using vfw_test::readFile;
using vfw_test::writeFile;

// While non-zero, the second time() reports: the lock test holds the clock still.
static std::atomic<time_t> g_frozen{0};

extern "C" time_t time(time_t* out) noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const time_t t = g_frozen != 0 ? g_frozen.load() : now.tv_sec;
    return out != nullptr ? (*out = t) : t;
}

namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// A configuration file in a directory of its own.
struct Conf {
    explicit Conf(const std::string& text) { writeFile(path, text); }
    bool clean() const { return !exists(lock) && !exists(path + ".new"); }
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf"), lock = path + ".lock";
};

// Loads `path`, applies `ops` (a null value deletes) and saves; returns the save's code.
int loadChangeSave(const std::string& path,
                   const std::vector<std::pair<std::string, const char*>>& ops) {
    Store s;
    EXPECT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    for (const auto& op : ops) {
        EXPECT_TRUE(op.second ? s->setProperty(s.p, op.first.c_str(), op.second) == 0
                              : s->deleteProperty(s.p, op.first.c_str(), nullptr));
    }
    return vfw::saveProperty(s.p, path.c_str());
}

// Unchanged lines stay byte for byte, empty runs shrink to one, changed ones become
// "name: value" (1023 characters at most), new ones are appended newest first; mode 0644.
TEST(CPropertiesSave, LayoutOfTheSavedFile) {
    const std::string kept =
        "# head\n! bang\na: 1\nb=2\nc 3\nd:\t 4\nw:   x   y  \nq: \"a  b\"\nt: a\\tb\n"
        "base: /opt\nr: $base/bin\n#a: old\nlast: 9";
    const std::string x1018(1018, 'x'), x1019 = x1018 + "y";
    // clang-format off
    const struct { std::string before; std::vector<std::pair<std::string, const char*>> ops; std::string after; } cases[] = {
        {kept, {}, kept + "\n"},
        {"a: 1\n\n\n\nb: 2\n\nc: 3\n\n\nd: 4\n\n\n", {{"c", nullptr}}, "a: 1\n\nb: 2\n\nd: 4\n\n"},
        {"a: 1\nb=2\nc 3\nd:4\nq: \"x  y\"\n", {{"a", "10"}, {"b", "20"}, {"c", "30"}, {"d", "4"}, {"q", "x  y"}}, "a: 10\nb: 20\nc: 30\nd:4\nq: \"x  y\"\n"},
        {"a: 1\nb: 2\na: 3\nc: 4\n", {{"a", nullptr}}, "b: 2\nc: 4\n"},
        {"#x: 0\na: 1\n", {{"x", "1"}, {"y", "0"}, {"y", "2"}, {"z", "5"}, {"z", nullptr}}, "#x: 0\na: 1\ny: 2\nx: 1\n"},
        {"e: 1,\\\n2,\\\n3\nf: x\ng: 1 \\\n 2\nh: end\n", {{"e", "9"}, {"g", nullptr}}, "e: 9\nf: x\nh: end\n"},
        {"big: old\nnext: 1\n", {{"big", x1018.c_str()}}, "big: " + x1018 + "\nnext: 1\n"},
        {"big: old\nnext: 1\n", {{"big", x1019.c_str()}}, "big: old\nnext: 1\n"}};
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.before.substr(0, 60));
        Conf conf(c.before);
        ::chmod(conf.path.c_str(), 0600);
        EXPECT_EQ(0, loadChangeSave(conf.path, c.ops));
        EXPECT_EQ(c.after, readFile(conf.path));
        struct stat st;
        EXPECT_TRUE(::stat(conf.path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644);
        EXPECT_TRUE(conf.clean());
    }
}

// A save writes only what its store changed; other lines stay as the file has them now.
TEST(CPropertiesSave, EachSaveWritesOnlyWhatItsStoreChanged) {
    Conf conf("a: 1\nb: 1\nc: 1\n");
    Store first;
    ASSERT_EQ(0, vfw::newPropsFromFile(&first.p, conf.path.c_str(), 1, 0));
    ASSERT_EQ(0, loadChangeSave(conf.path, {{"b", "2"}, {"n", "new"}, {"c", nullptr}}));
    writeFile(conf.path, readFile(conf.path) + "admin: edit\n");
    ASSERT_EQ(0, first->setProperty(first.p, "a", "3"));
    for (int save = 0; save < 2; ++save) {  // the second with nothing changed since
        ASSERT_EQ(0, vfw::saveProperty(first.p, conf.path.c_str()));
        EXPECT_EQ("a: 3\nb: 2\nn: new\nadmin: edit\n", readFile(conf.path));
    }
}

std::string g_newer;  // renamed over the opened configuration file by replaceOnOpen
int g_replacements = 0;

void replaceOnOpen(const char* path) {
    writeFile(g_newer, "a: " + std::to_string(--g_replacements) + "\n");
    ASSERT_TRUE(g_replacements < 0 || std::rename(g_newer.c_str(), path) == 0);
}

// A load racing a save's rename opens the new file; a path that keeps changing is given up.
TEST(CPropertiesSave, ALoadRacingTheRenameReadsTheNewFile) {
    Conf conf("a: old\n");
    g_newer = conf.dir.file("newer");
    vfw::cprops::g_afterOpenHook = replaceOnOpen;
    for (int replacements : {1, 1000}) {
        g_replacements = replacements;
        Store s;
        EXPECT_EQ(replacements == 1 ? 0 : -5, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
        EXPECT_EQ(replacements == 1 ? "0" : "<none>", get(s, "a"));
    }
    vfw::cprops::g_afterOpenHook = nullptr;
}

TEST(CPropertiesSave, InvalidStoreAndUnusablePathsFailWithoutChanges) {
    Conf conf("a: 1\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
    ASSERT_EQ(0, s->setProperty(s.p, "a", "2"));
    EXPECT_EQ(-22, vfw::saveProperty(nullptr, conf.path.c_str()));
    // Bad paths, lock or temporary names taken, old files unreadable to their end: -22, -5.
    const std::string missing = conf.dir.file("missing"), directory = conf.dir.file("dir");
    ASSERT_EQ(0, ::mkdir(directory.c_str(), 0755));
    ASSERT_EQ(0, ::symlink(conf.path.c_str(), conf.dir.file("link").c_str()));
    for (const std::string& path : {missing, directory, conf.dir.file("link")}) {
        EXPECT_EQ(-22, vfw::saveProperty(s.p, path.c_str())) << path;
        EXPECT_FALSE(exists(path + ".lock") || exists(path + ".new")) << path;
    }
    EXPECT_FALSE(exists(missing));
    for (const std::string& blocker : {conf.lock, conf.path + ".new"}) {
        ASSERT_EQ(0, ::mkdir(blocker.c_str(), 0755));
        EXPECT_EQ(-22, vfw::saveProperty(s.p, conf.path.c_str())) << blocker;
        EXPECT_EQ("a: 1\n", readFile(conf.path));
        EXPECT_TRUE(blocker == conf.lock || !exists(conf.lock)) << blocker;
        ASSERT_EQ(0, ::rmdir(blocker.c_str()));
    }
    for (const std::string& text : {std::string("a: 1\nb: \0\nc: 3\n", 16),
                                    "a: 1\nlong: " + std::string(1100, 'x') + "\nc: 3\n"}) {
        Conf unreadable(text);
        EXPECT_EQ(-5, vfw::saveProperty(s.p, unreadable.path.c_str()));
        EXPECT_EQ(text, readFile(unreadable.path));
        EXPECT_TRUE(unreadable.clean());
    }
    writeFile(conf.path + ".new", "junk: left by a crash\n");  // is replaced
    EXPECT_EQ(0, vfw::saveProperty(s.p, conf.path.c_str()));
    EXPECT_EQ("a: 2\n", readFile(conf.path));
    EXPECT_TRUE(conf.clean());
}

// A lock younger than 61 s blocks for 100 waits of 10 ms; an older one is taken over.
TEST(CPropertiesSaveLock, LiveLocksBlockAndStaleOnesAreTakenOver) {
    g_frozen = ::time(nullptr);
    for (int age : {60, 61}) {
        SCOPED_TRACE("lock " + std::to_string(age) + " s old");
        Conf conf("a: 1\n");
        writeFile(conf.lock, "");
        const timeval when[2] = {{g_frozen - age, 0}, {g_frozen - age, 0}};
        ASSERT_EQ(0, ::utimes(conf.lock.c_str(), when));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(age >= 61 ? 0 : -22, loadChangeSave(conf.path, {{"a", "2"}}));
        EXPECT_TRUE(age >= 61 ? readFile(conf.path) == "a: 2\n" && !exists(conf.lock)
                              : readFile(conf.path) == "a: 1\n" && exists(conf.lock) &&
                                    std::chrono::steady_clock::now() - start >= 900ms);
    }
    g_frozen = 0;
    vfw_test::TempDir dir;
    const std::string lock = dir.file("x.lock");
    const int fd = vfw::createLockFile(lock.c_str());
    struct stat st;
    EXPECT_TRUE(fd >= 0 && ::stat(lock.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
    EXPECT_EQ((Codes{-1, 0, 0, -1, -1, -1}),
              (Codes{vfw::createLockFile(nullptr), vfw::releaseLockFile(lock.c_str(), fd),
                     exists(lock), vfw::releaseLockFile(lock.c_str(), -1),
                     vfw::releaseLockFile(nullptr, ::open("/dev/null", O_RDONLY)),
                     vfw::releaseLockFile(lock.c_str(), ::open("/dev/null", O_RDONLY))}));
}

// A full file system leaves the old file; lines over the limit or with a line break are left
// out, each traced.
NS_TEST(CPropertiesSaveNs, FullFileSystemAndRefusedLinesLeaveTheOldFile) {
    Sandbox aud("/var/vantrelaud");  // the small file system goes with it
    const std::string dir = aud.file("small"), path = dir + "/vantrelaud.conf";
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k"));
    writeFile(path, "# small\na: 1\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    ASSERT_EQ(0, s->setProperty(s.p, "a", "2"));
    const std::string big(1000, 'x');
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(0, s->setProperty(s.p, ("big" + std::to_string(i)).c_str(), big.c_str()));
    EXPECT_EQ(-5, vfw::saveProperty(s.p, path.c_str()));
    EXPECT_EQ("# small\na: 1\n", readFile(path));
    EXPECT_FALSE(exists(path + ".lock"));
    ASSERT_TRUE(s->delPropertySet(s.p, "big", nullptr));
    EXPECT_EQ(0, vfw::saveProperty(s.p, path.c_str()));  // fits again
    EXPECT_EQ("# small\na: 2\n", readFile(path));
    Conf conf("long: old\nsplit: old\n");
    const std::string tooLong(1019, 'x');  // "long: " and these: 1025 characters
    ::setenv("VFW_PROPERTIES2_DEBUG", "4", 1);
    EXPECT_EQ(0, loadChangeSave(conf.path, {{"long", tooLong.c_str()},
                                            {"split", "x\nlong: planted"},
                                            {"new", tooLong.c_str()},
                                            {"new2", "y\rnew3: planted"}}));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    EXPECT_EQ("long: old\nsplit: old\n", readFile(conf.path));
    const std::string trace = readFile(tracePath());
    for (const char* text :
         {"Error in allocating memory. Line too long. Ignored.\n",
          "Error in allocating memory. Line too long. Skipped.\n",
          "Value holds a line break. Ignored: split", "Value holds a line break. Skipped: new2",
          "Create lock file " /* the lock's path follows */, "Remove lock file "})
        EXPECT_TRUE(contains(trace, text)) << text;
}

// Two writers save counters, killed at random points, while a reader finds the file whole
// each time; each writer's saves count up by one, and the killed writers' file loads with its
// fixed lines and the counters at least at their last reported save.
TEST(CPropertiesSaveCrash, WritersKilledWhileSavingAndAReader) {
    Conf conf("# fixed\nf1: one\nf2: \"two  words\"\nf3=3\nw0: 0\nw1: 0\npad: \nsentinel: end\n");
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    int last[2] = {0, 0};
    for (int round = 0; round < 6 && !HasFailure(); ++round) {
        pid_t writers[2];
        pollfd reports[2];
        for (int w = 0; w < 2; ++w) {
            int report[2];
            ASSERT_EQ(0, ::pipe(report));
            if ((writers[w] = ::fork()) == 0) {
                const std::string name = "w" + std::to_string(w);
                for (int code = 0, tries = 0, value = 0; tries < 50; ++tries) {
                    Store s;
                    code = vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0);
                    value = s->getInt(s.p, name.c_str(), -1, nullptr) + 1;
                    if (code == 0 &&
                        s->setProperty(s.p, name.c_str(), std::to_string(value).c_str()) == 0 &&
                        s->setProperty(s.p, "pad", std::string(rng() % 900, 'p').c_str()) == 0 &&
                        vfw::saveProperty(s.p, conf.path.c_str()) == 0) {
                        tries = ::write(report[1], &value, sizeof value) == sizeof value ? -1 : 50;
                    }
                }
                ::_exit(1);
            }
            ::close(report[1]);
            reports[w] = {report[0], POLLIN, 0};
        }
        const int reads = 2 * (1 + static_cast<int>(rng() % 8));
        for (int k = 0; k < reads && !HasFailure(); ++k) {
            int value = 0;
            pollfd& from = reports[k % 2];  // the first of each may skip a value
            EXPECT_TRUE(::poll(&from, 1, 60000) == 1 && ::read(from.fd, &value, sizeof value) == 4);
            int& was = last[k % 2];
            EXPECT_TRUE(k < 2 ? value > was : value == was + 1) << value << " after " << was;
            was = value;
            const std::string text = readFile(conf.path);  // the whole file, or "" when missing
            Store s;
            EXPECT_TRUE(text.rfind("# fixed\n", 0) == 0 &&
                        text.find("sentinel: end\n") + 14 == text.size() &&
                        vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0) == 0)
                << text;
        }
        for (volatile unsigned spin = rng() % 3000000; spin > 0; --spin) {
        }
        for (int w = 0; w < 2; ++w) {
            ::kill(writers[w], SIGKILL);
            int status = 0;
            EXPECT_EQ(writers[w], ::waitpid(writers[w], &status, 0));
            EXPECT_TRUE(WIFSIGNALED(status)) << "the writer failed: " << status;
            ::close(reports[w].fd);
        }
        Store s;
        ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
        expectValues(s, {{"f1", "one"}, {"f2", "two  words"}, {"f3", "3"}, {"sentinel", "end"}});
        EXPECT_GE(s->getInt(s.p, "w0", -1, nullptr), last[0]);
        EXPECT_GE(s->getInt(s.p, "w1", -1, nullptr), last[1]);
        ::unlink(conf.lock.c_str());  // a lock of a killed writer may be left
    }
}

}  // namespace
