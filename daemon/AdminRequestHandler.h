// AdminRequestHandler: serves one decoded admin request. Export, client
// update and statistics requests go to the module as configuration RPCs
// (ModuleRpc); database administration goes to ConfigAdmin; list-exports
// reads the host's export cache. After every export request the saved
// exports are written again. prune goes to StorePruning; server-stats to
// ServerStatistics. Each request and its outcome are logged at
// level 1; the lines written while a request is served are tagged
// "[admin <n>]", and a failed request's answer carries its warning and error
// lines (LogRequestTag).
//
// Thread safety: one request at a time (the admin server serves its
// connections one after another).
#pragma once
#include <string>

#include "daemon/AdminRequest.h"
#include "daemon/AdminResult.h"
#include "daemon/ConfigAdmin.h"
#include "daemon/ExportPersistence.h"
#include "daemon/StorePruning.h"
#include "daemon/metrics/ServerStatistics.h"
#include "daemon/admin/KeyValueList.h"
#include "host/FSM.h"

class AdminRequestHandler {
public:
    // Nothing is owned; all must outlive the handler. Without statistics,
    // server-stats is answered kInternalError.
    AdminRequestHandler(FSM& module, ConfigAdmin& config, ExportPersistence& persistence, StorePruning& pruning,
                        ServerStatistics* statistics = nullptr)
        : module_(module), config_(config), persistence_(persistence), pruning_(pruning), statistics_(statistics) {}
    AdminRequestHandler(const AdminRequestHandler&) = delete;
    AdminRequestHandler& operator=(const AdminRequestHandler&) = delete;

    // The response message for a request; never throws. caller names the
    // peer in the log and in the RPCs ("uid 0 pid 1234").
    KeyValueList Handle(const KeyValueList& request, const std::string& caller);

private:
    AdminResult Dispatch(const AdminRequest& request, const std::string& caller);
    AdminResult Export(const AdminRequest& request, const std::string& caller);
    AdminResult ClientUpdate(const AdminRequest& request, const std::string& caller);
    AdminResult Stats(const AdminRequest& request, const std::string& caller);
    AdminResult ListExports();
    AdminResult Prune(const AdminRequest& request);
    // A view's time must still be held by its store; then ConfigAdmin adds it.
    AdminResult AddView(unsigned long subclient, const std::string& path, const std::string& toTime, bool readOnly,
                        bool writable, const ConfigAdmin::ViewAccess& access);
    // The views, and the oldest time their store still holds.
    AdminResult ListViews(unsigned long subclient);
    // kInUse when a served share belongs to the store (or, for an empty
    // store, to the subclient); kOk otherwise.
    AdminResult RefuseWhileExported(unsigned long subclient, const std::string& store);
    AdminResult Database(const AdminRequest& request, const std::string& command, bool& known);
    AdminResult DatabaseViews(const AdminRequest& request, const std::string& command, bool& known);

    FSM& module_;
    ConfigAdmin& config_;
    ExportPersistence& persistence_;
    StorePruning& pruning_;
    ServerStatistics* const statistics_;
    unsigned long served_ = 0;  // requests so far; numbers the log tags
};
