// NFS version 4.0 over the RPC transport, beside NFSv3 on the same listener
// (program 100003 version 4): NULL and COMPOUND. Each COMPOUND runs as an
// Nfs4Compound against the shared file service and the server's NFSv4
// state. A COMPOUND that creates, removes, renames or links names keeps its
// reply in the program's duplicate request cache, so that a retransmission
// after a reconnect gets it again instead of running twice; opens and locks
// replay from their owners' sequence ids instead. Thread-safe: connections
// call Dispatch at once.
#pragma once
#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/FileService.h"
#include "nfsserver/Nfs4State.h"
#include "nfsserver/ProcedureDispatch.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/nfs4.h"

class Nfs4Program : public RpcProgram {
public:
    Nfs4Program(FileService& service, Nfs4State& state);
    Nfs4Program(const Nfs4Program&) = delete;
    Nfs4Program& operator=(const Nfs4Program&) = delete;

    uint32_t Number() const override;
    uint32_t Version() const override;
    void Dispatch(RpcCall& call) override;
    const DuplicateRequestCache& ReplyCache() const { return replies_; }

private:
    // By procedure number, as kNfs4Procedures.
    static const ProcedureHandler<Nfs4Program> kHandlers[];

    void Compound(ProcedureCall& call, const COMPOUND4args& args);

    FileService& service_;
    Nfs4State& state_;
    DuplicateRequestCache replies_;  // shared by all connections
};
