// NFSv4 COMPOUNDs run in process against the real module and store: the
// pseudo tree shows exactly the shares served over NFSv4 and crosses into
// them, opens with their stateids carry READ and WRITE, `change` moves with
// every change, two clients' locks reach the module and name the holder,
// ACLs go in through SETATTR and come back through GETATTR, and malformed
// compounds stop where they must.
#include "nfsserver/Nfs4Compound.h"
#include "nfsserver/WriteVerifier.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "nfsserver/Nfs4PseudoFs.h"
#include "nfsserver/OpenFileCache.h"
#include "tests/module/BackendFixture.h"

namespace {

using namespace std::chrono_literals;
using backendtest::kAllowedUid;
using backendtest::kOtherGid;
using A = Nfs4Attributes;

// Builds the operations of one COMPOUND; everything they point at lives here.
class Ops {
public:
    Ops& Add(nfs_opnum4 op) {
        ops_.emplace_back();
        ops_.back() = nfs_argop4{};
        ops_.back().argop = op;
        return *this;
    }
    nfs_argop4& Last() { return ops_.back(); }
    Ops& PutRoot() { return Add(OP_PUTROOTFH); }
    Ops& Lookup(const std::string& name) {
        Add(OP_LOOKUP);
        Text(name, Last().nfs_argop4_u.oplookup.objname);
        return *this;
    }
    Ops& PutFh(const std::string& handle) {
        Add(OP_PUTFH);
        std::string& kept = Keep(handle);
        Last().nfs_argop4_u.opputfh.object.data.data_len = static_cast<u_int>(kept.size());
        Last().nfs_argop4_u.opputfh.object.data.data_val = &kept[0];
        return *this;
    }
    Ops& GetAttr(uint32_t attribute) {
        Add(OP_GETATTR);
        Mask(attribute, Last().nfs_argop4_u.opgetattr.attr_request);
        return *this;
    }
    void Text(const std::string& text, utf8string& out) {
        std::string& kept = Keep(text);
        out.utf8string_len = static_cast<u_int>(kept.size());
        out.utf8string_val = &kept[0];
    }
    void Mask(uint32_t attribute, bitmap4& out) {
        masks_.emplace_back(2, 0);
        masks_.back()[attribute / 32] |= 1u << (attribute % 32);
        out.bitmap4_len = 2;
        out.bitmap4_val = masks_.back().data();
    }
    // An open-owner or lock-owner of the client.
    template <typename Owner>
    void OwnerOf(clientid4 clientid, const std::string& name, Owner& out) {
        out.clientid = clientid;
        std::string& kept = Keep(name);
        out.owner.owner_len = static_cast<u_int>(kept.size());
        out.owner.owner_val = &kept[0];
    }
    std::string& Keep(const std::string& text) {
        strings_.push_back(text);
        return strings_.back();
    }
    COMPOUND4args Args(uint32_t minor = 0) {
        COMPOUND4args args{};
        args.minorversion = minor;
        args.argarray.argarray_len = static_cast<u_int>(ops_.size());
        args.argarray.argarray_val = ops_.data();
        return args;
    }

private:
    std::vector<nfs_argop4> ops_;
    std::deque<std::string> strings_;
    std::deque<std::vector<uint32_t>> masks_;
};

// Reads the big-endian words of an encoded attribute value.
struct Words {
    explicit Words(const fattr4& attrs) : data(attrs.attr_vals.attrlist4_val), size(attrs.attr_vals.attrlist4_len) {}
    uint32_t U32() {
        uint32_t wire = 0;
        EXPECT_LE(at + 4, size);
        if (at + 4 <= size) memcpy(&wire, data + at, 4);
        at += 4;
        return ntohl(wire);
    }
    uint64_t U64() {
        const uint64_t high = U32();
        return (high << 32) | U32();
    }
    std::string Text() {
        const uint32_t length = U32();
        std::string text(data + at, std::min<size_t>(length, size - std::min(at, size)));
        at += (length + 3) & ~3u;
        return text;
    }
    const char* data;
    size_t size;
    size_t at = 0;
};

class Nfs4CompoundTest : public backendtest::BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        OpenShare();
        shift_ = 10s;
    }
    void TearDown() override {
        state_.reset();
        files_.Clear();
        BackendTest::TearDown();
    }

    // Runs the compound as the caller; the results live until the next Run.
    const COMPOUND4res& Run(Ops& ops, const CallerIdentity& caller, uint32_t minor = 0) {
        compound_.reset();
        compound_ = std::make_unique<Nfs4Compound>(service_, *state_, caller);
        result_ = COMPOUND4res{};
        COMPOUND4args args = ops.Args(minor);
        compound_->Run(args, result_);
        return result_;
    }
    const COMPOUND4res& Run(Ops& ops) { return Run(ops, caller_); }

    static nfsstat4 StatusOf(const COMPOUND4res& res, size_t i) {
        return res.resarray.resarray_val[i].nfs_resop4_u.opillegal.status;
    }

    std::string HandleOf(const COMPOUND4res& res, size_t i) {
        const nfs_fh4& fh = res.resarray.resarray_val[i].nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
        return std::string(fh.data.data_val, fh.data.data_len);
    }

    const fattr4& AttrsOf(const COMPOUND4res& res, size_t i) {
        return res.resarray.resarray_val[i].nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
    }

    std::string ShareRootHandle() {
        nfs_fh3 handle;
        root_->GetFileHandle(handle);
        return std::string(reinterpret_cast<const char*>(handle.data), handle.length);
    }

    // A confirmed client of this name.
    clientid4 Client(const CallerIdentity& caller, const std::string& name) {
        Ops ops;
        ops.Add(OP_SETCLIENTID);
        SETCLIENTID4args& args = ops.Last().nfs_argop4_u.opsetclientid;
        memset(args.client.verifier, 'v', NFS4_VERIFIER_SIZE);
        std::string& id = ops.Keep(name);
        args.client.id.id_len = static_cast<u_int>(id.size());
        args.client.id.id_val = &id[0];
        args.callback.cb_location.r_netid = &ops.Keep("tcp")[0];
        args.callback.cb_location.r_addr = &ops.Keep("127.0.0.1.0.0")[0];
        const COMPOUND4res& set = Run(ops, caller);
        EXPECT_EQ(NFS4_OK, set.status);
        const SETCLIENTID4resok ok = set.resarray.resarray_val[0].nfs_resop4_u.opsetclientid.SETCLIENTID4res_u.resok4;
        Ops confirm;
        confirm.Add(OP_SETCLIENTID_CONFIRM);
        confirm.Last().nfs_argop4_u.opsetclientid_confirm.clientid = ok.clientid;
        memcpy(confirm.Last().nfs_argop4_u.opsetclientid_confirm.setclientid_confirm, ok.setclientid_confirm,
               NFS4_VERIFIER_SIZE);
        EXPECT_EQ(NFS4_OK, Run(confirm, caller).status);
        return ok.clientid;
    }

    // OPEN (creating) of name in the share's root, confirmed: its stateid.
    stateid4 OpenFile(const CallerIdentity& caller, clientid4 clientid, const std::string& owner,
                      const std::string& name, seqid4& seqid) {
        Ops ops;
        ops.PutFh(ShareRootHandle());
        ops.Add(OP_OPEN);
        OPEN4args& open = ops.Last().nfs_argop4_u.opopen;
        open.seqid = seqid++;
        open.share_access = OPEN4_SHARE_ACCESS_BOTH;
        ops.OwnerOf(clientid, owner, open.owner);
        open.openhow.opentype = OPEN4_CREATE;
        open.openhow.openflag4_u.how.mode = UNCHECKED4;
        open.claim.claim = CLAIM_NULL;
        ops.Text(name, open.claim.open_claim4_u.file);
        const COMPOUND4res& res = Run(ops, caller);
        EXPECT_EQ(NFS4_OK, res.status);
        if (res.status != NFS4_OK) return stateid4{};
        const OPEN4resok ok = res.resarray.resarray_val[1].nfs_resop4_u.opopen.OPEN4res_u.resok4;
        if ((ok.rflags & OPEN4_RESULT_CONFIRM) == 0) return ok.stateid;
        Ops confirm;
        confirm.PutFh(ShareRootHandle()).Lookup(name).Add(OP_OPEN_CONFIRM);
        confirm.Last().nfs_argop4_u.opopen_confirm.open_stateid = ok.stateid;
        confirm.Last().nfs_argop4_u.opopen_confirm.seqid = seqid++;
        const COMPOUND4res& confirmed = Run(confirm, caller);
        EXPECT_EQ(NFS4_OK, confirmed.status);
        return confirmed.resarray.resarray_val[2].nfs_resop4_u.opopen_confirm.OPEN_CONFIRM4res_u.resok4.open_stateid;
    }

    uint64_t ChangeOf(const std::string& name) {
        Ops ops;
        ops.PutFh(ShareRootHandle()).Lookup(name).GetAttr(A::kChange);
        const COMPOUND4res& res = Run(ops);
        EXPECT_EQ(NFS4_OK, res.status);
        Words words(AttrsOf(res, 2));
        return words.U64();
    }

    // The clock stands past the grace period of the state's start.
    Nfs4State::Clock::time_point now_ = Nfs4State::Clock::time_point() + 1000h;
    Nfs4State::Clock::duration shift_{};
    OpenFileCache files_{8, std::chrono::seconds(5)};
    FileService service_{*BackupFSM::GetFSM(), files_};
    std::unique_ptr<Nfs4State> state_ =
        std::make_unique<Nfs4State>(1s, Nfs4State::Limits(), [this] { return now_ + shift_; });
    const CallerIdentity caller_{"127.0.0.1", kAllowedUid, kOtherGid, {}};
    // Another client of the same user, and another user.
    const CallerIdentity other_{"127.0.0.2", kAllowedUid, kOtherGid, {}};
    const CallerIdentity stranger_{"127.0.0.3", 1002, kOtherGid, {}};
    std::unique_ptr<Nfs4Compound> compound_;
    COMPOUND4res result_{};
};

TEST_F(Nfs4CompoundTest, ThePseudoTreeShowsSharesServedOverNfs4AndCrossesIntoThem) {
    Ops ops;
    ops.PutRoot().Add(OP_GETFH).Lookup("store").Add(OP_GETFH).GetAttr(A::kFsid).Add(OP_LOOKUPP).Add(OP_GETFH);
    const COMPOUND4res& res = Run(ops);
    ASSERT_EQ(NFS4_OK, res.status);
    ASSERT_EQ(7u, res.resarray.resarray_len);
    EXPECT_EQ(Nfs4PseudoFs::HandleOf("/"), HandleOf(res, 1));
    EXPECT_EQ(ShareRootHandle(), HandleOf(res, 3));
    Words fsid(AttrsOf(res, 4));
    EXPECT_EQ(backendtest::kShareId, fsid.U64());
    EXPECT_EQ(Nfs4PseudoFs::HandleOf("/"), HandleOf(res, 6));

    exp_->SetNfsVersions("3");
    Ops hidden;
    hidden.PutRoot().Lookup("store");
    const COMPOUND4res& absent = Run(hidden);
    EXPECT_EQ(NFS4ERR_NOENT, absent.status);
    ASSERT_EQ(2u, absent.resarray.resarray_len);
    // Its handles are refused too.
    Ops direct;
    direct.PutFh(ShareRootHandle());
    EXPECT_EQ(NFS4ERR_ACCESS, Run(direct).status);
    exp_->SetNfsVersions("4");
    EXPECT_EQ(NFS4_OK, Run(direct).status);
}

TEST_F(Nfs4CompoundTest, AListingGoesOnWithThisServersCookieVerifierOrNoneButNotAnothers) {
    auto readdir = [&](uint64_t cookie, const void* verifier) {
        Ops ops;
        ops.PutRoot().Lookup("store").Add(OP_READDIR);
        READDIR4args& args = ops.Last().nfs_argop4_u.opreaddir;
        args.cookie = cookie;
        memcpy(args.cookieverf, verifier, NFS4_VERIFIER_SIZE);
        args.dircount = 4096;
        args.maxcount = 8192;
        ops.Mask(A::kType, args.attr_request);
        return Run(ops).status;
    };
    const char none[NFS4_VERIFIER_SIZE] = {};
    const char other[NFS4_VERIFIER_SIZE] = {'o', 't', 'h', 'e', 'r'};
    EXPECT_EQ(NFS4_OK, readdir(0, other));
    EXPECT_EQ(NFS4_OK, readdir(7, none));
    EXPECT_EQ(NFS4_OK, readdir(7, WriteVerifier::Get()));
    EXPECT_EQ(NFS4ERR_NOT_SAME, readdir(7, other));
    EXPECT_EQ(NFS4ERR_BAD_COOKIE, readdir(2, none));
}

TEST_F(Nfs4CompoundTest, OpensCarryReadsAndWritesAndChangeMovesWithEveryChange) {
    const clientid4 clientid = Client(caller_, "host-a");
    seqid4 seqid = 0;
    const stateid4 open = OpenFile(caller_, clientid, "owner", "data", seqid);
    const uint64_t before = ChangeOf("data");

    Ops write;
    write.PutFh(ShareRootHandle()).Lookup("data").Add(OP_WRITE);
    WRITE4args& w = write.Last().nfs_argop4_u.opwrite;
    w.stateid = open;
    w.stable = FILE_SYNC4;
    std::string& data = write.Keep("hello nfs4");
    w.data.data_len = static_cast<u_int>(data.size());
    w.data.data_val = &data[0];
    const COMPOUND4res& wrote = Run(write);
    ASSERT_EQ(NFS4_OK, wrote.status);
    EXPECT_EQ(data.size(), wrote.resarray.resarray_val[2].nfs_resop4_u.opwrite.WRITE4res_u.resok4.count);
    const uint64_t afterWrite = ChangeOf("data");
    EXPECT_NE(before, afterWrite);

    Ops read;
    read.PutFh(ShareRootHandle()).Lookup("data").Add(OP_READ);
    read.Last().nfs_argop4_u.opread.stateid = open;
    read.Last().nfs_argop4_u.opread.count = 100;
    const COMPOUND4res& got = Run(read);
    ASSERT_EQ(NFS4_OK, got.status);
    const READ4resok& ok = got.resarray.resarray_val[2].nfs_resop4_u.opread.READ4res_u.resok4;
    EXPECT_EQ("hello nfs4", std::string(ok.data.data_val, ok.data.data_len));
    EXPECT_TRUE(ok.eof);

    // A stateid of another file is refused before anything is read.
    ASSERT_TRUE(MakeFile(root_, "other", "x"));
    Ops wrong;
    wrong.PutFh(ShareRootHandle()).Lookup("other").Add(OP_READ);
    wrong.Last().nfs_argop4_u.opread.stateid = open;
    wrong.Last().nfs_argop4_u.opread.count = 1;
    EXPECT_EQ(NFS4ERR_BAD_STATEID, Run(wrong).status);

    Ops chmod;
    chmod.PutFh(ShareRootHandle()).Lookup("data").Add(OP_SETATTR);
    SETATTR4args& set = chmod.Last().nfs_argop4_u.opsetattr;
    chmod.Mask(A::kMode, set.obj_attributes.attrmask);
    std::string& mode = chmod.Keep(std::string("\0\0\x01\xa4", 4));  // 0644
    set.obj_attributes.attr_vals.attrlist4_len = 4;
    set.obj_attributes.attr_vals.attrlist4_val = &mode[0];
    ASSERT_EQ(NFS4_OK, Run(chmod).status);
    EXPECT_NE(afterWrite, ChangeOf("data"));
}

TEST_F(Nfs4CompoundTest, TwoClientsLockingOneRangeGetTheHolderAndThenTheLock) {
    const clientid4 a = Client(caller_, "host-a");
    const clientid4 b = Client(other_, "host-b");
    seqid4 seqA = 0;
    seqid4 seqB = 0;
    const stateid4 openA = OpenFile(caller_, a, "oa", "locked", seqA);
    const stateid4 openB = OpenFile(other_, b, "ob", "locked", seqB);
    auto lock = [&](const CallerIdentity& caller, const stateid4& open, seqid4& seqid, const std::string& owner,
                    clientid4 clientid) -> const COMPOUND4res& {
        Ops ops;
        ops.PutFh(ShareRootHandle()).Lookup("locked").Add(OP_LOCK);
        LOCK4args& args = ops.Last().nfs_argop4_u.oplock;
        args.locktype = WRITE_LT;
        args.offset = 100;
        args.length = 50;
        args.locker.new_lock_owner = TRUE;
        open_to_lock_owner4& fresh = args.locker.locker4_u.open_owner;
        fresh.open_seqid = seqid++;
        fresh.open_stateid = open;
        ops.OwnerOf(clientid, owner, fresh.lock_owner);
        return Run(ops, caller);
    };
    const COMPOUND4res& first = lock(caller_, openA, seqA, "lock-a", a);
    ASSERT_EQ(NFS4_OK, first.status);
    const stateid4 held = first.resarray.resarray_val[2].nfs_resop4_u.oplock.LOCK4res_u.resok4.lock_stateid;

    const COMPOUND4res& second = lock(other_, openB, seqB, "lock-b", b);
    ASSERT_EQ(NFS4ERR_DENIED, second.status);
    const LOCK4denied& denied = second.resarray.resarray_val[2].nfs_resop4_u.oplock.LOCK4res_u.denied;
    EXPECT_EQ(100u, denied.offset);
    EXPECT_EQ(50u, denied.length);
    EXPECT_EQ(WRITE_LT, denied.locktype);
    EXPECT_EQ(a, denied.owner.clientid);
    EXPECT_EQ("lock-a", std::string(denied.owner.owner.owner_val, denied.owner.owner.owner_len));

    Ops unlock;
    unlock.PutFh(ShareRootHandle()).Lookup("locked").Add(OP_LOCKU);
    LOCKU4args& u = unlock.Last().nfs_argop4_u.oplocku;
    u.locktype = WRITE_LT;
    u.seqid = 1;
    u.lock_stateid = held;
    u.offset = 0;
    u.length = ~0ULL;
    ASSERT_EQ(NFS4_OK, Run(unlock).status);
    EXPECT_EQ(NFS4_OK, lock(other_, openB, seqB, "lock-b2", b).status);
}

TEST_F(Nfs4CompoundTest, AnAclSetThroughSetattrComesBackThroughGetattr) {
    seqid4 seqid = 0;
    OpenFile(caller_, Client(caller_, "host-a"), "owner", "guarded", seqid);
    Ops support;
    support.PutFh(ShareRootHandle()).Lookup("guarded").GetAttr(A::kAclSupport);
    const COMPOUND4res& off = Run(support);
    ASSERT_EQ(NFS4_OK, off.status);
    EXPECT_EQ(0u, Words(AttrsOf(off, 2)).U32());

    auto setAcl = [&]() -> nfsstat4 {
        Ops ops;
        ops.PutFh(ShareRootHandle()).Lookup("guarded").Add(OP_SETATTR);
        SETATTR4args& set = ops.Last().nfs_argop4_u.opsetattr;
        ops.Mask(A::kAcl, set.obj_attributes.attrmask);
        // One ace: deny user 1002 writing.
        const uint32_t words[] = {htonl(1), htonl(ACE4_ACCESS_DENIED_ACE_TYPE), htonl(0), htonl(ACE4_WRITE_DATA),
                                  htonl(4)};
        std::string value(reinterpret_cast<const char*>(words), sizeof(words));
        value += "1002";
        std::string& kept = ops.Keep(value);
        set.obj_attributes.attr_vals.attrlist4_len = static_cast<u_int>(kept.size());
        set.obj_attributes.attr_vals.attrlist4_val = &kept[0];
        return Run(ops).status;
    };
    // A share without ACLs does not take one.
    EXPECT_EQ(NFS4ERR_ATTRNOTSUPP, setAcl());

    exp_->EnableACL(true);
    ASSERT_EQ(NFS4_OK, setAcl());
    Ops get;
    get.PutFh(ShareRootHandle()).Lookup("guarded").GetAttr(A::kAcl);
    const COMPOUND4res& res = Run(get);
    ASSERT_EQ(NFS4_OK, res.status);
    Words acl(AttrsOf(res, 2));
    const uint32_t count = acl.U32();
    ASSERT_EQ(4u, count);  // OWNER@, the user's, GROUP@, EVERYONE@
    std::vector<std::string> whos;
    bool denied = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t type = acl.U32();
        acl.U32();
        const uint32_t mask = acl.U32();
        whos.push_back(acl.Text());
        if (whos.back() == "1002") denied = type == ACE4_ACCESS_DENIED_ACE_TYPE && mask == ACE4_WRITE_DATA;
    }
    EXPECT_EQ((std::vector<std::string>{"OWNER@", "1002", "GROUP@", "EVERYONE@"}), whos);
    EXPECT_TRUE(denied);

    // Only the owner or root changes an ACL.
    Ops foreign;
    foreign.PutFh(ShareRootHandle()).Lookup("guarded").Add(OP_SETATTR);
    SETATTR4args& set = foreign.Last().nfs_argop4_u.opsetattr;
    foreign.Mask(A::kAcl, set.obj_attributes.attrmask);
    std::string& empty = foreign.Keep(std::string(4, '\0'));
    set.obj_attributes.attr_vals.attrlist4_len = 4;
    set.obj_attributes.attr_vals.attrlist4_val = &empty[0];
    EXPECT_EQ(NFS4ERR_PERM, Run(foreign, stranger_).status);
}

TEST_F(Nfs4CompoundTest, MalformedCompoundsStopWhereTheyMust) {
    Ops many;
    for (uint32_t i = 0; i <= Nfs4Compound::kMaxOperations; ++i) many.PutRoot();
    const COMPOUND4res& tooMany = Run(many);
    EXPECT_EQ(NFS4ERR_RESOURCE, tooMany.status);
    ASSERT_EQ(1u, tooMany.resarray.resarray_len);
    EXPECT_EQ(OP_PUTROOTFH, tooMany.resarray.resarray_val[0].resop);

    Ops minor;
    minor.PutRoot();
    const COMPOUND4res& v41 = Run(minor, caller_, 1);
    EXPECT_EQ(NFS4ERR_MINOR_VERS_MISMATCH, v41.status);
    EXPECT_EQ(0u, v41.resarray.resarray_len);

    Ops illegal;
    illegal.PutRoot().Add(static_cast<nfs_opnum4>(2)).PutRoot();
    const COMPOUND4res& stopped = Run(illegal);
    EXPECT_EQ(NFS4ERR_OP_ILLEGAL, stopped.status);
    ASSERT_EQ(2u, stopped.resarray.resarray_len);
    EXPECT_EQ(OP_ILLEGAL, stopped.resarray.resarray_val[1].resop);

    Ops noHandle;
    noHandle.GetAttr(A::kType).PutRoot();
    const COMPOUND4res& none = Run(noHandle);
    EXPECT_EQ(NFS4ERR_NOFILEHANDLE, none.status);
    EXPECT_EQ(1u, none.resarray.resarray_len);

    Ops names;
    names.PutFh(ShareRootHandle()).Lookup("..");
    EXPECT_EQ(NFS4ERR_BADNAME, Run(names).status);
    Ops utf8;
    utf8.PutFh(ShareRootHandle()).Lookup("\xff\xfe");
    EXPECT_EQ(NFS4ERR_INVAL, Run(utf8).status);
    Ops longName;
    longName.PutFh(ShareRootHandle()).Lookup(std::string(256, 'n'));
    EXPECT_EQ(NFS4ERR_NAMETOOLONG, Run(longName).status);
    Ops link;
    link.PutFh(ShareRootHandle()).Add(OP_LINK);
    link.Text("x", link.Last().nfs_argop4_u.oplink.newname);
    EXPECT_EQ(NFS4ERR_NOTSUPP, Run(link).status);
}

}  // namespace
