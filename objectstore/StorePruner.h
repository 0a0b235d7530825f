// StorePruner: retention, and giving space back.
//
// What stays of a store: the live state; the states at the times of its
// point-in-time views (those the caller names, the configured ones, and those
// open now); and, with a retention window, every state of the window. A prune
// deletes the history rows no kept state reads, the file versions and
// extended attributes no kept state reaches, the extent files no remaining
// row references, and the blocks past the last byte that any row reads of an
// extent only history rows use; then it gives free database pages back.
// Views of times it pruned away are refused from then on (ERANGE).
//
// A prune runs beside client traffic: rows go in small transactions and the
// writer is never held for long. A crash at any moment loses nothing that
// stays; the next prune finishes the work (the order is in FORMAT.md).
//
// Thread safety: one prune per store at a time (a second one waits); any
// number of other operations run beside it. Failures throw StoreFailure from
// Run; the static entry points answer a CPelError.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "objectstore/ObjectStoreTypes.h"
#include "platform/CPelError.h"

namespace ObjectStore {

class StoreEngine;

struct PrunePolicy {
    // No window: every state of the history stays, and only what no state
    // reads goes (extent files a crash left behind, free pages).
    bool keepAll = true;
    // With keepAll false: the states of the last windowSeconds stay; 0 keeps
    // only the live state and the views' states.
    int64_t windowSeconds = 0;
    // Snapshot times (seconds since 1970) of the store's configured views.
    std::vector<int64_t> viewTimes;
    // Reports what a prune would give back, changing nothing.
    bool dryRun = false;
    // The time the window ends, microseconds; 0: now. For tests.
    int64_t nowUs = 0;
};

struct PruneReport {
    uint64_t nodeRows = 0;      // history rows of names and attributes
    uint64_t extentRows = 0;    // rows of file versions' extent maps
    uint64_t xattrRows = 0;
    uint64_t versions = 0;      // file versions no kept state reaches
    uint64_t extentFiles = 0;   // extent files deleted
    uint64_t punchedFiles = 0;  // extent files whose unread tail was given back
    uint64_t bytesBefore = 0;   // disk bytes of the store's folder (and metadata)
    uint64_t bytesAfter = 0;
    uint64_t bytesFreed = 0;    // a dry run: what the prune would give back, about
    int64_t oldestAvailableUs = 0;  // views of earlier times are refused (unless pinned)
    int64_t durationUs = 0;
};

// What a store keeps of its history now.
struct StoreHistory {
    int64_t keptFromUs = 0;         // views before it are refused unless pinned; 0: nothing pruned
    int64_t oldestAvailableUs = 0;  // the first state still there (the store's creation when nothing was pruned)
    int64_t lastPruneUs = 0;        // 0: never pruned
};

class StorePruner {
public:
    explicit StorePruner(StoreEngine& engine);
    StorePruner(const StorePruner&) = delete;
    StorePruner& operator=(const StorePruner&) = delete;

    PruneReport Run(const PrunePolicy& policy);

    // Prunes the store at storePath under the container's data root: with
    // the engine of the views this process has open of it, or alone.
    // ENOENT when the store does not exist.
    static CPelError Prune(const std::string& dataRoot, const std::string& storePath, const PrunePolicy& policy,
                           PruneReport& report);
    // What the store at storePath keeps of its history. ENOENT when the
    // store does not exist.
    static CPelError History(const std::string& dataRoot, const std::string& storePath, StoreHistory& history);
    // Statistics of retention for people: bytes on disk, reclaimable bytes
    // (by the policy of the last prune), the oldest time still available and
    // the last prune.
    static NameValueList Stats(StoreEngine& engine);

private:
    struct Plan;
    Plan MakePlan(const PrunePolicy& policy);
    void Record(const Plan& plan);
    void DeleteRows(const Plan& plan, PruneReport& report, std::vector<uint64_t>& candidates);
    void CountRows(const Plan& plan, PruneReport& report, std::vector<uint64_t>& candidates);
    void FreeExtents(const Plan& plan, const std::vector<uint64_t>& candidates, PruneReport& report);
    void GiveBackPages();
    void Pause();

    StoreEngine& engine_;
};

}  // namespace ObjectStore
