// vaudbq run as a command: check on every kind of damaged file, salvage around a damaged
// block, stats, dump against the queue's own dump, and bad input, a user who may not read, a
// full file system; the spool is never written.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <tuple>

#include "support/dbq_images.h"
#include "support/dbq_test_util.h"
#include "support/sandbox.h"
#include "vfw/dbq_composite.h"

namespace {

using std::string;
using Names = std::vector<string>;
using Result = std::tuple<string, string, int>;  // stdout, stderr, exit status
using dbq_images::Data;
using vfw_test::readFile;
using vfw_test::writeFile;
namespace fs = std::filesystem;

const string TOOL =
    vfw_test::selfPath().substr(0, vfw_test::selfPath().rfind("/tests/")) + "/tools/vaudbq/vaudbq";

// Runs vaudbq with `args` (shell words), as user 65534 when `nobody`.
Result run(const string& args, bool nobody = false) {
    vfw_test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    const string user = "env GCOV_PREFIX=. setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const int status = std::system(("cd " + dir.path() + " && exec " + (nobody ? user : "") + TOOL +
                                    " " + args + " >out 2>err </dev/null")
                                       .c_str());
    return {readFile(dir.file("out")), readFile(dir.file("err")),
            WIFEXITED(status) ? WEXITSTATUS(status) : 128};
}

std::map<string, string> snapshot(const string& directory) {
    std::map<string, string> files;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        files[entry.path()] = entry.is_regular_file() ? readFile(entry.path()) : "";
    return files;
}

// Record A (600 bytes) in blocks 1 and 2, B (470) in 3, the free list 4 -> 5.
struct Layout {
    dbq_images::Master m{1, 3, 4, 5, 0, 2, 1070};
    std::vector<Data> b = {{1, 2, 600, true, false, 0, 0, string(470, 'a')},
                           {2, 3, 600, false, false, 0, 1, string(130, 'a')},
                           {3, 0, 470, false, false, 0, 0, string(470, 'b')},
                           {4, 5, 0, false, true},
                           {5, 0, 4, false, true}};
    string image() const {
        string file = dbq_images::masterImage(m);
        for (const Data& d : b)
            file += dbq_images::dataImage(d);
        return file;
    }
};

// Each case's file, from the sound layout; the expected lines are in tests/data/vaudbq_check.
const std::vector<std::pair<string, std::function<string(Layout)>>> CHECK_CASES = {
    {"clean", [](Layout l) { return l.image(); }},
    {"orphan",
     [](Layout l) {
         return l.b.push_back({6, 0, 3}), l.image();
     }},
    {"tail", [](Layout l) { return l.m.tail = 1, l.image(); }},
    {"freeTail", [](Layout l) { return l.m.freeTail = 4, l.image(); }},
    {"count", [](Layout l) { return l.m.count = 5, l.image(); }},
    {"dataSize", [](Layout l) { return l.m.dataSize = 9, l.image(); }},
    {"freeClaimsUsed", [](Layout l) { return l.b[4].free = false, l.image(); }},
    {"previous", [](Layout l) { return l.b[4].sizeOrPrevious = 1, l.image(); }},
    {"loop", [](Layout l) { return l.b[2].next = 1, l.image(); }},
    {"bothLists", [](Layout l) { return l.m.freeHead = 3, l.image(); }},
    {"type", [](Layout l) { return l.b[2].basic = true, l.image(); }},
    {"blockCount",
     [](Layout l) { return l.b[0].sizeOrPrevious = l.b[1].sizeOrPrevious = 1000, l.image(); }},
    {"spanSeq", [](Layout l) { return l.b[0].spanSeq = 1, l.image(); }},
    {"checksum", [](Layout l) { return l.image().replace(3 * 512 + 99, 1, "c"); }},
    {"masterMagic", [](Layout l) { return l.image().replace(38, 1, "X"); }},
    {"short", [](Layout) { return string(); }},
    {"unclean", [](Layout l) { return l.m.operation = 1, l.image(); }},
};

// Every line of `lines` after `prefix`.
string prefixed(const string& prefix, const string& lines) {
    string out;
    for (size_t begin = 0, end; begin < lines.size(); begin = end + 1) {
        end = lines.find('\n', begin);
        out += prefix + lines.substr(begin, end + 1 - begin);
    }
    return out;
}

int statusOfLastGrade(const string& lines) {
    const int grade = lines[lines.rfind("grade ") + 6] - '0';
    return grade == 4 ? 5 : grade == 3 ? 4 : grade == 2 ? 3 : 0;
}

TEST(VaudbqCheck, EveryDamagedFileGivesItsFindingsGradeAndStatus) {
    std::map<string, string> lines;  // after "PATH: "
    for (const auto& row : vfw_test::table("vaudbq_check"))
        lines[row.at(0)] += row.at(1) + "\n";
    vfw_test::TempDir dir;
    for (const auto& [name, make] : CHECK_CASES) {
        const string path = dir.file(name);
        writeFile(path, make(Layout()));
        ::chmod(path.c_str(), 0640);  // the queue's own open of an empty file would set it
        const string file = readFile(path);
        ASSERT_TRUE(lines.count(name)) << name;
        const string expected = prefixed(path + ": ", lines[name]);
        EXPECT_EQ(run("check " + path), Result(expected, "", statusOfLastGrade(expected))) << name;
        EXPECT_EQ(readFile(path), file) << name;
        EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640)) << name;
    }
    // A spool: its files in number order, the worst status; quietly only the status.
    const string spool = dir.file("spool");
    fs::create_directory(spool);
    fs::copy(dir.file("orphan"), spool + "/10");
    fs::copy(dir.file("clean"), spool + "/9");
    fs::copy(dir.file("clean"), spool + "/9x");  // member 9 again: checked once
    EXPECT_EQ(run("check " + spool), Result(prefixed(spool + "/9: ", lines["clean"]) +
                                                prefixed(spool + "/10: ", lines["orphan"]),
                                            "", 3));
    EXPECT_EQ(run("-q check " + spool), Result("", "", 3));
}

// Records of sizes around the block capacity (470 bytes), several members.
Names writeSpool(const string& spool, size_t records = 24) {
    vfw::DBQComposite queue(512);
    queue.setMaxSize(4096);
    EXPECT_TRUE(queue.open(spool, 1, 0600, true, "test"));
    Names written;
    for (size_t i = 0; i < records; ++i) {
        written.push_back(dbq_images::pattern(1 + (i * 397) % 1500, unsigned(i)));
        dbq_test::enqueue(queue, written.back());
    }
    return written;
}

string lengthPrefixed(const Names& records) {
    string out;
    for (const string& r : records) {
        out += string(4, '\0') + r;
        dbq_images::be32(out, out.size() - r.size() - 4, uint32_t(r.size()));
    }
    return out;
}

// The id of the block of `file` at span sequence `seq` of the record of `size` bytes, or 0.
size_t blockOf(const string& file, size_t size, uint32_t seq) {
    for (size_t id = 1; id * 512 < file.size(); ++id)
        if (dbq_images::readBe32(file, id * 512 + 9) == size &&
            dbq_images::readBe32(file, id * 512 + 34) == seq)
            return id;
    return 0;
}

TEST(VaudbqSalvage, EveryRecordOutsideTheDamagedChainComesBackByteForByte) {
    vfw_test::TempDir dir;
    const string spool = dir.file("spool"), out = dir.file("out");
    Names records = writeSpool(spool);
    const long members = std::distance(fs::directory_iterator(spool), {});
    ASSERT_GE(members, 3);
    // Damage the middle block of a three-block record in member 1; the master block of member 2.
    const string member = spool + "/1", other = spool + "/2";
    string file = readFile(member);
    size_t damaged = 0;  // a record of three blocks or more followed by one in the same file
    while (damaged + 1 < records.size() &&
           !(records[damaged].size() > 940 && blockOf(file, records[damaged].size(), 1) &&
             blockOf(file, records[damaged + 1].size(), 0)))
        ++damaged;
    ASSERT_LT(damaged + 1, records.size());
    const size_t id = blockOf(file, records[damaged].size(), 1), at = id * 512 + 42 + 7;
    const uint32_t recorded = dbq_images::readBe32(file, id * 512 + 18);
    file[at] = char(file[at] ^ 0x10);
    const uint32_t computed = dbq_images::byteSum(file, id * 512 + 42, id * 512 + 512);
    const size_t next = blockOf(file, records[damaged + 1].size(), 0);
    writeFile(member, file);
    string master = readFile(other);
    master[100] = 'x';
    writeFile(other, master);
    const auto before = snapshot(spool);
    auto hex = [](uint32_t v) {
        char text[16];
        return string(text, size_t(std::snprintf(text, sizeof text, "0x%x", v)));
    };
    const string skipped = "vaudbq: " + member + ": record skipped: block " + std::to_string(id) +
                           " has a wrong checksum (recorded " + hex(recorded) + ", computed " +
                           hex(computed) + ")\nvaudbq: " + member + ": resynchronised at block " +
                           std::to_string(next) + "\n";
    const string scanned =
        "vaudbq: " + other + ": the master block's checksum is wrong (recorded " +
        hex(dbq_images::readBe32(master, 42)) + ", computed " +
        hex(dbq_images::byteSum(master, 62, 512)) +
        "); looking for records block by block\nvaudbq: " + other + ": resynchronised at block 1\n";
    const string summary = "salvaged " + std::to_string(records.size() - 1) + " records from " +
                           std::to_string(members) + " queue files into " + out + "\n";
    EXPECT_EQ(run("salvage " + spool + " " + out), Result(summary, skipped + scanned, 5));
    records.erase(records.begin() + long(damaged));
    EXPECT_EQ(readFile(out), lengthPrefixed(records));
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0600));
    // The same as one file per record; an existing DEST only when asked.
    EXPECT_EQ(run("salvage " + spool + " " + out),
              Result("", "vaudbq: " + out + ": exists; give --force to replace it\n", 2));
    const string split = dir.file("split");
    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(std::get<2>(run("salvage --split -f " + spool + " " + split)), 5);
    Names files;
    for (size_t i = 1; i <= records.size(); ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "/%08zu", i);
        files.push_back(readFile(split + name));
    }
    EXPECT_EQ(files, records);
    EXPECT_EQ(std::distance(fs::directory_iterator(split), {}), long(records.size()));
    EXPECT_TRUE(snapshot(spool) == before) << "nothing written into the spool";
}

TEST(VaudbqStats, FiguresAsTextAndJson) {
    vfw_test::TempDir dir;
    const string spool = dir.file("spool");
    const time_t from = ::time(nullptr);
    Names records = writeSpool(spool, 10);
    {
        vfw::DBQComposite queue(spool, 1, 512, 0600);
        queue.dequeue();
    }
    size_t freeBlocks = 0;  // blocks whose free flag is set
    for (const auto& entry : fs::directory_iterator(spool)) {
        const string file = readFile(entry.path());
        for (size_t at = 512 + 13; at < file.size(); at += 512)
            freeBlocks += (file[at] & 2) != 0;
    }
    const time_t to = ::time(nullptr);
    uint64_t bytes = 0;
    for (size_t i = 1; i < records.size(); ++i)
        bytes += records[i].size();
    const size_t members = std::distance(fs::directory_iterator(spool), {});
    const auto [out, err, status] = run("stats --json " + spool);
    std::smatch times;
    ASSERT_TRUE(std::regex_match(
        out, times, std::regex(R"(.*"oldest_block_time":(\d+),"newest_block_time":(\d+)\}\n)")))
        << out;
    for (size_t i = 1; i <= 2; ++i)
        EXPECT_TRUE(std::stol(times[i]) >= from && std::stol(times[i]) <= to) << out;
    EXPECT_EQ(out.substr(0, out.find(",\"oldest")),
              "{\"path\":\"" + spool + "\",\"members\":" + std::to_string(members) +
                  ",\"unreadable_members\":0,\"records\":9,\"bytes\":" + std::to_string(bytes) +
                  ",\"free_blocks\":" + std::to_string(freeBlocks));
    EXPECT_EQ(err + std::to_string(status), "0");
    writeFile(spool + "/77", "");
    const auto [text, complaint, code] = run("stats " + spool + "/");
    EXPECT_EQ(text.substr(0, text.find("oldest")),
              "path: " + spool + "/\nmembers: " + std::to_string(members + 1) +
                  "\nunreadable members: 1\nrecords: 9\nbytes: " + std::to_string(bytes) +
                  "\nfree blocks: " + std::to_string(freeBlocks) + "\n");
    EXPECT_EQ(complaint + std::to_string(code),
              "vaudbq: " + spool + "//77: holds 0 bytes, less than one block: not a queue file\n5");
}

// What the queue itself writes to standard output for `body`.
template <class F>
string coutOf(F body) {
    std::ostringstream text;
    std::streambuf* saved = std::cout.rdbuf(text.rdbuf());
    body();
    std::cout.rdbuf(saved);
    return text.str();
}

TEST(VaudbqDump, TheQueuesOwnDumpsOfASpoolAndOfOneFile) {
    vfw_test::TempDir dir;
    const string spool = dir.file("spool");
    writeSpool(spool, 8);
    const string whole = coutOf([&] { vfw::DBQComposite(spool, 0, 512, 0600).dump(true); });
    const string one = coutOf([&] { vfw::DBQSingle(spool + "/1", 0, 512, 0600, 0).dump(true); });
    const string raw = coutOf([&] { vfw::DBQSingle::dumpRawFile(spool + "/1"); });
    EXPECT_EQ(run("dump " + spool), Result(whole, "", 0));
    EXPECT_EQ(run("dump " + spool + "/1"), Result(one, "", 0));
    EXPECT_EQ(run("raw " + spool + "/1"), Result(raw, "*** Counts match!! ***\n", 0));
    EXPECT_EQ(std::get<0>(run("accounting " + spool + "/1"))
                  .rfind("queue file " + spool + "/1\nDB accounting  empty: 0 count: ", 0),
              0u);
    EXPECT_EQ(run("-q dump " + spool), Result("", "", 0));
}

TEST(VaudbqUsage, BadInputGetsOneLineAndItsStatus) {
    vfw_test::TempDir dir;
    const string spool = dir.file("spool"), d = dir.path();
    writeSpool(spool, 4);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600) + ::mkfifo((spool + "/3").c_str(), 0600), 0);
    writeFile(d + "/secret", readFile(spool + "/0"));
    ::chmod((d + "/secret").c_str(), 0600);
    ::chmod(d.c_str(), 0755);
    auto before = snapshot(spool);
    const string again = " (try 'vaudbq --help')\n";
    const std::vector<std::tuple<string, string, int>> cases = {
        {"", "no subcommand given" + again, 1},
        {"frob " + spool, "unknown subcommand 'frob'" + again, 1},
        {"--frob check " + spool, "unknown option '--frob'" + again, 1},
        {"check", "check needs a PATH" + again, 1},
        {"check " + spool + " extra", "unexpected argument 'extra'" + again, 1},
        {"salvage " + spool, "salvage needs a DEST" + again, 1},
        {"--json check " + spool, "--json applies to stats only" + again, 1},
        {"--split dump " + spool, "--split applies to salvage only" + again, 1},
        {"check " + d + "/missing", d + "/missing: cannot examine: No such file or directory\n", 2},
        {"raw " + d + "/fifo", d + "/fifo: neither a spool directory nor a queue file (a FIFO)\n",
         2},
        {"dump " + spool, spool + "/3: cannot open: it is a FIFO\n", 2},
        {"salvage " + spool + " " + spool + "/x",
         spool + "/x: lies inside the spool " + spool + ", into which salvage never writes\n", 2},
        {"salvage " + spool + "/0 " + d + "/fifo",
         d + "/fifo: exists; give --force to replace it\n", 2},
        {"salvage -f " + spool + "/0 " + d + "/fifo",
         d + "/fifo: exists and is not a regular file; it is not replaced\n", 2},
        {"salvage " + spool + "/0 " + d + "/no/out",
         d + "/no/out: cannot be created: No such file or directory\n", 2},
    };
    for (const auto& [args, message, status] : cases)
        EXPECT_EQ(run(args), Result("", "vaudbq: " + message, status)) << args;
    fs::remove(spool + "/3");
    fs::create_directory(spool + "/3");
    const auto [out, err, status] = run("accounting " + spool);
    EXPECT_EQ(err + std::to_string(status),
              "vaudbq: " + spool + "/3: cannot open: it is a directory, not a queue file\n2");
    EXPECT_NE(out.find("queue file " + spool + "/0\n"), string::npos) << "the others still";
    EXPECT_EQ(run("stats " + d + "/secret", true),
              Result("", "vaudbq: " + d + "/secret: cannot open: Permission denied\n", 2));
    EXPECT_EQ(std::get<1>(run("check " + d + "/secret", true)),
              "vaudbq: " + d + "/secret: cannot open: Permission denied\n");
    const auto [help, none, zero] = run("check --help x y");
    EXPECT_EQ(help.rfind("Usage: vaudbq [options] SUBCOMMAND PATH [DEST]\n", 0), 0u);
    EXPECT_EQ(none + std::to_string(zero), "0");
    EXPECT_EQ(run("--version"), Result("vaudbq 1.0\n", "", 0));
    const int full =
        std::system((TOOL + " stats " + spool + "/0 >/dev/full 2>" + d + "/err").c_str());
    EXPECT_EQ(readFile(d + "/err") + std::to_string(WEXITSTATUS(full)),
              "vaudbq: standard output: No space left on device\n2");
    fs::remove(spool + "/3");
    before.erase(spool + "/3");
    EXPECT_TRUE(snapshot(spool) == before) << "nothing written into the spool";
}

// A full file system under DEST: one line, status 2, nothing left behind.
NS_TEST(VaudbqSalvageNs, FullFileSystemLeavesNoPartialOutput) {
    vfw_test::TempDir dir;
    const string spool = dir.file("spool"), small = dir.file("small");
    writeSpool(spool, 60);
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k"), 0);
    const auto before = snapshot(spool);
    for (const char* split : {"", "--split "})
        EXPECT_EQ(run("salvage " + string(split) + spool + " " + small + "/out"),
                  Result("",
                         "vaudbq: " + small +
                             "/out: cannot be written: No space left on device; the partial "
                             "output was removed\n",
                         2))
            << split;
    EXPECT_EQ(std::distance(fs::directory_iterator(small), {}), 0);
    EXPECT_TRUE(snapshot(spool) == before);
    ::umount2(small.c_str(), MNT_DETACH);
}

}  // namespace
