#include "daemon/ShareServer.h"

#include <strings.h>

#include "configclient/ConfigStatus.h"
#include "configclient/PropertyNames.h"
#include "configclient/Subclient.h"
#include "daemon/ViewConfiguration.h"

namespace {

std::string WithoutLeadingSlashes(const std::string& name) {
    const size_t first = name.find_first_not_of('/');
    return first == std::string::npos ? std::string() : name.substr(first);
}

}  // namespace

bool ShareServer::SameServer(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

ShareServer::Answer ShareServer::ServersOf(ConfigDatabase& db, unsigned long subclientId, const std::string& path,
                                           std::vector<std::string>& servers) {
    servers.clear();
    SubclientRecord record;
    const int found = db.FindSubclient(subclientId, record);
    if (found == ZEL_SUBCLIENT_NOT_FOUND) return Answer::kNoSubclient;
    std::string storeServer;
    std::string store;
    std::string views;
    const int statuses[] = {found, db.GetProperty(subclientId, PropertyNames::kNFSServers, storeServer),
                            db.GetProperty(subclientId, PropertyNames::kObjectStoreName, store),
                            db.GetProperty(subclientId, PropertyNames::kViewConfiguration, views)};
    for (int status : statuses) {
        if (status != 0 && status != ZEL_PROP_NOT_FOUND) return Answer::kDatabaseError;
    }
    store = WithoutLeadingSlashes(store);
    if (!store.empty() && (path.empty() || path == "/" + store)) {
        servers.push_back(storeServer);
        return Answer::kFound;
    }
    const ViewConfiguration records(views);
    for (const std::string& view : records.records()) {
        std::string mount;
        std::string server;
        if (path.empty() || !ViewConfiguration::Element(view, "MntPath", mount) || mount != path) continue;
        if (!ViewConfiguration::Element(view, "NFSServer", server) || server.empty()) server = storeServer;
        servers.push_back(server);
    }
    return servers.empty() ? Answer::kNotConfigured : Answer::kFound;
}
