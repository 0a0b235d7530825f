// Bytes of replies prepared ahead of their calls, all connections together:
// a client cannot make the server hold more by opening more connections.
#pragma once
#include <atomic>
#include <cstddef>

class PreparedBudget {
public:
    explicit PreparedBudget(size_t limit) : limit_(limit) {}
    PreparedBudget(const PreparedBudget&) = delete;
    PreparedBudget& operator=(const PreparedBudget&) = delete;

    // Takes bytes; false (and nothing taken) when they do not fit.
    bool Reserve(size_t bytes);
    void Release(size_t bytes) { used_.fetch_sub(bytes); }
    size_t Used() const { return used_.load(); }

private:
    const size_t limit_;
    std::atomic<size_t> used_{0};
};
