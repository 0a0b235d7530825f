// CallRecorder: the test seam of the configuration client. Every client
// operation reports itself here before doing its work: the call is counted
// and logged, and when a status override is set for (subclient id, operation
// name) the operation returns that status instead of doing anything.
// Operation names are the method names ("lookup", "getQuayUsers", ...);
// operations that belong to no subclient use id 0. Thread-safe.
#pragma once
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct ConfigCall {
    unsigned long subclientId;
    std::string operation;
    bool operator==(const ConfigCall& other) const {
        return subclientId == other.subclientId && operation == other.operation;
    }
};

class CallRecorder {
public:
    // The log keeps only the most recent calls, so a long-running process
    // does not grow without bound; counters are kept for every call.
    static constexpr size_t kLogCapacity = 10000;

    CallRecorder() = default;
    CallRecorder(const CallRecorder&) = delete;
    CallRecorder& operator=(const CallRecorder&) = delete;

    // Counts and logs the call. True, with the override in status, when the
    // operation must return that status without doing its work.
    bool Record(unsigned long subclientId, const std::string& operation, int& status);

    void SetOverride(unsigned long subclientId, const std::string& operation, int status);
    void ClearOverrides();

    uint64_t Count(unsigned long subclientId, const std::string& operation) const;
    // Calls in the order they were made (oldest first).
    std::vector<ConfigCall> Log() const;
    // Forgets counters and log; overrides stay.
    void ClearLog();

private:
    using Key = std::pair<unsigned long, std::string>;

    mutable std::mutex mutex_;
    std::map<Key, int> overrides_;     // guarded by mutex_
    std::map<Key, uint64_t> counts_;   // guarded by mutex_
    std::deque<ConfigCall> log_;       // guarded by mutex_
};
