// The caller of the tests of work done ahead of a call for one caller, and
// callers that differ from it in one way each.
#pragma once
#include <vector>

#include "nfsserver/CallerIdentity.h"

inline const CallerIdentity kCaller("10.0.0.1", 1000, 100, {100, 200});

struct OtherCaller {
    const char* what;
    CallerIdentity caller;
};

inline std::vector<OtherCaller> OtherCallers() {
    return {
        {"another uid", CallerIdentity("10.0.0.1", 1001, 100, {100, 200})},
        {"other groups", CallerIdentity("10.0.0.1", 1000, 100, {100})},
        {"another address", CallerIdentity("10.0.0.2", 1000, 100, {100, 200})},
        {"no credentials", CallerIdentity("10.0.0.1")},
    };
}
