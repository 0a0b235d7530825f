// MOUNT version 3: hands out the root handles of the exports in gAllExports
// to the clients each export allows, and keeps the list of mounts for DUMP.
// The procedures' XDR is in kMount3Procedures; here is one handler each.
#pragma once
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "nfsserver/ProcedureDispatch.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/mount3.h"

class Mount3Program : public RpcProgram {
public:
    Mount3Program() = default;
    Mount3Program(const Mount3Program&) = delete;
    Mount3Program& operator=(const Mount3Program&) = delete;

    uint32_t Number() const override;
    uint32_t Version() const override;
    void Dispatch(RpcCall& call) override;

private:
    // By procedure number, as kMount3Procedures.
    static const ProcedureHandler<Mount3Program> kHandlers[];

    void Mount(ProcedureCall& call, const dirpath& path);
    void Dump(ProcedureCall& call);
    void Unmount(ProcedureCall& call, const dirpath& path);
    void UnmountAll(ProcedureCall& call);
    void Exports(ProcedureCall& call);

    std::mutex mutex_;
    std::set<std::pair<std::string, std::string>> mounts_;  // guarded by mutex_; (client, path)
};
