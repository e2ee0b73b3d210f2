// Takes arbitrary bytes as a queue file and inspects it every way an administrator can: dump
// with payloads, dumpAccounting and checkQueue through a read-only queue, and dumpRawFile; on
// a share of the inputs also dump without payloads and checkQueue through a queue open for
// writing (whose reads come from a memory mapping). The inspections must end normally or with a
// framework exception, never crash, read out of bounds or run long.
//
// Standard output goes to /dev/null for the whole run, and std::cerr (the raw dump's counts
// verdict) into a buffer that discards it; descriptor 2 stays, so that libFuzzer and the
// sanitizers can still report. Logging is off. dump() follows a chain for at most 64 blocks
// instead of a million, so that an input whose chain loops costs no more than one that does
// not; every other inspection visits each block of the file at most a fixed number of times,
// so the input's size bounds the work.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "vfw/dbq.h"
#include "vfw/dbq_seam.h"
#include "vfw/log.h"

namespace {

class DiscardBuffer : public std::streambuf {
  protected:
    int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

DiscardBuffer g_discard;
std::ostream g_discarded(&g_discard);
std::string g_dir;
std::string g_path;

void removeScratch() {
    ::unlink(g_path.c_str());
    ::rmdir(g_dir.c_str());
}

bool writeInput(const uint8_t* data, size_t size) {
    int fd = ::open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < size) {
        ssize_t written = ::write(fd, data + done, size - done);
        if (written <= 0) {
            break;
        }
        done += size_t(written);
    }
    ::close(fd);
    return done == size;
}

// Opens the file with a fresh queue object (a failed read leaves a queue's stream failed for
// good, so each inspection gets its own), without the clean-shutdown check, and inspects it.
template <class Inspection>
void inspect(int32_t openMode, Inspection inspection) {
    try {
        vfw::DBQSingle queue(512);
        if (queue.open(g_path, openMode, 0600, false, "fuzz")) {
            inspection(queue);
        }
    } catch (const VFWException&) {
        // The specified end of an inspection of a damaged file.
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(null, 1) < 0) {
        std::perror("dbq_fuzz: /dev/null");
        std::abort();
    }
    ::close(null);
    std::cerr.rdbuf(&g_discard);
    vfw::getLogger("")->setLevel(vfw::LEVEL_DISABLED);
    vfw::getLogger("")->setMemoryLevel(vfw::LEVEL_DISABLED);
    vfw::seam::setDumpEntryLimit(64);
    // In memory when the machine has /dev/shm: the file is rewritten for every input.
    std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    pattern += "/dbq-fuzz-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        std::perror("dbq_fuzz: mkdtemp");
        std::abort();
    }
    g_dir = pattern;
    g_path = g_dir + "/queue";
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!writeInput(data, size)) {
        return 0;
    }
    inspect(0, [](vfw::DBQSingle& q) { q.dump(true); });
    inspect(0, [](vfw::DBQSingle& q) { q.dumpAccounting(); });
    inspect(0, [](vfw::DBQSingle& q) { q.checkQueue(true, "fuzz: ", g_discarded); });
    try {
        vfw::DBQSingle::dumpRawFile(g_path);
    } catch (const VFWException&) {
        // An unreadable block 0.
    }
    // Two more inspections, each on a share of the inputs, chosen by the input's size (which
    // the fuzzer varies freely): the dump without payloads, and the check through a queue
    // open for writing, which reads from a memory mapping and formats an empty file.
    if (size % 2 == 1) {
        inspect(0, [](vfw::DBQSingle& q) { q.dump(false); });
    }
    if (size % 4 == 2) {
        inspect(1, [](vfw::DBQSingle& q) { q.checkQueue(); });
    }
    return 0;
}
