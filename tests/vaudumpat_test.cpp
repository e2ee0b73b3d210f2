// The spool's composite queue against a std::deque model under random operations and faults,
// and in what the model cannot reach; vaudumpat run as root in a private mount namespace over
// fresh /var/vantrelaud and /etc/vantrelaud, with a private rsyslogd.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <tuple>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/sandbox.h"
#include "support/syslog_daemon.h"
#include "support/thrown.h"
#include "vfw/dbq_composite.h"
#include "vfw/dbq_seam.h"

namespace {

using std::string;
using Names = std::vector<string>;
using Totals = std::tuple<int64_t, uint64_t, int64_t>;  // count, data size, file size
using Queue = vfw::DBQComposite;
using vfw::IOException;
using vfw_test::readFile;
using vfw_test::thrown;
using vfw_test::writeFile;
namespace fs = std::filesystem;
const string NOT_CLEAN = "DBQSingle is not shut cleanly.";

void writeMember(const string& path, const Names& records) {
    vfw::DBQSingle queue(512);
    ASSERT_TRUE(queue.open(path, 1, 0600, true, ""));
    for (const string& record : records)
        dbq_test::enqueue(queue, record);
}
Names entries(const string& directory) {
    Names names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}
std::map<string, string> snapshot(const string& directory) {
    std::map<string, string> files;
    for (const string& name : entries(directory))
        files[name] = readFile(directory + "/" + name);
    return files;
}
// What `f` writes to std::cout, up to where it throws; what it throws in `error` if given.
string printed(const std::function<void()>& f, string* error = nullptr) {
    std::ostringstream text;
    std::streambuf* old = std::cout.rdbuf(text.rdbuf());
    const string result = thrown(f);
    std::cout.rdbuf(old);
    if (error != nullptr)
        *error = result;
    return text.str();
}
// One queue file's own dump, up to where it fails.
string dumpOf(const string& path, bool withData = true) {
    return printed([&] { vfw::DBQSingle(path, 0, 512, 0600, 0).dump(withData); });
}
// Descriptors of this process on `path`, or on any file under it when it ends with "/".
long descriptorsOn(const string& path) {
    long found = 0;
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        string target = fs::read_symlink(fd.path(), error);
        found += target == path || (path.back() == '/' && target.rfind(path, 0) == 0);
    }
    return found;
}
// The oldest record through peek (0), getHead (1), dequeue with data (2) or without (3).
string take(Queue& queue, int how) {
    vfw::ByteArray data;
    uint32_t length = 0;
    how == 0   ? queue.peek(data, length)
    : how == 1 ? queue.getHead(data, length)
    : how == 2 ? queue.dequeue(data, length)
               : queue.dequeue();
    return length == 0 ? "" : string(reinterpret_cast<const char*>(data.get()), length);
}
IOException ioFailure() {
    return IOException(__FILE__, __LINE__, "Block 9 read failed", "IOException", -1, false);
}
// A member left by a crash: its master block says a removal was in progress.
string crashedMember(const string& path) {
    writeMember(path, {"interrupted"});
    string file = readFile(path);
    file[21] = 2;
    writeFile(path, file);
    return file;
}
// A write hook: writes to files whose path starts with g_failing fail.
string g_failing;
bool failWrites(int fd, int64_t, size_t) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error)
               .string()
               .rfind(g_failing, 0) != 0;
}

class DbqCompositeTest : public ::testing::Test {
  protected:
    DbqCompositeTest() { vfw::getLogger("vfw.dbqc")->setLevel(vfw::LEVEL_DEBUG); }
    ~DbqCompositeTest() override { vfw::getLogger("vfw.dbqc")->setLevel(-1); }
    string member(int64_t n) const { return spool + "/" + std::to_string(n); }
    void makeSpool(const std::map<int64_t, Names>& members = {}) {
        ASSERT_EQ(::mkdir(spool.c_str(), 0700), 0);
        for (const auto& [n, records] : members)
            writeMember(member(n), records);
    }
    // Opens `queue` on the spool as "small"; by default one one-block record fills a member.
    void openSmall(Queue& queue, int32_t mode = 1, uint64_t limit = 1024) {
        queue.setMaxSize(limit);
        ASSERT_TRUE(queue.open(spool, mode, 0600, true, "small"));
    }
    bool logged(const string& text) { return log.text().find(text) != string::npos; }
    static Totals totals(Queue& q) { return {q.count(), q.getDataSize(), q.getFileSize()}; }
    // The member files' totals, from their master blocks (count at 22, data size at 26).
    Totals onDisk() {
        Totals sums{};
        auto& [count, size, bytes] = sums;
        for (const string& name : entries(spool)) {
            string file = readFile(spool + "/" + name);
            count += int32_t(dbq_images::readBe32(file, 22));
            size += uint64_t(dbq_images::readBe32(file, 26)) << 32 | dbq_images::readBe32(file, 30);
            bytes += int64_t(file.size());
        }
        return sums;
    }
    vfw_test::TempDir dir;
    string spool = dir.file("spool");
    dbq_test::LogCapture log;
};

TEST_F(DbqCompositeTest, ModelOfRandomOperationsAndFaults) {
    vfw::getLogger("vfw.dbqs")->setLevel(-1);
    auto queue = std::make_unique<Queue>(512);
    vfw::ByteArray data;
    uint32_t length = 0;
    const std::map<string, std::function<void()>> refused = {
        {"enqueue", [&] { dbq_test::enqueue(*queue, "x"); }},
        {"dequeue(..)", [&] { queue->dequeue(data, length); }},
        {"dequeue()", [&] { queue->dequeue(); }},
        {"peek", [&] { queue->peek(data, length); }},
        {"getHead", [&] { queue->getHead(data, length); }}};
    const vfw::FatalErrorException fatal(__FILE__, __LINE__, "Data block '4' magic number mismatch",
                                         "FatalErrorException", 1, false);
    const std::regex aside("spool\\." + std::to_string(::getpid()) + "\\.[0-9a-f]{32}");
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        // The queue's records, TRACE included, for half the seeds; from INFO up for the others.
        vfw::getLogger("vfw.dbqc")->setLevel(seed % 2 ? vfw::LEVEL_TRACE : vfw::LEVEL_INFO);
        std::mt19937 random(seed);
        auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
        fs::remove_all(spool);
        queue = std::make_unique<Queue>(512);
        openSmall(*queue, 1, 1500);
        std::deque<string> model;
        int64_t highest = 0;
        for (int step = 0; step < 1200 && !HasFatalFailure(); ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            int choice = pick(100), how = "01222333"[choice % 8] - '0', fault = pick(30);
            string next = member(queue->getEnqueueId() + 1);
            if (choice < 40) {  // an append; now and then the next member cannot be made (0, 1)
                string record =
                    dbq_images::pattern(pick(10) < 6 ? 1 + pick(300) : 400 + pick(3100), step);
                g_failing = fault == 0 ? next : spool + "/";  // or no write works at all (2)
                if (fault == 1)
                    ::mkdir(next.c_str(), 0700);
                vfw::seam::setBlockWriteHook(fault == 0 || fault == 2 ? failWrites : nullptr);
                string error = thrown([&] { dbq_test::enqueue(*queue, record); });
                vfw::seam::setBlockWriteHook(nullptr);
                ::rmdir(next.c_str());
                ASSERT_TRUE(fault == 2 ? error.rfind("IO -1 Block ", 0) == 0 &&
                                             error.find(" write failed") != string::npos
                                       : error == "-")
                    << error;
                if (fault == 2) {  // the totals still match the files; the owner reopens
                    ASSERT_EQ(totals(*queue), onDisk());
                    openSmall(*queue, 1, 1500);
                } else {
                    model.push_back(record);
                }
            } else if (choice < 90) {
                ASSERT_EQ(take(*queue, how), how == 3 || model.empty() ? "" : model.front());
                if (how >= 2 && !model.empty())
                    model.pop_front();
            } else if (choice < 93) {
                queue->shrink();
            } else if (choice < 96) {  // the same object opened again, or a new one
                if (choice % 2)
                    queue = std::make_unique<Queue>(512);
                openSmall(*queue, 1, 1500);
            } else if (choice < 98) {  // the members' own dumps in number order; a renewal
                string expected, error;
                for (int64_t id = queue->getDequeueId(); id <= queue->getEnqueueId(); ++id)
                    expected += dumpOf(member(id), choice % 2);
                ASSERT_EQ(printed([&] { queue->dump(choice % 2); }, &error) + error,
                          expected + "-");
                ASSERT_EQ(Queue::dataSizeOf(spool), queue->getDataSize());
                queue->flushDb();
            } else if (choice < 99) {  // a fatal error closes the queue: records are refused
                queue->handleFatalErrorException(fatal);
                for (const auto& [operation, call] : refused)
                    ASSERT_EQ(thrown(call), "IO -1 DBQC (" + operation + ") is not opened.");
                queue->shrink();
                openSmall(*queue, 1, 1500);
            } else {  // other failures move the spool aside whole; a fresh one opens
                std::map<string, string> before = snapshot(spool);
                Names old = entries(dir.path());
                queue->handleException(ioFailure());
                Names now = entries(dir.path());
                ASSERT_EQ(now.size(), old.size() + 1) << "each move finds a name of its own";
                string added = *std::mismatch(old.begin(), old.end(), now.begin()).second;
                ASSERT_TRUE(std::regex_match(added, aside)) << added;
                ASSERT_EQ(snapshot(dir.file(added)), before) << "the damaged files are kept";
                model.clear();
            }
            uint64_t size = 0;
            for (const string& record : model)
                size += record.size();
            int64_t first = queue->getDequeueId(), last = queue->getEnqueueId();
            Totals disk = onDisk();
            ASSERT_EQ(totals(*queue), disk);
            ASSERT_EQ(disk, Totals(model.size(), size, std::get<2>(disk)));
            ASSERT_EQ(queue->isEmpty(), model.empty() && first == last);
            ASSERT_EQ(entries(spool).size(), size_t(last - first + 1));
            for (int64_t id = first; id <= last; ++id)
                ASSERT_TRUE(fs::exists(member(id))) << id;
            ASSERT_EQ(descriptorsOn(member(first)) * descriptorsOn(member(last)), 1) << "once each";
            ASSERT_EQ(descriptorsOn(spool + "/"), first == last ? 1 : 2)
                << "only the ends are open";
            highest = std::max(highest, last);
        }
        EXPECT_GT(highest, 20) << "the sequence rotated through many members";
    }
    for (const char* line :
         {"FATAL vfw.dbqc small: Fatal Error encountered in audit database: Data block '4'",
          "WARN  vfw.dbqc small: Error encountered in audit database: Block 9 read failed.",
          "instead. Error: 21. Please recover the machine and restart the process."})
        EXPECT_TRUE(logged(line)) << line;
}

TEST_F(DbqCompositeTest, WhatTheModelCannotReach) {
    Queue queue(512);
    EXPECT_EQ(
        std::make_tuple(queue.isEmpty(), queue.getBlockSize(), queue.count(), queue.getMaxSize()),
        std::make_tuple(true, 0, 0L, 104857600UL));
    queue.shrink();
    EXPECT_EQ(thrown([&] { queue.dequeue(); }), "IO -1 DBQC (dequeue()) is not opened.");
    makeSpool();
    for (const char* name :
         {"10", "3", "12abc", "abc", "+4", "-2", " 7", "99999999999999999999", "x1", "12"})
        writeFile(spool + "/" + name, "");
    std::vector<int64_t> ids;
    ASSERT_TRUE(Queue::listFileIds(spool, ids));
    EXPECT_EQ(ids, (std::vector<int64_t>{-2, 3, 4, 7, 10, 12, 12})) << "duplicates stay listed";
    for (int mode : {3, 7, -1})
        EXPECT_TRUE(queue.open(spool, mode, 0600, true, "") && !queue.isOpen()) << mode;
    EXPECT_FALSE(queue.open(member(3), 1, 0600, true, "") ||
                 queue.open(member(3) + "/a", 1, 0600, true, ""));
    string nested = spool + "/a/b";
    ASSERT_TRUE(queue.open(nested, 1, 0640, true, ""));
    auto mode = [](const string& path) { return int(fs::status(path).permissions()); };
    EXPECT_EQ(std::make_tuple(mode(spool), mode(spool + "/a"), mode(nested), mode(nested + "/0")),
              std::make_tuple(0700, 0755, 0755, 0640));
    fs::remove_all(spool);
    makeSpool({{10, {"ten"}}, {3, {"three-a", "three-b"}}, {4, {"four"}}});
    writeFile(spool + "/4abc", "");  // member 4 again: one file, opened and counted once
    ASSERT_TRUE(queue.open(spool, 1, 0600, true, ""));
    EXPECT_EQ(std::make_tuple(queue.getDequeueId(), queue.getEnqueueId(), queue.count(),
                              queue.getDataSize()),
              std::make_tuple(3L, 10L, 4L, 21UL));
    ASSERT_EQ(::mkfifo(member(7).c_str(), 0600), 0);
    Queue(spool, 1, 512, 0600).flushDb();
    EXPECT_EQ(entries(spool).size(), 5u) << "a half-opened queue is no empty one";
    fs::remove(member(7));
    string file = crashedMember(member(11));
    EXPECT_EQ(thrown([&] { queue.open(spool, 1, 0600, true, ""); }), "IO -1 " + NOT_CLEAN);
    EXPECT_EQ(readFile(member(11)), file) << "the file is left as found";
    fs::remove_all(spool);

    // File sizes; destroy; a missing directory after a failure.
    EXPECT_EQ(Queue::dataSizeOf(spool), 0u);
    EXPECT_FALSE(queue.open(spool, 0, 0600, true, ""));
    EXPECT_EQ(queue.getFileSize(), -1) << "missing directory";
    makeSpool();
    EXPECT_EQ(queue.getFileSize(), 0);
    writeMember(member(1), {"b"});
    writeFile(spool + "/7abc", "");
    EXPECT_EQ(queue.getFileSize(), -1) << "member 7 has no size";
    fs::remove(spool + "/7abc");
    ASSERT_TRUE(queue.open(spool, 1, 0600, true, ""));
    ASSERT_EQ(::mkdir(member(3).c_str(), 0700), 0);
    queue.destroy();
    EXPECT_EQ(entries(spool), Names{"3"}) << "what cannot be opened stays";
    EXPECT_TRUE(logged("Error when removing dbq file " + spool + " (error: Directory not empty)"));
    fs::remove_all(spool);
    queue.handleException(ioFailure());
    EXPECT_EQ(entries(dir.path()), Names{"spool"}) << "a missing directory is made, not moved";
    EXPECT_TRUE(queue.isOpen() && logged("  Creating the file " + spool + "."));
    fs::remove_all(spool);

    // The size boundary: a member at the limit takes one more record.
    openSmall(queue, 2);
    Names records;
    for (char c : {'A', 'B', 'C', 'D', 'E'}) {  // 1024 bytes after A: at the limit, not past it
        records.push_back(string(400, c));
        dbq_test::enqueue(queue, records.back());
        EXPECT_EQ(entries(spool).size(), c < 'C' ? 1u : c < 'E' ? 2u : 3u) << c;
    }
    EXPECT_EQ(dbq_test::drain(queue), records) << "mode 2 truncates no later member";
    // A corrupt last block fails only its own record; the totals follow the file.
    fs::remove_all(spool);
    makeSpool({{0, {"good", "bad"}}});
    file = readFile(member(0));
    file[2 * 512 + 42] ^= 0x20;
    writeFile(member(0), file);
    openSmall(queue);
    EXPECT_EQ(take(queue, 2), "good");
    string error = thrown([&] { queue.dequeue(); });
    EXPECT_EQ(error.rfind("FatalError 2 Data block '2' checksum mismatch", 0), 0u) << error;
    EXPECT_EQ(totals(queue), onDisk());
    EXPECT_EQ(queue.count(), 1);
    // Empty and missing members at the head: skipped, or kept when the next cannot be opened.
    fs::remove_all(spool);
    makeSpool({{3, {}}, {5, {"five"}}});
    openSmall(queue, 0);
    EXPECT_EQ(take(queue, 0), "") << "member 4 cannot be opened read-only";
    EXPECT_TRUE(logged("small: DBQC dequeue failed to open " + member(4) +
                       ". Error: 2. Please recover the machine and restart the process."));
    EXPECT_EQ(entries(spool), (Names{"3", "5"}));
    openSmall(queue);
    EXPECT_EQ(take(queue, 1), "five");
    EXPECT_EQ(entries(spool), Names{"5"});
}

// The command's end-to-end runs, in a namespace with a private rsyslogd.
const string VAR = "/var/vantrelaud/", SPOOL = VAR + "spool-atdbqc/";
const string CONF = "/etc/vantrelaud/vantrelaud.conf", NONE = "Database files don't exist.\n";
const string DUMPER = vfw_test::selfPath().substr(0, vfw_test::selfPath().rfind("/tests/")) +
                      "/tools/vaudumpat/vaudumpat";
const string FAILED = "The auditing service failed to dump the following audit trails: \"";
using Result = std::tuple<string, string, int>;  // stdout, stderr, exit status
pid_t g_pid;                                     // of the last run
// Runs vaudumpat with `args` (shell words), as user 65534 when `nobody` (whose profile data in
// a coverage build goes to a directory that user may write).
Result run(const string& args = "", bool nobody = false) {
    vfw_test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    string user = "env GCOV_PREFIX=. setpriv --reuid=65534 --regid=65534 --clear-groups ";
    int status = std::system(("cd " + dir.path() + " && echo $$ >pid && exec " +
                              (nobody ? user : "") + DUMPER + args + " >out 2>err")
                                 .c_str());
    g_pid = std::stoi(readFile(dir.file("pid")));
    return {readFile(dir.file("out")), readFile(dir.file("err")),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}
Result failure(const string& out, const string& message) {
    return {out, FAILED + message + "\".\n", 2};
}

NS_TEST(VaudumpatTest, TheSpoolIsDumpedByteForByteOrTheFailureReportedAndRecorded) {
    vfw_test::SyslogDaemon daemon;
    vfw_test::Sandbox var("/var/vantrelaud"), etc("/etc/vantrelaud");
    size_t seen = 0;
    auto records = [&] {  // those that reached the daemon since the last call
        std::vector<vfw_test::SyslogMessage> all = daemon.sync();
        Names texts;
        for (size_t i = seen; i < all.size(); ++i)
            texts.push_back(std::to_string(all[i].priority) + " " + all[i].tag + " " + all[i].text);
        seen = all.size();
        return texts;
    };
    EXPECT_EQ(run(), Result(NONE, "", 0)) << "no spool";
    ASSERT_EQ(::mkdir(SPOOL.c_str(), 0700) + ::mkdir((VAR + "other").c_str(), 0700), 0);
    EXPECT_EQ(run(), Result(NONE, "", 0)) << "an empty spool";
    writeMember(SPOOL + "10", {"record of file ten"});
    writeMember(SPOOL + "2", {"record of file two", string(1000, 'w')});
    std::map<string, string> before = snapshot(SPOOL);
    string dump = dumpOf(SPOOL + "2") + dumpOf(SPOOL + "10");
    EXPECT_EQ(run(), Result(dump, "", 0));
    EXPECT_EQ(snapshot(SPOOL), before) << "nothing written";
    for (const auto& [make, problem] :
         std::map<string, string>{{"touch 12abc", "No such file or directory"},
                                  {"mkdir 12", "it is a directory"},
                                  {"mkfifo 12", "it is a FIFO"},
                                  {"mknod -m 600 12 c 1 3", "it is a device"}}) {
        ASSERT_EQ(std::system(("cd " + SPOOL + " && " + make).c_str()), 0);
        EXPECT_EQ(run(), failure(dump, "Queue file " + SPOOL + "12 cannot be opened: " + problem))
            << make;
        ASSERT_EQ(std::system(("rm -rf " + SPOOL + "12*").c_str()), 0);
    }
    EXPECT_EQ(run(" a b", true),
              Result("", "You must have root-level access to dump a local audit trail event.\n", 1))
        << "the root check comes first";
    for (const char* args : {" --help x", " ''"})  // any argument, even an empty one
        EXPECT_EQ(run(args), Result("", "Usage: " + DUMPER + "\n", 2)) << args;
    writeMember(VAR + "other/3", {"in the other spool"});
    writeMember(VAR + "1", {"beside the spools"});
    writeFile(CONF, "# the spool\nVAUD.AT.SPOOL: other\n");
    EXPECT_EQ(run(), Result(dumpOf(VAR + "other/3"), "", 0));
    writeFile(CONF, "vaud.at.spool:\n");
    EXPECT_EQ(run(), Result(dump, "", 0)) << "an empty name means the default";

    // A member left by a crash: nothing dumped, the failure reported and recorded once.
    fs::remove(CONF);
    string crashed = crashedMember(SPOOL + "11");
    records();
    EXPECT_EQ(run(), failure("", NOT_CLEAN)) << "the open checks every member first";
    EXPECT_EQ(readFile(SPOOL + "11"), crashed);
    auto tag = [] { return " vaudumpat[" + std::to_string(g_pid) + "] "; };
    Names texts = records();
    ASSERT_EQ(texts.size(), 3u) << "the load, the member's own record, the failure";
    EXPECT_EQ(texts[0], "38" + tag() + "INFO  util.properties Error in parsing " + CONF +
                            " because file does not exist.");
    EXPECT_EQ(texts[2],
              "35" + tag() + "ERROR vau.cli.vaudumpat Failed to dump audit trails: " + NOT_CLEAN);
    writeFile(CONF, "log.vau.cli: INFO\nlog.vau.cli.vaudumpat: DISABLED\n");
    EXPECT_EQ(run(), failure("", NOT_CLEAN)) << "standard error still says it";
    EXPECT_EQ(records().size(), 1u) << "only the member's own record";

    // A corrupt block: the dump up to it, its message on standard error and in the record,
    // which carries its location and the configured facility.
    writeFile(CONF, "logger.showmore: 7\nlogger.facility.*: local3\n");
    fs::remove(SPOOL + "11");
    writeMember(SPOOL + "11", {"before the damage", string(600, 'd'), "after"});
    string file = readFile(SPOOL + "11");
    file[3 * 512 + 142] ^= 1;  // block 3, the second part of the second record
    writeFile(SPOOL + "11", file);
    string error, partial = printed(
                      [&] { vfw::DBQSingle(SPOOL + "11", 0, 512, 0600, 0).dump(true); }, &error);
    const string fatal = "FatalError 2 ", message = error.substr(fatal.size());
    EXPECT_EQ(error.rfind(fatal + "Data block '3' checksum mismatch: the calculated", 0), 0u)
        << error;
    EXPECT_EQ(run(), failure(dump + partial, message));
    EXPECT_EQ(
        records(),
        Names{"155" + tag() +
              "ERROR vau.cli.vaudumpat \"vaudumpat:70:main2()\" Failed to dump audit trails: " +
              message});

    // A mount point cannot be renamed: the queue's failed move of a damaged spool is thrown.
    dbq_test::LogCapture log;
    string moving = VAR + "moving";
    Queue queue(moving, 1, 512, 0600);
    ASSERT_EQ(::mount(moving.c_str(), moving.c_str(), nullptr, MS_BIND, nullptr), 0);
    EXPECT_EQ(thrown([&] { queue.handleException(ioFailure()); }),
              "IO 16 Unable to move corrupt " + moving +
                  " out of the way: Device or resource busy (error: 16).");
    EXPECT_EQ(entries(moving), Names{"0"});
    EXPECT_FALSE(queue.isOpen());
    ::umount2(moving.c_str(), MNT_DETACH);
}

}  // namespace
