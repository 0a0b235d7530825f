#include "nfsserver/Nfs4Program.h"

#include <optional>

#include "nfsserver/ChangeClock.h"
#include "nfsserver/Nfs4Compound.h"
#include "nfsserver/Nfs4Procedures.h"

const ProcedureHandler<Nfs4Program> Nfs4Program::kHandlers[] = {
    AnswerNull<Nfs4Program>,
    Serve<&Nfs4Program::Compound>,
};

Nfs4Program::Nfs4Program(FileService& service, Nfs4State& state) : service_(service), state_(state) {}

uint32_t Nfs4Program::Number() const { return NFS4_PROGRAM; }
uint32_t Nfs4Program::Version() const { return NFS_V4; }

void Nfs4Program::Dispatch(RpcCall& call) {
    // COMPOUND is idempotent by the table (NFSv4 answers replays itself) but
    // may change anything.
    ChangeClock::Change change(ChangeClock::Global());
    DispatchProcedure(*this, call, kNfs4Procedures, kHandlers, nullptr);
}

namespace {

// Whether running the compound twice would answer differently the second
// time: it changes names. One that also reads data is not kept (its reply
// may be a mebibyte); clients do not mix the two.
bool KeepsItsReply(const COMPOUND4args& args) {
    bool changesNames = false;
    for (u_int i = 0; i < args.argarray.argarray_len; ++i) {
        const nfs_opnum4 op = args.argarray.argarray_val[i].argop;
        if (op == OP_READ || op == OP_READDIR) return false;
        changesNames = changesNames || op == OP_CREATE || op == OP_REMOVE || op == OP_RENAME || op == OP_LINK;
    }
    return changesNames;
}

}  // namespace

void Nfs4Program::Compound(ProcedureCall& call, const COMPOUND4args& args) {
    std::optional<CachedCall> cached;
    if (KeepsItsReply(args)) {
        RpcCall& rpc = call.Rpc();
        cached.emplace(replies_, call.Caller().Address(), rpc.xid, rpc.procedure);
        if (!cached->Admit(rpc.transport, call.Procedure().decodeArguments, const_cast<COMPOUND4args*>(&args))) {
            return;
        }
        rpc.cached = &*cached;
    }
    Nfs4Compound compound(service_, state_, call.Caller(), call.Rpc().metrics);
    COMPOUND4res res{};
    compound.Run(args, res);
    call.Reply(&res);
    call.Rpc().cached = nullptr;
}
