// One NFSv4 COMPOUND: its operations run in order against the current and
// saved filehandles until one fails; the results point into this object,
// which must live until the reply is sent. File work goes through the
// protocol-neutral FileService (permissions, squash, allowed clients), state
// through Nfs4State, the directories above the shares through Nfs4PseudoFs.
// One object per call, on the calling connection's thread.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nfsserver/CallerIdentity.h"
#include "nfsserver/FileRequest.h"
#include "nfsserver/FileService.h"
#include "nfsserver/Nfs4Attributes.h"
#include "nfsserver/Nfs4State.h"
#include "nfsserver/nfs4.h"

class ServerMetrics;

class Nfs4Compound {
public:
    // Operations one COMPOUND may carry; beyond it the first answers
    // NFS4ERR_RESOURCE and nothing runs.
    static constexpr uint32_t kMaxOperations = 128;
    // Reply bytes one COMPOUND may fill: a 1 MiB READ and room around it.
    static constexpr size_t kMaxReply = 1024 * 1024 + 64 * 1024;

    // metrics: where operations and data are counted; null for nowhere.
    Nfs4Compound(FileService& service, Nfs4State& state, const CallerIdentity& caller,
                 ServerMetrics* metrics = nullptr);
    ~Nfs4Compound();
    Nfs4Compound(const Nfs4Compound&) = delete;
    Nfs4Compound& operator=(const Nfs4Compound&) = delete;

    // Runs the operations into result (whose arrays point into this object).
    void Run(const COMPOUND4args& args, COMPOUND4res& result);

    // A name from the wire: UTF-8 (else INVAL), one component other than
    // "." and ".." (else BADNAME), at most FileService::kNameMax bytes.
    static nfsstat4 CheckComponent(const component4& wire, std::string& name);

private:
    // A filehandle of the compound: a directory of the pseudo file system
    // or an object of a share.
    struct Fh {
        std::string pseudo;                 // the pseudo directory's path, or empty
        std::shared_ptr<FileRequest> file;  // the share's object, or null
        bool Set() const { return !pseudo.empty() || file != nullptr; }
    };

    nfsstat4 Execute(const nfs_argop4& op, nfs_resop4& res);
    // Counts an operation that ran, and the data it read or wrote.
    void Count(const nfs_resop4& res, nfsstat4 status);

    // Filehandles and names.
    nfsstat4 PutFh(const nfs_fh4& handle);
    nfsstat4 PutRootFh();
    nfsstat4 GetFh(GETFH4res& res);
    nfsstat4 SaveFh();
    nfsstat4 RestoreFh();
    nfsstat4 Lookup(const component4& name);
    nfsstat4 LookupParent();
    nfsstat4 SecInfo(const SECINFO4args& args, SECINFO4res& res);
    nfsstat4 Access(const ACCESS4args& args, ACCESS4res& res);
    nfsstat4 GetAttr(const GETATTR4args& args, GETATTR4res& res);
    nfsstat4 SetAttr(const SETATTR4args& args, SETATTR4res& res);
    nfsstat4 Verify(const fattr4& attributes, bool same);
    // For operations that change names in the current directory: the
    // directory (a share's, writable) and the checked name.
    nfsstat4 NameChange(const component4& wire, std::shared_ptr<FileRequest>& dir, std::string& name);
    nfsstat4 Create(const CREATE4args& args, CREATE4res& res);
    int MakeObject(const createtype4& what, const FileRequest& dir, const std::string& name,
                   const AttributeChange& change, BkEndProcPtr& child);
    // Sets on a new object what was not set with its creation.
    int ApplyCreated(const FileRequest& made, Nfs4Attributes::Decoded& decoded);
    nfsstat4 Remove(const REMOVE4args& args, REMOVE4res& res);
    nfsstat4 Rename(const RENAME4args& args, RENAME4res& res);
    nfsstat4 ReadLink(READLINK4res& res);

    // Data (Nfs4CompoundData.cpp).
    nfsstat4 Read(const READ4args& args, READ4res& res);
    nfsstat4 Write(const WRITE4args& args, WRITE4res& res);
    nfsstat4 Commit(COMMIT4res& res);
    static bool CookieVerifierAccepted(uint64_t cookie, const verifier4 verifier);
    nfsstat4 ReadDir(const READDIR4args& args, READDIR4res& res);
    nfsstat4 ReadPseudoDir(const READDIR4args& args, size_t limit, std::deque<entry4>& entries, bool& eof);
    nfsstat4 ReadShareDir(const READDIR4args& args, size_t limit, std::deque<entry4>& entries, bool& eof);

    // State (Nfs4CompoundState.cpp).
    nfsstat4 SetClientId(const SETCLIENTID4args& args, SETCLIENTID4res& res);
    nfsstat4 Open(const OPEN4args& args, nfs_resop4& res);
    nfsstat4 OpenObject(const OPEN4args& args, OPEN4resok& ok, std::shared_ptr<FileRequest>& file,
                      Nfs4State::SequenceGuard& guard);
    nfsstat4 OpenTarget(const OPEN4args& args, OPEN4resok& ok, std::shared_ptr<FileRequest>& file);
    nfsstat4 CreateTarget(const OPEN4args& args, const std::string& name, OPEN4resok& ok,
                          std::shared_ptr<FileRequest>& file);
    nfsstat4 OpenConfirm(const OPEN_CONFIRM4args& args, nfs_resop4& res);
    nfsstat4 OpenDowngrade(const OPEN_DOWNGRADE4args& args, nfs_resop4& res);
    nfsstat4 Close(const CLOSE4args& args, nfs_resop4& res);
    nfsstat4 Lock(const LOCK4args& args, nfs_resop4& res);
    nfsstat4 LockTest(const LOCKT4args& args, LOCKT4res& res);
    nfsstat4 Unlock(const LOCKU4args& args, nfs_resop4& res);
    // Runs a sequenced operation of the owner of a stateid: a retransmission
    // is answered from the kept reply, anything else by step, whose reply
    // is then kept.
    using SequencedStep = std::function<nfsstat4(Nfs4State::SequenceGuard&)>;
    nfsstat4 ByState(const stateid4& stateid, seqid4 seqid, nfs_resop4& res, const SequencedStep& step);
    // Ends a sequenced operation: keeps its reply (with the filehandle it
    // left current) for a retransmission of the same sequence id.
    nfsstat4 Finish(Nfs4State::SequenceGuard& guard, nfsstat4 status, nfs_resop4& res);
    // Answers a retransmission from the owner's kept reply.
    nfsstat4 Replay(const Nfs4State::SequenceGuard& guard, nfs_resop4& res);
    // The current file as locks need it (a regular file) and the range asked for.
    nfsstat4 LockedRange(uint64_t offset, uint64_t length, nfs_lock_type4 type, std::shared_ptr<FileRequest>& file,
                         Nfs4State::Range& range);
    Nfs4State::ApplyLock LockApplier(const FileRequest& file);
    void Denied(const Nfs4State::Holder& holder, LOCK4denied& denied);

    // Helpers.
    nfsstat4 CurrentFile(std::shared_ptr<FileRequest>& file);  // NOFILEHANDLE, or ISDIR-free share object
    nfsstat4 CurrentShareObject(std::shared_ptr<FileRequest>& file);
    // What attributes are encoded from, with the ACL and figures the source
    // points at; not to be copied.
    struct AttributeRead {
        Nfs4AttributeSource source;
        QuayNfs4Acl acl;
        struct statfs fs{};
    };
    nfsstat4 Source(const Fh& fh, const bitmap4& asked, AttributeRead& read);
    nfsstat4 ShareRoot(const ExportPtr& share, std::shared_ptr<FileRequest>& root);
    std::shared_ptr<FileRequest> Child(const FileRequest& dir, const BkEndProcPtr& child);
    uint64_t ChangeOf(const FileRequest& dir);
    void EncodeAttributes(const bitmap4& asked, const Nfs4AttributeSource& source, fattr4& out);
    std::string& Keep(std::string text);
    void KeepMask(const std::vector<uint32_t>& mask, bitmap4& out);
    nfsstat4 Fail(int error) const;

    FileService& service_;
    Nfs4State& state_;
    const CallerIdentity& caller_;
    ServerMetrics* const metrics_;
    Fh current_;
    Fh saved_;
    size_t replyBytes_ = 0;
    // What the results point at, until the reply is sent.
    std::deque<std::string> strings_;
    std::deque<Nfs4Attributes::Encoded> attributes_;
    std::deque<std::vector<uint32_t>> masks_;
    std::deque<std::vector<char>> data_;
    std::deque<std::deque<entry4>> listings_;
    std::deque<std::vector<secinfo4>> secinfos_;
    std::deque<nfs_resop4> replays_;  // decoded from kept replies; freed by XDR
    std::vector<nfs_resop4> results_;
};
