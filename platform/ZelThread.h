// A joinable thread started with a C-style function and an argument.
// Movable, not copyable, so threads can be kept in a std::vector.
#pragma once
#include <thread>

class ZelThread {
public:
    typedef void* (*ThreadFunc)(void*);

    ZelThread() = default;
    ZelThread(ZelThread&&) noexcept = default;
    // Joins a thread this object still runs before taking over the other one
    // (a defaulted move would call std::terminate).
    ZelThread& operator=(ZelThread&& other) noexcept;
    ZelThread(const ZelThread&) = delete;
    ZelThread& operator=(const ZelThread&) = delete;
    // A thread still running at destruction is joined, never abandoned.
    ~ZelThread();

    // Starts fn(arg) on a new thread. 0 on success, an errno value otherwise
    // (EBUSY when this object already runs a thread).
    int Start(ThreadFunc fn, void* arg);
    // Waits for the thread; 0 on success, EINVAL when no thread was started,
    // EDEADLK when called on the thread itself.
    int Join();
    bool IsRunning() const { return thread_.joinable(); }

private:
    std::thread thread_;
};
