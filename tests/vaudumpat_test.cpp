// The real vaudumpat binary, end to end. Every run happens as root in a private mount
// namespace (unshare --mount) in which temporary directories are bound over /var/vantrelaud
// and /etc/vantrelaud, so the real ones are never read or written; a /dev/log of the machine
// is covered as well, so that the command's records reach no real syslog daemon. The one
// test that checks the ERROR record runs a private rsyslogd (support/syslog_daemon.h).
//
// The expected dump of a member is what DBQSingle::dump prints for that file on its own: the
// command's output must be exactly those texts, in file-number order, with nothing between.
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_images.h"
#include "support/syslog_daemon.h"
#include "support/test_util.h"
#include "vfw/dbq.h"

namespace {

using dbqc_test::writeMember;
using vfw_test::readFile;
using vfw_test::writeFile;

const char ROOT_ONLY[] = "You must have root-level access to dump a local audit trail event.\n";
const char FAILED[] = "The auditing service failed to dump the following audit trails: \"";

std::string dumper() {
    const char* dir = std::getenv("VFW_BINARY_DIR");
    if (dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/tools/vaudumpat/vaudumpat";
    }
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tests = length > 0 ? std::string(self, size_t(length)) : "";
    return tests.substr(0, tests.rfind("/tests/")) + "/tools/vaudumpat/vaudumpat";
}

struct Result {
    std::string out;
    std::string err;
    int status = -1;  // exit status; 128 + signal when killed
};

// Binds the directories, covers the machine's /dev/log unless the test runs its own daemon,
// then runs the rest of the arguments in place of the shell.
const char NAMESPACE_SCRIPT[] =
    "set -e\n"
    "mount --bind \"$1\" /var/vantrelaud\n"
    "mount --bind \"$2\" /etc/vantrelaud\n"
    "if [ \"$3\" = cover ] && [ -e /dev/log ]; then mount --bind /dev/null /dev/log; fi\n"
    "shift 3\n"
    "exec \"$@\"\n";

class VaudumpatTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // The mount points; an empty directory is all that is ever made on the real paths.
        ::mkdir("/var/vantrelaud", 0755);
        ::mkdir("/etc/vantrelaud", 0755);
    }

    void SetUp() override {
        ASSERT_EQ(::mkdir(m_var.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(m_etc.c_str(), 0755), 0);
    }

    // The spool directory as the test writes it, and a member's path in it.
    std::string spool() const { return m_var + "/spool-atdbqc"; }
    std::string member(const std::string& name) const { return spool() + "/" + name; }
    void makeSpool() { ASSERT_EQ(::mkdir(spool().c_str(), 0700), 0); }

    // Runs vaudumpat with `args` (argv[0] is the binary's path), as user 65534 when `nobody`.
    Result run(const std::vector<std::string>& args = {}, bool nobody = false,
               bool ownSyslog = false) {
        std::vector<std::string> command = {"unshare",
                                            "--mount",
                                            "--propagation",
                                            "private",
                                            "sh",
                                            "-c",
                                            NAMESPACE_SCRIPT,
                                            "sh",
                                            m_var,
                                            m_etc,
                                            ownSyslog ? "keep" : "cover"};
        if (nobody) {
            for (const char* word :
                 {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}) {
                command.push_back(word);
            }
        }
        command.push_back(dumper());
        command.insert(command.end(), args.begin(), args.end());

        std::string outPath = m_dir.file("stdout");
        std::string errPath = m_dir.file("stderr");
        pid_t child = ::fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& word : command) {
                argv.push_back(&word[0]);
            }
            argv.push_back(nullptr);
            if (!std::freopen(outPath.c_str(), "w", stdout) ||
                !std::freopen(errPath.c_str(), "w", stderr)) {
                ::_exit(126);
            }
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        m_lastPid = child;
        Result result;
        int status = 0;
        // A hang is a failure of its own, not a stuck test run.
        for (int waited = 0; ::waitpid(child, &status, WNOHANG) != child; waited += 10) {
            if (waited > 120000) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                ADD_FAILURE() << "vaudumpat did not finish within 120 s";
                break;
            }
            ::usleep(10000);
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        return result;
    }

    // What DBQSingle::dump prints for one file on its own, up to the point where it fails.
    static std::string singleDump(const std::string& path) {
        dbqc_test::CoutCapture capture;
        try {
            vfw::DBQSingle queue(path, 0, 512, 0600, 0);
            queue.dump(true);
        } catch (const std::exception&) {
            // The text written before the failure is the expected part.
        }
        return capture.text();
    }

    vfw_test::TempDir m_dir;
    std::string m_var = m_dir.file("var");
    std::string m_etc = m_dir.file("etc");
    pid_t m_lastPid = -1;
};

std::string failure(const std::string& message) {
    return FAILED + message + "\".\n";
}

TEST_F(VaudumpatTest, AMissingSpoolIsNoFailure) {
    Result r = run();
    EXPECT_EQ(r.out, "Database files don't exist.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(VaudumpatTest, AnEmptySpoolDirectoryHasNoFiles) {
    makeSpool();
    Result r = run();
    EXPECT_EQ(r.out, "Database files don't exist.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(dbqc_test::entries(spool()).empty()) << "a read-only run creates nothing";
}

TEST_F(VaudumpatTest, MembersAreDumpedInNumericOrderWithNothingBetween) {
    makeSpool();
    writeMember(member("10"), {"record of file ten"});
    writeMember(member("2"), {"record of file two", std::string(1000, 'w')});
    std::string two = readFile(member("2"));
    std::string ten = readFile(member("10"));
    Result r = run();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::string expected = singleDump(member("2")) + singleDump(member("10"));
    EXPECT_EQ(r.out, expected);
    size_t second = r.out.find("record of file two");
    size_t tenth = r.out.find("record of file ten");
    ASSERT_NE(second, std::string::npos) << r.out;
    ASSERT_NE(tenth, std::string::npos);
    EXPECT_LT(second, tenth);
    EXPECT_EQ(r.out.find("DB accounting "), 0u);
    EXPECT_EQ(readFile(member("2")), two) << "the dump changes no file";
    EXPECT_EQ(readFile(member("10")), ten);
}

TEST_F(VaudumpatTest, ANameWithTrailingTextIsTakenAsItsNumber) {
    makeSpool();
    writeMember(member("3"), {"three"});
    writeMember(member("12abc"), {"under another name"});
    Result r = run();
    EXPECT_EQ(r.out, singleDump(member("3")));
    EXPECT_EQ(r.err, failure("Queue file /var/vantrelaud/spool-atdbqc/12 cannot be opened: No "
                             "such file or directory"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(VaudumpatTest, AMemberNotShutCleanlyIsReported) {
    makeSpool();
    writeMember(member("0"), {"fine"});
    writeMember(member("1"), {"interrupted"});
    std::string file = readFile(member("1"));
    file[21] = 2;  // a removal in progress
    writeFile(member("1"), file);
    Result r = run();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, failure("DBQSingle is not shut cleanly."));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(readFile(member("1")), file);
}

TEST_F(VaudumpatTest, ACorruptBlockEndsTheDumpThereAndIsLoggedOnce) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    // A configuration file, so that no record reports it missing.
    writeFile(m_etc + "/vantrelaud.conf", "");
    makeSpool();
    writeMember(member("0"), {"first file"});
    writeMember(member("1"), {"before the damage", std::string(600, 'd'), "after"});
    writeMember(member("2"), {"third file"});
    // Block 3 carries the second part of the second record; one payload byte changes.
    std::string file = readFile(member("1"));
    size_t block = 3 * 512;
    uint32_t stored = dbq_images::readBe32(file, block + 18);
    file[block + 42 + 100] = 'X';
    uint32_t computed = dbq_images::byteSum(file, block + 42, block + 512);
    ASSERT_NE(stored, computed);
    writeFile(member("1"), file);
    char message[200];
    std::snprintf(message, sizeof message,
                  "Data block '3' checksum mismatch: the calculated checksum is 0x%x, the one "
                  "from file is 0x%x",
                  computed, stored);

    Result r = run({}, false, true);
    std::string partial = singleDump(member("1"));
    EXPECT_NE(partial.find("before the damage"), std::string::npos) << partial;
    EXPECT_EQ(partial.find("after"), std::string::npos) << partial;
    EXPECT_EQ(r.out, singleDump(member("0")) + partial);
    EXPECT_EQ(r.out.find("third file"), std::string::npos);
    EXPECT_EQ(r.err, failure(message));
    EXPECT_EQ(r.status, 2);

    std::vector<vfw_test::SyslogMessage> messages = daemon.sync();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 3 | (4 << 3)) << "ERROR with the auth facility";
    EXPECT_EQ(messages[0].tag, "vaudumpat[" + std::to_string(m_lastPid) + "]");
    EXPECT_EQ(messages[0].text,
              std::string("ERROR vau.cli.vaudumpat Failed to dump audit trails: ") + message);
}

TEST_F(VaudumpatTest, TheFailureRecordNamesMain2AtLine70) {
    if (!vfw_test::isRerunChild()) {
        vfw_test::rerunCurrentTest();
        return;
    }
    vfw_test::SyslogDaemon daemon;
    writeFile(m_etc + "/vantrelaud.conf", "logger.showmore: 7\n");
    makeSpool();
    writeMember(member("0"), {"interrupted"});
    std::string file = readFile(member("0"));
    file[21] = 1;  // an append in progress
    writeFile(member("0"), file);

    Result r = run({}, false, true);
    EXPECT_EQ(r.err, failure("DBQSingle is not shut cleanly."));
    EXPECT_EQ(r.status, 2);
    std::vector<std::string> errors;
    for (const vfw_test::SyslogMessage& message : daemon.sync()) {
        if (message.text.compare(0, 6, "ERROR ") == 0) {
            errors.push_back(message.text);
        }
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0],
              "ERROR vau.cli.vaudumpat \"vaudumpat:70:main2()\" Failed to dump audit "
              "trails: DBQSingle is not shut cleanly.");
}

TEST_F(VaudumpatTest, TheSpoolPropertyIsFoundWhateverItsCase) {
    writeFile(m_etc + "/vantrelaud.conf", "# spool of this host\nVAUD.AT.SPOOL: other\n");
    ASSERT_EQ(::mkdir((m_var + "/other").c_str(), 0700), 0);
    writeMember(m_var + "/other/4", {"record in the configured spool"});
    makeSpool();
    writeMember(member("0"), {"record in the default spool"});
    Result r = run();
    EXPECT_EQ(r.out, singleDump(m_var + "/other/4"));
    EXPECT_NE(r.out.find("record in the configured spool"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(VaudumpatTest, AConfiguredNameThatDoesNotExistIsAMissingSpool) {
    writeFile(m_etc + "/vantrelaud.conf", "vaud.at.spool: elsewhere\n");
    makeSpool();
    writeMember(member("0"), {"record in the default spool"});
    Result r = run();
    EXPECT_EQ(r.out, "Database files don't exist.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(VaudumpatTest, ACallerWhoIsNotRootGetsOnlyTheRefusal) {
    makeSpool();
    writeMember(member("0"), {"not for everyone"});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"-h"},
          std::vector<std::string>{"a", "b"}}) {
        Result r = run(args, true);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, ROOT_ONLY);
        EXPECT_EQ(r.status, 1);
    }
}

TEST_F(VaudumpatTest, AnyArgumentGetsTheUsageLine) {
    makeSpool();
    writeMember(member("0"), {"not dumped"});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, std::vector<std::string>{"--help", "x"},
          std::vector<std::string>{""}}) {
        Result r = run(args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: " + dumper() + "\n");
        EXPECT_EQ(r.status, 2);
    }
}

TEST_F(VaudumpatTest, AFifoMemberEndsTheRunWithoutBlocking) {
    makeSpool();
    ASSERT_EQ(::mkfifo(member("0").c_str(), 0600), 0);
    writeMember(member("1"), {"after the fifo"});
    Result r = run();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, failure("Queue file /var/vantrelaud/spool-atdbqc/0 cannot be opened: it is "
                             "a FIFO"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(VaudumpatTest, ADirectoryMemberEndsTheRun) {
    makeSpool();
    writeMember(member("0"), {"before the directory"});
    ASSERT_EQ(::mkdir(member("1").c_str(), 0700), 0);
    Result r = run();
    EXPECT_EQ(r.out, singleDump(member("0")));
    EXPECT_EQ(r.err, failure("Queue file /var/vantrelaud/spool-atdbqc/1 cannot be opened: it is "
                             "a directory"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(VaudumpatTest, ADeviceMemberEndsTheRun) {
    makeSpool();
    ASSERT_EQ(::mknod(member("0").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    Result r = run();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, failure("Queue file /var/vantrelaud/spool-atdbqc/0 cannot be opened: it is "
                             "a device"));
    EXPECT_EQ(r.status, 2);
}

}  // namespace
