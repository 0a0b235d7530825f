// ShareServer: which server the configuration gives a subclient's share to,
// as the re-export at start reads it: the store "/<store>" is served by the
// subclient's NFS server (quayNFSServers), a view by its record's NFSServer,
// else by the store's. quayd asks whether a share is its own; quayadm asks
// where to send a request.
//
// Thread safety: as the database (each call reads it afresh).
#pragma once
#include <string>
#include <vector>

#include "configclient/ConfigDatabase.h"

class ShareServer {
public:
    enum class Answer { kFound, kNotConfigured, kNoSubclient, kDatabaseError };

    // The servers of path ("" for the subclient's store itself), in record
    // order: one for a store, one per view record with that path.
    static Answer ServersOf(ConfigDatabase& db, unsigned long subclientId, const std::string& path,
                            std::vector<std::string>& servers);
    // Whether two server names are one server (ASCII case ignored).
    static bool SameServer(const std::string& a, const std::string& b);
};
