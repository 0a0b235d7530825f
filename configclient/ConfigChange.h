// ConfigChange: one write of the configuration database's administration.
// ConfigDatabase::Apply makes a list of them in one transaction: all or
// nothing. A value type.
#pragma once
#include <string>

struct ConfigChange {
    enum class Kind {
        kAddClient,       // id, name
        kAddSubclient,    // id, clientId, name, policyId (0: none)
        kRemoveSubclient, // id (its properties and stores go with it)
        kSetProperty,     // id (subclient), name, value
        kRemoveProperty,  // id (subclient), name
        kClaimStore,      // id (subclient), name (store); nothing when it owns it already
        kReleaseStore     // id (subclient), name (store)
    };
    Kind kind = Kind::kSetProperty;
    unsigned long id = 0;
    unsigned long clientId = 0;
    unsigned long policyId = 0;
    std::string name;
    std::string value;

    static ConfigChange AddClient(unsigned long id, const std::string& name) {
        return Make(Kind::kAddClient, id, name, "");
    }
    static ConfigChange AddSubclient(unsigned long id, unsigned long clientId, const std::string& name,
                                     unsigned long policyId) {
        ConfigChange change = Make(Kind::kAddSubclient, id, name, "");
        change.clientId = clientId;
        change.policyId = policyId;
        return change;
    }
    static ConfigChange RemoveSubclient(unsigned long id) { return Make(Kind::kRemoveSubclient, id, "", ""); }
    static ConfigChange SetProperty(unsigned long subclientId, const std::string& name, const std::string& value) {
        return Make(Kind::kSetProperty, subclientId, name, value);
    }
    static ConfigChange RemoveProperty(unsigned long subclientId, const std::string& name) {
        return Make(Kind::kRemoveProperty, subclientId, name, "");
    }
    static ConfigChange ClaimStore(const std::string& store, unsigned long subclientId) {
        return Make(Kind::kClaimStore, subclientId, store, "");
    }
    static ConfigChange ReleaseStore(const std::string& store, unsigned long subclientId) {
        return Make(Kind::kReleaseStore, subclientId, store, "");
    }

private:
    static ConfigChange Make(Kind kind, unsigned long id, const std::string& name, const std::string& value) {
        ConfigChange change;
        change.kind = kind;
        change.id = id;
        change.name = name;
        change.value = value;
        return change;
    }
};
