#include "configclient/App_ExecuteSP.h"

#include <utility>
#include <vector>

#include "configclient/AppMessages.h"
#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"
#include "configclient/PropertyNames.h"

namespace {

// Every subclient with an object-store name, in subclient id order.
int ListNFSShares(const std::string& requestXml, std::string& responseXml) {
    App::GetNFSShareReq request;
    if (request.unserialize(requestXml) != CNMessageBase::MSG_OK) return CONFIG_BAD_REQUEST;
    std::vector<std::pair<unsigned long, std::string>> stores;
    const int status = ConfigDatabase::Instance().ListPropertyValues(PropertyNames::kObjectStoreName, stores);
    if (status != CONFIG_OK) return status;

    App::GetNFSShareResp response;
    std::vector<App::NFSShares>* shares =
        response.getlistobject(1, 1, App::GetNFSShareResp::kListGroup, App::GetNFSShareResp::kShares, true);
    for (const auto& store : stores) {
        // Share paths are "/" + name: names are stored with or without it.
        const size_t start = store.second.find_first_not_of('/');
        if (start == std::string::npos) continue;
        App::NFSShares share;
        share.setint64(1, App::NFSShares::kShareGroup, App::NFSShares::kSubclientId,
                       static_cast<int64_t>(store.first));
        share.setstring(2, 2, App::NFSShares::kShareGroup, App::NFSShares::kStoreName, store.second.substr(start));
        shares->push_back(share);
    }
    response.serialize(responseXml, false);
    return CONFIG_OK;
}

}  // namespace

int App_ExecuteSP::executeStoredProcedure(int procedureId, const std::string& requestXml,
                                          std::string& responseXml, void*) {
    int status = CONFIG_OK;
    if (ConfigDatabase::Instance().Calls().Record(0, "executeStoredProcedure", status)) return status;
    if (procedureId != SP_GET_NFS_SHARES) return CONFIG_UNKNOWN_PROCEDURE;
    return ListNFSShares(requestXml, responseXml);
}
