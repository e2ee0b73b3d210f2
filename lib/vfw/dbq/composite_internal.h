// Pieces shared by the sources of DBQComposite.
#ifndef VFW_DBQ_COMPOSITE_INTERNAL_H
#define VFW_DBQ_COMPOSITE_INTERNAL_H

#include <cstdint>
#include <vector>

#include "vfw/dbq_composite.h"

// Every record of a composite starts with its owner name and ": ".
#define DBQC_LOG(level, format, ...) \
    VFW_LOG(m_logger, level, "%s: " format, m_name.c_str(), ##__VA_ARGS__)

namespace vfw {

// The member numbers of a sorted listing with duplicates dropped: "12" and "12abc" both
// name member 12, which is one file and must be opened, counted and dumped once.
inline std::vector<int64_t> distinctIds(const std::vector<int64_t>& sorted) {
    std::vector<int64_t> ids;
    for (int64_t id : sorted) {
        if (ids.empty() || ids.back() != id) {
            ids.push_back(id);
        }
    }
    return ids;
}

}  // namespace vfw

#endif
