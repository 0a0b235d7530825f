#include "daemon/AdminRequestHandler.h"

#include <cstring>
#include <exception>

#include "daemon/ModuleRpc.h"
#include "daemon/QuaydLog.h"
#include "daemon/StoreOwnership.h"
#include "daemon/ViewConfiguration.h"
#include "host/ExportCache.h"
#include "host/LogRequestTag.h"
#include "nfsserver/ChangeClock.h"
#include "objectstore/TimeText.h"
#include "host/ShareIdToPathCache.h"
#include "module/fsm/ConfigRPCRecords.h"

namespace {

using AdminProtocol::kBadRequest;

AdminResult BadRequest(const std::string& error) {
    return AdminResult::Make(kBadRequest, error);
}

bool ParseOperation(const std::string& text, int& operation) {
    if (text == "create") operation = QUAY_EXPORT_OP_CREATE;
    else if (text == "update") operation = QUAY_EXPORT_OP_UPDATE;
    else if (text == "unexport") operation = QUAY_EXPORT_OP_UNEXPORT;
    else return false;
    return true;
}

// A share path: absolute, as the module keys shares by it.
bool SharePath(const AdminRequest& request, std::string& path, std::string& error) {
    if (!request.Text(AdminProtocol::kPathField, path, error)) return false;
    if (path[0] != '/') {
        error = "share path [" + path + "] must begin with /";
        return false;
    }
    return true;
}

// The share id serving path now, 0 when none.
unsigned int ServedShareId(const std::string& path) {
    const unsigned int id = ShareIdToPathCache::GetShareIdForPath(path, false, false);
    ExportPtr exp;
    return id != 0 && gAllExports->FindExport(id, exp) ? id : 0;
}

}  // namespace

KeyValueList AdminRequestHandler::Handle(const KeyValueList& message, const std::string& caller) {
    AdminRequest request(message);
    const std::string command = request.Command();
    LogRequestTag tag("admin " + std::to_string(++served_));
    QUAYD_LOG(1, "INFO: Admin request from [%s]: %s", caller.c_str(), request.Summary().c_str());
    tag.ClearProblems();  // the request's own fields are no problem
    AdminResult result;
    try {
        // Any request may change what NFS clients see (exports, their rules,
        // views): work done ahead for them is not used across it.
        ChangeClock::Change change(ChangeClock::Global());
        result = Dispatch(request, caller);
    } catch (const std::exception& e) {
        result = AdminResult::Make(AdminProtocol::kInternalError, std::string("quayd failed: ") + e.what());
    }
    // The reason for a failure is often only in what the module logged.
    if (result.code != AdminProtocol::kOk) {
        result.logLines = tag.problems();
        if (tag.unlisted() > 0) {
            result.logLines.push_back("(" + std::to_string(tag.unlisted()) + " more in the quayd log, tagged [" +
                                      tag.tag() + "])");
        }
    }
    QUAYD_LOG(1, "INFO: Admin request [%s] answered [%d] [%s]", command.c_str(), result.code, result.text.c_str());
    return result.ToMessage();
}

AdminResult AdminRequestHandler::Dispatch(const AdminRequest& request, const std::string& caller) {
    std::string version;
    std::string error;
    if (!request.Text(AdminProtocol::kVersionField, version, error)) return BadRequest(error);
    if (version != AdminProtocol::kVersion) {
        return BadRequest("protocol version [" + version + "] is not supported; this quayd speaks " +
                          AdminProtocol::kVersion);
    }
    const std::string command = request.Command();
    if (command.empty()) return BadRequest("missing field command");
    if (command == AdminProtocol::kExport) return Export(request, caller);
    if (command == AdminProtocol::kClientUpdate) return ClientUpdate(request, caller);
    if (command == AdminProtocol::kStats) return Stats(request, caller);
    if (command == AdminProtocol::kListExports) return ListExports();
    if (command == AdminProtocol::kPrune) return Prune(request);
    if (command == AdminProtocol::kServerStats) {
        if (statistics_ == nullptr) return AdminResult::Make(AdminProtocol::kInternalError, "no statistics here");
        return statistics_->Rows();
    }
    bool known = false;
    AdminResult result = Database(request, command, known);
    if (known) return result;
    return BadRequest("unknown command [" + command + "]");
}

AdminResult AdminRequestHandler::Export(const AdminRequest& request, const std::string& caller) {
    std::string error;
    std::string operationText;
    std::string typeText;
    std::string path;
    std::string snap;
    unsigned long subclient = 0;
    int operation = 0;
    int type = 0;
    bool hasSnap = false;
    if (!request.Text(AdminProtocol::kOperationField, operationText, error)) return BadRequest(error);
    if (!ParseOperation(operationText, operation)) {
        return BadRequest("operation [" + operationText + "] must be create, update or unexport");
    }
    if (!request.Text(AdminProtocol::kTypeField, typeText, error)) return BadRequest(error);
    if (!AdminProtocol::ParseExportType(typeText, type)) {
        return BadRequest("export type [" + typeText + "] must be live (1) or pit (2)");
    }
    if (!request.Id(AdminProtocol::kSubclientField, subclient, error)) return BadRequest(error);
    if (!SharePath(request, path, error)) return BadRequest(error);
    if (!request.OptionalText(AdminProtocol::kSnapField, snap, hasSnap, error)) return BadRequest(error);
    if (hasSnap && operation != QUAY_EXPORT_OP_UNEXPORT) {
        return BadRequest("snap details are taken by unexport only");
    }

    // A store's shares are its owner's: another subclient's rules must never
    // serve its data. An un-export is refused only for a store owned by
    // another subclient, so a share whose store nobody owns can still go.
    const bool live = type == EXPORT_TYPE_OBJECT_STORE;
    AdminResult owner = config_.CheckShareOwner(subclient, path, live);
    if (owner.code != AdminProtocol::kOk &&
        (operation != QUAY_EXPORT_OP_UNEXPORT || owner.code == AdminProtocol::kAlreadyExists)) {
        return owner;
    }
    ModuleRpc rpc(module_, caller);
    AdminResult result = ModuleRpc::ToResult(rpc.Export(operation, type, subclient, path, hasSnap ? &snap : nullptr));
    if (operation == QUAY_EXPORT_OP_UNEXPORT) persistence_.Forget(path, type == EXPORT_TYPE_OBJECT_STORE);
    const int saveError = persistence_.Save(false);
    if (result.code == AdminProtocol::kOk && operation != QUAY_EXPORT_OP_UNEXPORT) {
        const unsigned int id = ServedShareId(path);
        result.text = "share [" + path + "] " + (operation == QUAY_EXPORT_OP_CREATE ? "exported" : "updated") +
                      " with share id " + std::to_string(id);
        result.AddRow({std::to_string(id), path});
    } else if (result.code == AdminProtocol::kOk) {
        result.text = "share [" + path + "] un-exported";
    }
    if (saveError != 0 && result.code == AdminProtocol::kOk) {
        result = AdminResult::Make(AdminProtocol::kSaveFailed,
                                   result.text + ", but the saved exports could not be written: " +
                                       strerror(saveError));
    }
    return result;
}

AdminResult AdminRequestHandler::ClientUpdate(const AdminRequest& request, const std::string& caller) {
    std::string error;
    unsigned long subclient = 0;
    std::string path;
    std::string first;
    std::string second;
    if (!request.Id(AdminProtocol::kSubclientField, subclient, error)) return BadRequest(error);
    if (!SharePath(request, path, error)) return BadRequest(error);
    if (!request.Text(AdminProtocol::kFirstField, first, error, true)) return BadRequest(error);
    if (!request.Text(AdminProtocol::kSecondField, second, error, true)) return BadRequest(error);
    ModuleRpc rpc(module_, caller);
    AdminResult result = ModuleRpc::ToResult(rpc.ClientUpdate(subclient, path, first, second));
    if (result.code == AdminProtocol::kOk && result.text.empty()) result.text = "client of [" + path + "] updated";
    return result;
}

AdminResult AdminRequestHandler::Stats(const AdminRequest& request, const std::string& caller) {
    std::string error;
    unsigned long subclient = 0;
    std::string path;
    if (!request.Id(AdminProtocol::kSubclientField, subclient, error)) return BadRequest(error);
    if (!SharePath(request, path, error)) return BadRequest(error);
    ModuleRpc rpc(module_, caller);
    AdminResult result = ModuleRpc::ToResult(rpc.Stats(subclient, path));
    if (result.code == AdminProtocol::kOk && result.text.empty()) {
        result.text = std::to_string(result.rows.size()) + " statistics of [" + path + "]";
    }
    return result;
}

AdminResult AdminRequestHandler::Prune(const AdminRequest& request) {
    std::string error;
    unsigned long subclient = 0;
    bool dryRun = false;
    if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
        !request.OptionalFlag(AdminProtocol::kDryRunField, dryRun, error)) {
        return BadRequest(error);
    }
    return pruning_.Prune(subclient, dryRun);
}

AdminResult AdminRequestHandler::AddView(unsigned long subclient, const std::string& path, const std::string& toTime,
                                         bool readOnly, bool writable, const ConfigAdmin::ViewAccess& access) {
    int64_t seconds = 0;
    // A malformed time is ConfigAdmin's to refuse.
    if (ViewConfiguration::Seconds(toTime, seconds)) {
        AdminResult pruned = pruning_.CheckViewTime(subclient, seconds);
        if (pruned.code != AdminProtocol::kOk) return pruned;
    }
    return config_.AddView(subclient, path, toTime, readOnly, writable, access);
}

AdminResult AdminRequestHandler::ListViews(unsigned long subclient) {
    AdminResult result = config_.ListViews(subclient);
    ObjectStore::StoreHistory history;
    AdminResult unknown;
    if (result.code == AdminProtocol::kOk && pruning_.History(subclient, history, unknown)) {
        result.text += "; the oldest time still available is " + ObjectStore::DescribeUs(history.oldestAvailableUs);
    }
    return result;
}

AdminResult AdminRequestHandler::ListExports() {
    const std::vector<ExportPtr> exports = gAllExports->List();
    AdminResult result = AdminResult::Ok(std::to_string(exports.size()) + " exports");
    for (const ExportPtr& exp : exports) {
        std::string type = "-";
        std::string value;
        if (exp->GetOptionalParam("exportType", value)) type = value == "2" ? "pit" : value == "1" ? "live" : value;
        // A view that is not writable has a read-only store: it refuses
        // writes whatever its share permission says.
        std::string writable;
        const bool readOnlyStore = type == "pit" && (!exp->GetOptionalParam("writablePIT", writable) || writable != "1");
        result.AddRow({std::to_string(exp->GetShareId()), std::to_string(exp->GetFSModuleType()), type,
                       exp->GetSharePerms() == SHARE_PERM_READ_ONLY || readOnlyStore ? "ro" : "rw", exp->GetPath()});
    }
    return result;
}

AdminResult AdminRequestHandler::RefuseWhileExported(unsigned long subclient, const std::string& store) {
    for (const ExportPtr& exp : gAllExports->List()) {
        std::string value;
        std::string shareStore;
        const bool live = exp->GetOptionalParam("exportType", value) && value == "1";
        const bool ofSubclient = exp->GetOptionalParam("subClientID", value) && value == std::to_string(subclient);
        const bool ofStore = !store.empty() && StoreOwnership::StoreOfPath(exp->GetPath(), live, shareStore) &&
                             shareStore == store;
        if (store.empty() ? ofSubclient : ofStore) {
            return AdminResult::Make(AdminProtocol::kInUse,
                                     (store.empty() ? "subclient " + std::to_string(subclient) : "store [" + store + "]") +
                                         " is exported as [" + exp->GetPath() + "]; un-export it first");
        }
    }
    return AdminResult::Ok("");
}

AdminResult AdminRequestHandler::Database(const AdminRequest& request, const std::string& command, bool& known) {
    known = true;
    std::string error;
    unsigned long id = 0;
    unsigned long client = 0;
    unsigned long policy = 0;
    std::string name;
    std::string value;
    if (command == AdminProtocol::kAddClient) {
        if (!request.Id(AdminProtocol::kIdField, id, error) || !request.Text(AdminProtocol::kNameField, name, error)) {
            return BadRequest(error);
        }
        return config_.AddClient(id, name);
    }
    if (command == AdminProtocol::kAddSubclient) {
        if (!request.Id(AdminProtocol::kIdField, id, error) || !request.Id(AdminProtocol::kClientField, client, error) ||
            !request.Text(AdminProtocol::kNameField, name, error) ||
            !request.OptionalId(AdminProtocol::kPolicyField, policy, error)) {
            return BadRequest(error);
        }
        return config_.AddSubclient(id, client, name, policy);
    }
    if (command == AdminProtocol::kRemoveSubclient) {
        if (!request.Id(AdminProtocol::kIdField, id, error)) return BadRequest(error);
        AdminResult exported = RefuseWhileExported(id, "");
        return exported.code != AdminProtocol::kOk ? exported : config_.RemoveSubclient(id);
    }
    if (command == AdminProtocol::kSetProperty) {
        if (!request.Id(AdminProtocol::kSubclientField, id, error) ||
            !request.Text(AdminProtocol::kNameField, name, error) ||
            !request.Text(AdminProtocol::kValueField, value, error, true)) {
            return BadRequest(error);
        }
        return config_.SetProperty(id, name, value);
    }
    if (command == AdminProtocol::kRemoveProperty) {
        if (!request.Id(AdminProtocol::kSubclientField, id, error) ||
            !request.Text(AdminProtocol::kNameField, name, error)) {
            return BadRequest(error);
        }
        return config_.RemoveProperty(id, name);
    }
    if (command == AdminProtocol::kListSubclients) return config_.ListSubclients();
    if (command == AdminProtocol::kShowSubclient) {
        if (!request.Id(AdminProtocol::kIdField, id, error)) return BadRequest(error);
        return config_.ShowSubclient(id);
    }
    return DatabaseViews(request, command, known);
}

AdminResult AdminRequestHandler::DatabaseViews(const AdminRequest& request, const std::string& command, bool& known) {
    known = true;
    std::string error;
    unsigned long subclient = 0;
    unsigned long client = 0;
    std::string text;
    if (command == AdminProtocol::kDefineStore) {
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
            !request.Id(AdminProtocol::kClientField, client, error) ||
            !request.Text(AdminProtocol::kStoreField, text, error)) {
            return BadRequest(error);
        }
        return config_.DefineStore(subclient, client, text);
    }
    if (command == AdminProtocol::kAddView) {
        std::string toTime;
        bool readOnly = false;
        bool writable = false;
        std::string access[3];
        bool given[3] = {false, false, false};
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
            !request.Text(AdminProtocol::kPathField, text, error) ||
            !request.Text(AdminProtocol::kToTimeField, toTime, error) ||
            !request.OptionalFlag(AdminProtocol::kReadOnlyField, readOnly, error) ||
            !request.OptionalFlag(AdminProtocol::kWritableField, writable, error) ||
            !request.OptionalText(AdminProtocol::kClientsField, access[0], given[0], error) ||
            !request.OptionalText(AdminProtocol::kUsersField, access[1], given[1], error) ||
            !request.OptionalText(AdminProtocol::kGroupsField, access[2], given[2], error)) {
            return BadRequest(error);
        }
        ConfigAdmin::ViewAccess viewAccess;
        viewAccess.clients = given[0] ? &access[0] : nullptr;
        viewAccess.users = given[1] ? &access[1] : nullptr;
        viewAccess.groups = given[2] ? &access[2] : nullptr;
        return AddView(subclient, text, toTime, readOnly, writable, viewAccess);
    }
    if (command == AdminProtocol::kListViews) {
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error)) return BadRequest(error);
        return ListViews(subclient);
    }
    if (command == AdminProtocol::kReleaseStore) {
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
            !request.Text(AdminProtocol::kStoreField, text, error)) {
            return BadRequest(error);
        }
        AdminResult exported = RefuseWhileExported(subclient, text);
        return exported.code != AdminProtocol::kOk ? exported : config_.ReleaseStore(subclient, text);
    }
    if (command == AdminProtocol::kRemoveView) {
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
            !request.Text(AdminProtocol::kPathField, text, error)) {
            return BadRequest(error);
        }
        return config_.RemoveView(subclient, text);
    }
    known = false;
    return AdminResult();
}
