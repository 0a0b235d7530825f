// Re-export of shares at start: the object stores that the configuration
// database lists as shares are exported again, with their point-in-time
// views, when this server is their NFS server. One detached thread per
// store runs at start; the list thread retries failures once per
// BackupFSM::setWakeTime until every store is done or unload is announced
// (BackupFSM::timerEvent), then cleans up the saved shares that are no
// longer this server's.
#pragma once
#include <atomic>
#include <ctime>
#include <list>
#include <string>

#include <boost/shared_ptr.hpp>

#include "configclient/AppMessages.h"
#include "host/NfsTypes.h"
#include "platform/ZelCriticalSection.h"

// One store from the database's answer and where its re-export stands. The
// store's thread owns the record until it sets status to retry or done; from
// then on only the list thread changes it.
struct NFSSharesEx {
    enum Status { kPending = 0, kRetry = 1, kDone = 2 };

    explicit NFSSharesEx(const App::NFSShares& message) : share(message) {}
    NFSSharesEx(const NFSSharesEx&) = delete;
    NFSSharesEx& operator=(const NFSSharesEx&) = delete;

    // The subclient that owns the store, as a signed 32-bit number.
    int SubclientId() const;
    // The store's name without the leading "/".
    std::string StoreName() const;

    const App::NFSShares share;
    std::atomic<int> status{kPending};
};

typedef std::list<boost::shared_ptr<NFSSharesEx>> NFSSharesList;

// The stores of the database's answer, in its order. Filled by
// FinalizeExports, then changed by the list thread's passes.
extern NFSSharesList sharesListFromQX;  // guarded by sharesListCS
extern ZelCriticalSection sharesListCS;

// Thread body of one store: share is a heap boost::shared_ptr<NFSSharesEx>
// that the thread takes over (so the record outlives the list's hold on it).
// Runs FinalizeSingleExport; returns null.
void* FinalizeExportThr(void* share);

// Thread body of the list thread; the argument is not used. Returns null.
void* HandleExportList(void* unused);

// One pass of the list thread after its wait: done records leave the list,
// records to retry are tried again on the calling thread, pending ones are
// passed over; then the mount point table is saved. Holds sharesListCS for
// the walk, so a pass run from another thread (to retry now instead of after
// the wait) is serialised with the list thread's own.
void HandleExportListPass();

// Exports the store (when this server serves it) and each of its PIT views
// served here. True when the record needs no more work; the record's status
// says retry or done.
bool FinalizeSingleExport(NFSSharesEx& share);

// Creates one share at start. False when the module cannot start (code left
// as it was) or the creation failed (code is its response code).
bool AddNFSExport(int subclientId, std::string& path, ExportType type, short& code);

// Removes what a saved share that is no longer this server's left behind:
// its Samba share entry and the store's view data. Errors are not reported.
void CleanupStaleExport(const std::string& path, int subclientId, time_t snapshotTime,
                        const std::string& snapName);

// The database still gives this path to this server: it is not stale.
void RemoveCurrentShareFromOldShares(const std::string& path);

// Blocks until every per-store thread started by FinalizeExports has
// finished. Unload calls it before the object container goes away.
void WaitForReExportThreads();
