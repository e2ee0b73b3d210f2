// vaudumpat: writes a dump of the local audit-trail spool to standard output.
//
// Run by root with no arguments, it opens the spool directory, "/var/vantrelaud/" followed by
// the property "vaud.at.spool" (default "spool-atdbqc"), read-only as a composite queue and
// dumps every queue file in it, in file-number order, with each block's payload. Everything
// the command itself says goes to standard error; only the dump goes to standard output.
//
// Exit status: 0 when the dump completed (also when there is no spool), 1 when the caller's
// real user id is not 0, 2 for any argument (usage) and when opening or dumping the spool
// failed; whatever was dumped before a failure stays on standard output.
#include <unistd.h>

#include <boost/shared_ptr.hpp>

#include <exception>
#include <iostream>
#include <string>

#include "vfw/dbq_composite.h"
#include "vfw/log.h"
#include "vfw/mutex.h"
#include "vfw/properties.h"

namespace {

const char kSpoolRoot[] = "/var/vantrelaud";
const char kSpoolProperty[] = "vaud.at.spool";
const char kDefaultSpool[] = "spool-atdbqc";

// The failure record has always named line 70 of main2; log monitoring matches records by
// their location, so the line stays fixed whatever the layout of this file.
const int kFailureRecordLine = 70;

// The spool directory's name from the configuration, the default when the key is missing
// or empty (an empty name would make the spool root itself the spool).
std::string spoolName(vfw::CProperties2& properties) {
    vfw::MutexLock lock(properties.mutex());
    std::string name;
    if (!properties.lookup(kSpoolProperty, name) || name.empty()) {
        return kDefaultSpool;
    }
    return name;
}

}  // namespace

int main2(int argc, char** argv) {
    vfw::Logger log = vfw::getLogger("vau.cli.vaudumpat");
    vfw::CProperties2* properties = vfw::CProperties2::instance();

    if (::getuid() != 0) {
        std::cerr << "You must have root-level access to dump a local audit trail event."
                  << std::endl;
        return 1;
    }
    if (argc >= 2) {
        std::cerr << "Usage: " << argv[0] << std::endl;
        return 2;
    }

    try {
        std::string spool = kSpoolRoot;
        spool += "/";
        spool += spoolName(*properties);
        boost::shared_ptr<vfw::DBQComposite> queue(new vfw::DBQComposite(spool, 0, 512, 0600));
        queue->dump(true);
        queue.reset();
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "The auditing service failed to dump the following audit trails: \""
                  << e.what() << "\"." << std::endl;
        if (log && log->isEnabled(vfw::LEVEL_ERROR)) {
            log->WriteMessage(vfw::LEVEL_ERROR, VFW_FILE, kFailureRecordLine, __func__,
                              "Failed to dump audit trails: %s", e.what());
        }
        return 2;
    }
}

int main(int argc, char** argv) {
    try {
        return main2(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "The following error has occurred: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "The following error has occurred: An unknown exception has occurred."
                  << std::endl;
    }
    return 2;
}
