// The real vaudumpat binary, end to end, as root in a private mount namespace with fresh
// directories over /var/vantrelaud and /etc/vantrelaud and the machine's /dev/log covered (or
// a private rsyslogd for the tests of its records): the dump byte for byte (each member's own
// DBQSingle dump in file-number order, nothing between), a dump that fails part-way, exit
// codes and messages, a non-root caller, arguments, and the spool name from the configuration.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/dbq_composite_test_util.h"
#include "support/dbq_images.h"
#include "support/sandbox.h"
#include "support/syslog_daemon.h"

namespace {

using dbqc_test::singleDump;
using dbqc_test::writeMember;
using vfw_test::readFile;
using vfw_test::writeFile;

const std::string VAR = "/var/vantrelaud/", SPOOL = VAR + "spool-atdbqc/";
const std::string CONF = "/etc/vantrelaud/vantrelaud.conf";
const std::string NONE = "Database files don't exist.\n",
                  NOT_CLEAN = "DBQSingle is not shut cleanly.";

std::string dumper() {
    const char* dir = std::getenv("VFW_BINARY_DIR");
    std::string self = vfw_test::selfPath();
    return (dir ? std::string(dir) : self.substr(0, self.rfind("/tests/"))) +
           "/tools/vaudumpat/vaudumpat";
}

std::string failure(const std::string& message) {
    return "The auditing service failed to dump the following audit trails: \"" + message + "\".\n";
}

// Fresh spool and configuration directories; the machine's /dev/log covered unless asked not.
struct Sandboxes {
    explicit Sandboxes(bool coverLog = true) {
        if (coverLog && ::access("/dev/log", F_OK) == 0) {
            EXPECT_EQ(::mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr), 0);
        }
    }
    vfw_test::Sandbox var{"/var/vantrelaud"}, etc{"/etc/vantrelaud"};
};

// Marks a member as not shut down cleanly: its master block says a removal was in progress.
void breakMember(const std::string& path) {
    std::string file = readFile(path);
    file[21] = 2;
    writeFile(path, file);
}

struct Result {
    std::string out, err;
    int status;
    pid_t pid;
};

// Runs vaudumpat with `args` (shell words), as user 65534 when `nobody`, whose profile data
// in a coverage build goes to a directory that user may write.
Result run(const std::string& args = "", bool nobody = false) {
    vfw_test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    std::string command = "echo $$ >" + dir.file("pid") + "; exec " +
                          (nobody ? "env GCOV_PREFIX=" + dir.path() +
                                        " setpriv --reuid=65534 --regid=65534 --clear-groups "
                                  : "") +
                          dumper() + args + " >" + dir.file("out") + " 2>" + dir.file("err");
    int status = std::system(command.c_str());
    return {readFile(dir.file("out")), readFile(dir.file("err")),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128, std::stoi(readFile(dir.file("pid")))};
}

::testing::AssertionResult is(const Result& r, const std::string& out, const std::string& err,
                              int status) {
    if (r.out == out && r.err == err && r.status == status)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "status " << r.status << " (expected " << status << ")\nstderr: " << r.err
           << "expected: " << err << "\nstdout:\n"
           << r.out << "\nexpected:\n"
           << out;
}

NS_TEST(VaudumpatTest, TheSpoolIsDumpedByteForByteOrTheFailureReported) {
    Sandboxes sandboxes;
    EXPECT_TRUE(is(run(), NONE, "", 0)) << "no spool";
    ASSERT_EQ(::mkdir(SPOOL.c_str(), 0700), 0);
    EXPECT_TRUE(is(run(), NONE, "", 0)) << "an empty spool";
    EXPECT_EQ(dbqc_test::entries(SPOOL), dbqc_test::Names{}) << "a read-only run creates nothing";
    writeMember(SPOOL + "10", {"record of file ten"});
    writeMember(SPOOL + "2", {"record of file two", std::string(1000, 'w')});
    std::string two = readFile(SPOOL + "2"), ten = readFile(SPOOL + "10");
    std::string dump = singleDump(SPOOL + "2") + singleDump(SPOOL + "10");
    EXPECT_EQ(dump.find("DB accounting "), 0u);
    EXPECT_NE(dump.find("record of file ten"), std::string::npos);
    EXPECT_TRUE(is(run(), dump, "", 0));
    EXPECT_EQ(readFile(SPOOL + "2") + readFile(SPOOL + "10"), two + ten) << "nothing written";

    for (const auto& [command, problem] : std::vector<std::pair<std::string, std::string>>{
             {"touch " + SPOOL + "12abc", "No such file or directory"},
             {"mkdir " + SPOOL + "12", "it is a directory"},
             {"mkfifo " + SPOOL + "12", "it is a FIFO"},
             {"mknod -m 600 " + SPOOL + "12 c 1 3", "it is a device"}}) {
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_TRUE(
            is(run(), dump, failure("Queue file " + SPOOL + "12 cannot be opened: " + problem), 2))
            << command;
        ASSERT_EQ(std::system(("rm -rf " + SPOOL + "12*").c_str()), 0);
    }
    breakMember(SPOOL + "10");
    std::string broken = readFile(SPOOL + "10");
    EXPECT_TRUE(is(run(), "", failure(NOT_CLEAN), 2)) << "the open checks every member first";
    EXPECT_EQ(readFile(SPOOL + "10"), broken);

    const std::string rootOnly =
        "You must have root-level access to dump a local audit trail event.\n";
    for (const char* args : {"", " -h", " a b"})
        EXPECT_TRUE(is(run(args, true), "", rootOnly, 1)) << args;
    for (const char* args : {" -h", " --help x", " ''"})
        EXPECT_TRUE(is(run(args), "", "Usage: " + dumper() + "\n", 2)) << args;
}

NS_TEST(VaudumpatTest, TheSpoolNameComesFromTheConfiguration) {
    Sandboxes sandboxes;
    ASSERT_EQ(::mkdir(SPOOL.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((VAR + "other").c_str(), 0700), 0);
    writeMember(SPOOL + "0", {"in the default spool"});
    writeMember(VAR + "other/3", {"in the other spool"});
    writeMember(VAR + "1", {"beside the spools"});
    writeFile(CONF, "# the spool\nVAUD.AT.SPOOL: other\n");
    EXPECT_TRUE(is(run(), singleDump(VAR + "other/3"), "", 0));
    writeMember(VAR + "other/12abc", {"under another name"});
    EXPECT_TRUE(is(run(), singleDump(VAR + "other/3"),
                   failure("Queue file /var/vantrelaud/other/12 cannot be opened: No such file or "
                           "directory"),
                   2));
    writeFile(CONF, "vaud.at.spool: elsewhere\n");
    EXPECT_TRUE(is(run(), NONE, "", 0));
    for (const char* text : {"vaud.at.spool:\n", "other.key: x\n", ""}) {
        writeFile(CONF, text);
        EXPECT_TRUE(is(run(), singleDump(SPOOL + "0"), "", 0)) << text;
    }
    ASSERT_EQ(::unlink(CONF.c_str()), 0);
    EXPECT_TRUE(is(run(), singleDump(SPOOL + "0"), "", 0)) << "no configuration file";
}

NS_TEST(VaudumpatTest, TheFailureIsRecordedOnceInSyslog) {
    vfw_test::SyslogDaemon daemon;
    Sandboxes sandboxes(false);
    size_t seen = 0;
    // The records since the last call, of `logger` only unless it is empty.
    auto records = [&](const std::string& logger) {
        std::vector<vfw_test::SyslogMessage> all = daemon.sync(), selected;
        for (size_t i = seen; i < all.size(); ++i)
            if (logger.empty() || all[i].text.find(" " + logger + " ") == 5) {
                selected.push_back(all[i]);
            }
        seen = all.size();
        return selected;
    };
    ASSERT_EQ(::mkdir(SPOOL.c_str(), 0700), 0);
    writeMember(SPOOL + "0", {"interrupted"});
    breakMember(SPOOL + "0");
    Result r = run();
    EXPECT_TRUE(is(r, "", failure(NOT_CLEAN), 2));
    std::vector<vfw_test::SyslogMessage> messages = records("");
    ASSERT_EQ(messages.size(), 3u) << "the load, the member's own record, the failure";
    EXPECT_EQ(messages[0].priority, 6 | 32);
    EXPECT_EQ(messages[0].text,
              "INFO  util.properties Error in parsing " + CONF + " because file does not exist.");
    EXPECT_EQ(messages[2].priority, 3 | 32) << "ERROR with the auth facility";
    EXPECT_EQ(messages[2].tag, "vaudumpat[" + std::to_string(r.pid) + "]");
    EXPECT_EQ(messages[2].text,
              "ERROR vau.cli.vaudumpat Failed to dump audit trails: " + NOT_CLEAN);

    writeFile(CONF, "logger.showmore: 7\nlogger.facility.*: local3\n");
    r = run();
    messages = records("vau.cli.vaudumpat");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 3 | 152) << "ERROR with local3";
    EXPECT_EQ(messages[0].tag, "vaudumpat[" + std::to_string(r.pid) + "]");
    EXPECT_EQ(messages[0].text,
              "ERROR vau.cli.vaudumpat \"vaudumpat:70:main2()\" Failed to dump "
              "audit trails: " +
                  NOT_CLEAN);
    writeFile(CONF, "log.vau.cli: INFO\n");
    EXPECT_TRUE(is(run(), "", failure(NOT_CLEAN), 2));
    EXPECT_EQ(records("vau.cli.vaudumpat").size(), 1u);
    writeFile(CONF, "log.vau.cli: INFO\nlog.vau.cli.vaudumpat: DISABLED\n");
    EXPECT_TRUE(is(run(), "", failure(NOT_CLEAN), 2)) << "standard error still says it";
    EXPECT_EQ(records("vau.cli.vaudumpat").size(), 0u);

    // A corrupt block: the dump up to it, then its message on standard error and in syslog.
    writeFile(CONF, "vaud.at.spool: corrupt\n");
    std::string corrupt = VAR + "corrupt/";
    ASSERT_EQ(::mkdir(corrupt.c_str(), 0700), 0);
    writeMember(corrupt + "0", {"first file"});
    writeMember(corrupt + "1", {"before the damage", std::string(600, 'd'), "after"});
    writeMember(corrupt + "2", {"third file"});
    std::string file = readFile(corrupt + "1");
    const size_t block = 3 * 512;  // the second part of the second record
    uint32_t stored = dbq_images::readBe32(file, block + 18);
    file[block + 142] = 'X';
    uint32_t computed = dbq_images::byteSum(file, block + 42, block + 512);
    ASSERT_NE(stored, computed);
    writeFile(corrupt + "1", file);
    char message[200];
    std::snprintf(message, sizeof message,
                  "Data block '3' checksum mismatch: the calculated checksum is 0x%x, the one from "
                  "file is 0x%x",
                  computed, stored);
    std::string partial = singleDump(corrupt + "1");
    EXPECT_NE(partial.find("before the damage"), std::string::npos) << partial;
    EXPECT_EQ(partial.find("after"), std::string::npos) << partial;
    r = run();
    EXPECT_TRUE(is(r, singleDump(corrupt + "0") + partial, failure(message), 2));
    messages = records("");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].priority, 3 | 32);
    EXPECT_EQ(messages[0].tag, "vaudumpat[" + std::to_string(r.pid) + "]");
    EXPECT_EQ(messages[0].text,
              std::string("ERROR vau.cli.vaudumpat Failed to dump audit trails: ") + message);
}

}  // namespace
