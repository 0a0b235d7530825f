// StorePruning: retention of the subclients' stores as quayd runs it. The
// policy comes from the configuration: quayRetentionDays (absent: every
// state stays; 0: only the live state and the views'; N: the last N days
// too) and the times of the subclient's views, which stay for as long as
// their records exist. The object store does the pruning (StorePruner),
// whether the store is exported now or not.
//
// Thread safety: any thread; prunes of one store run one after another (the
// store serialises them).
#pragma once
#include <cstdint>
#include <string>

#include "configclient/ConfigDatabase.h"
#include "daemon/AdminResult.h"
#include "objectstore/StorePruner.h"

class StorePruning {
public:
    // db is not owned; serverName: this server's client name.
    StorePruning(ConfigDatabase& db, std::string serverName) : db_(db), serverName_(std::move(serverName)) {}
    StorePruning(const StorePruning&) = delete;
    StorePruning& operator=(const StorePruning&) = delete;

    // quayadm prune: prunes (or, dry, measures) the subclient's store; the
    // rows say what went and the bytes before and after.
    AdminResult Prune(unsigned long subclientId, bool dryRun);
    // The background pass: prunes every store this server serves that has
    // a retention window and was last pruned intervalSeconds ago or longer.
    // The number of stores pruned.
    int PruneDue(int64_t intervalSeconds);
    // What the subclient's store keeps of its history; false with a failure
    // when the subclient has no store or the store cannot tell.
    bool History(unsigned long subclientId, ObjectStore::StoreHistory& history, AdminResult& failure);
    // A refusal naming the oldest time still available when the store no
    // longer holds the state of seconds; kOk otherwise (also when nothing
    // can be told yet: the store then decides when the view opens).
    AdminResult CheckViewTime(unsigned long subclientId, int64_t seconds);

private:
    // The store path and the policy of the subclient's store.
    bool PolicyOf(unsigned long subclientId, std::string& storePath, ObjectStore::PrunePolicy& policy,
                  AdminResult& failure);
    bool StorePath(unsigned long subclientId, std::string& storePath, AdminResult& failure);
    bool Serves(unsigned long subclientId);
    // The folder holding the stores (the host's disk cache), made when missing.
    static bool DataRoot(std::string& root, AdminResult& failure);

    ConfigDatabase& db_;
    const std::string serverName_;
};
