// NFS version 3: the 22 procedures of RFC 1813, decoded into the
// connection's buffers and answered through the file service. The
// procedures' XDR is in kNfs3Procedures; here is one handler each.
#pragma once
#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/FileReadAhead.h"
#include "nfsserver/FileService.h"
#include "nfsserver/ListingReadAhead.h"
#include "nfsserver/ProcedureDispatch.h"
#include "nfsserver/RpcProgram.h"
#include "nfsserver/nfs3.h"

class Nfs3Program : public RpcProgram {
public:
    // Largest READ or WRITE this server takes in one call.
    static constexpr uint32_t kMaxData = 1024 * 1024;

    explicit Nfs3Program(FileService& service);
    Nfs3Program(const Nfs3Program&) = delete;
    Nfs3Program& operator=(const Nfs3Program&) = delete;

    uint32_t Number() const override;
    uint32_t Version() const override;
    void Dispatch(RpcCall& call) override;
    const DuplicateRequestCache& ReplyCache() const { return replies_; }

private:
    // By procedure number, as kNfs3Procedures.
    static const ProcedureHandler<Nfs3Program> kHandlers[];

    void GetAttr(ProcedureCall& call, const GETATTR3args& args);
    void SetAttr(ProcedureCall& call, const SETATTR3args& args);
    void Lookup(ProcedureCall& call, const LOOKUP3args& args);
    void Access(ProcedureCall& call, const ACCESS3args& args);
    void ReadLink(ProcedureCall& call, const READLINK3args& args);
    void Read(ProcedureCall& call, const READ3args& args);
    void Write(ProcedureCall& call, const WRITE3args& args);
    void Create(ProcedureCall& call, const CREATE3args& args);
    void MakeDir(ProcedureCall& call, const MKDIR3args& args);
    void Symlink(ProcedureCall& call, const SYMLINK3args& args);
    void MakeNode(ProcedureCall& call, const MKNOD3args& args);
    void Remove(ProcedureCall& call, const REMOVE3args& args);
    void RemoveDir(ProcedureCall& call, const RMDIR3args& args);
    void Rename(ProcedureCall& call, const RENAME3args& args);
    void Link(ProcedureCall& call, const LINK3args& args);
    void ReadDir(ProcedureCall& call, const READDIR3args& args);
    void ReadDirPlus(ProcedureCall& call, const READDIRPLUS3args& args);
    void FsStat(ProcedureCall& call, const FSSTAT3args& args);
    void FsInfo(ProcedureCall& call, const FSINFO3args& args);
    void PathConf(ProcedureCall& call, const PATHCONF3args& args);
    void Commit(ProcedureCall& call, const COMMIT3args& args);

    // The connection's read-ahead of READDIRPLUS pages.
    ListingReadAhead& ReadAheadOf(ProcedureCall& call);
    // The connection's read-ahead of READ replies.
    FileReadAhead& FileReadAheadOf(ProcedureCall& call);
    // Fills reply with the READ reply to args from caller.
    void ReadPiece(const READ3args& args, const CallerIdentity& caller, ReadReply& reply);
    // Fills page with the READDIRPLUS reply to args from caller.
    void ListPage(const READDIRPLUS3args& args, const CallerIdentity& caller, ReadDirPlusPage& page);

    // REMOVE and RMDIR.
    void RemoveEntry(ProcedureCall& call, const REMOVE3args& args, bool directory);
    // CREATE, MKDIR, SYMLINK and MKNOD: the new object, or the directory only.
    void ReplyNewObject(ProcedureCall& call, const FileRequest& dir, nfsstat3 status, const BkEndProcPtr& child);

    FileService& service_;
    DuplicateRequestCache replies_;  // shared by all connections
};
