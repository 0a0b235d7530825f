// ConfigAdmin: the database administration behind quayadm. quayd owns the
// configuration database and changes it here, on the connection the module
// reads through, and drops the client's message cache after each change so
// the module sees it at once.
//
// Every method answers with an AdminResult: kOk, kBadRequest (bad value),
// kNotFound, kAlreadyExists or kDatabaseError, with a text for the user.
// A command that writes several values writes them in one transaction
// (ConfigDatabase::Apply): all of them or none.
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
#include "daemon/StoreOwnership.h"
#include "daemon/ViewConfiguration.h"

class ConfigAdmin {
public:
    // Who may use a new view; null: as the store (the subclient's allowed
    // clients, users and groups).
    struct ViewAccess {
        const std::string* clients = nullptr;
        const std::string* users = nullptr;
        const std::string* groups = nullptr;
    };

    // serverName: this server's client name, the NFS server of the stores
    // and views defined here. db is not owned.
    ConfigAdmin(ConfigDatabase& db, std::string serverName)
        : db_(db), serverName_(std::move(serverName)), ownership_(db) {}
    ConfigAdmin(const ConfigAdmin&) = delete;
    ConfigAdmin& operator=(const ConfigAdmin&) = delete;

    AdminResult AddClient(unsigned long id, const std::string& name);
    // policyId 0: no policy subclient.
    AdminResult AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                             unsigned long policyId);
    AdminResult RemoveSubclient(unsigned long id);
    // The value is checked and converted by PropertyRules. A store name is
    // claimed for the subclient (refused when another owns it); view
    // records must be views of the subclient's own stores.
    AdminResult SetProperty(unsigned long subclientId, const std::string& name, const std::string& value);
    AdminResult RemoveProperty(unsigned long subclientId, const std::string& name);
    // Rows: id, client id, client name, policy id, name.
    AdminResult ListSubclients();
    // Rows: property, value (as PropertyRules::Describe shows it).
    AdminResult ShowSubclient(unsigned long id);

    // Makes the subclient present storeName as a share served by this
    // server: creates the subclient (named after the store) under clientId
    // when missing, makes it the store's owner (refused when another
    // subclient owns it), sets quayObjectStoreName, and fills in every export
    // property that is not set yet with its default (DefaultProperties).
    // Properties already set are kept. Rows: each property written, value.
    AdminResult DefineStore(unsigned long subclientId, unsigned long clientId, const std::string& storeName);
    // Appends a PIT view record to the subclient's view configuration.
    // mountPath must be "/<store name>-<suffix>" (suffix without '-' or
    // '/'); the suffix becomes the snap name and this server its NFS server.
    // The view admits whom access says, by default whom the store admits.
    AdminResult AddView(unsigned long subclientId, const std::string& mountPath, const std::string& toTime,
                        bool readOnly, bool writable, const ViewAccess& access);
    // Rows: path, time, rights (ro/rw as the share behaves), allowed
    // clients, users, groups, NFS server; one per view record.
    AdminResult ListViews(unsigned long subclientId);
    // The subclient gives up a store it owns: the ownership, its store name
    // (when it names this store) and the store's view records go; the data
    // stays on disk for the next subclient that defines the store. Whether
    // the store is still exported is the caller's to check.
    AdminResult ReleaseStore(unsigned long subclientId, const std::string& storeName);
    // Removes the view records of mountPath.
    AdminResult RemoveView(unsigned long subclientId, const std::string& mountPath);

    // Whether the subclient may export the share path: it owns the path's
    // store (StoreOwnership::CheckServe).
    AdminResult CheckShareOwner(unsigned long subclientId, const std::string& path, bool live) {
        return ownership_.CheckServe(subclientId, path, live);
    }

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
    // Fills the view's clients, users and groups from access or the store.
    bool ViewAccessOf(unsigned long subclientId, const ViewAccess& access, ViewConfiguration::View& view,
                      AdminResult& failure);
    AdminResult Written(const CPelError& error, const std::string& done);
    static AdminResult FromError(const CPelError& error);
    static AdminResult FromStatus(int status, unsigned long subclientId);
    static void FlushClientCache();

    ConfigDatabase& db_;
    const std::string serverName_;
    StoreOwnership ownership_;
};
