// Pieces the files of the run-queue module share; not for use outside it.
#ifndef VFW_RUNQUEUE_INTERNAL_H
#define VFW_RUNQUEUE_INTERNAL_H

#include "vfw/log.h"

namespace vfw {

// The logger every record of the module goes to: "util.runqueue".
Logger queueLogger();

}  // namespace vfw

#endif
