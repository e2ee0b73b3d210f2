// Named loggers arranged in a dotted tree, their levels and facilities, and the log call.
//
// Call sites hold a `Logger` (a shared handle; empty after shutdownLogging) and log through
// VFW_LOG / VFW_LOG_ERRNO, which test the handle and the level before any argument is built.
// Every project source is compiled with VFW_FILE set to its file name without extension,
// which is what records print as the source file.
#ifndef VFW_LOG_H
#define VFW_LOG_H

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <string>

namespace vfw {

enum LogLevel {
    LEVEL_TRACE = 0,
    LEVEL_DEBUG = 1,
    LEVEL_DIAG = 2,
    LEVEL_INFO = 3,
    LEVEL_WARN = 4,
    LEVEL_ERROR = 5,
    LEVEL_FATAL = 6,
    LEVEL_DISABLED = 7,
};

class NamedLogger {
  public:
    bool isEnabled(int level);
    void WriteMessage(int level, const char* file, int line, const char* function,
                      const char* format, ...) __attribute__((format(printf, 6, 7)));
    void WriteMessage(int level, int errnum, const char* file, int line, const char* function,
                      const char* format, ...) __attribute__((format(printf, 7, 8)));
};

using Logger = boost::shared_ptr<NamedLogger>;

Logger getLogger(const std::string& name);

}  // namespace vfw

#define VFW_LOG(logger, level, ...)                                                     \
    do {                                                                                \
        if ((logger) && (logger)->isEnabled(level)) {                                   \
            (logger)->WriteMessage((level), VFW_FILE, __LINE__, __func__, __VA_ARGS__); \
        }                                                                               \
    } while (0)

#define VFW_LOG_ERRNO(logger, level, errnum, ...)                                                 \
    do {                                                                                          \
        if ((logger) && (logger)->isEnabled(level)) {                                             \
            (logger)->WriteMessage((level), (errnum), VFW_FILE, __LINE__, __func__, __VA_ARGS__); \
        }                                                                                         \
    } while (0)

#endif
