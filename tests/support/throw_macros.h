// Throw macros that only the tests use, built on VFW_THROW_LOGGED of vfw/error_util.h like the
// library's own, so that the class name and site are recorded as at any throw site.
#ifndef VFW_TEST_THROW_MACROS_H
#define VFW_TEST_THROW_MACROS_H

#include "vfw/error_util.h"

// VFW_THROW_NOLOG(Class, rc, format, args...): as VFW_THROW, without the construction record.
#define VFW_THROW_NOLOG(Class, rc, ...) VFW_THROW_LOGGED(false, Class, rc, __VA_ARGS__)

// VFW_THROW_MSG(Class, rc, text): a message finished beforehand; never read as a format.
#define VFW_THROW_MSG(Class, rc, text) VFW_THROW_LOGGED(true, Class, rc, "%s", (text))

#endif
