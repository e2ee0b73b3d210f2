// The subcommands that hand each queue file to the queue's own inspections: check (the graded
// integrity check), raw (the raw dump), accounting (one line per block) and dump (the text
// vaudumpat writes). Files are opened read-only; the queue reads them without mapping them.
#include <boost/shared_ptr.hpp>

#include <functional>
#include <iostream>

#include "tool.h"
#include "vfw/dbq.h"
#include "vfw/dbq_composite.h"

namespace vaudbq {

namespace {

const int32_t kBlockSize = 512;
const int32_t kFileMode = 0600;

// Runs `inspect` on every file of the target in file-number order; a file that cannot be
// inspected is reported and the others still are.
int eachFile(const Target& target, const std::function<int(const QueueFileRef&)>& inspect) {
    if (target.files.empty()) {
        std::cout << target.path << ": the spool holds no queue files\n";
        return OK;
    }
    int status = OK;
    for (const QueueFileRef& file : target.files) {
        try {
            status = worse(status, inspect(file));
        } catch (const Failure& e) {
            std::cout.flush();
            complain(e.what());
            status = worse(status, e.status());
        }
    }
    return status;
}

// Opens `queue` on `path` read-only, leniently: a file whose update was interrupted is still
// opened (inspections are what such a file needs).
void openLenient(vfw::DBQSingle& queue, const std::string& path) {
    if (!queue.open(path, 0, kFileMode, false, "")) {
        throw Failure(ERROR, path + ": cannot be opened as a queue file");
    }
}

// The check of one file, each line starting with its path; the last line gives the grade.
int checkFile(const QueueFileRef& file) {
    const std::string prefix = file.path + ": ";
    uint32_t grade = 0;
    FileStamp stamp;
    try {
        stamp = checkReadable(file.path);
        vfw::DBQSingle queue(kBlockSize);
        openLenient(queue, file.path);
        if (queue.isUncleanShutdown() != 0) {
            std::cout << prefix
                      << "An update was in progress: the file was not shut down cleanly, or it "
                         "is being written.\n";
        }
        grade = queue.checkQueue(true, prefix, std::cout);
    } catch (const Failure& e) {
        if (e.status() != DAMAGE) {
            throw;
        }
        std::cout << e.what() << '\n';
        grade = 4;
    } catch (const vfw::Base_Exception& e) {
        std::cout << prefix << "A block cannot be read: " << e.what()
                  << "; the check stops here.\n";
        grade = 4;
    }
    std::cout << prefix << "grade " << grade << '\n';
    if (stamp.size >= 0) {
        noteChange(file.path, stamp);
    }
    return statusOfGrade(grade);
}

// A failure of the queue's reading of `path`: damage for a corrupt block, else an error.
[[noreturn]] void rethrowAsFailure(const std::string& path) {
    try {
        throw;
    } catch (const vfw::FatalErrorException& e) {
        throw Failure(DAMAGE, path + ": " + e.what());
    } catch (const vfw::Base_Exception& e) {
        throw Failure(ERROR, path + ": " + e.what());
    }
}

}  // namespace

int runCheck(const Options&, const Target& target) {
    return eachFile(target, checkFile);
}

int runRaw(const Options&, const Target& target) {
    return eachFile(target, [](const QueueFileRef& file) {
        const FileStamp stamp = checkReadable(file.path);
        try {
            vfw::DBQSingle::dumpRawFile(file.path);
        } catch (const vfw::Base_Exception&) {
            rethrowAsFailure(file.path);
        }
        noteChange(file.path, stamp);
        return OK;
    });
}

int runAccounting(const Options&, const Target& target) {
    return eachFile(target, [](const QueueFileRef& file) {
        const FileStamp stamp = checkReadable(file.path);
        std::cout << "queue file " << file.path << '\n';
        try {
            vfw::DBQSingle queue(kBlockSize);
            openLenient(queue, file.path);
            queue.dumpAccounting();
        } catch (const vfw::Base_Exception&) {
            rethrowAsFailure(file.path);
        }
        noteChange(file.path, stamp);
        return OK;
    });
}

// The spool's dump is the composite's, as vaudumpat writes it; every member is checked first,
// so that none is handed to the queue that could not be read (an empty file, for one, would
// be initialised rather than read) and a failure leaves nothing half dumped.
int runDump(const Options&, const Target& target) {
    std::vector<FileStamp> stamps;
    for (const QueueFileRef& file : target.files) {
        stamps.push_back(checkReadable(file.path));
    }
    try {
        if (target.spool) {
            boost::shared_ptr<vfw::DBQComposite> queue(
                new vfw::DBQComposite(target.path, 0, kBlockSize, kFileMode));
            queue->dump(true);
        } else {
            vfw::DBQSingle queue(target.path, 0, kBlockSize, kFileMode, 0);
            if (!queue.isOpen()) {
                throw Failure(ERROR, target.path + ": cannot be opened as a queue file");
            }
            queue.dump(true);
        }
    } catch (const vfw::Base_Exception&) {
        std::cout.flush();
        rethrowAsFailure(target.path);
    }
    for (size_t i = 0; i < stamps.size(); ++i) {
        noteChange(target.files[i].path, stamps[i]);
    }
    return OK;
}

}  // namespace vaudbq
