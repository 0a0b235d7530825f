#include "daemon/StoreOwnership.h"

#include "configclient/ConfigStatus.h"
#include "configclient/PropertyNames.h"
#include "configclient/Subclient.h"
#include "daemon/PropertyRules.h"
#include "daemon/ViewConfiguration.h"

namespace {

AdminResult DatabaseFailed(int status) {
    return AdminResult::Make(AdminProtocol::kDatabaseError,
                             "configuration database failed (status " + std::to_string(status) + ")");
}

}  // namespace

bool StoreOwnership::StoreOfPath(const std::string& path, bool live, std::string& store) {
    if (path.size() < 2 || path[0] != '/') return false;
    std::string name = path.substr(1);
    if (!live) {
        const size_t dash = name.rfind('-');
        if (dash == std::string::npos || dash == 0 || dash + 1 == name.size()) return false;
        name.erase(dash);
    }
    if (!PropertyRules::IsValidStoreName(name)) return false;
    store = name;
    return true;
}

AdminResult StoreOwnership::CheckServe(unsigned long subclientId, const std::string& path, bool live) {
    std::string store;
    if (!StoreOfPath(path, live, store)) {
        return AdminResult::Make(AdminProtocol::kBadRequest,
                                 "share path [" + path + "] does not name a store: a live store is /<store>, a PIT "
                                 "view /<store>-<name>");
    }
    return CheckOwner(subclientId, store, "store [" + store + "] of share [" + path + "]", true);
}

AdminResult StoreOwnership::CheckDefine(unsigned long subclientId, const std::string& store) {
    AdminResult result = CheckOwner(subclientId, store, "store [" + store + "]", false);
    if (result.code != AdminProtocol::kOk) return result;
    const unsigned long viewer = OtherViewer(subclientId, "/" + store, result);
    if (viewer != 0) {
        return AdminResult::Make(AdminProtocol::kAlreadyExists, "share path [/" + store + "] is a view of subclient " +
                                                                    std::to_string(viewer));
    }
    return result;
}

AdminResult StoreOwnership::CheckView(unsigned long subclientId, const std::string& path) {
    AdminResult result = CheckServe(subclientId, path, false);
    if (result.code != AdminProtocol::kOk) return result;
    std::string sameNamedStore;
    if (StoreOfPath(path, true, sameNamedStore)) {
        result = CheckOwner(subclientId, sameNamedStore, "share path [" + path + "] (store [" + sameNamedStore + "])",
                            false);
        if (result.code != AdminProtocol::kOk) return result;
    }
    const unsigned long viewer = OtherViewer(subclientId, path, result);
    if (viewer != 0) {
        return AdminResult::Make(AdminProtocol::kAlreadyExists,
                                 "share path [" + path + "] is a view of subclient " + std::to_string(viewer));
    }
    return result;
}

unsigned long StoreOwnership::OtherViewer(unsigned long subclientId, const std::string& path, AdminResult& failure) {
    std::vector<std::pair<unsigned long, std::string>> configurations;
    const int status = db_.ListPropertyValues(PropertyNames::kViewConfiguration, configurations);
    if (status != CONFIG_OK) {
        failure = DatabaseFailed(status);
        return 0;
    }
    for (const auto& configuration : configurations) {
        if (configuration.first != subclientId && ViewConfiguration(configuration.second).HasMountPath(path)) {
            return configuration.first;
        }
    }
    return 0;
}

AdminResult StoreOwnership::CheckOwner(unsigned long subclientId, const std::string& store, const std::string& what,
                                       bool mustBeDefined) {
    unsigned long owner = 0;
    const int status = db_.FindStoreOwner(store, owner);
    if (status == ZEL_PROP_NOT_FOUND) {
        if (!mustBeDefined) return AdminResult::Ok("");
        return AdminResult::Make(AdminProtocol::kNotFound,
                                 what + " is not defined; run define-store " + std::to_string(subclientId) +
                                     " <client> " + store + " first");
    }
    if (status != CONFIG_OK) return DatabaseFailed(status);
    if (owner != subclientId) {
        return AdminResult::Make(AdminProtocol::kAlreadyExists, what + " belongs to subclient " + std::to_string(owner));
    }
    return AdminResult::Ok("");
}
