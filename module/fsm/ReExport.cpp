#include "module/fsm/ReExport.h"

#include <pthread.h>
#include <strings.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include <boost/make_shared.hpp>

#include "configclient/App_ExecuteSP.h"
#include "configclient/Subclient.h"
#include "host/HostServices.h"
#include "host/QuayServiceGlobals.h"
#include "module/exportops/CreateExport.h"
#include "module/exportops/SnapDetails.h"
#include "module/exportops/XmlValueHelpers.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/BackupFSMLog.h"
#include "module/fsm/ConfigRPCRecords.h"
#include "module/fsm/SavedExportHooks.h"

NFSSharesList sharesListFromQX;
ZelCriticalSection sharesListCS;

namespace {

const int kSharesListGroup = 509091626;
const int kSharesList = 1427983;
const int kShareGroup = 513467887;
const int kShareSubclientId = 10794118;
const int kShareStoreName = 4977462;

// The per-store threads are detached; unload waits on this count before the
// object container they use goes away. Never destroyed: a thread may still
// finish while the process exits.
struct ShareThreadCount {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;  // guarded by mutex
};

ShareThreadCount& ShareThreads() {
    static ShareThreadCount* count = new ShareThreadCount();
    return *count;
}

void ShareThreadFinished() {
    ShareThreadCount& count = ShareThreads();
    std::lock_guard<std::mutex> lock(count.mutex);
    if (--count.running == 0) count.idle.notify_all();
}

// Starts the store's thread; a store whose thread cannot start is left to
// the list thread's retry.
void StartShareThread(const boost::shared_ptr<NFSSharesEx>& share) {
    {
        std::lock_guard<std::mutex> lock(ShareThreads().mutex);
        ++ShareThreads().running;
    }
    auto* held = new boost::shared_ptr<NFSSharesEx>(share);
    pthread_t thread;
    const int error = pthread_create(&thread, nullptr, &FinalizeExportThr, held);
    if (error == 0) {
        pthread_detach(thread);
        return;
    }
    BFSM_LOG(-1, "ERROR: Failed to start the export thread of [%s]. err [%d]",
             share->StoreName().c_str(), error);
    delete held;
    share->status.store(NFSSharesEx::kRetry);
    ShareThreadFinished();
}

bool IsThisServer(const std::string& server) {
    return strcasecmp(server.c_str(), QuayServiceGlobals::clientName.c_str()) == 0;
}

enum ExportOutcome { kExported, kSubclientGone, kFailed };

// The creation rules of the re-export: an already exported share counts as
// done, a missing subclient ends the work on its store.
ExportOutcome ExportAtStart(int subclientId, std::string& path, ExportType type) {
    short code = QUAY_RESP_SUCCESS;
    if (AddNFSExport(subclientId, path, type, code)) return kExported;
    if (code == QUAY_RESP_SUBCLIENT_NOT_FOUND) return kSubclientGone;
    if (code == QUAY_RESP_ALREADY_EXPORTED) return kExported;
    return kFailed;
}

// Sets the record's status and tells whether it needs no more work.
bool Finish(NFSSharesEx& share, NFSSharesEx::Status status) {
    share.status.store(status);
    return status == NFSSharesEx::kDone;
}

// The PIT views of the store that this server serves; a record without its
// own "NFSServer" follows the store's.
bool ExportSnapViews(NFSSharesEx& share, Subclient& subclient, const std::string& storeServer) {
    std::string details;
    if (subclient.getQuayViewConfiguration(details, nullptr) != 0) {
        BFSM_LOG(-1, "Error: Failed to get snap details for ObjectStore [%s]",
                 share.StoreName().c_str());
        return Finish(share, NFSSharesEx::kRetry);
    }
    for (const std::string& record : SplitSnapRecords(details)) {
        std::string server;
        std::string mountPath;
        GetValueFromXmlString(record, "NFSServer", server);
        GetValueFromXmlString(record, "MntPath", mountPath);
        if (server.empty()) server = storeServer;
        if (!IsThisServer(server)) continue;
        if (mountPath.empty()) {
            // Nothing to export; retrying would not change that.
            BFSM_LOG(-1, "ERROR: Snap record without MntPath skipped [%s]", record.c_str());
            continue;
        }
        RemoveCurrentShareFromOldShares(mountPath);
        const ExportOutcome outcome = ExportAtStart(share.SubclientId(), mountPath,
                                                    EXPORT_TYPE_PIT);
        if (outcome == kSubclientGone) return Finish(share, NFSSharesEx::kDone);
        if (outcome == kFailed) return Finish(share, NFSSharesEx::kRetry);
    }
    return Finish(share, NFSSharesEx::kDone);
}

// Subclients whose stores the list still holds undone. Their saved shares
// are not known to be stale: the database may still give them to this server.
std::set<uint32_t> UnfinishedSubclients() {
    std::set<uint32_t> unfinished;
    ZelCriticalSectionLock lock(sharesListCS);
    for (const auto& share : sharesListFromQX) {
        if (share->status.load() != NFSSharesEx::kDone) {
            unfinished.insert(static_cast<uint32_t>(share->SubclientId()));
        }
    }
    return unfinished;
}

// Walks the saved shares in path order, holding the lock only while one
// entry is copied. The entries stay.
void CleanupStaleExports() {
    const std::set<uint32_t> unfinished = UnfinishedSubclients();
    std::string previous;
    bool first = true;
    for (;;) {
        std::string path;
        ShareData data;
        {
            ZelCriticalSectionLock lock(oldShareListLock);
            auto next = first ? sharesInExportsFile.begin()
                              : sharesInExportsFile.upper_bound(previous);
            if (next == sharesInExportsFile.end()) return;
            path = next->first;
            data = next->second;
        }
        first = false;
        previous = path;
        if (unfinished.count(static_cast<uint32_t>(data.subclientId)) != 0) {
            BFSM_LOG(1, "INFO: ObjectStore [%s] of subclient [%u] is not re-exported yet. Not "
                        "cleaned up", path.c_str(), static_cast<uint32_t>(data.subclientId));
            continue;
        }
        CleanupStaleExport(path, static_cast<int>(data.subclientId), data.snapshotTime,
                           data.snapName);
    }
}

bool SharesListEmpty() {
    ZelCriticalSectionLock lock(sharesListCS);
    return sharesListFromQX.empty();
}

// The shares the database configures, or null (logged) when it cannot say.
bool FetchConfiguredShares(App::GetNFSShareResp& response) {
    App::GetNFSShareReq request;
    std::string requestXml;
    request.serialize(requestXml, false);
    BFSM_LOG(1, "INFO: Get NFS Share request XML [%s]", requestXml.c_str());
    std::string responseXml;
    const int status = App_ExecuteSP::executeStoredProcedure(
        App_ExecuteSP::SP_GET_NFS_SHARES, requestXml, responseXml, nullptr);
    if (status != 0) {
        BFSM_LOG(-1, "ERROR: App_ExecuteSP::executeStoredProcedure failed. Error code [%d]",
                 status);
        return false;
    }
    BFSM_LOG(1, "INFO: GET NFS Share response xml[%s]", responseXml.c_str());
    if (response.unserialize(responseXml) != 0) {
        BFSM_LOG(-1, "ERROR: Failed to read the NFS share response. No share is exported again");
        return false;
    }
    return true;
}

}  // namespace

int NFSSharesEx::SubclientId() const {
    return static_cast<int>(share.getint64(1, kShareGroup, kShareSubclientId));
}

std::string NFSSharesEx::StoreName() const {
    return share.getstring(2, 2, kShareGroup, kShareStoreName);
}

void BackupFSM::FinalizeExports() {
    App::GetNFSShareResp response;
    if (!FetchConfiguredShares(response)) return;
    std::vector<App::NFSShares>* shares =
        response.getlistobject(1, 1, kSharesListGroup, kSharesList, false);
    {
        ZelCriticalSectionLock lock(sharesListCS);
        if (shares != nullptr) {
            for (const App::NFSShares& message : *shares) {
                auto share = boost::make_shared<NFSSharesEx>(message);
                sharesListFromQX.push_back(share);
                StartShareThread(share);
            }
        }
        if (sharesListFromQX.empty()) return;
    }
    exportThreads.emplace_back();
    const int error = exportThreads.back().Start(&HandleExportList, nullptr);
    if (error != 0) {
        BFSM_LOG(-1, "ERROR: Failed to start the export list thread. err [%d]", error);
        exportThreads.pop_back();
    }
}

void* FinalizeExportThr(void* share) {
    std::unique_ptr<boost::shared_ptr<NFSSharesEx>> held(
        static_cast<boost::shared_ptr<NFSSharesEx>*>(share));
    FinalizeSingleExport(**held);
    held.reset();
    ShareThreadFinished();
    return nullptr;
}

bool FinalizeSingleExport(NFSSharesEx& share) {
    const int subclientId = share.SubclientId();
    const std::string storeName = share.StoreName();
    Subclient subclient(static_cast<unsigned long>(static_cast<long>(subclientId)));
    std::string nfsServer;
    if (subclient.getQuayNFSServers(nfsServer, nullptr) != 0) {
        BFSM_LOG(-1, "Error: Failed to obtain NFS Server for subclient to recreate ObjectStore "
                     "[%s]", storeName.c_str());
        return Finish(share, NFSSharesEx::kRetry);
    }
    BFSM_LOG(3, "INFO: FinalizeSingleExport: nfsServer [%s]", nfsServer.c_str());

    if (IsThisServer(nfsServer)) {
        BFSM_LOG(1, "INFO: Found ObjectStore [%s] which is using this [%s] quay server as NFS "
                    "server", storeName.c_str(), QuayServiceGlobals::clientName.c_str());
        BFSM_LOG(1, "Re-Exporting the objectStore [%s]", storeName.c_str());
        std::string path = "/" + storeName;
        RemoveCurrentShareFromOldShares(path);
        const ExportOutcome outcome =
            ExportAtStart(subclientId, path, EXPORT_TYPE_OBJECT_STORE);
        if (outcome == kSubclientGone) return Finish(share, NFSSharesEx::kDone);
        if (outcome == kFailed) return Finish(share, NFSSharesEx::kRetry);
    }
    return ExportSnapViews(share, subclient, nfsServer);
}

bool AddNFSExport(int subclientId, std::string& path, ExportType type, short& code) {
    if (BackupFSM::FSMInit() == nullptr) {
        BFSM_LOG(-1, "Error: Failed to initialize BackupFSM: Cannot proceed further.");
        return false;
    }
    BFSM_LOG(3, "INFO: AddNFSExport: sharePath [%s]", path.c_str());
    QuayBackupExportResp response;
    const bool created = CreateNewExport(static_cast<unsigned long>(static_cast<long>(subclientId)),
                                         path, type, &response);
    code = response.code;
    free(response.text);
    return created;
}

void* HandleExportList(void* /*unused*/) {
    BFSM_LOG(1, "INFO: HandleExportList");
    for (;;) {
        if (SharesListEmpty()) {
            BFSM_LOG(1, "INFO: all shares exported. Exiting thread.");
            break;
        }
        if (BackupFSM::timerEvent.Wait(BackupFSM::setWakeTime)) {
            BFSM_LOG(1, "INFO: shutdown announced. Exiting thread.");
            break;
        }
        HandleExportListPass();
    }
    CleanupStaleExports();
    return nullptr;
}

void HandleExportListPass() {
    {
        ZelCriticalSectionLock lock(sharesListCS);
        for (auto it = sharesListFromQX.begin(); it != sharesListFromQX.end();) {
            const boost::shared_ptr<NFSSharesEx> share = *it;
            const std::string storeName = share->StoreName();
            switch (share->status.load()) {
            case NFSSharesEx::kDone:
                BFSM_LOG(1, "INFO: export successful: [%s]", storeName.c_str());
                it = sharesListFromQX.erase(it);
                break;
            case NFSSharesEx::kRetry:
                BFSM_LOG(1, "INFO: Will retry [%s].", storeName.c_str());
                ++it;
                FinalizeSingleExport(*share);  // looked at on the next pass
                break;
            default:
                BFSM_LOG(1, "INFO: ignoring [%s]", storeName.c_str());
                ++it;
                break;
            }
        }
    }
    SaveMountPointTable();
}

void CleanupStaleExport(const std::string& path, int subclientId, time_t snapshotTime,
                        const std::string& snapName) {
    cleanupSMBShare(path);
    BFSM_LOG(1, "INFO: Found ObjectStore [%s : %u : %ld : %s] which is NOT using [%s] as NFS "
                "server", path.c_str(), static_cast<unsigned>(subclientId),
             static_cast<long>(snapshotTime), snapName.c_str(),
             QuayServiceGlobals::clientName.c_str());
    ObjectStore::ObjectContainer* container = BackupFSM::GetObjContainer();
    if (container == nullptr) {
        BFSM_LOG(-1, "ERROR: ObjectStore [%s] not cleaned up: the object container is not "
                     "initialised", path.c_str());
        return;
    }
    container->cleanupObjectStore(path, static_cast<int64_t>(subclientId), snapName, true);
}

void RemoveCurrentShareFromOldShares(const std::string& path) {
    ZelCriticalSectionLock lock(oldShareListLock);
    sharesInExportsFile.erase(path);
}

void WaitForReExportThreads() {
    ShareThreadCount& count = ShareThreads();
    std::unique_lock<std::mutex> lock(count.mutex);
    count.idle.wait(lock, [&count] { return count.running == 0; });
}
