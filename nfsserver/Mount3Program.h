// MOUNT version 3: hands out the root handles of the exports in gAllExports
// to the clients each export allows, and keeps the list of mounts for DUMP.
#pragma once
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "nfsserver/RpcProgram.h"

class Mount3Program : public RpcProgram {
public:
    Mount3Program() = default;
    Mount3Program(const Mount3Program&) = delete;
    Mount3Program& operator=(const Mount3Program&) = delete;

    uint32_t Number() const override;
    uint32_t Version() const override;
    void Dispatch(RpcCall& call) override;

private:
    void Mount(RpcCall& call);
    void Dump(RpcCall& call);
    void Unmount(RpcCall& call);
    void UnmountAll(RpcCall& call);
    void Exports(RpcCall& call);

    std::mutex mutex_;
    std::set<std::pair<std::string, std::string>> mounts_;  // guarded by mutex_; (client, path)
};
