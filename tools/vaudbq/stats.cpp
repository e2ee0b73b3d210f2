// vaudbq stats: the spool's figures, as text or as one JSON object for monitoring. Records and
// bytes are the master blocks' accounting (what the daemon's queue reports); free blocks and
// block times come from reading every block of every file.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "queue_file.h"
#include "tool.h"

namespace vaudbq {

namespace {

struct Figures {
    int64_t members = 0;
    int64_t unreadable = 0;  // members whose figures could not be had
    int64_t records = 0;
    uint64_t bytes = 0;
    int64_t freeBlocks = 0;
    bool timed = false;  // whether any block in use carries a time
    int32_t oldest = 0;
    int32_t newest = 0;
};

// Adds the figures of one file; nothing of a file that cannot be read to its end.
void addFile(const std::string& path, Figures& total) {
    Figures figures = total;
    QueueFile file(path);
    if (!file.masterProblem().empty()) {
        throw Failure(DAMAGE, path + ": " + file.masterProblem());
    }
    figures.records += file.master().getCount();
    figures.bytes += file.master().getDataSize();
    vfw::DataBlock block(file.blockSize());
    for (int64_t id = 1; id < file.blocks() && id <= INT32_MAX; ++id) {
        bool headerSound = false;
        file.read(int32_t(id), block, &headerSound);
        if (!headerSound) {
            continue;
        }
        if (block.isFree()) {
            ++figures.freeBlocks;
        } else if (block.isExtended()) {
            const int32_t time = block.getTime();
            figures.oldest = figures.timed && figures.oldest < time ? figures.oldest : time;
            figures.newest = figures.timed && figures.newest > time ? figures.newest : time;
            figures.timed = true;
        }
    }
    total = figures;
    noteChange(path, file.stamp());
}

// A JSON string: quotes, backslashes and control characters escaped; other bytes as they are.
std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string timeText(bool timed, int32_t seconds) {
    if (!timed) {
        return "none";
    }
    const time_t t = seconds;
    struct tm parts;
    char text[64];
    if (::gmtime_r(&t, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        return std::to_string(seconds);
    }
    return std::to_string(seconds) + " (" + text + ")";
}

void writeText(const std::string& path, const Figures& f) {
    std::cout << "path: " << path << "\nmembers: " << f.members
              << "\nunreadable members: " << f.unreadable << "\nrecords: " << f.records
              << "\nbytes: " << f.bytes << "\nfree blocks: " << f.freeBlocks
              << "\noldest block time: " << timeText(f.timed, f.oldest)
              << "\nnewest block time: " << timeText(f.timed, f.newest) << '\n';
}

void writeJson(const std::string& path, const Figures& f) {
    const std::string oldest = f.timed ? std::to_string(f.oldest) : "null";
    const std::string newest = f.timed ? std::to_string(f.newest) : "null";
    std::cout << "{\"path\":" << jsonString(path) << ",\"members\":" << f.members
              << ",\"unreadable_members\":" << f.unreadable << ",\"records\":" << f.records
              << ",\"bytes\":" << f.bytes << ",\"free_blocks\":" << f.freeBlocks
              << ",\"oldest_block_time\":" << oldest << ",\"newest_block_time\":" << newest
              << "}\n";
}

}  // namespace

// A spool's figures cover the members that could be read (the others are counted and named);
// a queue file that cannot be read has no figures.
int runStats(const Options& options, const Target& target) {
    Figures figures;
    int status = OK;
    for (const QueueFileRef& file : target.files) {
        ++figures.members;
        try {
            addFile(file.path, figures);
        } catch (const Failure& e) {
            if (!target.spool) {
                throw;
            }
            complain(e.what());
            ++figures.unreadable;
            status = worse(status, e.status());
        }
    }
    if (options.json) {
        writeJson(target.path, figures);
    } else {
        writeText(target.path, figures);
    }
    return status;
}

}  // namespace vaudbq
