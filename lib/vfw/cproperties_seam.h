// Seam of the configuration store, for the tests: any one of the store's own allocations
// (its strings, entries, lists and records, and the store object itself) can be made to fail.
#ifndef VFW_CPROPERTIES_SEAM_H
#define VFW_CPROPERTIES_SEAM_H

namespace vfw {
namespace seam {

// The store's `k`-th allocation from now fails (1: the next one), the allocations after it
// succeed again; 0 fails none. Returns how many allocations the previous setting still had
// to go: 0 once its failure has happened, or when none was set.
long FailCPropertiesAllocation(long k);

}  // namespace seam
}  // namespace vfw

#endif
