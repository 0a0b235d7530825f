#include "module/exportops/SubclientHelpers.h"

#include <vector>

#include "configclient/AppMessages.h"
#include "configclient/Subclient.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"
#include "platform/FXString.h"

namespace {

const int kProtocolsFamily = 30;
const int kProtocolsMessageId = 3078;

std::vector<int>* ProtocolTypes(App::MossgateProtocols& message, bool create) {
    return message.getlistint(1, 1, App::MossgateProtocols::kProtocolGroup,
                              App::MossgateProtocols::kProtocolTypes, create);
}

}  // namespace

CleanShareInInit::~CleanShareInInit() {
    {
        ZelCriticalSectionLock lock(BackupFSMGlobals::sharesInInitCS);
        BackupFSMGlobals::sharesInInit.erase(subclientId_);
    }
    BFSM_LOG(1, "INFO: Removed [%lu] from sharesInInit", subclientId_);
}

bool InsertShareInInit(unsigned long subclientId, QuayBackupExportResp* response,
                       Subclient& subclient) {
    ZelCriticalSectionLock lock(BackupFSMGlobals::sharesInInitCS);
    if (BackupFSMGlobals::sharesInInit.count(subclientId) != 0) {
        return HandleAlreadyExportedShare(response, subclient, subclientId);
    }
    BackupFSMGlobals::sharesInInit.insert(subclientId);
    return true;
}

void GetDefaultCaseSensitive(bool& caseSensitive) { caseSensitive = true; }

bool GetSCPolicySubclient(unsigned long subclientId, unsigned long& policyId) {
    Subclient subclient(subclientId);
    unsigned long found = 0;
    const int status = subclient.getSubclientPolicyId(found, nullptr);
    if (status != 0) {
        BFSM_LOG(-1, "Failed to get Associated subclient Policy Subclient Id [%lu]. err [%s]",
                 subclientId, status == ZEL_PROP_NOT_FOUND ? "ZEL_PROP_NOT_FOUND" : "unknown");
        return false;
    }
    policyId = found;
    BFSM_LOG(1, "Subclient Policy SubClientID [%lu]", policyId);
    return true;
}

void SetSupportedProtocols(Subclient& subclient, const std::string& protocols) {
    App::MossgateProtocols message(kProtocolsFamily, kProtocolsMessageId);
    std::vector<int>* types = ProtocolTypes(message, true);
    if (types == nullptr) {
        BFSM_LOG(-1, "protocolTypes is null");
        return;
    }
    std::vector<std::string> pieces;
    FXString::Split(protocols, ",", pieces, 1);
    for (const std::string& piece : pieces) {
        if (piece == "nfsv3") {
            types->push_back(App::NFSV3);
        } else if (piece == "nfsv4") {
            types->push_back(App::NFSV4);
        } else if (piece == "smb") {
            types->push_back(App::SMB);
        }
    }
    std::string serialized;
    message.serializeUnicode(serialized);
    // Stored as a C string: up to the first NUL byte.
    const std::string value(serialized.c_str());
    subclient.setQuaySupportedProtocols(value, nullptr);
    BFSM_LOG(1, "Subclient Policy SubClientID [%lu] Setting supported protocols [%s]",
             subclient.getId(), value.c_str());
}

bool GetSupportedProtocols(Subclient& subclient, std::string& protocols) {
    std::string property;
    if (subclient.getQuaySupportedProtocols(property, nullptr) != 0) {
        BFSM_LOG(-1, "Failed to get Supported Protocols property from QXDB.");
        return false;
    }
    App::MossgateProtocols message(kProtocolsFamily, kProtocolsMessageId);
    if (message.unserialize(property) != 0) {
        BFSM_LOG(-1, "Unserialize failed. protocols property [%s]. We will use it as is.",
                 property.c_str());
        protocols = property;
        return true;
    }
    const std::vector<int>* types = ProtocolTypes(message, false);
    if (types == nullptr) {
        BFSM_LOG(-1, "protocolTypes is not set [%s]", property.c_str());
        return true;
    }
    for (int type : *types) {
        if (type == App::NFSV3 || type == App::NFSV4) {
            protocols = "nfs";
        } else if (type == App::SMB) {
            protocols = "smb";
        }
    }
    return true;
}

bool HandleAlreadyExportedShare(QuayBackupExportResp* response, Subclient& subclient,
                                unsigned long subclientId) {
    BFSM_LOG(1, "INFO: Share is already exported");
    if (response != nullptr) {
        SetResponse(*response, QUAY_RESP_ALREADY_EXPORTED, "share is already exported");
    }
    if (subclient.setQuayConfigOperationInProgress(false, nullptr) != 0) {
        BFSM_LOG(-1,
                 "ERROR: Failed to reset in progress flag. Timer task will be created to reset "
                 "the flag");
        BackupFSM::AddToInprogressList(static_cast<int>(subclientId));
    }
    return false;
}
