// Included first by every source of the queue module. The queue's log records name "dbq" as
// their source file, whichever of the module's files they come from.
#ifndef VFW_DBQ_SOURCE_H
#define VFW_DBQ_SOURCE_H

#undef VFW_FILE
#define VFW_FILE "dbq"

#endif
