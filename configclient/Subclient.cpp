#include "configclient/Subclient.h"

#include <cerrno>

#include "configclient/ConfigDatabase.h"
#include "configclient/ConfigStatus.h"
#include "configclient/MessageCache.h"
#include "configclient/PropertyNames.h"
#include "configclient/PropertyValue.h"

namespace {

// Counts the call; true with the status when a test override answers it.
bool Overridden(unsigned long id, const char* operation, int& status) {
    return ConfigDatabase::Instance().Calls().Record(id, operation, status);
}

int FetchProperty(unsigned long id, const char* name, std::string& value) {
    MessageCache& cache = MessageCache::Instance();
    if (cache.GetProperty(id, name, value)) return CONFIG_OK;
    const uint64_t epoch = cache.Epoch();
    std::string fetched;
    const int status = ConfigDatabase::Instance().GetProperty(id, name, fetched);
    if (status != CONFIG_OK) return status;
    cache.PutProperty(id, name, fetched, epoch);
    value = fetched;
    return CONFIG_OK;
}

int ReadString(unsigned long id, const char* operation, const char* name, std::string& value) {
    int status = CONFIG_OK;
    if (Overridden(id, operation, status)) return status;
    return FetchProperty(id, name, value);
}

template <typename T>
int ReadParsed(unsigned long id, const char* operation, const char* name, T& value,
               bool (*parse)(const std::string&, T&)) {
    std::string text;
    const int status = ReadString(id, operation, name, text);
    if (status != CONFIG_OK) return status;
    return parse(text, value) ? CONFIG_OK : CONFIG_BAD_VALUE;
}

int Write(unsigned long id, const char* operation, const char* name, const std::string& value) {
    int status = CONFIG_OK;
    if (Overridden(id, operation, status)) return status;
    return MessageCache::Instance().WriteProperty(id, name, value, [&]() {
        const CPelError error = ConfigDatabase::Instance().SetProperty(id, name, value);
        if (!error.IsError()) return static_cast<int>(CONFIG_OK);
        return static_cast<int>(error.ErrNo() == ENOENT || error.ErrNo() == EINVAL ? CONFIG_NO_SUBCLIENT
                                                                                    : CONFIG_DB_ERROR);
    });
}

// 0 and the record, ZEL_SUBCLIENT_NOT_FOUND or CONFIG_DB_ERROR.
int LoadSubclient(unsigned long id, SubclientRecord& record) {
    MessageCache& cache = MessageCache::Instance();
    if (cache.GetSubclient(id, record)) return CONFIG_OK;
    const uint64_t epoch = cache.Epoch();
    const int status = ConfigDatabase::Instance().FindSubclient(id, record);
    if (status == CONFIG_OK) cache.PutSubclient(record, epoch);
    return status;
}

}  // namespace

int Subclient::lookup(void*) {
    int status = CONFIG_OK;
    if (Overridden(id_, "lookup", status)) return status;
    SubclientRecord record;
    return LoadSubclient(id_, record);
}

int Subclient::getSubclientPolicyId(unsigned long& policyId, void*) {
    int status = CONFIG_OK;
    if (Overridden(id_, "getSubclientPolicyId", status)) return status;
    SubclientRecord record;
    status = LoadSubclient(id_, record);
    if (status == ZEL_SUBCLIENT_NOT_FOUND) return CONFIG_NO_SUBCLIENT;
    if (status != CONFIG_OK) return status;
    if (record.policyId == 0) return ZEL_PROP_NOT_FOUND;
    policyId = record.policyId;
    return CONFIG_OK;
}

int Subclient::getQuayAllowedNFSClients(std::string& value, void*) {
    return ReadString(id_, "getQuayAllowedNFSClients", PropertyNames::kAllowedNFSClients, value);
}

int Subclient::getQuayUsers(std::string& value, void*) {
    return ReadString(id_, "getQuayUsers", PropertyNames::kUsers, value);
}

int Subclient::getQuayGroups(std::string& value, void*) {
    return ReadString(id_, "getQuayGroups", PropertyNames::kGroups, value);
}

int Subclient::getQuayAccessPermission(std::string& value, void*) {
    return ReadString(id_, "getQuayAccessPermission", PropertyNames::kAccessPermission, value);
}

int Subclient::getQuaySquashType(ZELQUAYSquashType& value, void*) {
    return ReadParsed(id_, "getQuaySquashType", PropertyNames::kSquashType, value,
                      &PropertyValue::ParseSquashType);
}

int Subclient::getQuayAnonUid(unsigned int& value, void*) {
    return ReadParsed(id_, "getQuayAnonUid", PropertyNames::kAnonUid, value, &PropertyValue::ParseUInt32);
}

int Subclient::getQuayAnonGid(unsigned int& value, void*) {
    return ReadParsed(id_, "getQuayAnonGid", PropertyNames::kAnonGid, value, &PropertyValue::ParseUInt32);
}

int Subclient::getQuayCopyPrecedence(unsigned int& value, void*) {
    return ReadParsed(id_, "getQuayCopyPrecedence", PropertyNames::kCopyPrecedence, value,
                      &PropertyValue::ParseUInt32);
}

int Subclient::getQuayACLEnableFlag(bool& value, void*) {
    return ReadParsed(id_, "getQuayACLEnableFlag", PropertyNames::kACLEnableFlag, value,
                      &PropertyValue::ParseBool);
}

int Subclient::getQuayBackupFilter(std::string& value, void*) {
    return ReadString(id_, "getQuayBackupFilter", PropertyNames::kBackupFilter, value);
}

int Subclient::getQuaySupportDNFS(bool& value, void*) {
    return ReadParsed(id_, "getQuaySupportDNFS", PropertyNames::kSupportDNFS, value, &PropertyValue::ParseBool);
}

int Subclient::getQuayIsCaseSensitive(bool& value, void*) {
    return ReadParsed(id_, "getQuayIsCaseSensitive", PropertyNames::kIsCaseSensitive, value,
                      &PropertyValue::ParseBool);
}

int Subclient::setQuayIsCaseSensitive(bool value, void*) {
    return Write(id_, "setQuayIsCaseSensitive", PropertyNames::kIsCaseSensitive, PropertyValue::FormatBool(value));
}

int Subclient::getQuayVersionInterval(int& minutes, void*) {
    return ReadParsed(id_, "getQuayVersionInterval", PropertyNames::kVersionInterval, minutes,
                      &PropertyValue::ParseInt32);
}

int Subclient::getQuayVersionSupportNeeded(bool& value, void*) {
    return ReadParsed(id_, "getQuayVersionSupportNeeded", PropertyNames::kVersionSupportNeeded, value,
                      &PropertyValue::ParseBool);
}

int Subclient::getQuayViewConfiguration(std::string& value, void*) {
    return ReadString(id_, "getQuayViewConfiguration", PropertyNames::kViewConfiguration, value);
}

int Subclient::getQuaySupportedProtocols(std::string& value, void*) {
    return ReadString(id_, "getQuaySupportedProtocols", PropertyNames::kSupportedProtocols, value);
}

int Subclient::setQuaySupportedProtocols(const std::string& value, void*) {
    return Write(id_, "setQuaySupportedProtocols", PropertyNames::kSupportedProtocols, value);
}

int Subclient::setQuayConfigOperationInProgress(bool value, void*) {
    return Write(id_, "setQuayConfigOperationInProgress", PropertyNames::kConfigOperationInProgress,
                 PropertyValue::FormatBool(value));
}

int Subclient::getQuayNFSServers(std::string& value, void*) {
    return ReadString(id_, "getQuayNFSServers", PropertyNames::kNFSServers, value);
}

void EnableAppMgrClientMessageCache(bool enable) {
    int ignored = 0;
    ConfigDatabase::Instance().Calls().Record(
        0, enable ? "EnableAppMgrClientMessageCache(true)" : "EnableAppMgrClientMessageCache(false)", ignored);
    MessageCache::Instance().SetEnabled(enable);
}
