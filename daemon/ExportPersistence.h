// ExportPersistence: keeps quayd's exports across restarts, so that every
// share comes back under its old share id and NFS clients' file handles stay
// valid.
//
// The file (<data dir>/exports.saved, SavedExportsFile) lists every export
// of the host's export cache whose module type is the module's. It is
// rewritten whole (temporary file, then rename) by Save.
//
// At start, Restore reads it, reserves each saved path's share id with the
// host, and hands each saved export to FSM::CreateExport; the module then
// re-creates the shares with those ids. A saved export that has not come
// back yet (its store is still being re-exported, or failed and waits for a
// retry) stays "pending" and is written again by every Save, so a quick
// restart loses no id. A pending export is dropped once it is served again,
// once an un-export names it (Forget), or once the configuration no longer
// gives it to this server (then its reserved id is freed).
//
// Thread safety: every method may be called from any thread; one mutex
// serialises them.
#pragma once
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/SavedExport.h"
#include "host/FSM.h"

class ExportPersistence {
public:
    // Whether the configuration still gives a saved export's share to this
    // server; called with the subclient id and path, under this object's lock.
    typedef std::function<bool(unsigned long subclientId, const std::string& path)> StillConfigured;

    // moduleType: the loaded module's FSM type; only its exports are kept.
    ExportPersistence(std::string path, int moduleType, StillConfigured stillConfigured);
    ExportPersistence(const ExportPersistence&) = delete;
    ExportPersistence& operator=(const ExportPersistence&) = delete;

    // Call once, before FSM::FinalizeExports. Returns how many saved exports
    // the module accepted. A missing file is no error; a file with damaged
    // records is kept beside as <path>.bad and its good records are used.
    size_t Restore(FSM& module);
    // An un-export of path was requested: drop it from the pending exports,
    // and with withViews also the PIT views of that store ("<path>-...").
    void Forget(const std::string& path, bool withViews);
    // Writes the file when its content changed since the last write, or
    // always with force. 0 or an errno value (logged).
    int Save(bool force);
    // What Save would write now, in share id order.
    std::vector<SavedExport> Current();

    const std::string& path() const { return path_; }

private:
    // Requires mutex_.
    std::vector<SavedExport> CurrentLocked();
    bool StillPendingLocked(const SavedExport& saved, const std::map<std::string, unsigned int>& served,
                            const std::map<unsigned int, std::string>& servedIds);
    void KeepDamagedFile(const std::string& why);

    const std::string path_;
    const int moduleType_;
    const StillConfigured stillConfigured_;
    std::mutex mutex_;
    std::map<std::string, SavedExport> pending_;  // guarded by mutex_; by path
    std::string written_;                         // guarded by mutex_; content of the last write
    bool haveWritten_ = false;                    // guarded by mutex_
};
