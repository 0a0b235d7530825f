// StoreOwnership: which subclient a share path belongs to. A store, and with
// it its data on disk, belongs to the subclient that defined it (the
// configuration database's store owners) until that subclient is removed or
// releases it. Another subclient may neither export it, nor view it, nor
// define it, and no share path may stand for two subclients at once: a live
// store "/<store>" of one must not be a PIT view "/<store>-<name>" of another.
//
// Answers are AdminResults: kOk, or a refusal with a text that names the owner.
// Thread safety: as the database (each check reads it afresh).
#pragma once
#include <string>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminResult.h"

class StoreOwnership {
public:
    // db is not owned.
    explicit StoreOwnership(ConfigDatabase& db) : db_(db) {}
    StoreOwnership(const StoreOwnership&) = delete;
    StoreOwnership& operator=(const StoreOwnership&) = delete;

    // The store a share path serves, as the module opens it: "/<store>" for a
    // live store, "/<store>-<name>" for a PIT view (the store is the path
    // before its last '-'). False when the path cannot name a store.
    static bool StoreOfPath(const std::string& path, bool live, std::string& store);

    // Whether the subclient may export (or update) the path: it owns the
    // path's store. kBadRequest not a store path; kNotFound nobody defined
    // the store; kAlreadyExists another subclient owns it.
    AdminResult CheckServe(unsigned long subclientId, const std::string& path, bool live);
    // Whether the subclient may define the store: nobody else owns it and
    // no other subclient has a view at "/<store>".
    AdminResult CheckDefine(unsigned long subclientId, const std::string& store);
    // Whether the subclient may have a view at path: it owns the view's
    // store, no other subclient owns a store of that very path, and no other
    // subclient has a view there.
    AdminResult CheckView(unsigned long subclientId, const std::string& path);

private:
    // The subclient (other than subclientId) with a view at path; 0 when none.
    unsigned long OtherViewer(unsigned long subclientId, const std::string& path, AdminResult& failure);
    AdminResult CheckOwner(unsigned long subclientId, const std::string& store, const std::string& what,
                           bool mustBeDefined);

    ConfigDatabase& db_;
};
