// Per-request context the host hands to backend operations.
#pragma once
#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"

class BkEndProc;
typedef boost::shared_ptr<BkEndProc> BkEndProcPtr;

// Caller credentials (AUTH_SYS): uid, primary gid, supplementary gids.
struct IdInfo {
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t ngroups = 0;
    uint32_t* groups = nullptr;  // ngroups entries, owned by the host
};

struct QuayCtxt {
    // Stores the address of the identity record (owned by the caller), copies
    // the two pointers; parentObj starts empty and the last word 0.
    QuayCtxt(const IdInfo& id, ExportPtr exp, BkEndProcPtr obj)
        : identity(const_cast<IdInfo*>(&id)), exportPtr(std::move(exp)), object(std::move(obj)) {}

    IdInfo* identity;
    ExportPtr exportPtr;
    BkEndProcPtr object;
    BkEndProcPtr parentObj;
    uint64_t reserved = 0;
};
