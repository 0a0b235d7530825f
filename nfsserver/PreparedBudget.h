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

    // Bytes of a budget held by one prepared reply, given back when it is
    // returned or destroyed.
    class Lease {
    public:
        explicit Lease(PreparedBudget& budget) : budget_(budget) {}
        ~Lease() { Return(); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        // Takes bytes, returning what it held; false (and nothing held) when
        // they do not fit.
        bool Take(size_t bytes);
        void Return();

    private:
        PreparedBudget& budget_;
        size_t bytes_ = 0;
    };

    size_t Used() const { return used_.load(); }

private:
    bool Reserve(size_t bytes);

    const size_t limit_;
    std::atomic<size_t> used_{0};
};
