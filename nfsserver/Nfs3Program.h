// NFS version 3: the 22 procedures of RFC 1813, decoded into the
// connection's buffers and answered through the file service.
#pragma once
#include "nfsserver/DuplicateRequestCache.h"
#include "nfsserver/FileService.h"
#include "nfsserver/RpcProgram.h"

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

private:
    void GetAttr(RpcCall& call);
    void SetAttr(RpcCall& call);
    void Lookup(RpcCall& call);
    void Access(RpcCall& call);
    void ReadLink(RpcCall& call);
    void Read(RpcCall& call);
    void Write(RpcCall& call);
    void Create(RpcCall& call);
    void MakeDir(RpcCall& call);
    void Symlink(RpcCall& call);
    void MakeNode(RpcCall& call);
    void Remove(RpcCall& call, bool directory);
    void Rename(RpcCall& call);
    void Link(RpcCall& call);
    void ReadDir(RpcCall& call);
    void ReadDirPlus(RpcCall& call);
    void FsStat(RpcCall& call);
    void FsInfo(RpcCall& call);
    void PathConf(RpcCall& call);
    void Commit(RpcCall& call);

    FileService& service_;
    DuplicateRequestCache replies_;  // shared by all connections
};
