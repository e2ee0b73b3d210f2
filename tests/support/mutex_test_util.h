// Helpers of the mutex tests: waiting for another thread's progress, probing a thread's
// state, and a thread that holds a mutex until told to let go.
#ifndef VFW_TEST_MUTEX_TEST_UTIL_H
#define VFW_TEST_MUTEX_TEST_UTIL_H

#include <pthread.h>
#include <sched.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "vfw/mutex.h"

namespace mutex_test {

// Waits for a condition that another thread is about to make true. The bound only keeps a
// broken build from hanging the suite; it is never what a test asserts on.
inline bool eventually(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        sched_yield();
    }
    return true;
}

// True when the thread sleeps in the kernel (state 'S'); the threads probed with it have
// nothing left to block on but the mutex.
inline bool sleepingInKernel(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::string::size_type end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

inline int currentCancelState() {
    int state;
    int ignored;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
    pthread_setcancelstate(state, &ignored);
    return state;
}

// A thread of its own that holds `m` (`levels` times) until release() is called.
class Holder {
  public:
    explicit Holder(vfw::Mutex& m, int levels = 1)
        : m_thread([this, &m, levels] {
              for (int i = 0; i < levels; ++i) {
                  m.lock();
              }
              m_self = pthread_self();
              m_held = true;
              eventually([this] { return m_release.load(); });
              for (int i = 0; i < levels; ++i) {
                  m.unlock();
              }
          }) {
        eventually([this] { return m_held.load(); });
    }
    ~Holder() {
        release();
        m_thread.join();
    }
    void release() { m_release = true; }
    pthread_t self() const { return m_self; }

  private:
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_release{false};
    pthread_t m_self = 0;
    std::thread m_thread;
};

}  // namespace mutex_test

#endif
