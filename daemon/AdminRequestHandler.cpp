#include "daemon/AdminRequestHandler.h"

#include <cstring>
#include <exception>

#include "daemon/ModuleRpc.h"
#include "daemon/QuaydLog.h"
#include "host/ExportCache.h"
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
    QUAYD_LOG(1, "INFO: Admin request from [%s]: %s", caller.c_str(), request.Summary().c_str());
    AdminResult result;
    try {
        result = Dispatch(request, caller);
    } catch (const std::exception& e) {
        result = AdminResult::Make(AdminProtocol::kInternalError, std::string("quayd failed: ") + e.what());
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

AdminResult AdminRequestHandler::ListExports() {
    const std::vector<ExportPtr> exports = gAllExports->List();
    AdminResult result = AdminResult::Ok(std::to_string(exports.size()) + " exports");
    for (const ExportPtr& exp : exports) {
        std::string type = "-";
        std::string value;
        if (exp->GetOptionalParam("exportType", value)) type = value == "2" ? "pit" : value == "1" ? "live" : value;
        result.AddRow({std::to_string(exp->GetShareId()), std::to_string(exp->GetFSModuleType()), type,
                       exp->GetSharePerms() == SHARE_PERM_READ_ONLY ? "ro" : "rw", exp->GetPath()});
    }
    return result;
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
        return config_.RemoveSubclient(id);
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
        if (!request.Id(AdminProtocol::kSubclientField, subclient, error) ||
            !request.Text(AdminProtocol::kPathField, text, error) ||
            !request.Text(AdminProtocol::kToTimeField, toTime, error) ||
            !request.OptionalFlag(AdminProtocol::kReadOnlyField, readOnly, error) ||
            !request.OptionalFlag(AdminProtocol::kWritableField, writable, error)) {
            return BadRequest(error);
        }
        return config_.AddView(subclient, text, toTime, readOnly, writable);
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
