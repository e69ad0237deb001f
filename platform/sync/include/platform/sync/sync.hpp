#pragma once
// Kernel services the engine needs: an auto-reset event with a timed wait,
// sleep, and worker threads.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace ql5::sync {

enum class WaitResult { Signalled, TimedOut };

// Created non-signalled. set() on a signalled event changes nothing; a wait
// that it releases resets it, and one set() releases at most one wait.
class AutoResetEvent {
  public:
    void set();
    void reset();
    WaitResult wait(std::uint32_t timeoutMs);
    bool isSet() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

void sleepMs(std::uint32_t ms);

// Starts a detached thread running fn (the worker threads are not waited
// for: a worker still running when the window closes ends with the process).
// Returns false when the thread could not be started.
bool startThread(std::function<void()> fn);

// Makes the next `count` calls of startThread fail, as a process out of
// threads would (tests only).
void failThreadStartsForTest(int count);

}  // namespace ql5::sync
