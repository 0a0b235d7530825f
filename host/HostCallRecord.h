// The recording side of HostCallLog, used by the host services themselves.
#pragma once
#include <string>

namespace HostCallLog {
// Appends the line "<service>" or "<service> <details>" to the call log.
// True, with the planned result, when a planned failure uses up this call:
// the service then returns that result and does no work. Thread-safe.
bool RecordCall(const std::string& service, const std::string& details, int& plannedResult);
}  // namespace HostCallLog
