// The construction record of the framework's exceptions: one DEBUG record on "util.except"
// naming the class, the message, the throw site and the return code.
#include "log_internal.h"
#include "vfw/error_util.h"
#include "vfw/log.h"

namespace vfw {

namespace {

// An exception thrown while its own record is being written (a failing lock, say) must not
// try to write another one.
thread_local bool t_recording = false;

class RecordingGuard {
  public:
    RecordingGuard() { t_recording = true; }
    ~RecordingGuard() { t_recording = false; }
};

void recordException(const char* className, const char* message, const char* file, int line,
                     int rc) {
    if (t_recording) {
        return;
    }
    RecordingGuard guard;
    Logger log = getLogger("util.except");
    if (log && log->isEnabled(LEVEL_DEBUG)) {
        // The record names the exception module as its source; it has no line of its own.
        log->WriteMessage(LEVEL_DEBUG, "error_util", 0, "Base_Exception",
                          "%s %s (reference %s:%d rc: %d)", className, message, file, line, rc);
    }
}

}  // namespace

void installExceptionRecorder() {
    setExceptionRecorder(recordException);
}

}  // namespace vfw
