// Counts the calls that change what clients can see (on any connection, by
// any protocol, and the admin requests), so that work done ahead of a call
// can tell whether it still answers the call as the call itself would. Work
// done ahead is kept only when it began at a quiet moment (no change under
// way) and no change began from then until its use: any change a client saw
// finish before it sent the call then finished before the work began.
#pragma once
#include <atomic>
#include <cstdint>

class ChangeClock {
public:
    // The clock every server part of this process counts on.
    static ChangeClock& Global();

    // Counts one change from its start to its end.
    class Change {
    public:
        explicit Change(ChangeClock& clock) : clock_(clock) { clock_.begun_.fetch_add(1); }
        ~Change() { clock_.ended_.fetch_add(1); }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

    private:
        ChangeClock& clock_;
    };

    // False while a change is under way; true with the moment's stamp
    // otherwise.
    bool QuietStamp(uint64_t& stamp) const;
    // True when no change began since stamp was taken.
    bool Unchanged(uint64_t stamp) const { return begun_.load() == stamp; }

private:
    std::atomic<uint64_t> begun_{0};
    std::atomic<uint64_t> ended_{0};
};
