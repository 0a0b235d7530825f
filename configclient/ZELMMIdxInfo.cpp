#include "configclient/ZELMMIdxInfo.h"

#include <cctype>
#include <cstdint>

#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"

unsigned long ZELMMIdxInfo::getCacheIDForMA() {
    int ignored = 0;
    ConfigDatabase::Instance().Calls().Record(0, "getCacheIDForMA", ignored);
    // FNV-1a of the lower-cased client name: the same id on every call and
    // every restart without a database round trip. Client names compare
    // ignoring case elsewhere, so they do here too. Kept within 1 .. 2^63-1,
    // the range of database ids.
    uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : clientName_) {
        hash ^= static_cast<uint64_t>(std::tolower(c));
        hash *= 1099511628211ULL;
    }
    hash &= 0x7fffffffffffffffULL;
    return hash != 0 ? static_cast<unsigned long>(hash) : 1UL;
}

int ZELMMIdxInfo::setIndexCacheOnlineOffline(unsigned long cacheId, bool online, int flags) {
    ConfigDatabase& db = ConfigDatabase::Instance();
    int status = CONFIG_OK;
    if (db.Calls().Record(0, "setIndexCacheOnlineOffline", status)) return status;
    return db.SetIndexCacheState(cacheId, clientName_, online, flags);
}
