// The configuration store's allocations. Every block that the store allocates itself comes
// from allocate(), which the tests can make fail (cproperties_seam.h); strings are given
// back with std::free, objects with destroy().
#ifndef VFW_CPROPERTIES_ALLOC_H
#define VFW_CPROPERTIES_ALLOC_H

#include <cstddef>
#include <cstdlib>
#include <new>

namespace vfw {
namespace cprops {

// std::malloc, or null when out of memory.
void* allocate(size_t size);

// A copy of `text`, null for null or when out of memory.
char* copyString(const char* text);

// A value-initialised object, or null when out of memory.
template <class T>
T* create() {
    static_assert(alignof(T) <= alignof(std::max_align_t), "allocate() aligns for any scalar");
    void* memory = allocate(sizeof(T));
    return memory != nullptr ? new (memory) T() : nullptr;
}

template <class T>
T* createOrThrow() {
    T* object = create<T>();
    if (object == nullptr) {
        throw std::bad_alloc();
    }
    return object;
}

template <class T>
void destroy(T* object) {
    if (object != nullptr) {
        object->~T();
        std::free(object);
    }
}

}  // namespace cprops
}  // namespace vfw

#endif
