// Index-cache client: reports this server's index cache online or offline.
#pragma once
#include <string>

class ZELMMIdxInfo {
public:
    ZELMMIdxInfo(int kind, const std::string& clientName, int flags)
        : kind_(kind), clientName_(clientName), flags_(flags) {}
    // Id of the index cache of this media agent (client).
    unsigned long getCacheIDForMA();
    // 0 on success.
    int setIndexCacheOnlineOffline(unsigned long cacheId, bool online, int flags);

private:
    int kind_;
    std::string clientName_;
    int flags_;
};
