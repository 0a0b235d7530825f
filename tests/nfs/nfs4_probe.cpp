// NFSv4 test client for nfs4_e2e.sh, on libnfs: its NFSv4 file API for the
// operation families, and its raw COMPOUND calls for what that API hides
// (two clients' locks and the holder a conflict names, replayed OPENs, ACLs,
// the grace period). Prints "FAIL ..." lines and exits 1 on any failure.
//
//   nfs4_probe PORT families SHARE     every family through the file API
//   nfs4_probe PORT locks SHARE LEASE  two clients on one range, then expiry
//   nfs4_probe PORT replay SHARE       an OPEN sent twice with one seqid
//   nfs4_probe PORT acl SHARE          ACL set and read back
//   nfs4_probe PORT grace SHARE        OPEN refused in grace, reclaim granted
//                                      (of "replayed", which replay made)
//   nfs4_probe PORT v3refused SHARE    the share refuses MOUNT3 and NFSv3
//   nfs4_probe PORT rest SHARE         what the file API does not send
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs4.h>
}

namespace {

int failures = 0;
std::string lastError;  // of the last mount that failed

#define CHECK(condition, ...)                          \
    do {                                               \
        if (!(condition)) {                            \
            printf("FAIL %s:%d ", __FILE__, __LINE__); \
            printf(__VA_ARGS__);                       \
            printf("\n");                              \
            ++failures;                                \
        }                                              \
    } while (0)

// ---------------------------------------------------------------- the file API

// A context mounted on the share through its URL, or null (with a FAIL line
// when expected).
nfs_context* MountAs(int version, int port, const std::string& share, bool report) {
    nfs_context* nfs = nfs_init_context();
    const std::string text = "nfs://127.0.0.1" + share + "?nfsport=" + std::to_string(port) +
                             "&mountport=" + std::to_string(port) + "&version=" + std::to_string(version);
    nfs_url* url = nfs_parse_url_dir(nfs, text.c_str());
    const int mounted = url == nullptr ? -1 : nfs_mount(nfs, url->server, url->path);
    if (url != nullptr) nfs_destroy_url(url);
    if (mounted == 0) return nfs;
    if (report) printf("FAIL mount %s over NFSv%d: %s\n", share.c_str(), version, nfs_get_error(nfs));
    lastError = nfs_get_error(nfs);
    nfs_destroy_context(nfs);
    return nullptr;
}

nfs_context* Mount(int port, const std::string& share) { return MountAs(4, port, share, true); }

std::vector<char> Pattern(size_t size) {
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xff);
    return bytes;
}

void Families(int port, const std::string& share) {
    nfs_context* nfs = Mount(port, share);
    if (nfs == nullptr) {
        ++failures;
        return;
    }
    // Directories and files: CREATE, OPEN/OPEN_CONFIRM, WRITE, COMMIT, READ, CLOSE.
    CHECK(nfs_mkdir(nfs, "/v4dir") == 0, "mkdir: %s", nfs_get_error(nfs));
    CHECK(nfs_mkdir(nfs, "/v4dir") == -EEXIST, "second mkdir");
    nfsfh* fh = nullptr;
    CHECK(nfs_open(nfs, "/v4dir/data", O_CREAT | O_RDWR, &fh) == 0, "create: %s", nfs_get_error(nfs));
    const std::vector<char> data = Pattern(256 * 1024 + 17);
    if (fh != nullptr) {
        // libnfs 4.0 encodes an NFSv4 call into 4 KiB: it writes in small pieces
        // (the wire test sends 1 MiB WRITEs).
        constexpr size_t kPiece = 2048;
        for (size_t at = 0; at < data.size(); at += kPiece) {
            const size_t piece = std::min(kPiece, data.size() - at);
            const int wrote = nfs_pwrite(nfs, fh, at, piece, data.data() + at);
            CHECK(wrote == static_cast<int>(piece), "write at %zu: %s", at, nfs_get_error(nfs));
            if (wrote != static_cast<int>(piece)) break;
        }
        CHECK(nfs_fsync(nfs, fh) == 0, "commit: %s", nfs_get_error(nfs));
        std::vector<char> back(data.size());
        CHECK(nfs_pread(nfs, fh, 0, back.size(), back.data()) == static_cast<int>(back.size()), "read: %s",
              nfs_get_error(nfs));
        CHECK(back == data, "read back differs");
        nfs_stat_64 st{};
        CHECK(nfs_fstat64(nfs, fh, &st) == 0 && st.nfs_size == data.size(), "fstat size %llu",
              static_cast<unsigned long long>(st.nfs_size));
        // SETATTR of the size with the open's stateid.
        CHECK(nfs_ftruncate(nfs, fh, 1000) == 0, "ftruncate: %s", nfs_get_error(nfs));
        CHECK(nfs_fstat64(nfs, fh, &st) == 0 && st.nfs_size == 1000, "size after truncate");
        CHECK(nfs_close(nfs, fh) == 0, "close: %s", nfs_get_error(nfs));
    }
    // Attributes: GETATTR, SETATTR of mode and times, ACCESS.
    CHECK(nfs_chmod(nfs, "/v4dir/data", 0640) == 0, "chmod: %s", nfs_get_error(nfs));
    nfs_stat_64 st{};
    CHECK(nfs_stat64(nfs, "/v4dir/data", &st) == 0 && (st.nfs_mode & 07777) == 0640 && S_ISREG(st.nfs_mode),
          "mode %llo", static_cast<unsigned long long>(st.nfs_mode));
    CHECK(st.nfs_nlink == 1, "nlink %llu", static_cast<unsigned long long>(st.nfs_nlink));
    timeval times[2] = {{1000000, 0}, {2000000, 0}};
    CHECK(nfs_utimes(nfs, "/v4dir/data", times) == 0, "utimes: %s", nfs_get_error(nfs));
    CHECK(nfs_stat64(nfs, "/v4dir/data", &st) == 0 && st.nfs_mtime == 2000000, "mtime %llu",
          static_cast<unsigned long long>(st.nfs_mtime));
    CHECK(nfs_access(nfs, "/v4dir/data", R_OK) == 0, "access: %s", nfs_get_error(nfs));
    CHECK(nfs_stat64(nfs, "/v4dir/missing", &st) == -ENOENT, "stat of a missing file");
    // Names: RENAME, symbolic links (CREATE NF4LNK, READLINK), READDIR, REMOVE.
    CHECK(nfs_rename(nfs, "/v4dir/data", "/v4dir/renamed") == 0, "rename: %s", nfs_get_error(nfs));
    CHECK(nfs_symlink(nfs, "renamed", "/v4dir/link") == 0, "symlink: %s", nfs_get_error(nfs));
    char target[64] = "";
    CHECK(nfs_readlink(nfs, "/v4dir/link", target, sizeof(target)) == 0 && strcmp(target, "renamed") == 0,
          "readlink [%s]", target);
    CHECK(nfs_link(nfs, "/v4dir/renamed", "/v4dir/hard") != 0, "hard link made");
    nfsdir* dir = nullptr;
    std::vector<std::string> names;
    CHECK(nfs_opendir(nfs, "/v4dir", &dir) == 0, "opendir: %s", nfs_get_error(nfs));
    if (dir != nullptr) {
        while (nfsdirent* entry = nfs_readdir(nfs, dir)) names.push_back(entry->name);
        nfs_closedir(nfs, dir);
    }
    std::string listed;
    for (const std::string& name : names) listed += name + " ";
    CHECK(names.size() == 2 || (names.size() == 4 && listed.find(". ") != std::string::npos), "listing [%s]",
          listed.c_str());
    CHECK(listed.find("renamed ") != std::string::npos && listed.find("link ") != std::string::npos,
          "listing [%s]", listed.c_str());
    CHECK(nfs_rmdir(nfs, "/v4dir") == -ENOTEMPTY, "rmdir of a full directory");
    CHECK(nfs_unlink(nfs, "/v4dir/link") == 0, "unlink link: %s", nfs_get_error(nfs));
    CHECK(nfs_unlink(nfs, "/v4dir/renamed") == 0, "unlink file: %s", nfs_get_error(nfs));
    CHECK(nfs_unlink(nfs, "/v4dir/renamed") == -ENOENT, "second unlink");
    CHECK(nfs_rmdir(nfs, "/v4dir") == 0, "rmdir: %s", nfs_get_error(nfs));
    // The file system's figures.
    struct statvfs vfs{};
    CHECK(nfs_statvfs(nfs, "/", &vfs) == 0 && vfs.f_blocks > 0, "statvfs: %s", nfs_get_error(nfs));
    nfs_destroy_context(nfs);
}

// LOCK, LOCKT and LOCKU through the file API, on a context of their own:
// libnfs 4.0 does not advance its open-owner's sequence id after a LOCK that
// names it, so the context's next OPEN or CLOSE is BAD_SEQID with any server
// that keeps the sequence.
void FileLocks(int port, const std::string& share) {
    nfs_context* nfs = Mount(port, share);
    if (nfs == nullptr) {
        ++failures;
        return;
    }
    nfsfh* fh = nullptr;
    CHECK(nfs_open(nfs, "/lockf", O_CREAT | O_RDWR, &fh) == 0, "create: %s", nfs_get_error(nfs));
    if (fh != nullptr) {
        CHECK(nfs_lockf(nfs, fh, NFS4_F_LOCK, 100) == 0, "lockf: %s", nfs_get_error(nfs));
        CHECK(nfs_lockf(nfs, fh, NFS4_F_TEST, 100) == 0, "own lock tested: %s", nfs_get_error(nfs));
        CHECK(nfs_lockf(nfs, fh, NFS4_F_ULOCK, 100) == 0, "unlock: %s", nfs_get_error(nfs));
    }
    // REMOVE takes no sequence id.
    CHECK(nfs_unlink(nfs, "/lockf") == 0, "unlink: %s", nfs_get_error(nfs));
    // The CLOSE is refused (see above) but frees libnfs's handle.
    if (fh != nullptr) nfs_close(nfs, fh);
    nfs_destroy_context(nfs);
}

// ---------------------------------------------------------------- raw COMPOUNDs

// One result of a reply. libnfs 4.0 decodes the result array at an address
// not aligned for its type; a copy is.
nfs_resop4 At(const COMPOUND4res& res, size_t i) {
    nfs_resop4 op;
    memcpy(&op, reinterpret_cast<const char*>(res.resarray.resarray_val) + i * sizeof(nfs_resop4), sizeof(op));
    return op;
}

// One client's connection for raw COMPOUNDs; every call waits for its reply
// and hands it to a function while libnfs still holds it.
class Raw {
public:
    explicit Raw(int port) : rpc_(rpc_init_context()) {
        bool done = false;
        int status = -1;
        auto connected = [](rpc_context*, int s, void*, void* data) {
            auto* state = static_cast<std::pair<bool*, int*>*>(data);
            *state->first = true;
            *state->second = s;
        };
        std::pair<bool*, int*> state{&done, &status};
        if (rpc_connect_async(rpc_, "127.0.0.1", port, connected, &state) == 0) Wait(done);
        ok_ = done && status == RPC_STATUS_SUCCESS;
        if (!ok_) printf("FAIL connect: %s\n", rpc_get_error(rpc_));
    }
    ~Raw() { rpc_destroy_context(rpc_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    // Sends the operations; look sees the reply. False without one.
    bool Call(std::vector<nfs_argop4>& ops, const std::function<void(const COMPOUND4res&)>& look) {
        if (!ok_) return false;
        COMPOUND4args args{};
        args.argarray.argarray_len = static_cast<u_int>(ops.size());
        args.argarray.argarray_val = ops.data();
        struct Pending {
            bool done = false;
            bool replied = false;
            const std::function<void(const COMPOUND4res&)>* look;
        } pending;
        pending.look = &look;
        auto reply = [](rpc_context*, int status, void* data, void* privateData) {
            auto* p = static_cast<Pending*>(privateData);
            p->done = true;
            if (status == RPC_STATUS_SUCCESS && data != nullptr) {
                p->replied = true;
                (*p->look)(*static_cast<COMPOUND4res*>(data));
            }
        };
        if (rpc_nfs4_compound_async(rpc_, reply, &args, &pending) != 0) return false;
        Wait(pending.done);
        return pending.replied;
    }
    // The status of the COMPOUND, or -1 without a reply.
    int Status(std::vector<nfs_argop4>& ops) {
        int status = -1;
        Call(ops, [&](const COMPOUND4res& res) { status = res.status; });
        return status;
    }

private:
    void Wait(bool& done) {
        for (int i = 0; i < 600 && !done; ++i) {
            pollfd wait{rpc_get_fd(rpc_), static_cast<short>(rpc_which_events(rpc_)), 0};
            if (poll(&wait, 1, 100) < 0 || rpc_service(rpc_, wait.revents) < 0) break;
        }
    }

    rpc_context* rpc_;
    bool ok_ = false;
};

// What the operations point at, kept until the call is made.
class Ops {
public:
    std::vector<nfs_argop4> list;
    nfs_argop4& Add(nfs_opnum4 op) {
        list.emplace_back();
        memset(&list.back(), 0, sizeof(nfs_argop4));
        list.back().argop = op;
        return list.back();
    }
    char* Keep(const std::string& text) {
        strings_.push_back(text);
        return &strings_.back()[0];
    }
    void Text(const std::string& text, utf8string& out) {
        out.utf8string_len = static_cast<u_int>(text.size());
        out.utf8string_val = Keep(text);
    }
    void Mask(std::initializer_list<uint32_t> attributes, bitmap4& out) {
        masks_.emplace_back(2, 0);
        for (uint32_t a : attributes) masks_.back()[a / 32] |= 1u << (a % 32);
        out.bitmap4_len = 2;
        out.bitmap4_val = masks_.back().data();
    }
    template <typename Owner>
    void OwnerOf(clientid4 clientid, const std::string& name, Owner& out) {
        out.clientid = clientid;
        out.owner.owner_len = static_cast<u_int>(name.size());
        out.owner.owner_val = Keep(name);
    }
    // PUTROOTFH and LOOKUPs to a file of a share.
    void File(const std::string& share, const std::string& file) {
        Share(share);
        Text(file, Add(OP_LOOKUP).nfs_argop4_u.oplookup.objname);
    }
    void Share(const std::string& share) {
        Add(OP_PUTROOTFH);
        size_t start = 1;
        while (start < share.size()) {
            const size_t end = share.find('/', start);
            Text(share.substr(start, end - start), Add(OP_LOOKUP).nfs_argop4_u.oplookup.objname);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }

private:
    std::deque<std::string> strings_;
    std::deque<std::vector<uint32_t>> masks_;
};

constexpr uint32_t kAttrAcl = 12;
constexpr uint32_t kAttrMode = 33;
constexpr uint32_t kAttrSize = 4;

// A client of the server: its id, the owners' sequence ids, its opens.
struct Client {
    Raw raw;
    clientid4 id = 0;
    std::string name;
    seqid4 openSeqid = 0;
    Client(int port, std::string clientName) : raw(port), name(std::move(clientName)) {}

    bool Establish() {
        Ops set;
        SETCLIENTID4args& args = set.Add(OP_SETCLIENTID).nfs_argop4_u.opsetclientid;
        memset(args.client.verifier, 'p', sizeof(args.client.verifier));
        args.client.id.id_len = static_cast<u_int>(name.size());
        args.client.id.id_val = set.Keep(name);
        args.callback.cb_location.r_netid = set.Keep("tcp");
        args.callback.cb_location.r_addr = set.Keep("127.0.0.1.0.0");
        verifier4 confirm;
        int status = -1;
        raw.Call(set.list, [&](const COMPOUND4res& res) {
            status = res.status;
            if (res.status != NFS4_OK) return;
            const SETCLIENTID4resok ok = At(res, 0).nfs_resop4_u.opsetclientid.SETCLIENTID4res_u.resok4;
            id = ok.clientid;
            memcpy(confirm, ok.setclientid_confirm, sizeof(confirm));
        });
        CHECK(status == NFS4_OK, "SETCLIENTID of %s answered %d", name.c_str(), status);
        Ops confirmOps;
        SETCLIENTID_CONFIRM4args& c = confirmOps.Add(OP_SETCLIENTID_CONFIRM).nfs_argop4_u.opsetclientid_confirm;
        c.clientid = id;
        memcpy(c.setclientid_confirm, confirm, sizeof(confirm));
        status = raw.Status(confirmOps.list);
        CHECK(status == NFS4_OK, "SETCLIENTID_CONFIRM answered %d", status);
        return status == NFS4_OK;
    }

    // OPEN of share/file by the owner, creating it: status, stateid and the
    // raw reply of the OPEN (for comparing replays).
    int Open(const std::string& share, const std::string& file, const std::string& owner, seqid4 seqid,
             open_claim_type4 claim, stateid4& stateid, uint32_t& rflags, std::string* reply = nullptr) {
        Ops ops;
        ops.Share(share);
        if (claim == CLAIM_PREVIOUS) ops.Text(file, ops.Add(OP_LOOKUP).nfs_argop4_u.oplookup.objname);
        OPEN4args& open = ops.Add(OP_OPEN).nfs_argop4_u.opopen;
        open.seqid = seqid;
        open.share_access = OPEN4_SHARE_ACCESS_BOTH;
        open.share_deny = OPEN4_SHARE_DENY_NONE;
        ops.OwnerOf(id, owner, open.owner);
        open.claim.claim = claim;
        if (claim == CLAIM_NULL) {
            open.openhow.opentype = OPEN4_CREATE;
            open.openhow.openflag4_u.how.mode = UNCHECKED4;
            ops.Text(file, open.claim.open_claim4_u.file);
        } else {
            open.claim.open_claim4_u.delegate_type = OPEN_DELEGATE_NONE;
        }
        const size_t at = ops.list.size() - 1;
        int status = -1;
        raw.Call(ops.list, [&](const COMPOUND4res& res) {
            status = res.status;
            if (res.resarray.resarray_len <= at) return;
            const OPEN4res result = At(res, at).nfs_resop4_u.opopen;
            if (reply != nullptr) {
                *reply = std::to_string(result.status);
                if (result.status == NFS4_OK) {
                    const OPEN4resok& ok = result.OPEN4res_u.resok4;
                    *reply += " " + std::to_string(ok.stateid.seqid) + " " + std::string(ok.stateid.other, 12) + " " +
                              std::to_string(ok.rflags) + " " + std::to_string(ok.cinfo.before) + " " +
                              std::to_string(ok.cinfo.after);
                }
            }
            if (status != NFS4_OK) return;
            stateid = result.OPEN4res_u.resok4.stateid;
            rflags = result.OPEN4res_u.resok4.rflags;
        });
        return status;
    }

    // OPEN and, when asked for, OPEN_CONFIRM: the open's stateid.
    stateid4 OpenConfirmed(const std::string& share, const std::string& file, const std::string& owner) {
        stateid4 stateid{};
        uint32_t rflags = 0;
        const int status = Open(share, file, owner, openSeqid++, CLAIM_NULL, stateid, rflags);
        CHECK(status == NFS4_OK, "OPEN of %s answered %d", file.c_str(), status);
        if ((rflags & OPEN4_RESULT_CONFIRM) == 0) return stateid;
        Ops ops;
        ops.File(share, file);
        OPEN_CONFIRM4args& c = ops.Add(OP_OPEN_CONFIRM).nfs_argop4_u.opopen_confirm;
        c.open_stateid = stateid;
        c.seqid = openSeqid++;
        stateid4 confirmed{};
        int confirmStatus = -1;
        raw.Call(ops.list, [&](const COMPOUND4res& res) {
            confirmStatus = res.status;
            if (res.status == NFS4_OK) {
                confirmed = At(res, ops.list.size() - 1)
                                .nfs_resop4_u.opopen_confirm.OPEN_CONFIRM4res_u.resok4.open_stateid;
            }
        });
        CHECK(confirmStatus == NFS4_OK, "OPEN_CONFIRM answered %d", confirmStatus);
        return confirmed;
    }

    struct Denied {
        uint64_t offset = 0;
        uint64_t length = 0;
        uint32_t type = 0;
        clientid4 clientid = 0;
        std::string owner;
    };

    // LOCK of a write range by a new lock-owner through the open.
    int Lock(const std::string& share, const std::string& file, const stateid4& open, const std::string& lockOwner,
             uint64_t offset, uint64_t length, stateid4& lock, Denied& denied) {
        Ops ops;
        ops.File(share, file);
        LOCK4args& args = ops.Add(OP_LOCK).nfs_argop4_u.oplock;
        args.locktype = WRITE_LT;
        args.offset = offset;
        args.length = length;
        args.locker.new_lock_owner = 1;
        open_to_lock_owner4& fresh = args.locker.locker4_u.open_owner;
        fresh.open_seqid = openSeqid++;
        fresh.open_stateid = open;
        fresh.lock_seqid = 0;
        ops.OwnerOf(id, lockOwner, fresh.lock_owner);
        const size_t at = ops.list.size() - 1;
        int status = -1;
        raw.Call(ops.list, [&](const COMPOUND4res& res) {
            status = res.status;
            if (res.resarray.resarray_len <= at) return;
            const LOCK4res result = At(res, at).nfs_resop4_u.oplock;
            if (status == NFS4_OK) lock = result.LOCK4res_u.resok4.lock_stateid;
            if (status != NFS4ERR_DENIED) return;
            const LOCK4denied& d = result.LOCK4res_u.denied;
            denied = Denied{d.offset, d.length, static_cast<uint32_t>(d.locktype), d.owner.clientid,
                            std::string(d.owner.owner.owner_val, d.owner.owner.owner_len)};
        });
        return status;
    }

    int Unlock(const std::string& share, const std::string& file, stateid4& lock, seqid4 seqid) {
        Ops ops;
        ops.File(share, file);
        LOCKU4args& args = ops.Add(OP_LOCKU).nfs_argop4_u.oplocku;
        args.locktype = WRITE_LT;
        args.seqid = seqid;
        args.lock_stateid = lock;
        args.offset = 0;
        args.length = ~0ULL;
        return raw.Status(ops.list);
    }

    int Renew() {
        Ops ops;
        ops.Add(OP_RENEW).nfs_argop4_u.oprenew.clientid = id;
        return raw.Status(ops.list);
    }
};

void Locks(int port, const std::string& share, int lease) {
    Client a(port, "locker-a");
    Client b(port, "locker-b");
    if (!a.Establish() || !b.Establish()) return;
    const stateid4 openA = a.OpenConfirmed(share, "locked", "owner-a");
    const stateid4 openB = b.OpenConfirmed(share, "locked", "owner-b");
    stateid4 lockA{};
    stateid4 lockB{};
    Client::Denied denied;
    CHECK(a.Lock(share, "locked", openA, "lock-owner-a", 1000, 500, lockA, denied) == NFS4_OK, "first lock");
    int status = b.Lock(share, "locked", openB, "lock-owner-b", 1200, 10, lockB, denied);
    CHECK(status == NFS4ERR_DENIED, "conflicting lock answered %d", status);
    CHECK(denied.offset == 1000 && denied.length == 500 && denied.type == WRITE_LT, "holder range %llu+%llu type %u",
          static_cast<unsigned long long>(denied.offset), static_cast<unsigned long long>(denied.length),
          denied.type);
    CHECK(denied.clientid == a.id && denied.owner == "lock-owner-a", "holder owner [%s]", denied.owner.c_str());
    // Released, the range is the other client's.
    CHECK(a.Unlock(share, "locked", lockA, 1) == NFS4_OK, "unlock");
    CHECK(b.Lock(share, "locked", openB, "lock-owner-b2", 1200, 10, lockB, denied) == NFS4_OK, "lock after release");
    CHECK(b.Unlock(share, "locked", lockB, 1) == NFS4_OK, "second unlock");
    // a takes the range again and goes silent; b renews until a's lease has
    // run out, and then gets the range.
    CHECK(a.Lock(share, "locked", openA, "lock-owner-a2", 0, ~0ULL, lockA, denied) == NFS4_OK, "lock to the end");
    CHECK(b.Lock(share, "locked", openB, "lock-owner-b3", 5, 5, lockB, denied) == NFS4ERR_DENIED, "held again");
    for (int i = 0; i < 2 * lease + 2; ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        CHECK(b.Renew() == NFS4_OK, "renew of the waiting client");
    }
    status = b.Lock(share, "locked", openB, "lock-owner-b4", 5, 5, lockB, denied);
    CHECK(status == NFS4_OK, "lock after the holder's lease ran out answered %d", status);
    CHECK(a.Renew() == NFS4ERR_EXPIRED, "renew of the expired client");
}

void Replay(int port, const std::string& share) {
    Client c(port, "replayer");
    if (!c.Establish()) return;
    // A confirmed owner (sequence ids 0 and 1), then an OPEN sent twice.
    c.OpenConfirmed(share, "replayed", "owner-r");
    stateid4 first{};
    stateid4 second{};
    uint32_t rflags = 0;
    std::string reply1;
    std::string reply2;
    CHECK(c.Open(share, "replayed", "owner-r", 2, CLAIM_NULL, first, rflags, &reply1) == NFS4_OK, "OPEN");
    CHECK(c.Open(share, "replayed", "owner-r", 2, CLAIM_NULL, second, rflags, &reply2) == NFS4_OK, "replayed OPEN");
    CHECK(reply1 == reply2, "replay differs: [%s] and [%s]", reply1.c_str(), reply2.c_str());
    CHECK(memcmp(first.other, second.other, 12) == 0 && first.seqid == second.seqid, "replayed stateid differs");
    // The open was upgraded once, not twice.
    CHECK(first.seqid == 3, "stateid seqid %u after one upgrade", first.seqid);  // 1 open, 2 confirmed
    // Skipping a sequence id is refused; the next one is served.
    stateid4 third{};
    CHECK(c.Open(share, "replayed", "owner-r", 4, CLAIM_NULL, third, rflags) == NFS4ERR_BAD_SEQID, "seqid skipped");
    CHECK(c.Open(share, "replayed", "owner-r", 3, CLAIM_NULL, third, rflags) == NFS4_OK, "next seqid");
    CHECK(third.seqid == 4, "stateid seqid %u after the second upgrade", third.seqid);
}

struct Ace {
    uint32_t type;
    uint32_t flag;
    uint32_t mask;
    std::string who;
    bool operator==(const Ace& o) const { return type == o.type && flag == o.flag && mask == o.mask && who == o.who; }
};

std::string EncodeAcl(const std::vector<Ace>& aces) {
    std::string value;
    auto word = [&value](uint32_t v) {
        const uint32_t wire = htonl(v);
        value.append(reinterpret_cast<const char*>(&wire), 4);
    };
    word(static_cast<uint32_t>(aces.size()));
    for (const Ace& ace : aces) {
        word(ace.type);
        word(ace.flag);
        word(ace.mask);
        word(static_cast<uint32_t>(ace.who.size()));
        value += ace.who + std::string((4 - ace.who.size() % 4) % 4, '\0');
    }
    return value;
}

std::vector<Ace> DecodeAcl(const std::string& value) {
    std::vector<Ace> aces;
    size_t at = 0;
    auto word = [&](uint32_t& v) {
        if (at + 4 > value.size()) return false;
        memcpy(&v, value.data() + at, 4);
        v = ntohl(v);
        at += 4;
        return true;
    };
    uint32_t count = 0;
    if (!word(count)) return aces;
    for (uint32_t i = 0; i < count; ++i) {
        Ace ace{};
        uint32_t length = 0;
        if (!word(ace.type) || !word(ace.flag) || !word(ace.mask) || !word(length) || at + length > value.size()) break;
        ace.who = value.substr(at, length);
        at += (length + 3) & ~3u;
        aces.push_back(ace);
    }
    return aces;
}

void Acl(int port, const std::string& share) {
    Client c(port, "acl-client");
    if (!c.Establish()) return;
    c.OpenConfirmed(share, "guarded", "owner-acl");
    auto readAcl = [&]() {
        Ops get;
        get.File(share, "guarded");
        get.Mask({kAttrAcl}, get.Add(OP_GETATTR).nfs_argop4_u.opgetattr.attr_request);
        std::string value;
        int status = -1;
        c.raw.Call(get.list, [&](const COMPOUND4res& res) {
            status = res.status;
            if (res.status != NFS4_OK) return;
            const fattr4 attrs = At(res, get.list.size() - 1)
                                      .nfs_resop4_u.opgetattr.GETATTR4res_u.resok4.obj_attributes;
            value.assign(attrs.attr_vals.attrlist4_val, attrs.attr_vals.attrlist4_len);
        });
        CHECK(status == NFS4_OK, "GETATTR acl answered %d", status);
        return DecodeAcl(value);
    };
    auto setAttr = [&](uint32_t attribute, const std::string& value) {
        Ops set;
        set.File(share, "guarded");
        SETATTR4args& args = set.Add(OP_SETATTR).nfs_argop4_u.opsetattr;
        set.Mask({attribute}, args.obj_attributes.attrmask);
        args.obj_attributes.attr_vals.attrlist4_len = static_cast<u_int>(value.size());
        args.obj_attributes.attr_vals.attrlist4_val = set.Keep(value);
        return c.raw.Status(set.list);
    };
    const std::vector<Ace> modeEntries = readAcl();
    CHECK(modeEntries.size() == 3, "a new file has %zu aces", modeEntries.size());
    // The mode's entries as they are, and a denial of writes to user 4321.
    const Ace denial{1, 0, 0x2, "4321"};
    std::vector<Ace> wanted = modeEntries;
    wanted.insert(wanted.begin() + (wanted.empty() ? 0 : 1), denial);
    int status = setAttr(kAttrAcl, EncodeAcl(wanted));
    CHECK(status == NFS4_OK, "SETATTR acl answered %d", status);
    const std::vector<Ace> back = readAcl();
    CHECK(back == wanted, "ACL read back has %zu aces, %zu set", back.size(), wanted.size());
    std::string whos;
    for (const Ace& ace : back) whos += ace.who + " ";
    CHECK(whos == "OWNER@ 4321 GROUP@ EVERYONE@ ", "principals [%s]", whos.c_str());
    // A mode change rebuilds the mode's entries; the user's entry stays.
    const uint32_t bits = htonl(0600);
    CHECK(setAttr(kAttrMode, std::string(reinterpret_cast<const char*>(&bits), 4)) == NFS4_OK, "chmod");
    const std::vector<Ace> after = readAcl();
    CHECK(after.size() == 4 && after[1] == denial, "user entry after chmod");
    CHECK(after.size() == 4 && after[3].who == "EVERYONE@" && after[3].mask != back[3].mask,
          "EVERYONE@ unchanged by chmod 0600");
}

void Grace(int port, const std::string& share) {
    Client c(port, "graceful");
    if (!c.Establish()) return;
    stateid4 stateid{};
    uint32_t rflags = 0;
    int status = c.Open(share, "replayed", "owner-g", 0, CLAIM_NULL, stateid, rflags);
    CHECK(status == NFS4ERR_GRACE, "OPEN in grace answered %d", status);
    status = c.Open(share, "replayed", "owner-g", 1, CLAIM_PREVIOUS, stateid, rflags);
    CHECK(status == NFS4_OK, "reclaiming OPEN answered %d", status);
    // Reads need no state and go on in grace.
    nfs_context* nfs = Mount(port, share);
    nfs_stat_64 st{};
    CHECK(nfs != nullptr && nfs_stat64(nfs, "/replayed", &st) == 0, "stat in grace");
    if (nfs != nullptr) nfs_destroy_context(nfs);
}

// MOUNT3 answers ACCES and NFSv3 with a handle from NFSv4 too.
void V3Refused(int port, const std::string& share) {
    CHECK(MountAs(3, port, share, false) == nullptr, "NFSv3 mount of a v4-only share succeeded");
    CHECK(lastError.find("ACCES") != std::string::npos, "mount error [%s]", lastError.c_str());
    nfs_context* nfs = Mount(port, share);
    CHECK(nfs != nullptr, "NFSv4 mount of a v4-only share");
    if (nfs != nullptr) nfs_destroy_context(nfs);
}

// The operations the file API does not send: OPEN_DOWNGRADE, VERIFY and
// NVERIFY, the delegation operations of a server that grants none,
// RELEASE_LOCKOWNER, PUTPUBFH, LOOKUPP, SAVEFH and RESTOREFH, OPENATTR.
void Rest(int port, const std::string& share) {
    Client c(port, "rest-client");
    if (!c.Establish()) return;
    const stateid4 open = c.OpenConfirmed(share, "rest", "owner-rest");
    // The statuses of each operation of one COMPOUND.
    auto statuses = [&c](Ops& ops) {
        std::vector<int> got;
        c.raw.Call(ops.list, [&](const COMPOUND4res& res) {
            for (u_int i = 0; i < res.resarray.resarray_len; ++i) {
                got.push_back(At(res, i).nfs_resop4_u.opillegal.status);
            }
        });
        return got;
    };
    auto last = [&](Ops& ops) {
        const std::vector<int> got = statuses(ops);
        return got.empty() ? -1 : got.back();
    };
    Ops downgrade;
    downgrade.File(share, "rest");
    OPEN_DOWNGRADE4args& d = downgrade.Add(OP_OPEN_DOWNGRADE).nfs_argop4_u.opopen_downgrade;
    d.open_stateid = open;
    d.seqid = c.openSeqid++;
    d.share_access = OPEN4_SHARE_ACCESS_READ;
    d.share_deny = OPEN4_SHARE_DENY_NONE;
    stateid4 reduced{};
    int status = -1;
    c.raw.Call(downgrade.list, [&](const COMPOUND4res& res) {
        status = res.status;
        if (status == NFS4_OK) {
            reduced = At(res, 3).nfs_resop4_u.opopen_downgrade.OPEN_DOWNGRADE4res_u.resok4.open_stateid;
        }
    });
    CHECK(status == NFS4_OK, "OPEN_DOWNGRADE answered %d", status);
    Ops write;
    write.File(share, "rest");
    WRITE4args& w = write.Add(OP_WRITE).nfs_argop4_u.opwrite;
    w.stateid = reduced;
    w.data.data_len = 1;
    w.data.data_val = write.Keep("x");
    CHECK((status = last(write)) == NFS4ERR_OPENMODE, "WRITE through a read-only open answered %d", status);
    Ops verify;
    verify.File(share, "rest");
    const uint64_t zero = 0;
    for (nfs_opnum4 op : {OP_VERIFY, OP_NVERIFY}) {
        fattr4& attrs = op == OP_VERIFY ? verify.Add(op).nfs_argop4_u.opverify.obj_attributes
                                        : verify.Add(op).nfs_argop4_u.opnverify.obj_attributes;
        verify.Mask({kAttrSize}, attrs.attrmask);
        attrs.attr_vals.attrlist4_len = 8;
        attrs.attr_vals.attrlist4_val = verify.Keep(std::string(reinterpret_cast<const char*>(&zero), 8));
    }
    const std::vector<int> verified = statuses(verify);
    CHECK(verified == std::vector<int>({0, 0, 0, NFS4_OK, NFS4ERR_SAME}), "VERIFY and NVERIFY of size 0");
    Ops purge;
    purge.Add(OP_DELEGPURGE).nfs_argop4_u.opdelegpurge.clientid = c.id;
    CHECK((status = last(purge)) == NFS4ERR_NOTSUPP, "DELEGPURGE answered %d", status);
    Ops giveBack;
    giveBack.File(share, "rest");
    giveBack.Add(OP_DELEGRETURN).nfs_argop4_u.opdelegreturn.deleg_stateid = reduced;
    CHECK((status = last(giveBack)) == NFS4ERR_BAD_STATEID, "DELEGRETURN answered %d", status);
    Ops release;
    RELEASE_LOCKOWNER4args& r = release.Add(OP_RELEASE_LOCKOWNER).nfs_argop4_u.oprelease_lockowner;
    release.OwnerOf(c.id, "never-locked", r.lock_owner);
    CHECK((status = last(release)) == NFS4_OK, "RELEASE_LOCKOWNER answered %d", status);
    // Filehandles: PUTPUBFH is the root; LOOKUPP and RESTOREFH lead back.
    Ops handles;
    handles.Add(OP_PUTPUBFH);
    handles.Add(OP_SAVEFH);
    handles.Share(share);
    handles.Add(OP_LOOKUPP);
    handles.Add(OP_GETFH);
    handles.Add(OP_RESTOREFH);
    handles.Add(OP_GETFH);
    handles.Add(OP_OPENATTR);
    std::vector<std::string> found;
    c.raw.Call(handles.list, [&](const COMPOUND4res& res) {
        status = res.status;
        for (u_int i = 0; i < res.resarray.resarray_len; ++i) {
            if (At(res, i).resop != OP_GETFH) continue;
            const nfs_fh4 fh = At(res, i).nfs_resop4_u.opgetfh.GETFH4res_u.resok4.object;
            found.emplace_back(fh.nfs_fh4_val, fh.nfs_fh4_len);
        }
    });
    CHECK(status == NFS4ERR_NOTSUPP, "OPENATTR answered %d", status);
    CHECK(found.size() == 2 && found[0] == found[1] && !found[0].empty(), "LOOKUPP and RESTOREFH handles");
    Ops close;
    close.File(share, "rest");
    CLOSE4args& closing = close.Add(OP_CLOSE).nfs_argop4_u.opclose;
    closing.open_stateid = reduced;
    closing.seqid = c.openSeqid++;
    CHECK((status = last(close)) == NFS4_OK, "CLOSE answered %d", status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: nfs4_probe PORT families|locks|replay|acl|grace|v3refused|rest SHARE [LEASE]\n");
        return 2;
    }
    const int port = atoi(argv[1]);
    const std::string what = argv[2];
    const std::string share = argv[3];
    if (what == "families") {
        Families(port, share);
        FileLocks(port, share);
    }
    else if (what == "locks") Locks(port, share, argc > 4 ? atoi(argv[4]) : 3);
    else if (what == "replay") Replay(port, share);
    else if (what == "acl") Acl(port, share);
    else if (what == "grace") Grace(port, share);
    else if (what == "v3refused") V3Refused(port, share);
    else if (what == "rest") Rest(port, share);
    else return 2;
    if (failures == 0) printf("%s ok\n", what.c_str());
    return failures == 0 ? 0 : 1;
}
