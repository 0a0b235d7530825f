// StoreUsage: what the stores behind the served shares hold, for the metrics
// endpoint and quayadm stats: objects by type, file versions, logical bytes
// (the live files' sizes), stored bytes (their data as kept) and bytes on
// disk (the store's folder). Read from the engines this process has open:
// a store is never opened just to be measured. Measuring scans a store's
// live rows and its folder, so figures are kept for maxAge and shared by
// every reader in that time.
//
// Thread safety: Measure from any thread; one measurement at a time.
#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct StoreFigures {
    std::string store;  // the store's path, "/store1"
    uint64_t files = 0;
    uint64_t directories = 0;
    uint64_t symlinks = 0;
    uint64_t versions = 0;
    uint64_t logicalBytes = 0;
    uint64_t storedBytes = 0;
    uint64_t diskBytes = 0;
};

class StoreUsage {
public:
    explicit StoreUsage(std::chrono::milliseconds maxAge) : maxAge_(maxAge) {}
    StoreUsage(const StoreUsage&) = delete;
    StoreUsage& operator=(const StoreUsage&) = delete;

    // The figures of those of storePaths that are open here, in their order;
    // measured again when older than maxAge or asked for other stores.
    std::vector<StoreFigures> Measure(const std::vector<std::string>& storePaths);
    // One open store under dataRoot, now; false when it is not open in this
    // process or cannot tell.
    static bool MeasureOne(const std::string& dataRoot, const std::string& storePath, StoreFigures& figures);
    // The store a share serves: the share path of a live share, the path
    // before the last '-' of a point-in-time view's.
    static std::string StoreOfShare(const std::string& sharePath, bool pointInTime);

private:
    const std::chrono::milliseconds maxAge_;
    std::mutex mutex_;
    std::vector<std::string> measured_;      // guarded by mutex_
    std::vector<StoreFigures> figures_;      // guarded by mutex_
    std::chrono::steady_clock::time_point at_;  // guarded by mutex_
};
