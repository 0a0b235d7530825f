#include "nfsserver/Nfs4Program.h"

#include "nfsserver/Nfs4Compound.h"
#include "nfsserver/Nfs4Procedures.h"

const ProcedureHandler<Nfs4Program> Nfs4Program::kHandlers[] = {
    AnswerNull<Nfs4Program>,
    Serve<&Nfs4Program::Compound>,
};

Nfs4Program::Nfs4Program(FileService& service, Nfs4State& state) : service_(service), state_(state) {}

uint32_t Nfs4Program::Number() const { return NFS4_PROGRAM; }
uint32_t Nfs4Program::Version() const { return NFS_V4; }

void Nfs4Program::Dispatch(RpcCall& call) { DispatchProcedure(*this, call, kNfs4Procedures, kHandlers, nullptr); }

void Nfs4Program::Compound(ProcedureCall& call, const COMPOUND4args& args) {
    Nfs4Compound compound(service_, state_, call.Caller());
    COMPOUND4res res{};
    compound.Run(args, res);
    call.Reply(&res);
}
