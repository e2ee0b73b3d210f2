// make_sample_spool DIRECTORY: writes a small sample spool with the framework's composite
// queue, as the daemon would: several member files (a size limit of 2 KiB per member), text
// records, records that span several blocks, and binary records with NUL runs, control
// characters and bytes above 127. The six oldest records are then taken out again, so the
// first member is drained and removed and the next one has a block on its free list. Prints a
// one-line summary; exit status 1 on failure.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "vfw/dbq_composite.h"

namespace {

vfw::ByteArray toBytes(const std::string& record) {
    vfw::ByteArray bytes(new unsigned char[record.size()],
                         boost::checked_array_deleter<unsigned char>());
    record.copy(reinterpret_cast<char*>(bytes.get()), record.size());
    return bytes;
}

std::vector<std::string> sampleRecords() {
    std::vector<std::string> records;
    for (int i = 0; i < 6; ++i) {
        records.push_back("type=USER_LOGIN pid=" + std::to_string(4100 + i) +
                          " uid=0 auid=1000 ses=" + std::to_string(i + 1) +
                          " msg='op=login acct=\"alice\" exe=\"/usr/sbin/sshd\" res=success'\n");
    }
    std::string longText;
    for (int line = 0; longText.size() < 1200; ++line) {
        longText += "type=EXECVE argc=3 a0=\"/usr/bin/rsync\" a1=\"-a\" a2=\"/srv/data/part" +
                    std::to_string(line) + "\"\r\n";
    }
    records.push_back(longText);
    std::string binary("\xde\xad\xbe\xef\0\0\0\0\0\0uid\0\0\x03\xe8\x08\x08\r\n", 22);
    for (int i = 0; i < 16; ++i) {
        binary += char(0x80 + i);
    }
    binary += std::string(40, '\0') + "end";
    records.push_back(binary);
    std::string sparse(600, '\0');
    sparse.replace(0, 6, "sparse");
    sparse.replace(300, 6, "middle");
    sparse.replace(520, 4, "tail");
    records.push_back(sparse);
    records.push_back(std::string("header\0\0\0\0\0\0\0\0trailer", 21));
    for (int i = 0; i < 4; ++i) {
        records.push_back(
            "type=SYSCALL arch=c000003e syscall=59 success=yes exit=0 comm=\"cron\" n=" +
            std::to_string(i));
    }
    return records;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s DIRECTORY\n", argv[0]);
        return 1;
    }
    try {
        vfw::DBQComposite queue(512);
        queue.setMaxSize(2048);
        if (!queue.open(argv[1], 1, 0600, true, "sample")) {
            std::fprintf(stderr, "Cannot open a queue in %s\n", argv[1]);
            return 1;
        }
        for (const std::string& record : sampleRecords()) {
            queue.enqueue(toBytes(record), uint32_t(record.size()));
        }
        for (int i = 0; i < 6; ++i) {
            queue.dequeue();
        }
        std::printf("sample spool %s: %lld records in member files %lld to %lld\n", argv[1],
                    (long long)queue.count(), (long long)queue.getDequeueId(),
                    (long long)queue.getEnqueueId());
        queue.close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Cannot write the sample spool: %s\n", e.what());
        return 1;
    }
    return 0;
}
