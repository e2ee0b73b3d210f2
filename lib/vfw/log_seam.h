// What the tests reach inside the logging module: the prefix that starts every record of the
// log file and of the in-memory ring buffer. The module's own files share it through
// log/log_internal.h, which includes this header.
#ifndef VFW_LOG_SEAM_H
#define VFW_LOG_SEAM_H

#include <cstddef>

namespace vfw {

// Writes "<prefix><local time %F %T %z> <short host name> <program>[<pid>]: " into buffer
// (NUL-terminated when size > 0) and returns the number of characters stored.
size_t formatRecordPrefix(char* buffer, size_t size, const char* prefix);

}  // namespace vfw

#endif
