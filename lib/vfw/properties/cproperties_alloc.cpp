#include "cproperties_alloc.h"

#include <atomic>
#include <cstring>

#include "../cproperties_seam.h"

namespace vfw {

namespace {

// Allocations to go until the one that fails; 0 when none is to fail.
std::atomic<long> g_untilFailure{0};

}  // namespace

namespace cprops {

void* allocate(size_t size) {
    long left = g_untilFailure.load(std::memory_order_relaxed);
    while (left > 0 &&
           !g_untilFailure.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    return left == 1 ? nullptr : std::malloc(size);
}

char* copyString(const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(allocate(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

}  // namespace cprops

long seam::FailCPropertiesAllocation(long k) {
    return g_untilFailure.exchange(k < 0 ? 0 : k, std::memory_order_relaxed);
}

}  // namespace vfw
