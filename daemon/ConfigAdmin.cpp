#include "daemon/ConfigAdmin.h"

#include <cerrno>

#include "configclient/ConfigStatus.h"
#include "configclient/MessageCache.h"
#include "configclient/PropertyNames.h"
#include "configclient/Subclient.h"
#include "daemon/PropertyRules.h"
#include "daemon/ShareServer.h"
#include "daemon/StoreOwnership.h"
#include "daemon/ViewConfiguration.h"

namespace {

std::string WithoutLeadingSlashes(const std::string& name) {
    const size_t first = name.find_first_not_of('/');
    return first == std::string::npos ? std::string() : name.substr(first);
}

std::string Id(unsigned long id) {
    return std::to_string(id);
}

}  // namespace

AdminResult ConfigAdmin::AddClient(unsigned long id, const std::string& name) {
    return Written(db_.AddClient(id, name), "client " + Id(id) + " [" + name + "] added");
}

AdminResult ConfigAdmin::AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                                      unsigned long policyId) {
    return Written(db_.AddSubclient(id, clientId, name, policyId),
                   "subclient " + Id(id) + " [" + name + "] added to client " + Id(clientId));
}

AdminResult ConfigAdmin::RemoveSubclient(unsigned long id) {
    return Written(db_.RemoveSubclient(id), "subclient " + Id(id) + " removed");
}

AdminResult ConfigAdmin::SetProperty(unsigned long subclientId, const std::string& name, const std::string& value) {
    std::string stored;
    std::string error;
    if (!PropertyRules::Prepare(name, value, stored, error)) {
        return AdminResult::Make(AdminProtocol::kBadRequest, error);
    }
    if (name == PropertyNames::kViewConfiguration) {
        const ViewConfiguration views(stored);
        for (const std::string& record : views.records()) {
            std::string mount;
            ViewConfiguration::Element(record, "MntPath", mount);
            AdminResult allowed = ownership_.CheckView(subclientId, mount);
            if (allowed.code != AdminProtocol::kOk) return allowed;
        }
    }
    std::vector<ConfigChange> changes;
    if (name == PropertyNames::kObjectStoreName) {
        AdminResult allowed = ownership_.CheckDefine(subclientId, stored);
        if (allowed.code != AdminProtocol::kOk) return allowed;
        changes.push_back(ConfigChange::ClaimStore(stored, subclientId));
    }
    changes.push_back(ConfigChange::SetProperty(subclientId, name, stored));
    return Written(db_.Apply(changes), "property " + name + " of subclient " + Id(subclientId) + " set");
}

AdminResult ConfigAdmin::RemoveProperty(unsigned long subclientId, const std::string& name) {
    return Written(db_.RemoveProperty(subclientId, name),
                   "property " + name + " of subclient " + Id(subclientId) + " removed");
}

AdminResult ConfigAdmin::ListSubclients() {
    CPelError error;
    const std::vector<SubclientRecord> records = db_.ListSubclients(&error);
    if (error.IsError()) return FromError(error);
    AdminResult result = AdminResult::Ok(std::to_string(records.size()) + " subclients");
    for (const SubclientRecord& record : records) {
        result.AddRow({Id(record.id), Id(record.clientId), record.clientName, Id(record.policyId), record.name});
    }
    return result;
}

AdminResult ConfigAdmin::ShowSubclient(unsigned long id) {
    SubclientRecord record;
    const int status = db_.FindSubclient(id, record);
    if (status != 0) return FromStatus(status, id);
    CPelError error;
    const auto properties = db_.ListProperties(id, &error);
    if (error.IsError()) return FromError(error);
    AdminResult result = AdminResult::Ok("subclient " + Id(id) + " [" + record.name + "] of client " +
                                         Id(record.clientId) + " [" + record.clientName + "], policy subclient " +
                                         Id(record.policyId));
    for (const auto& property : properties) {
        result.AddRow({property.first, PropertyRules::Describe(property.first, property.second)});
    }
    return result;
}

std::vector<std::pair<std::string, std::string>> ConfigAdmin::DefaultProperties() const {
    std::string protocols;
    std::string ignored;
    PropertyRules::EncodeProtocols("nfsv3,nfsv4", protocols, ignored);
    return {
        {PropertyNames::kNFSServers, serverName_},
        {PropertyNames::kAllowedNFSClients, "*"},
        {PropertyNames::kUsers, "*"},
        {PropertyNames::kGroups, "*"},
        {PropertyNames::kAccessPermission, "RW"},
        {PropertyNames::kSquashType, std::to_string(static_cast<int>(ZEL_QUAY_ROOT_SQUASH))},
        {PropertyNames::kAnonUid, "65534"},
        {PropertyNames::kAnonGid, "65534"},
        {PropertyNames::kCopyPrecedence, "0"},
        {PropertyNames::kACLEnableFlag, "0"},
        {PropertyNames::kBackupFilter, ""},
        {PropertyNames::kSupportDNFS, "0"},
        {PropertyNames::kIsCaseSensitive, "1"},
        {PropertyNames::kVersionInterval, "1"},
        {PropertyNames::kVersionSupportNeeded, "0"},
        {PropertyNames::kSupportedProtocols, protocols},
        {PropertyNames::kViewConfiguration, ""},
    };
}

AdminResult ConfigAdmin::DefineStore(unsigned long subclientId, unsigned long clientId, const std::string& storeName) {
    if (!PropertyRules::IsValidStoreName(storeName)) {
        return AdminResult::Make(AdminProtocol::kBadRequest,
                                 "store name [" + storeName + "] must be letters, digits, '.', '_' and '-'");
    }
    SubclientRecord record;
    const int status = db_.FindSubclient(subclientId, record);
    const bool create = status == ZEL_SUBCLIENT_NOT_FOUND;
    if (status != 0 && !create) return FromStatus(status, subclientId);
    if (!create && record.clientId != clientId) {
        return AdminResult::Make(AdminProtocol::kAlreadyExists, "subclient " + Id(subclientId) +
                                                                    " belongs to client " + Id(record.clientId) +
                                                                    ", not " + Id(clientId));
    }
    if (!create) {
        AdminResult missing;
        std::string current;
        if (StoreName(subclientId, current, missing)) {
            if (current != storeName) {
                return AdminResult::Make(AdminProtocol::kAlreadyExists, "subclient " + Id(subclientId) +
                                                                            " already presents store [" + current +
                                                                            "]");
            }
        } else if (missing.code == AdminProtocol::kDatabaseError) {
            return missing;
        }
    }
    AdminResult failure = ownership_.CheckDefine(subclientId, storeName);
    if (failure.code != AdminProtocol::kOk) return failure;
    // One transaction: the subclient, its ownership and its properties come
    // whole or not at all.
    std::vector<ConfigChange> changes;
    if (create) changes.push_back(ConfigChange::AddSubclient(subclientId, clientId, storeName, 0));
    changes.push_back(ConfigChange::ClaimStore(storeName, subclientId));
    std::vector<std::pair<std::string, std::string>> values = {{PropertyNames::kObjectStoreName, storeName}};
    size_t kept = 0;
    for (const auto& property : DefaultProperties()) {
        std::string existing;
        const int found = create ? ZEL_PROP_NOT_FOUND : db_.GetProperty(subclientId, property.first, existing);
        if (found == 0) {
            ++kept;
        } else if (found == ZEL_PROP_NOT_FOUND) {
            values.push_back(property);
        } else {
            return FromStatus(found, subclientId);
        }
    }
    for (const auto& value : values) changes.push_back(ConfigChange::SetProperty(subclientId, value.first, value.second));
    const CPelError error = db_.Apply(changes);
    FlushClientCache();
    if (error.IsError()) return FromError(error);
    AdminResult result = AdminResult::Ok("subclient " + Id(subclientId) + " presents store [" + storeName +
                                         "] served by [" + serverName_ + "]: " + std::to_string(values.size()) +
                                         " properties written, " + std::to_string(kept) + " kept");
    for (const auto& value : values) result.AddRow({value.first, PropertyRules::Describe(value.first, value.second)});
    return result;
}

AdminResult ConfigAdmin::AddView(unsigned long subclientId, const std::string& mountPath, const std::string& toTime,
                                 bool readOnly, bool writable, const ViewAccess& access) {
    AdminResult failure;
    std::string store;
    if (!StoreName(subclientId, store, failure)) return failure;
    const std::string prefix = "/" + store + "-";
    const std::string suffix = mountPath.compare(0, prefix.size(), prefix) == 0 ? mountPath.substr(prefix.size())
                                                                               : std::string();
    if (suffix.empty() || suffix.find('-') != std::string::npos || !PropertyRules::IsValidStoreName(suffix)) {
        return AdminResult::Make(AdminProtocol::kBadRequest,
                                 "view path [" + mountPath + "] must be " + prefix +
                                     "<name>, the name of letters, digits, '.' and '_'");
    }
    if (!ViewConfiguration::IsValidTime(toTime)) {
        return AdminResult::Make(AdminProtocol::kBadRequest,
                                 "time [" + toTime + "] must be seconds since 1970 or MM-DD-YYYY HH:MM:SS");
    }
    failure = ownership_.CheckView(subclientId, mountPath);
    if (failure.code != AdminProtocol::kOk) return failure;
    std::string text;
    const int status = db_.GetProperty(subclientId, PropertyNames::kViewConfiguration, text);
    if (status != 0 && status != ZEL_PROP_NOT_FOUND) return FromStatus(status, subclientId);
    ViewConfiguration views(text);
    if (views.HasMountPath(mountPath)) {
        return AdminResult::Make(AdminProtocol::kAlreadyExists,
                                 "subclient " + Id(subclientId) + " already has a view [" + mountPath + "]");
    }
    ViewConfiguration::View view;
    view.mountPath = mountPath;
    view.toTime = toTime;
    view.readOnly = readOnly;
    view.writable = writable;
    view.snapName = suffix;
    view.nfsServer = serverName_;
    if (!ViewAccessOf(subclientId, access, view, failure)) return failure;
    views.Append(view);
    AdminResult result = Written(db_.SetProperty(subclientId, PropertyNames::kViewConfiguration, views.Text()),
                                 "view [" + mountPath + "] added to subclient " + Id(subclientId));
    if (result.code == AdminProtocol::kOk) result.AddRow({ViewConfiguration::FormatRecord(view)});
    return result;
}

bool ConfigAdmin::ViewAccessOf(unsigned long subclientId, const ViewAccess& access, ViewConfiguration::View& view,
                               AdminResult& failure) {
    // (what was given, the store's property, the record's field, the option)
    const struct {
        const std::string* given;
        const char* property;
        std::string* field;
        const char* option;
        bool clients;
    } parts[] = {
        {access.clients, PropertyNames::kAllowedNFSClients, &view.clients, "--clients", true},
        {access.users, PropertyNames::kUsers, &view.users, "--users", false},
        {access.groups, PropertyNames::kGroups, &view.groups, "--groups", false},
    };
    for (const auto& part : parts) {
        std::string value;
        std::string source;
        if (part.given != nullptr) {
            value = *part.given;
            source = std::string(part.option) + " ";
        } else {
            const int status = db_.GetProperty(subclientId, part.property, value);
            if (status == ZEL_PROP_NOT_FOUND) {
                failure = AdminResult::Make(AdminProtocol::kNotFound,
                                            "subclient " + Id(subclientId) + " has no " + part.property +
                                                " for the view to take; set it or give " + part.option);
                return false;
            }
            if (status != 0) {
                failure = FromStatus(status, subclientId);
                return false;
            }
            source = "the store's " + std::string(part.property) + " ";
        }
        std::string reason;
        const bool ok = part.clients ? PropertyRules::CheckClients(value, reason) : PropertyRules::IsIdList(value);
        if (!ok || !ViewConfiguration::IsSafeValue(value)) {
            if (!part.clients) reason = "[" + value + "] must be empty, * or a comma-separated list of numeric ids";
            failure = AdminResult::Make(AdminProtocol::kBadRequest, "view access: " + source + reason);
            return false;
        }
        *part.field = value;
    }
    return true;
}

AdminResult ConfigAdmin::ListViews(unsigned long subclientId) {
    SubclientRecord record;
    const int found = db_.FindSubclient(subclientId, record);
    if (found != 0) return FromStatus(found, subclientId);
    std::string text;
    const int status = db_.GetProperty(subclientId, PropertyNames::kViewConfiguration, text);
    if (status != 0 && status != ZEL_PROP_NOT_FOUND) return FromStatus(status, subclientId);
    const ViewConfiguration views(text);
    AdminResult result =
        AdminResult::Ok(std::to_string(views.records().size()) + " views of subclient " + Id(subclientId));
    for (const std::string& view : views.records()) {
        std::string fields[7];
        const char* names[] = {"MntPath", "ToTime", "", "NFSClient", "UID", "GID", "NFSServer"};
        for (int i = 0; i < 7; ++i) {
            if (*names[i] != '\0') ViewConfiguration::Element(view, names[i], fields[i]);
        }
        fields[2] = ViewConfiguration::Rights(view);
        result.AddRow(std::vector<std::string>(fields, fields + 7));
    }
    return result;
}

AdminResult ConfigAdmin::ReleaseStore(unsigned long subclientId, const std::string& storeName) {
    const std::string store = WithoutLeadingSlashes(storeName);
    unsigned long owner = 0;
    const int found = db_.FindStoreOwner(store, owner);
    if (found != 0 && found != ZEL_PROP_NOT_FOUND) return FromStatus(found, subclientId);
    if (found != 0 || owner != subclientId) {
        return AdminResult::Make(AdminProtocol::kNotFound,
                                 "subclient " + Id(subclientId) + " does not own store [" + store + "]" +
                                     (found == 0 ? "; subclient " + Id(owner) + " does" : std::string()));
    }
    // The store's name and views go from the subclient's configuration too,
    // or it would present a store it no longer owns; all in one transaction.
    std::vector<ConfigChange> changes = {ConfigChange::ReleaseStore(store, subclientId)};
    std::string text;
    size_t dropped = 0;
    if (db_.GetProperty(subclientId, PropertyNames::kViewConfiguration, text) == 0) {
        ViewConfiguration views(text);
        const ViewConfiguration before(text);
        for (const std::string& record : before.records()) {
            std::string mount;
            std::string viewStore;
            if (ViewConfiguration::Element(record, "MntPath", mount) &&
                StoreOwnership::StoreOfPath(mount, false, viewStore) && viewStore == store) {
                dropped += views.Remove(mount);
            }
        }
        if (dropped > 0) {
            changes.push_back(ConfigChange::SetProperty(subclientId, PropertyNames::kViewConfiguration, views.Text()));
        }
    }
    std::string current;
    const bool named = db_.GetProperty(subclientId, PropertyNames::kObjectStoreName, current) == 0 &&
                       WithoutLeadingSlashes(current) == store;
    if (named) changes.push_back(ConfigChange::RemoveProperty(subclientId, PropertyNames::kObjectStoreName));
    const CPelError error = db_.Apply(changes);
    FlushClientCache();
    if (error.IsError()) return FromError(error);
    return AdminResult::Ok("store [" + store + "] released by subclient " + Id(subclientId) + " (" +
                           (named ? "its store name and " : "") + std::to_string(dropped) +
                           " view records removed); its data stays for the subclient that defines it next");
}

AdminResult ConfigAdmin::RemoveView(unsigned long subclientId, const std::string& mountPath) {
    std::string text;
    const int status = db_.GetProperty(subclientId, PropertyNames::kViewConfiguration, text);
    if (status != 0 && status != ZEL_PROP_NOT_FOUND) return FromStatus(status, subclientId);
    ViewConfiguration views(text);
    if (views.Remove(mountPath) == 0) {
        return AdminResult::Make(AdminProtocol::kNotFound,
                                 "subclient " + Id(subclientId) + " has no view [" + mountPath + "]");
    }
    return Written(db_.SetProperty(subclientId, PropertyNames::kViewConfiguration, views.Text()),
                   "view [" + mountPath + "] removed from subclient " + Id(subclientId));
}

bool ConfigAdmin::IsShareOfThisServer(unsigned long subclientId, const std::string& path) {
    std::vector<std::string> servers;
    switch (ShareServer::ServersOf(db_, subclientId, path, servers)) {
        case ShareServer::Answer::kDatabaseError:
            return true;
        case ShareServer::Answer::kFound:
            for (const std::string& server : servers) {
                if (ShareServer::SameServer(server, serverName_)) return true;
            }
            return false;
        default:
            return false;
    }
}

bool ConfigAdmin::StoreName(unsigned long subclientId, std::string& name, AdminResult& failure) {
    std::string value;
    const int status = db_.GetProperty(subclientId, PropertyNames::kObjectStoreName, value);
    if (status == 0 && !WithoutLeadingSlashes(value).empty()) {
        name = WithoutLeadingSlashes(value);
        return true;
    }
    if (status == 0 || status == ZEL_PROP_NOT_FOUND) {
        failure = AdminResult::Make(AdminProtocol::kNotFound,
                                    "subclient " + Id(subclientId) + " has no store; run define-store first");
    } else {
        failure = FromStatus(status, subclientId);
    }
    return false;
}

AdminResult ConfigAdmin::Written(const CPelError& error, const std::string& done) {
    if (error.IsError()) return FromError(error);
    FlushClientCache();
    return AdminResult::Ok(done);
}

AdminResult ConfigAdmin::FromError(const CPelError& error) {
    int code = AdminProtocol::kDatabaseError;
    if (error.ErrNo() == ENOENT) code = AdminProtocol::kNotFound;
    if (error.ErrNo() == EEXIST) code = AdminProtocol::kAlreadyExists;
    if (error.ErrNo() == EINVAL) code = AdminProtocol::kBadRequest;
    return AdminResult::Make(code, error.Message());
}

AdminResult ConfigAdmin::FromStatus(int status, unsigned long subclientId) {
    if (status == CONFIG_NO_SUBCLIENT || status == ZEL_SUBCLIENT_NOT_FOUND) {
        return AdminResult::Make(AdminProtocol::kNotFound, "subclient " + Id(subclientId) + " does not exist");
    }
    return AdminResult::Make(AdminProtocol::kDatabaseError,
                             "configuration database failed (status " + std::to_string(status) + ")");
}

void ConfigAdmin::FlushClientCache() {
    MessageCache::Instance().Drop();
}
