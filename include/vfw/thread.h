// Framework threads and the process-wide facts about them.
//
// `Thread` runs one plain function with one pointer argument on a POSIX thread of its own,
// under a name. Its stack size comes from "vfw.clients.threads.stacksize" (bytes; 0 or
// absent: the system's default) and "vfw.clients.threads.priority" (true only for "true",
// "yes" or "1") asks for SCHED_FIFO; a refused setting is reported at DEBUG on "util.thread"
// and the thread starts without it. Code running on a framework thread finds its object with
// current(). The owner calls start once, then join() or detach(); destroying the object does
// neither, so owners stop or join first. A thread that leaves without returning from its
// function (cancelled, pthread_exit) has onThreadExit() called on it. A standard exception
// escaping the function ends the thread with an ERROR record on "util.thread", not the process.
//
// It also gathers what the rest of the framework asks about threads as a whole:
// - whether the POSIX thread library is part of the process (computed once, then cached);
//   mutexes and logging skip their thread-library calls when it is not;
// - how many framework thread objects exist: each construction adds 1, each destruction
//   subtracts 1. Mutex::signal() does nothing while that count is 0 or less. The count is
//   signed 64-bit and changed only under its own lock.
//
// Every failing POSIX call throws SystemException "OS call failed: <system text>" with the
// error number as rc.
#ifndef VFW_THREAD_H
#define VFW_THREAD_H

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace vfw {

class Thread {
  public:
    using Function = void* (*)(void*);

    Thread();
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts function(argument) on a new thread; a null name keeps the one the object has.
    void start(const char* name, Function function, void* argument);
    // Waits for the thread to end; nothing once joined or detached.
    void join();
    void detach();
    // Asks the thread to stop at its next cancellation point; nothing unless it runs.
    void cancel();
    // cancel(), then join().
    void stop();
    // Adds delta to the thread's SCHED_FIFO priority when "vfw.clients.threads.priority" is
    // set; the outcome is reported at DEBUG, never thrown.
    void changePriority(int delta);

    const std::string& name() const { return m_name; }
    bool isRunning() const { return m_running.load(std::memory_order_acquire); }
    bool isFinished() const { return m_finished; }
    bool cancelRequested() const { return m_cancelRequested.load(std::memory_order_relaxed); }
    // The POSIX id; 0 before start.
    pthread_t id() const { return m_id.load(std::memory_order_acquire); }

    // The object whose function runs on the calling thread; null on any other thread.
    static Thread* current();
    // Cancellation state of the calling thread; enableCancel acts on a pending request.
    static void disableCancel();
    static void enableCancel();
    // A cancellation point, then sched_yield.
    static void yield();
    // Sleeps for the sum of the four parts (cancellation points before and after). True when
    // the whole time passed, false when a signal ended it early.
    static bool sleep(long seconds, long milliseconds, long microseconds, long nanoseconds);

    // True when the POSIX thread library is linked into the process.
    static bool threadLibraryPresent();
    // flag true adds 1 to the thread-object count; false sets it to 0.
    static void setThreadCount(bool flag);
    // The current thread-object count.
    static int64_t threadCount();

  protected:
    // Called on the thread when it leaves without returning from its function.
    virtual void onThreadExit() {}

  private:
    static void* entry(void* self);
    void awaitId() const;
    // The key that holds the running object on each framework thread; its destructor runs
    // onThreadExit for a thread that left without returning.
    static pthread_key_t currentKey();
    static void onKeyRelease(void* self);

    std::string m_name;
    std::atomic<bool> m_running{false};
    bool m_finished = false;
    std::atomic<pthread_t> m_id{0};
    Function m_function = nullptr;
    std::atomic<bool> m_cancelRequested{false};
    void* m_argument = nullptr;
};

}  // namespace vfw

#endif
