// Saving the configuration store back into its file: the layout kept by the copy, appended
// properties, the lock file, failures that leave the old file alone, writers in several
// processes, writers killed while saving, and the CProperties2 layer on top.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "cproperties_test_helpers.h"
#include "vfw/properties.h"

using cprops_test::get;
using cprops_test::Store;
using vfw_test::readFile;
using vfw_test::writeFile;
using Items = std::vector<std::string>;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

int modeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

time_t mtimeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void backdate(const std::string& path, int seconds) {
    timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    ASSERT_EQ(0, ::utimes(path.c_str(), times)) << path;
}

// A configuration file in a directory of its own.
struct Conf {
    explicit Conf(const std::string& text) { writeFile(path, text); }
    vfw_test::TempDir dir;
    std::string path = dir.file("vantrelaud.conf");
    std::string lock = path + ".lock";
};

struct Op {
    std::string name;
    std::string value;
    bool remove = false;
};

Op del(const char* name) {
    return Op{name, "", true};
}

// Loads `path`, applies `ops` and saves; the save's code.
int loadChangeSave(const std::string& path, const std::vector<Op>& ops) {
    Store s;
    EXPECT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    for (const Op& op : ops) {
        int err = 0;
        if (op.remove) {
            EXPECT_TRUE(s->deleteProperty(s.p, op.name.c_str(), &err)) << op.name;
        } else {
            EXPECT_EQ(0, s->setProperty(s.p, op.name.c_str(), op.value.c_str())) << op.name;
        }
    }
    return vfw::saveProperty(s.p, path.c_str());
}

struct LayoutCase {
    std::string before;
    std::vector<Op> ops;
    std::string after;
};

TEST(CPropertiesSave, LayoutOfTheSavedFile) {
    const std::string kept =
        "# head\n! bang\na: 1\nb=2\nc 3\nd:\t 4\nw:   x   y  \nq: \"a  b\"\nt: a\\tb\n"
        "base: /opt\nr: $base/bin\n#a: old\nlast: 9";
    const std::string x1018(1018, 'x');
    const LayoutCase cases[] = {
        // Unchanged lines stay byte for byte; the last one gets its line end.
        {kept, {}, kept + "\n"},
        // Runs of empty lines shrink to one, also around a dropped line.
        {"a: 1\n\n\n\nb: 2\n\nc: 3\n\n\nd: 4\n\n\n", {del("c")}, "a: 1\n\nb: 2\n\nd: 4\n\n"},
        // A changed value becomes "name: value" whatever the separator was.
        {"a: 1\nb=2\nc 3\nd:4\n",
         {{"a", "10"}, {"b", "20"}, {"c", "30"}},
         "a: 10\nb: 20\nc: 30\nd:4\n"},
        // Setting the value the file already holds keeps the line.
        {"b=2\nq: \"x  y\"\n", {{"b", "2"}, {"q", "x  y"}}, "b=2\nq: \"x  y\"\n"},
        // A deleted property loses every line of its name.
        {"a: 1\nb: 2\na: 3\nc: 4\n", {del("a")}, "b: 2\nc: 4\n"},
        // New properties are appended newest first; a comment never holds a name.
        {"#x: 0\na: 1\n",
         {{"x", "1"}, {"y", "0"}, {"y", "2"}, {"z", "5"}, del("z")},
         "#x: 0\na: 1\ny: 2\nx: 1\n"},
        // A continued line is one line, rewritten or dropped whole.
        {"e: 1,\\\n2,\\\n3\nf: x\ng: 1 \\\n 2\nh: end\n",
         {{"e", "9"}, del("g")},
         "e: 9\nf: x\nh: end\n"},
        // A rewritten line may have 1023 characters; one longer would not load: the old stays.
        {"big: old\nnext: 1\n", {{"big", x1018}}, "big: " + x1018 + "\nnext: 1\n"},
        {"big: old\nnext: 1\n", {{"big", x1018 + "y"}}, "big: old\nnext: 1\n"},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.before.substr(0, 60));
        Conf conf(c.before);
        ::chmod(conf.path.c_str(), 0600);
        EXPECT_EQ(0, loadChangeSave(conf.path, c.ops));
        EXPECT_EQ(c.after, readFile(conf.path));
        EXPECT_EQ(0644, modeOf(conf.path));
        EXPECT_FALSE(exists(conf.lock));
        EXPECT_FALSE(exists(conf.path + ".new"));
    }
}

TEST(CPropertiesSave, InvalidStoreAndUnusablePathsFailWithoutChanges) {
    Conf conf("a: 1\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
    ASSERT_EQ(0, s->setProperty(s.p, "a", "2"));
    EXPECT_EQ(-22, vfw::saveProperty(nullptr, conf.path.c_str()));

    const std::string missing = conf.dir.file("missing"), directory = conf.dir.file("dir");
    EXPECT_EQ(-22, vfw::saveProperty(s.p, missing.c_str()));
    EXPECT_FALSE(exists(missing) || exists(missing + ".lock") || exists(missing + ".new"));
    ASSERT_EQ(0, ::mkdir(directory.c_str(), 0755));
    EXPECT_EQ(-22, vfw::saveProperty(s.p, directory.c_str()));
    EXPECT_FALSE(exists(directory + ".lock"));

    for (const std::string& blocker : {conf.lock, conf.path + ".new"}) {
        SCOPED_TRACE(blocker);
        ASSERT_EQ(0, ::mkdir(blocker.c_str(), 0755));
        EXPECT_EQ(-22, vfw::saveProperty(s.p, conf.path.c_str()));
        EXPECT_EQ("a: 1\n", readFile(conf.path));
        if (blocker != conf.lock) {
            EXPECT_FALSE(exists(conf.lock));
        }
        ASSERT_EQ(0, ::rmdir(blocker.c_str()));
    }
    // A symbolic link is refused; an old file that cannot be read to its end (a NUL byte, a
    // line over the limit) is not replaced, since its rest would be lost.
    const std::string link = conf.dir.file("link");
    ASSERT_EQ(0, ::symlink(conf.path.c_str(), link.c_str()));
    EXPECT_EQ(-22, vfw::saveProperty(s.p, link.c_str()));
    const struct {
        std::string text;
        int code;
    } unreadable[] = {{std::string("a: 1\nb: \0\nc: 3\n", 16), -5},
                      {"a: 1\nlong: " + std::string(1100, 'x') + "\nc: 3\n", -5}};
    for (const auto& u : unreadable) {
        const std::string path = conf.dir.file("unreadable");
        writeFile(path, u.text);
        EXPECT_EQ(u.code, vfw::saveProperty(s.p, path.c_str()));
        EXPECT_EQ(u.text, readFile(path));
        EXPECT_FALSE(exists(path + ".lock") || exists(path + ".new"));
    }
    writeFile(conf.path + ".new", "junk: left by a crash\n");  // is replaced
    EXPECT_EQ(0, vfw::saveProperty(s.p, conf.path.c_str()));
    EXPECT_EQ("a: 2\n", readFile(conf.path));
    EXPECT_FALSE(exists(conf.path + ".new"));
}

TEST(CPropertiesSaveLock, LiveLocksBlockAndStaleOnesAreTakenOver) {
    const struct {
        int age;
        int code;
    } cases[] = {{0, -22}, {50, -22}, {61, 0}, {3600, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("lock " + std::to_string(c.age) + " s old");
        Conf conf("a: 1\n");
        writeFile(conf.lock, "");
        backdate(conf.lock, c.age);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.code, loadChangeSave(conf.path, {{"a", "2"}}));
        if (c.code == 0) {
            EXPECT_EQ("a: 2\n", readFile(conf.path));
            EXPECT_FALSE(exists(conf.lock));
        } else {
            // It gave up only after its hundred waits of 10 ms; someone else's lock stays.
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
            EXPECT_EQ("a: 1\n", readFile(conf.path));
            EXPECT_TRUE(exists(conf.lock));
        }
    }
}

TEST(CPropertiesSaveLock, CreateAndReleaseTheLockFile) {
    vfw_test::TempDir dir;
    const std::string lock = dir.file("x.lock");
    int fd = vfw::createLockFile(lock.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0600, modeOf(lock));
    EXPECT_EQ(-1, vfw::createLockFile(lock.c_str()));  // held: refused after the waits
    EXPECT_EQ(0, vfw::releaseLockFile(lock.c_str(), fd));
    EXPECT_FALSE(exists(lock));

    writeFile(lock, "");
    backdate(lock, 120);
    fd = vfw::createLockFile(lock.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_GT(mtimeOf(lock), ::time(nullptr) - 61);  // the stale lock was replaced by a new one
    EXPECT_EQ(0, vfw::releaseLockFile(lock.c_str(), fd));

    EXPECT_EQ(-1, vfw::releaseLockFile(lock.c_str(), -1));
    EXPECT_EQ(-1, vfw::releaseLockFile(nullptr, ::open("/dev/null", O_RDONLY)));
    EXPECT_EQ(-1, vfw::releaseLockFile(lock.c_str(), ::open("/dev/null", O_RDONLY)));  // gone
}

NS_TEST(CPropertiesSaveNs, FullFileSystemLeavesTheOldFile) {
    const char* parent = std::getenv("VFW_TEST_PARENT_NS");
    ASSERT_TRUE(parent != nullptr && vfw_test::mountNamespace() != parent);
    vfw_test::TempDir dir;
    ASSERT_EQ(0, ::mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=16k"));
    struct Unmount {
        std::string dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{dir.path()};
    const std::string path = dir.file("vantrelaud.conf");
    writeFile(path, "# small\na: 1\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0));
    ASSERT_EQ(0, s->setProperty(s.p, "a", "2"));
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(0, s->setProperty(s.p, ("big" + std::to_string(i)).c_str(),
                                    std::string(1000, 'x').c_str()));
    }
    EXPECT_EQ(-5, vfw::saveProperty(s.p, path.c_str()));
    EXPECT_EQ("# small\na: 1\n", readFile(path));
    EXPECT_FALSE(exists(path + ".lock"));
    int err = 0;
    ASSERT_TRUE(s->delPropertySet(s.p, "big", &err));
    EXPECT_EQ(0, vfw::saveProperty(s.p, path.c_str()));  // fits again
    EXPECT_EQ("# small\na: 2\n", readFile(path));
}

// Lines over the limit and values that would break a line into two are left out, each with
// its trace record; what the file held stays.
NS_TEST(CPropertiesSaveNs, RefusedLinesAreTracedAndLeaveTheFileAlone) {
    cprops_test::Sandbox aud("/var/vantrelaud");
    ::setenv("VFW_PROPERTIES2_DEBUG", "4", 1);
    Conf conf("long: old\nsplit: old\n");
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
    ::unsetenv("VFW_PROPERTIES2_DEBUG");
    const std::string tooLong(1019, 'x');  // "long: " and these: 1025 characters
    ASSERT_EQ(0, s->setProperty(s.p, "long", tooLong.c_str()));
    ASSERT_EQ(0, s->setProperty(s.p, "split", "x\nlong: planted"));
    ASSERT_EQ(0, s->setProperty(s.p, "new", tooLong.c_str()));
    ASSERT_EQ(0, s->setProperty(s.p, "new2", "y\rnew3: planted"));
    EXPECT_EQ(0, vfw::saveProperty(s.p, conf.path.c_str()));
    EXPECT_EQ("long: old\nsplit: old\n", readFile(conf.path));
    const std::string trace = readFile(cprops_test::tracePath());
    for (const char* text :
         {"Error in allocating memory. Line too long. Ignored.\n",
          "Error in allocating memory. Line too long. Skipped.\n",
          "Value holds a line break. Ignored: split", "Value holds a line break. Skipped: new2",
          "Create lock file " /* the lock's path follows */, "Remove lock file "}) {
        EXPECT_NE(std::string::npos, trace.find(text)) << text;
    }
}

TEST(CPropertiesSave, CProperties2SavesItsListsAndIsCleanAfterwards) {
    Conf conf("# lists\nkeep: 1\nmy.list: old\n");
    vfw::CProperties2 props;
    props.setSkipLoggerReconfigure(1);
    props.load(conf.path.c_str(), 1);
    EXPECT_FALSE(props.isDirty());
    props.setValueList("my.list", {"a", "b c", "d,e"}, 0);
    props.setValueList("new.list", {"x"}, 0);
    EXPECT_TRUE(props.isDirty());
    EXPECT_EQ(0, props.saveProperty(conf.path.c_str()));
    EXPECT_FALSE(props.isDirty());
    EXPECT_EQ("# lists\nkeep: 1\n", readFile(conf.path).substr(0, 16));

    vfw::CProperties2 fresh;
    fresh.setSkipLoggerReconfigure(1);
    fresh.load(conf.path.c_str(), 1);
    EXPECT_EQ("1", fresh("keep"));
    auto list = fresh.getValueList("my.list", "");
    EXPECT_EQ((Items{"a", "b c", "d,e"}), Items(list->begin(), list->end()));
    list = fresh.getValueList("new.list", "");
    EXPECT_EQ(Items{"x"}, Items(list->begin(), list->end()));

    vfw::CProperties2 empty;
    EXPECT_EQ(-22, empty.saveProperty(conf.path.c_str()));
}

// The status of `pid`; one still running after five minutes is taken for hung and killed
// (no verdict rests on this bound).
int waitFor(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 30000; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return status;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "process " << pid << " hung";
    return -1;
}

// One load, change and save of `name`. A writer's lock may outlive the other's wait on a
// loaded machine, so a refused lock is tried again; so is a failed load (the reader below
// reports those).
int saveCounter(const std::string& path, const char* name, int value) {
    int code = -22;
    for (int tries = 0; code != 0 && tries < 50; ++tries) {
        Store s;
        code = vfw::newPropsFromFile(&s.p, path.c_str(), 1, 0);
        if (code == 0 && (code = s->setProperty(s.p, name, std::to_string(value).c_str())) == 0) {
            code = vfw::saveProperty(s.p, path.c_str());
        }
        if (code != 0 && code != -22 && code != -5) {
            return code;
        }
    }
    return code;
}

TEST(CPropertiesSaveConcurrency, TwoWriterProcessesAndAReader) {
    Conf conf("# shared\nw1: 0\nw2: 0\nsentinel: end\n");
    int stop[2];
    ASSERT_EQ(0, ::pipe(stop));
    pid_t reader = ::fork();
    if (reader == 0) {
        ::close(stop[1]);
        pollfd done{stop[0], POLLIN, 0};
        bool loadFailed = false;
        do {
            std::string text = readFile(conf.path);  // the whole file, or "" when missing
            if (text.compare(0, 9, "# shared\n") != 0 || !endsWith(text, "sentinel: end\n")) {
                ::_exit(2);
            }
            Store s;
            loadFailed |= vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0) != 0 ||
                          get(s, "sentinel") != "end";
        } while (::poll(&done, 1, 0) == 0);
        ::_exit(loadFailed ? 3 : 0);
    }
    ::close(stop[0]);
    pid_t writers[2];
    for (int w = 0; w < 2; ++w) {
        writers[w] = ::fork();
        if (writers[w] == 0) {
            const char* name = w == 0 ? "w1" : "w2";
            for (int i = 1; i <= 30; ++i) {
                if (saveCounter(conf.path, name, i) != 0) {
                    ::_exit(10 + i);
                }
            }
            ::_exit(0);
        }
    }
    for (pid_t writer : writers) {
        EXPECT_EQ(0, waitFor(writer)) << "writer status";
    }
    ::close(stop[1]);
    // 2: the reader found the file missing or cut; 3: a load of it failed.
    EXPECT_EQ(0, waitFor(reader)) << "reader status";

    // Each writer's store always held both counters (they are in the file from the start),
    // so both stay; a writer may have written back the other's older value.
    Store s;
    ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
    for (const char* name : {"w1", "w2"}) {
        int value = s->getInt(s.p, name, -1, nullptr);
        EXPECT_TRUE(value >= 0 && value <= 30) << name << " = " << get(s, name);
    }
    std::string text = readFile(conf.path);
    EXPECT_EQ(4, std::count(text.begin(), text.end(), '\n')) << text;
    EXPECT_TRUE(endsWith(text, "sentinel: end\n")) << text;
    EXPECT_FALSE(exists(conf.lock));
}

TEST(CPropertiesSaveCrash, WritersKilledWhileSavingLeaveAWholeFile) {
    Conf conf("# fixed\nf1: one\nf2: \"two  words\"\nf3=3\ncounter: 0\nsentinel: end\n");
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int report[2];
        ASSERT_EQ(0, ::pipe(report));
        pid_t child = ::fork();
        if (child == 0) {
            ::close(report[0]);
            for (int i = 1;; ++i) {
                Store s;
                if (vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0) != 0 ||
                    s->setProperty(s.p, "counter", std::to_string(i).c_str()) != 0 ||
                    s->setProperty(s.p, "pad", std::string(i * 97 % 900, 'p').c_str()) != 0 ||
                    vfw::saveProperty(s.p, conf.path.c_str()) != 0 ||
                    ::write(report[1], "s", 1) != 1) {
                    ::_exit(1);
                }
            }
        }
        ::close(report[1]);
        const int saves = 1 + static_cast<int>(rng() % 8);
        int reported = 0;
        for (pollfd p{report[0], POLLIN, 0}; reported < saves; ++reported) {
            char byte;
            if (::poll(&p, 1, 60000) != 1 || ::read(report[0], &byte, 1) != 1) {
                break;  // hung for a minute, or failed and ended
            }
        }
        for (volatile unsigned spin = rng() % 3000000; spin > 0; --spin) {
        }
        ::kill(child, SIGKILL);
        int status = waitFor(child);
        ::close(report[0]);
        ASSERT_EQ(saves, reported) << "the writer failed; status " << status;
        EXPECT_TRUE(WIFSIGNALED(status)) << status;

        Store s;
        ASSERT_EQ(0, vfw::newPropsFromFile(&s.p, conf.path.c_str(), 1, 0));
        EXPECT_EQ("one|two  words|3|end", get(s, "f1") + "|" + get(s, "f2") + "|" + get(s, "f3") +
                                              "|" + get(s, "sentinel"));
        EXPECT_GE(s->getInt(s.p, "counter", -1, nullptr), saves);  // reported saves stay
        ::unlink(conf.lock.c_str());  // a lock of the killed writer may be left
    }
}

}  // namespace
