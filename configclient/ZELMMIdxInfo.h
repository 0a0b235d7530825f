// Index-cache client: reports this server's index cache online or offline.
#pragma once
#include <string>

class ZELMMIdxInfo {
public:
    // kind and flags are accepted as callers pass them; one index cache per
    // client needs neither.
    ZELMMIdxInfo(int /*kind*/, const std::string& clientName, int /*flags*/) : clientName_(clientName) {}
    // Id of the index cache of this media agent (client).
    unsigned long getCacheIDForMA();
    // 0 on success.
    int setIndexCacheOnlineOffline(unsigned long cacheId, bool online, int flags);

private:
    std::string clientName_;
};
