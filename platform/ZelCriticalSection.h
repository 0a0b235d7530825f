// Recursive mutual exclusion, entered and left explicitly, with a scoped holder.
// Recursive like the critical sections the host code was written against: the
// same thread may enter a section it already holds.
#pragma once
#include <mutex>

class ZelCriticalSection {
public:
    ZelCriticalSection() = default;
    ZelCriticalSection(const ZelCriticalSection&) = delete;
    ZelCriticalSection& operator=(const ZelCriticalSection&) = delete;

    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class ZelCriticalSectionLock {
public:
    explicit ZelCriticalSectionLock(ZelCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    explicit ZelCriticalSectionLock(ZelCriticalSection* cs) : ZelCriticalSectionLock(*cs) {}
    ~ZelCriticalSectionLock() { cs_.Leave(); }
    ZelCriticalSectionLock(const ZelCriticalSectionLock&) = delete;
    ZelCriticalSectionLock& operator=(const ZelCriticalSectionLock&) = delete;

private:
    ZelCriticalSection& cs_;
};
