// Framework threads and the process-wide facts about them.
//
// `Thread` gathers what the rest of the framework asks about threads as a whole:
// - whether the POSIX thread library is part of the process (computed once, then cached);
//   mutexes and logging skip their thread-library calls when it is not;
// - how many framework thread objects exist. Mutex::signal() does nothing while that count
//   is 0 or less. The count is signed 64-bit and changed only under its own lock.
#ifndef VFW_THREAD_H
#define VFW_THREAD_H

#include <cstdint>

namespace vfw {

class Thread {
  public:
    // True when the POSIX thread library is linked into the process.
    static bool threadLibraryPresent();

    // flag true adds 1 to the thread-object count; false sets it to 0.
    static void setThreadCount(bool flag);
    // The current thread-object count.
    static int64_t threadCount();
};

}  // namespace vfw

#endif
