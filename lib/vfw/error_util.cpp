#include "vfw/error_util.h"

#include <atomic>

namespace vfw {

namespace {
std::atomic<ExceptionRecorder> g_recorder{nullptr};
}

void setExceptionRecorder(ExceptionRecorder recorder) {
    g_recorder.store(recorder);
}

Base_Exception::Base_Exception(const char* file, int line, const char* text, const char* className,
                               int code, bool log)
    : rc(code), message(text) {
    // End of input and queue shutdown are normal events and never leave a record, however the
    // throw site spells the class.
    if (!log || std::strcmp(className, "EndOfFileException") == 0 ||
        std::strcmp(className, "vfw::EndOfFileException") == 0) {
        return;
    }
    if (ExceptionRecorder recorder = g_recorder.load()) {
        recorder(className, message.c_str(), file, line, rc);
    }
}

Base_Exception::~Base_Exception() = default;
SystemException::~SystemException() = default;
TryAgainException::~TryAgainException() = default;
IOException::~IOException() = default;
FatalErrorException::~FatalErrorException() = default;
NotFoundException::~NotFoundException() = default;
BadDataException::~BadDataException() = default;
EndOfFileException::~EndOfFileException() = default;
QueueInterrupted::~QueueInterrupted() = default;

BufferFullException::BufferFullException(const char* file, int line, const char* text,
                                         const char* className, int code, bool log)
    : Base_Exception(file, line, text, className, code, log), std::out_of_range("") {}

BufferFullException::~BufferFullException() = default;

}  // namespace vfw
