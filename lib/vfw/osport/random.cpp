// The process's random numbers. srandom, random, srand and rand are defined here under the
// system library's names, so that they replace its functions for the whole process, the
// libraries loaded into it included: every caller draws from one 48-bit generator
// (srand48 / lrand48) behind one lock, and a process that never seeds it is seeded once from
// the time of its first draw.
//
// The system library declares these four functions as throwing nothing, and their callers
// are mostly C code, which cannot take an exception: a failure of the lock (which a mutex
// that is never destroyed does not meet) ends the process instead of returning a number
// drawn without it.
#include <cstdlib>
#include <ctime>

#include "vfw/mutex.h"

namespace {

vfw::Mutex* g_randomLock = nullptr;
bool g_seeded = false;  // under g_randomLock

vfw::Mutex& randomLock() {
    return *vfw::Mutex::getOrCreate(&g_randomLock);
}

}  // namespace

extern "C" {

// Named by the library's link options so that every program that links the library links
// this object, and with it these four functions.
extern const char vfw_random_engine[] = "vfw";

void srandom(unsigned int seed) noexcept {
    vfw::MutexLock lock(randomLock());
    srand48(static_cast<long>(seed));
    g_seeded = true;
}

long random(void) noexcept {
    vfw::MutexLock lock(randomLock());
    if (!g_seeded) {
        srand48(static_cast<long>(time(nullptr)));
        g_seeded = true;
    }
    return lrand48();
}

void srand(unsigned int seed) noexcept {
    srandom(seed);
}

int rand(void) noexcept {
    return static_cast<int>(random());
}

}  // extern "C"
