#include "daemon/StorePruning.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "configclient/ConfigStatus.h"
#include "configclient/PropertyNames.h"
#include "configclient/Subclient.h"
#include "daemon/QuaydLog.h"
#include "daemon/ViewConfiguration.h"
#include "host/FSMCache.h"
#include "objectstore/TimeText.h"

namespace {

std::string Id(unsigned long id) { return std::to_string(id); }

std::string Mib(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

AdminResult StoreFailure(const std::string& store, const CPelError& error) {
    return AdminResult::Make(error.ErrNo() == ENOENT ? AdminProtocol::kNotFound : AdminProtocol::kInternalError,
                             "store [" + store + "]: " + error.Message());
}

int64_t NowSeconds() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace

bool StorePruning::DataRoot(std::string& root, AdminResult& failure) {
    const CPelError ready = FSMCache::InitDiskCache();
    if (ready.IsError() || !FSMCache::spFsmCache) {
        failure = AdminResult::Make(AdminProtocol::kInternalError, "the disk cache is not ready: " + ready.Message());
        return false;
    }
    root = FSMCache::spFsmCache->GetDiskCacheConfig().path;
    return true;
}

bool StorePruning::StorePath(unsigned long subclientId, std::string& storePath, AdminResult& failure) {
    std::string store;
    const int status = db_.GetProperty(subclientId, PropertyNames::kObjectStoreName, store);
    if (status == ZEL_PROP_NOT_FOUND || (status == 0 && store.empty())) {
        failure = AdminResult::Make(AdminProtocol::kNotFound,
                                    "subclient " + Id(subclientId) + " has no store; run define-store first");
        return false;
    }
    if (status != 0) {
        const bool unknown = status == CONFIG_NO_SUBCLIENT || status == ZEL_SUBCLIENT_NOT_FOUND;
        failure = unknown ? AdminResult::Make(AdminProtocol::kNotFound, "subclient " + Id(subclientId) + " not found")
                          : AdminResult::Make(AdminProtocol::kDatabaseError, "subclient " + Id(subclientId) +
                                                                                 ": cannot read its store (status " +
                                                                                 std::to_string(status) + ")");
        return false;
    }
    storePath = "/" + store;
    return true;
}

bool StorePruning::PolicyOf(unsigned long subclientId, std::string& storePath, ObjectStore::PrunePolicy& policy,
                            AdminResult& failure) {
    if (!StorePath(subclientId, storePath, failure)) return false;
    std::string days;
    const int retention = db_.GetProperty(subclientId, PropertyNames::kRetentionDays, days);
    if (retention != 0 && retention != ZEL_PROP_NOT_FOUND) {
        failure = AdminResult::Make(AdminProtocol::kDatabaseError, "subclient " + Id(subclientId) +
                                                                      ": cannot read its retention");
        return false;
    }
    policy.keepAll = retention == ZEL_PROP_NOT_FOUND;
    if (!policy.keepAll) policy.windowSeconds = std::stoll(days) * 86400;
    // Every view record pins its time, whether exported now or not.
    std::string text;
    const int read = db_.GetProperty(subclientId, PropertyNames::kViewConfiguration, text);
    if (read != 0 && read != ZEL_PROP_NOT_FOUND) {
        failure = AdminResult::Make(AdminProtocol::kDatabaseError, "subclient " + Id(subclientId) +
                                                                      ": cannot read its views");
        return false;
    }
    const ViewConfiguration views(text);
    for (const std::string& record : views.records()) {
        std::string toTime;
        int64_t seconds = 0;
        if (ViewConfiguration::Element(record, "ToTime", toTime) && ViewConfiguration::Seconds(toTime, seconds)) {
            policy.viewTimes.push_back(seconds);
        }
    }
    return true;
}

AdminResult StorePruning::Prune(unsigned long subclientId, bool dryRun) {
    std::string storePath;
    std::string root;
    ObjectStore::PrunePolicy policy;
    AdminResult failure;
    if (!PolicyOf(subclientId, storePath, policy, failure) || !DataRoot(root, failure)) return failure;
    policy.dryRun = dryRun;
    ObjectStore::PruneReport report;
    const CPelError error = ObjectStore::StorePruner::Prune(root, storePath, policy, report);
    if (error.IsError()) return StoreFailure(storePath, error);
    QUAYD_LOG(1, "INFO: %s store [%s] of subclient [%lu]: %s %s, %llu extent files; on disk %s before, %s after",
              dryRun ? "Dry run of a prune of" : "Pruned", storePath.c_str(), subclientId,
              dryRun ? "would free" : "freed", Mib(report.bytesFreed).c_str(),
              static_cast<unsigned long long>(report.extentFiles), Mib(report.bytesBefore).c_str(),
              Mib(report.bytesAfter).c_str());
    AdminResult result = AdminResult::Ok(std::string(dryRun ? "a prune of [" : "pruned [") + storePath + "]" +
                                         (dryRun ? " would free " : ": freed ") + Mib(report.bytesFreed));
    const std::pair<const char*, uint64_t> counts[] = {
        {"history rows", report.nodeRows},     {"extent map rows", report.extentRows},
        {"attribute rows", report.xattrRows},  {"file versions", report.versions},
        {"extent files", report.extentFiles},  {"extent tails", report.punchedFiles},
        {"bytes on disk before", report.bytesBefore}, {"bytes on disk after", report.bytesAfter},
        {"bytes freed", report.bytesFreed},
    };
    for (const auto& count : counts) result.AddRow({count.first, std::to_string(count.second)});
    result.AddRow({"retention", policy.keepAll ? "all history" : std::to_string(policy.windowSeconds / 86400) + " days"});
    result.AddRow({"views kept", std::to_string(policy.viewTimes.size())});
    result.AddRow({"oldest time available", ObjectStore::DescribeUs(report.oldestAvailableUs)});
    result.AddRow({"duration ms", std::to_string(report.durationUs / 1000)});
    return result;
}

bool StorePruning::Serves(unsigned long subclientId) {
    std::string server;
    return db_.GetProperty(subclientId, PropertyNames::kNFSServers, server) == 0 &&
           strcasecmp(server.c_str(), serverName_.c_str()) == 0;
}

int StorePruning::PruneDue(int64_t intervalSeconds) {
    int pruned = 0;
    for (const SubclientRecord& subclient : db_.ListSubclients()) {
        std::string days;
        if (db_.GetProperty(subclient.id, PropertyNames::kRetentionDays, days) != 0 || !Serves(subclient.id)) continue;
        ObjectStore::StoreHistory history;
        AdminResult failure;
        if (!History(subclient.id, history, failure)) continue;
        if (history.lastPruneUs != 0 && NowSeconds() - history.lastPruneUs / 1000000 < intervalSeconds) continue;
        const AdminResult result = Prune(subclient.id, false);
        if (result.code != AdminProtocol::kOk) {
            QUAYD_LOG(-1, "WARN: Pruning the store of subclient [%lu] failed: %s", subclient.id, result.text.c_str());
            continue;
        }
        ++pruned;
    }
    return pruned;
}

bool StorePruning::History(unsigned long subclientId, ObjectStore::StoreHistory& history, AdminResult& failure) {
    std::string storePath;
    std::string root;
    if (!StorePath(subclientId, storePath, failure) || !DataRoot(root, failure)) return false;
    const CPelError error = ObjectStore::StorePruner::History(root, storePath, history);
    if (error.IsError()) {
        failure = StoreFailure(storePath, error);
        return false;
    }
    return true;
}

AdminResult StorePruning::CheckViewTime(unsigned long subclientId, int64_t seconds) {
    ObjectStore::StoreHistory history;
    AdminResult failure;
    // A store not made yet holds no history to refuse by.
    if (!History(subclientId, history, failure)) return AdminResult::Ok("");
    if (history.keptFromUs == 0 || seconds * 1000000 + 999999 >= history.keptFromUs) return AdminResult::Ok("");
    return AdminResult::Make(AdminProtocol::kNotFound,
                             "the store of subclient " + Id(subclientId) + " no longer holds the state of " +
                                 ObjectStore::UtcText(seconds) + ": the oldest time still available is " +
                                 ObjectStore::DescribeUs(history.oldestAvailableUs));
}
