// Subclient: configuration-client view of one subclient and its properties.
// Every getter/setter takes a trailing context pointer (pass null) and returns
// 0, ZEL_PROP_NOT_FOUND when the property is not set, or another non-zero
// status. Objects are cheap; build one per operation. Thread-safe.
#pragma once
#include <string>

#include "configclient/SquashType.h"

constexpr int ZEL_PROP_NOT_FOUND = 0x80001;
constexpr int ZEL_SUBCLIENT_NOT_FOUND = 100;

class Subclient {
public:
    explicit Subclient(unsigned long id) : id_(id) {}
    unsigned long getId() const { return id_; }

    // 0 when the subclient exists, 100 when it does not.
    int lookup(void* ctx);
    int getSubclientPolicyId(unsigned long& policyId, void* ctx);
    int getQuayAllowedNFSClients(std::string& value, void* ctx);
    int getQuayUsers(std::string& value, void* ctx);
    int getQuayGroups(std::string& value, void* ctx);
    int getQuayAccessPermission(std::string& value, void* ctx);
    int getQuaySquashType(ZELQUAYSquashType& value, void* ctx);
    int getQuayAnonUid(unsigned int& value, void* ctx);
    int getQuayAnonGid(unsigned int& value, void* ctx);
    int getQuayCopyPrecedence(unsigned int& value, void* ctx);
    int getQuayACLEnableFlag(bool& value, void* ctx);
    int getQuayBackupFilter(std::string& value, void* ctx);
    int getQuaySupportDNFS(bool& value, void* ctx);
    int getQuayIsCaseSensitive(bool& value, void* ctx);
    int setQuayIsCaseSensitive(bool value, void* ctx);
    int getQuayVersionInterval(int& minutes, void* ctx);
    int getQuayVersionSupportNeeded(bool& value, void* ctx);
    int getQuayViewConfiguration(std::string& value, void* ctx);
    int getQuaySupportedProtocols(std::string& value, void* ctx);
    int setQuaySupportedProtocols(const std::string& value, void* ctx);
    int setQuayConfigOperationInProgress(bool value, void* ctx);
    int getQuayNFSServers(std::string& value, void* ctx);

private:
    unsigned long id_;
};

// Turns the client's message cache off (dropping what it holds) or on.
void EnableAppMgrClientMessageCache(bool enable);
