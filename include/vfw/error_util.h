// The exception tree of the framework and the macros every throw site goes through.
//
// Every failure inside the framework is thrown as a class of this tree, never returned.
// A thrown object carries a message of at most 511 characters and a signed return code;
// the throw site's file, line and class name go only into one DEBUG record of the logger
// "util.except", written at construction when the site asked for it (never for
// EndOfFileException). Catch by reference: `VFWException&` catches everything the
// framework throws. Throw only through VFW_THROW, VFW_THROW_LOGGED (`log` false: no
// construction record) and VFW_THROW_OS so that the class name and site are recorded as
// written.
#ifndef VFW_ERROR_UTIL_H
#define VFW_ERROR_UTIL_H

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

class VFWException : public std::exception {};

namespace vfw {

class Base_Exception : public VFWException {
  public:
    Base_Exception(const char* file, int line, const char* message, const char* className, int rc,
                   bool log);
    ~Base_Exception() override;
    const char* what() const noexcept override { return message.c_str(); }
    int getRc() const noexcept { return rc; }

  protected:
    int rc;
    std::string message;
};

#define VFW_DECLARE_EXCEPTION(Name)           \
    class Name : public Base_Exception {      \
      public:                                 \
        using Base_Exception::Base_Exception; \
        ~Name() override;                     \
    }

VFW_DECLARE_EXCEPTION(SystemException);
VFW_DECLARE_EXCEPTION(TryAgainException);
VFW_DECLARE_EXCEPTION(IOException);
VFW_DECLARE_EXCEPTION(FatalErrorException);
VFW_DECLARE_EXCEPTION(NotFoundException);
VFW_DECLARE_EXCEPTION(BadDataException);
VFW_DECLARE_EXCEPTION(EndOfFileException);
VFW_DECLARE_EXCEPTION(QueueInterrupted);
#undef VFW_DECLARE_EXCEPTION

// Thrown by bounded run queues; reachable as std::out_of_range too, and its what() gives
// the message through either base.
class BufferFullException : public Base_Exception, public std::out_of_range {
  public:
    BufferFullException(const char* file, int line, const char* message, const char* className,
                        int rc, bool log);
    ~BufferFullException() override;
    const char* what() const noexcept override { return Base_Exception::what(); }
};

// Writes the construction record of an exception. The logging layer installs it; until
// then (or when it is removed with nullptr) exceptions leave no record.
using ExceptionRecorder = void (*)(const char* className, const char* message, const char* file,
                                   int line, int rc);
void setExceptionRecorder(ExceptionRecorder recorder);

namespace detail {

// The OS form builds its message in two passes: "%s: %%s" turns the caller's format into
// the caller's format followed by ": %s", which is then applied to the caller's arguments
// and the system's text for the error code.
template <class E, class... Args>
[[noreturn]] void throwOs(const char* file, int line, const char* className, int error,
                          const char* format, Args... args) {
    char withError[512];
    ::snprintf(withError, sizeof withError, "%s: %%s", format);
    char message[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    ::snprintf(message, sizeof message, withError, args..., std::strerror(error));
#pragma GCC diagnostic pop
    throw E(file, line, message, className, error, true);
}

template <class E>
[[noreturn]] void throwOs(const char* file, int line, const char* className, int error) {
    throwOs<E>(file, line, className, error, "OS call failed");
}

}  // namespace detail
}  // namespace vfw

// VFW_THROW(Class, rc, format, args...): the message is the format applied to the arguments.
// VFW_THROW_LOGGED(log, Class, rc, format, args...): the same, with the construction record
// only when `log` is true.
#define VFW_THROW_LOGGED(log, Class, rc, ...)                               \
    do {                                                                    \
        char vfw_message_[512];                                             \
        ::snprintf(vfw_message_, sizeof vfw_message_, __VA_ARGS__);         \
        throw Class(__FILE__, __LINE__, vfw_message_, #Class, (rc), (log)); \
    } while (0)
#define VFW_THROW(Class, rc, ...) VFW_THROW_LOGGED(true, Class, rc, __VA_ARGS__)

// VFW_THROW_OS(Class, error [, format, args...]): the message is the format (default
// "OS call failed"), ": " and strerror(error); rc is the error code.
#define VFW_THROW_OS(Class, ...) \
    ::vfw::detail::throwOs<Class>(__FILE__, __LINE__, #Class, __VA_ARGS__)

#endif
