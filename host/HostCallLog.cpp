#include <map>
#include <mutex>

#include "host/HostCallRecord.h"
#include "host/HostServices.h"

namespace {

struct PlannedFailure {
    int count = 0;
    int result = 0;
};

struct CallLogState {
    std::mutex mutex;
    std::vector<std::string> calls;                  // guarded by mutex
    std::map<std::string, PlannedFailure> failures;  // guarded by mutex
};

CallLogState& State() {
    static CallLogState* state = new CallLogState();  // never destroyed
    return *state;
}

}  // namespace

namespace HostCallLog {

bool RecordCall(const std::string& service, const std::string& details, int& plannedResult) {
    CallLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.push_back(details.empty() ? service : service + " " + details);
    auto planned = state.failures.find(service);
    if (planned == state.failures.end()) return false;
    plannedResult = planned->second.result;
    if (--planned->second.count <= 0) state.failures.erase(planned);
    return true;
}

std::vector<std::string> Calls() {
    CallLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.calls;
}

void Clear() {
    CallLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
    state.failures.clear();
}

void FailNext(const std::string& service, int count, int result) {
    CallLogState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (count <= 0) {
        state.failures.erase(service);
        return;
    }
    state.failures[service] = PlannedFailure{count, result};
}

}  // namespace HostCallLog
