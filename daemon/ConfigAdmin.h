// ConfigAdmin: the database administration behind quayadm. quayd owns the
// configuration database and changes it here, on the connection the module
// reads through, and drops the client's message cache after each change so
// the module sees it at once.
//
// Every method answers with an AdminResult: kOk, kBadRequest (bad value),
// kNotFound, kAlreadyExists or kDatabaseError, with a text for the user.
// A command that writes several values writes all of them or, on a failure,
// puts back what it had changed.
//
// Thread safety: the database serialises its own use; commands that read
// and then write (define-store, add-view, remove-view) expect one admin
// request at a time, which the admin server guarantees.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminResult.h"

class ConfigAdmin {
public:
    // serverName: this server's client name, the NFS server of the stores
    // and views defined here. db is not owned.
    ConfigAdmin(ConfigDatabase& db, std::string serverName) : db_(db), serverName_(std::move(serverName)) {}
    ConfigAdmin(const ConfigAdmin&) = delete;
    ConfigAdmin& operator=(const ConfigAdmin&) = delete;

    AdminResult AddClient(unsigned long id, const std::string& name);
    // policyId 0: no policy subclient.
    AdminResult AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                             unsigned long policyId);
    AdminResult RemoveSubclient(unsigned long id);
    // The value is checked and converted by PropertyRules.
    AdminResult SetProperty(unsigned long subclientId, const std::string& name, const std::string& value);
    AdminResult RemoveProperty(unsigned long subclientId, const std::string& name);
    // Rows: id, client id, client name, policy id, name.
    AdminResult ListSubclients();
    // Rows: property, value (as PropertyRules::Describe shows it).
    AdminResult ShowSubclient(unsigned long id);

    // Makes the subclient present storeName as a share served by this
    // server: creates the subclient (named after the store) under clientId
    // when missing, sets quayObjectStoreName, and fills in every export
    // property that is not set yet with its default (DefaultProperties).
    // Properties already set are kept. Rows: each property written, value.
    AdminResult DefineStore(unsigned long subclientId, unsigned long clientId, const std::string& storeName);
    // Appends a PIT view record to the subclient's view configuration.
    // mountPath must be "/<store name>-<suffix>" (suffix without '-' or
    // '/'); the suffix becomes the snap name and this server its NFS server.
    AdminResult AddView(unsigned long subclientId, const std::string& mountPath, const std::string& toTime,
                        bool readOnly, bool writable);
    // Removes the view records of mountPath.
    AdminResult RemoveView(unsigned long subclientId, const std::string& mountPath);

    // Whether the configuration still gives the share path of the
    // subclient to this server, as the re-export at start reads it: the
    // subclient's store ("/<store>") or one of its view records, served by
    // this server (names compared ignoring case). True as well when the
    // database cannot tell (a failed read), so nothing is dropped on a
    // passing error.
    bool IsShareOfThisServer(unsigned long subclientId, const std::string& path);

    // (name, value) of the defaults define-store fills in, besides the store
    // name; values in stored form.
    std::vector<std::pair<std::string, std::string>> DefaultProperties() const;

private:
    // The subclient's store name without a leading "/"; a kNotFound or
    // kDatabaseError result when it has none.
    bool StoreName(unsigned long subclientId, std::string& name, AdminResult& failure);
    // Another subclient that already presents the store; 0 when none.
    unsigned long StoreOwner(const std::string& storeName, unsigned long except, AdminResult& failure);
    // Writes the properties in order; on a failure restores the previous
    // values of those already written and answers the failure.
    bool WriteAll(unsigned long subclientId, const std::vector<std::pair<std::string, std::string>>& values,
                  AdminResult& failure);
    AdminResult Written(const CPelError& error, const std::string& done);
    static AdminResult FromError(const CPelError& error);
    static AdminResult FromStatus(int status, unsigned long subclientId);
    static void FlushClientCache();

    ConfigDatabase& db_;
    const std::string serverName_;
};
