// Serving a program from its procedure table. The steps every call shares
// are written here once: PROC_UNAVAIL for a number the table lacks, the
// duplicate request cache and the change clock for procedures that are not
// idempotent, decoding
// (GARBAGE_ARGS) and freeing the arguments. A program gives one typed
// handler per procedure with that procedure's work only, ending in
// ProcedureCall::Reply.
#pragma once
#include <cstddef>
#include <optional>
#include <type_traits>

#include "nfsserver/ChangeClock.h"
#include "nfsserver/NfsLog.h"
#include "nfsserver/ProcedureCall.h"
#include "nfsserver/RpcProcedure.h"
#include "nfsserver/XdrArgs.h"

template <typename Program>
using ProcedureHandler = void (*)(Program&, ProcedureCall&);

// The program and argument type of a handler, from its member function type.
template <typename Handler>
struct HandlerTraits;
template <typename P, typename A>
struct HandlerTraits<void (P::*)(ProcedureCall&, const A&)> {
    using Program = P;
    using Arguments = A;
};
template <typename P>
struct HandlerTraits<void (P::*)(ProcedureCall&)> {
    using Program = P;
    using Arguments = void;
};

// A typed handler as an entry of its program's handler table: decodes the
// arguments into the handler's type (GARBAGE_ARGS, or a retransmission
// answered from the cache, ends the call there), runs it, frees them.
template <auto handler>
void Serve(typename HandlerTraits<decltype(handler)>::Program& program, ProcedureCall& call) {
    using Arguments = typename HandlerTraits<decltype(handler)>::Arguments;
    if constexpr (std::is_void_v<Arguments>) {
        (program.*handler)(call);
    } else {
        XdrArgs<Arguments> args(call.Rpc(), call.Procedure().decodeArguments);
        if (args.Decode()) (program.*handler)(call, args.value);
    }
}

// The handler of NULL, the ping every program has.
template <typename Program>
void AnswerNull(Program&, ProcedureCall& call) {
    call.Reply(nullptr);
}

// Runs the call's procedure from a program's two tables, both indexed by
// procedure number: its XDR row and its handler.
template <typename Program, size_t N>
void DispatchProcedure(Program& program, RpcCall& call, const RpcProcedure (&procedures)[N],
                       const ProcedureHandler<Program> (&handlers)[N], DuplicateRequestCache* replies) {
    const RpcProcedure* procedure = FindProcedure(procedures, call.procedure);
    if (procedure == nullptr) {
        svcerr_noproc(call.transport);
        return;
    }
    NFS_LOG(5, "DEBUG: NFS: [%s] xid [%u] from [%s]", procedure->name, call.xid, call.caller.Address().c_str());
    // A procedure that is not idempotent changes something.
    std::optional<ChangeClock::Change> change;
    if (!procedure->idempotent) change.emplace(ChangeClock::Global());
    ProcedureCall procedureCall(call, *procedure, replies);
    handlers[call.procedure](program, procedureCall);
}
