// Nfs4Compound: clients, opens and locks. Sequenced operations keep their
// reply with their owner, so a retransmission gets it again rather than a
// second run.
#include <fcntl.h>
#include <rpc/rpc.h>

#include <cerrno>
#include <cstring>

#include "nfsserver/ExclusiveCreate.h"
#include "nfsserver/Nfs4Compound.h"
#include "nfsserver/Nfs4PseudoFs.h"
#include "nfsserver/Nfs4Status.h"

namespace {

constexpr uint64_t kToEnd = ~0ULL;

std::string Bytes(const char* data, u_int length) { return std::string(data == nullptr ? "" : data, length); }

// A kept reply: the handle left current (when any), then the encoded result.
std::string Pack(const std::string& handle, nfs_resop4& res) {
    const u_int size = xdr_sizeof(reinterpret_cast<xdrproc_t>(xdr_nfs_resop4), &res);
    std::string packed(4 + handle.size() + size, '\0');
    const uint32_t length = static_cast<uint32_t>(handle.size());
    memcpy(&packed[0], &length, 4);
    memcpy(&packed[4], handle.data(), handle.size());
    XDR xdr;
    xdrmem_create(&xdr, &packed[4 + handle.size()], size, XDR_ENCODE);
    const bool ok = xdr_nfs_resop4(&xdr, &res);
    xdr_destroy(&xdr);
    return ok ? packed : std::string();
}

// The protocol's byte range: length ~0 reaches the end; 0, or a range past
// the largest offset, is NFS4ERR_INVAL.
nfsstat4 RangeOf(uint64_t offset, uint64_t length, nfs_lock_type4 type, Nfs4State::Range& range) {
    if (type < READ_LT || type > WRITEW_LT || length == 0) return NFS4ERR_INVAL;
    range.first = offset;
    range.write = type == WRITE_LT || type == WRITEW_LT;
    if (length == kToEnd) {
        range.last = kToEnd;
        return NFS4_OK;
    }
    if (length - 1 > kToEnd - offset) return NFS4ERR_INVAL;
    range.last = offset + length - 1;
    return NFS4_OK;
}

bool ValidShare(uint32_t access, uint32_t deny) {
    return access != 0 && (access & ~OPEN4_SHARE_ACCESS_BOTH) == 0 && (deny & ~OPEN4_SHARE_DENY_BOTH) == 0;
}

}  // namespace

nfsstat4 Nfs4Compound::SetClientId(const SETCLIENTID4args& args, SETCLIENTID4res& res) {
    const std::string id = Bytes(args.client.id.id_val, args.client.id.id_len);
    // The principal of AUTH_SYS: the caller's address and uid.
    SETCLIENTID4resok& ok = res.SETCLIENTID4res_u.resok4;
    const nfsstat4 status = state_.SetClientId(id, args.client.verifier, caller_.Address(), caller_.Ids().uid,
                                               ok.clientid, ok.setclientid_confirm);
    if (status == NFS4ERR_CLID_INUSE) {
        clientaddr4& using_ = res.SETCLIENTID4res_u.client_using;
        using_.r_netid = &Keep("tcp")[0];
        using_.r_addr = &Keep("")[0];
    }
    return status;
}

nfsstat4 Nfs4Compound::Finish(Nfs4State::SequenceGuard& guard, nfsstat4 status, nfs_resop4& res) {
    res.nfs_resop4_u.opillegal.status = status;
    std::string handle;
    if (current_.file) handle.assign(reinterpret_cast<const char*>(current_.file->Handle().data),
                                     current_.file->Handle().length);
    guard.Finish(status, Pack(handle, res));
    return status;
}

nfsstat4 Nfs4Compound::Replay(const Nfs4State::SequenceGuard& guard, nfs_resop4& res) {
    const std::string& packed = guard.LastReply();
    uint32_t length = 0;
    if (packed.size() < 4) return NFS4ERR_BAD_SEQID;
    memcpy(&length, packed.data(), 4);
    if (packed.size() < 4 + static_cast<size_t>(length)) return NFS4ERR_BAD_SEQID;
    if (length > 0) {
        nfs_fh4 handle{};
        std::string& bytes = Keep(packed.substr(4, length));
        handle.data.data_len = length;
        handle.data.data_val = &bytes[0];
        const nfsstat4 status = PutFh(handle);
        if (status != NFS4_OK) return status;
    }
    replays_.emplace_back();
    nfs_resop4& replay = replays_.back();
    replay = nfs_resop4{};
    std::string body = packed.substr(4 + length);
    XDR xdr;
    xdrmem_create(&xdr, &body[0], static_cast<u_int>(body.size()), XDR_DECODE);
    const bool ok = xdr_nfs_resop4(&xdr, &replay);
    xdr_destroy(&xdr);
    if (!ok || replay.resop != res.resop) return NFS4ERR_BAD_SEQID;
    res = replay;
    return replay.nfs_resop4_u.opillegal.status;
}

// ---------------------------------------------------------------- opens

nfsstat4 Nfs4Compound::Open(const OPEN4args& args, nfs_resop4& res) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    // Without delegations there is nothing to claim through one.
    if (args.claim.claim == CLAIM_DELEGATE_CUR) return NFS4ERR_RECLAIM_BAD;
    if (args.claim.claim == CLAIM_DELEGATE_PREV) return NFS4ERR_NOTSUPP;
    Nfs4State::SequenceGuard guard;
    const std::string owner = Bytes(args.owner.owner.owner_val, args.owner.owner.owner_len);
    nfsstat4 status = state_.BeginOpen(args.owner.clientid, owner, args.seqid, guard);
    if (status != NFS4_OK) return status;
    if (guard.Replay()) return Replay(guard, res);
    std::shared_ptr<FileRequest> file;
    status = OpenObject(args, res.nfs_resop4_u.opopen.OPEN4res_u.resok4, file, guard);
    if (status == NFS4_OK) {
        current_ = Fh();
        current_.file = file;
    }
    return Finish(guard, status, res);
}

nfsstat4 Nfs4Compound::OpenObject(const OPEN4args& args, OPEN4resok& ok, std::shared_ptr<FileRequest>& file,
                                Nfs4State::SequenceGuard& guard) {
    const bool reclaim = args.claim.claim == CLAIM_PREVIOUS;
    // Nothing is created or truncated for an open the grace period refuses.
    if (state_.InGrace() != reclaim) return reclaim ? NFS4ERR_NO_GRACE : NFS4ERR_GRACE;
    if (!ValidShare(args.share_access, args.share_deny)) return NFS4ERR_INVAL;
    nfsstat4 status = OpenTarget(args, ok, file);
    if (status != NFS4_OK) return status;
    const bool write = (args.share_access & OPEN4_SHARE_ACCESS_WRITE) != 0;
    int error = write ? service_.CheckWritable(*file) : 0;
    if (error == 0) error = service_.CheckOpen(*file, (args.share_access & OPEN4_SHARE_ACCESS_READ) != 0, write);
    std::shared_ptr<OpenFile> descriptor;
    if (error == 0) error = service_.OpenDescriptor(*file, write, descriptor);
    if (error != 0) return Fail(error);
    bool confirm = false;
    status = state_.Open(guard, file->Key(), args.share_access, args.share_deny, reclaim, descriptor, ok.stateid,
                         confirm);
    if (status != NFS4_OK) return status;
    ok.rflags = OPEN4_RESULT_LOCKTYPE_POSIX | (confirm ? OPEN4_RESULT_CONFIRM : 0);
    ok.delegation.delegation_type = OPEN_DELEGATE_NONE;
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::OpenTarget(const OPEN4args& args, OPEN4resok& ok, std::shared_ptr<FileRequest>& file) {
    if (args.claim.claim == CLAIM_PREVIOUS) {
        // A reclaim names the file by the current filehandle.
        if (!current_.file) return NFS4ERR_ISDIR;
        file = current_.file;
        return NFS4_OK;
    }
    std::string name;
    nfsstat4 status = CheckComponent(args.claim.open_claim4_u.file, name);
    if (status != NFS4_OK) return status;
    if (!current_.file) {
        Nfs4PseudoFs::Entry entry;
        const bool found = Nfs4PseudoFs::Lookup(caller_.Address(), current_.pseudo, name, entry) == 0;
        return found ? NFS4ERR_ISDIR : args.openhow.opentype == OPEN4_CREATE ? NFS4ERR_ROFS : NFS4ERR_NOENT;
    }
    const FileRequest& dir = *current_.file;
    ok.cinfo.before = ChangeOf(dir);
    if (args.openhow.opentype == OPEN4_CREATE) {
        status = CreateTarget(args, name, ok, file);
    } else {
        BkEndProcPtr child;
        const int error = service_.Lookup(dir, name, child);
        if (error == 0) file = Child(dir, child);
        status = Fail(error);
    }
    ok.cinfo.after = ChangeOf(dir);
    return status;
}

nfsstat4 Nfs4Compound::CreateTarget(const OPEN4args& args, const std::string& name, OPEN4resok& ok,
                                    std::shared_ptr<FileRequest>& file) {
    const FileRequest& dir = *current_.file;
    int error = service_.CheckWritable(dir);
    if (error != 0) return Fail(error);
    const createhow4& how = args.openhow.openflag4_u.how;
    Nfs4Attributes::Decoded decoded;
    if (how.mode == EXCLUSIVE4) {
        decoded.change = ExclusiveCreate::Stamp(how.createhow4_u.createverf);
    } else {
        const nfsstat4 status =
            Nfs4Attributes::Decode(how.createhow4_u.createattrs, dir.GetExport()->IsACLEnabled(), decoded);
        if (status != NFS4_OK) return status;
    }
    AttributeChange& change = decoded.change;
    BkEndProcPtr child;
    if (how.mode == UNCHECKED4 && service_.Lookup(dir, name, child) == 0) {
        // An existing file is opened; of the attributes only a size applies,
        // and only once no other owner's reservation stands in the way.
        file = Child(dir, child);
        const std::string owner = Bytes(args.owner.owner.owner_val, args.owner.owner.owner_len);
        nfsstat4 status = state_.CheckShare(args.owner.clientid, owner, file->Key(), args.share_access,
                                            args.share_deny);
        if (status != NFS4_OK || !change.setSize) return status;
        AttributeChange size;
        size.setSize = true;
        size.size = change.size;
        error = service_.SetAttributes(*file, size);
        if (error != 0) return Fail(error);
        KeepMask({1u << Nfs4Attributes::kSize}, ok.attrset);
        return NFS4_OK;
    }
    error = service_.CreateFile(dir, name, change.setMode ? change.mode : 0644, how.mode != UNCHECKED4, child);
    if (error == EEXIST && how.mode == EXCLUSIVE4) {
        error = ExclusiveCreate::Claim(service_, dir, name, change, child);
        if (error == 0) file = Child(dir, child);
        return Fail(error);
    }
    if (error != 0) return Fail(error);
    file = Child(dir, child);
    error = ApplyCreated(*file, decoded);
    if (error != 0) return Fail(error);
    // An exclusive create's times hold the verifier: the client sets them.
    if (how.mode != EXCLUSIVE4) KeepMask(decoded.mask, ok.attrset);
    return NFS4_OK;
}

nfsstat4 Nfs4Compound::ByState(const stateid4& stateid, seqid4 seqid, nfs_resop4& res, const SequencedStep& step) {
    if (!current_.Set()) return NFS4ERR_NOFILEHANDLE;
    Nfs4State::SequenceGuard guard;
    const nfsstat4 status = state_.BeginByState(stateid, seqid, guard);
    if (status != NFS4_OK) return status;
    if (guard.Replay()) return Replay(guard, res);
    return Finish(guard, step(guard), res);
}

nfsstat4 Nfs4Compound::OpenConfirm(const OPEN_CONFIRM4args& args, nfs_resop4& res) {
    stateid4& result = res.nfs_resop4_u.opopen_confirm.OPEN_CONFIRM4res_u.resok4.open_stateid;
    return ByState(args.open_stateid, args.seqid, res, [&](Nfs4State::SequenceGuard& guard) {
        return state_.ConfirmOpen(guard, args.open_stateid, result);
    });
}

nfsstat4 Nfs4Compound::OpenDowngrade(const OPEN_DOWNGRADE4args& args, nfs_resop4& res) {
    stateid4& result = res.nfs_resop4_u.opopen_downgrade.OPEN_DOWNGRADE4res_u.resok4.open_stateid;
    return ByState(args.open_stateid, args.seqid, res, [&](Nfs4State::SequenceGuard& guard) {
        return state_.Downgrade(guard, args.open_stateid, args.share_access, args.share_deny, result);
    });
}

nfsstat4 Nfs4Compound::Close(const CLOSE4args& args, nfs_resop4& res) {
    stateid4& result = res.nfs_resop4_u.opclose.CLOSE4res_u.open_stateid;
    return ByState(args.open_stateid, args.seqid, res, [&](Nfs4State::SequenceGuard& guard) {
        return state_.Close(guard, args.open_stateid, result);
    });
}

// ---------------------------------------------------------------- locks

Nfs4State::ApplyLock Nfs4Compound::LockApplier(const FileRequest& file) {
    return [this, &file](const std::shared_ptr<OpenFile>& open, uint64_t owner, const Nfs4State::Range& range,
                         bool unlock) {
        if (!open) return EBADF;
        const short type = unlock ? F_UNLCK : range.write ? F_WRLCK : F_RDLCK;
        // The module tells owners apart by this pointer's value alone.
        return service_.Lock(file, *open, type, range.first, range.last,
                             reinterpret_cast<void*>(static_cast<uintptr_t>(owner)));
    };
}

void Nfs4Compound::Denied(const Nfs4State::Holder& holder, LOCK4denied& denied) {
    denied.offset = holder.range.first;
    denied.length = holder.range.last == kToEnd ? kToEnd : holder.range.last - holder.range.first + 1;
    denied.locktype = holder.range.write ? WRITE_LT : READ_LT;
    denied.owner.clientid = holder.clientid;
    std::string& owner = Keep(holder.owner);
    denied.owner.owner.owner_len = static_cast<u_int>(owner.size());
    denied.owner.owner.owner_val = &owner[0];
}

namespace {

// Locks are taken on regular files only.
nfsstat4 LockTarget(FileService& service, const FileRequest& file) {
    struct stat st{};
    const int error = service.GetAttributes(file, file.Object(), st);
    if (error != 0) return Nfs4StatusFromErrno(error);
    if (S_ISDIR(st.st_mode)) return NFS4ERR_ISDIR;
    return S_ISREG(st.st_mode) ? NFS4_OK : NFS4ERR_INVAL;
}

}  // namespace

nfsstat4 Nfs4Compound::LockedRange(uint64_t offset, uint64_t length, nfs_lock_type4 type,
                                   std::shared_ptr<FileRequest>& file, Nfs4State::Range& range) {
    nfsstat4 status = CurrentFile(file);
    if (status == NFS4_OK) status = LockTarget(service_, *file);
    return status == NFS4_OK ? RangeOf(offset, length, type, range) : status;
}

nfsstat4 Nfs4Compound::Lock(const LOCK4args& args, nfs_resop4& res) {
    std::shared_ptr<FileRequest> file;
    Nfs4State::Range range;
    const nfsstat4 status = LockedRange(args.offset, args.length, args.locktype, file, range);
    if (status != NFS4_OK) return status;
    const bool newOwner = args.locker.new_lock_owner;
    const open_to_lock_owner4& fresh = args.locker.locker4_u.open_owner;
    const exist_lock_owner4& known = args.locker.locker4_u.lock_owner;
    stateid4& result = res.nfs_resop4_u.oplock.LOCK4res_u.resok4.lock_stateid;
    // A new lock-owner's LOCK is in its open-owner's sequence.
    return ByState(newOwner ? fresh.open_stateid : known.lock_stateid,
                   newOwner ? fresh.open_seqid : known.lock_seqid, res, [&](Nfs4State::SequenceGuard& guard) {
        Nfs4State::Holder holder;
        nfsstat4 locked;
        if (newOwner) {
            const std::string owner = Bytes(fresh.lock_owner.owner.owner_val, fresh.lock_owner.owner.owner_len);
            locked = state_.LockNew(guard, fresh.open_stateid, fresh.lock_seqid, owner, file->Key(), range,
                                    args.reclaim, LockApplier(*file), result, holder);
        } else {
            locked = state_.LockExisting(guard, known.lock_stateid, file->Key(), range, args.reclaim,
                                         LockApplier(*file), result, holder);
        }
        if (locked == NFS4ERR_DENIED) Denied(holder, res.nfs_resop4_u.oplock.LOCK4res_u.denied);
        return locked;
    });
}

nfsstat4 Nfs4Compound::LockTest(const LOCKT4args& args, LOCKT4res& res) {
    std::shared_ptr<FileRequest> file;
    Nfs4State::Range range;
    nfsstat4 status = LockedRange(args.offset, args.length, args.locktype, file, range);
    if (status != NFS4_OK) return status;
    Nfs4State::Holder holder;
    status = state_.TestLock(args.owner.clientid, Bytes(args.owner.owner.owner_val, args.owner.owner.owner_len),
                             file->Key(), range, holder);
    if (status == NFS4ERR_DENIED) Denied(holder, res.LOCKT4res_u.denied);
    return status;
}

nfsstat4 Nfs4Compound::Unlock(const LOCKU4args& args, nfs_resop4& res) {
    std::shared_ptr<FileRequest> file;
    Nfs4State::Range range;
    const nfsstat4 status = LockedRange(args.offset, args.length, args.locktype, file, range);
    if (status != NFS4_OK) return status;
    stateid4& result = res.nfs_resop4_u.oplocku.LOCKU4res_u.lock_stateid;
    return ByState(args.lock_stateid, args.seqid, res, [&](Nfs4State::SequenceGuard& guard) {
        return state_.Unlock(guard, args.lock_stateid, file->Key(), range, LockApplier(*file), result);
    });
}
