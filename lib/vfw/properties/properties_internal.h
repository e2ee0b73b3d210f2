// Pieces shared by the sources of the property layer (CProperties2).
#ifndef VFW_PROPERTIES_INTERNAL_H
#define VFW_PROPERTIES_INTERNAL_H

#include "vfw/log.h"

// The layer's records all name the source file "properties", whichever of its files logs.
#define VFW_PROPS_LOG(logger, level, function, ...)                                           \
    do {                                                                                      \
        if ((logger) && (logger)->isEnabled(level)) {                                         \
            (logger)->WriteMessage((level), "properties", __LINE__, (function), __VA_ARGS__); \
        }                                                                                     \
    } while (0)

#endif
