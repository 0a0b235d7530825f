// NFSv4.0 state of the whole server: clients (SETCLIENTID, confirmation,
// leases), open-owners and lock-owners with their sequence ids and the last
// reply of each, open and lock stateids with share reservations and byte
// ranges, and the grace period after start. Nothing here touches a share:
// the caller does the file work and hands the state what it needs (the
// open's descriptor, a function that applies a lock range to the module).
//
// Every table is bounded (Limits): a client that asks for more gets
// NFS4ERR_RESOURCE, and state of clients whose lease ran out is dropped by
// ExpireLeases, which also closes their open descriptors. Thread-safe: one
// mutex guards the tables; an owner's sequenced operation also holds that
// owner's own mutex (SequenceGuard), always taken before the tables' mutex.
#pragma once
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "nfsserver/OpenFile.h"
#include "nfsserver/nfs4.h"

// How much state the server keeps; beyond it a client gets NFS4ERR_RESOURCE.
struct Nfs4StateLimits {
    size_t clients = 1024;          // confirmed and unconfirmed
    size_t clientsPerAddress = 64;  // so that one host cannot take every slot
    size_t states = 65536;          // open and lock stateids of all clients
    size_t ownersPerClient = 1024;  // open-owners and lock-owners together
    size_t statesPerClient = 4096;  // open and lock stateids
    size_t rangesPerLockState = 64;
};

class Nfs4State {
public:
    using Clock = std::chrono::steady_clock;
    using Other = std::array<unsigned char, NFS4_OTHER_SIZE>;

    using Limits = Nfs4StateLimits;

    // A byte range as the protocol gives it: last is inclusive, ~0 for "to
    // the end of the file".
    struct Range {
        uint64_t first = 0;
        uint64_t last = 0;
        bool write = false;
    };
    // Who holds a range that refused a LOCK or LOCKT.
    struct Holder {
        Range range;
        clientid4 clientid = 0;
        std::string owner;
    };

    class Owner;
    // An owner's sequenced operation (OPEN, OPEN_CONFIRM, OPEN_DOWNGRADE,
    // CLOSE, LOCK, LOCKU): holds the owner for its duration so its
    // operations run one at a time, and keeps the reply for a replay.
    class SequenceGuard {
    public:
        SequenceGuard() = default;
        SequenceGuard(SequenceGuard&&) = default;
        SequenceGuard& operator=(SequenceGuard&&) = default;
        ~SequenceGuard();
        // A retransmission of the owner's last operation: its reply as sent.
        bool Replay() const { return replay_; }
        const std::string& LastReply() const;
        // Records the outcome: the sequence id moves on unless the status is
        // one that leaves it (a stale or bad id, bad XDR, no resources);
        // reply is the encoded result kept for a retransmission.
        void Finish(nfsstat4 status, std::string reply);
        bool Holds() const { return owner_ != nullptr; }

    private:
        friend class Nfs4State;
        std::shared_ptr<Owner> owner_;
        std::unique_lock<std::mutex> lock_;
        seqid4 seqid_ = 0;
        bool replay_ = false;
    };

    // now: the clock leases are measured on. The grace period starts at
    // construction and lasts `grace` (one lease when negative; none at 0).
    explicit Nfs4State(std::chrono::seconds lease, Limits limits = Limits(),
                       std::function<Clock::time_point()> now = Clock::now,
                       std::chrono::seconds grace = std::chrono::seconds(-1));
    ~Nfs4State();
    Nfs4State(const Nfs4State&) = delete;
    Nfs4State& operator=(const Nfs4State&) = delete;

    uint32_t LeaseSeconds() const { return static_cast<uint32_t>(lease_.count()); }
    // While in grace only reclaims are granted.
    bool InGrace();

    // SETCLIENTID: a record for the client's id string and verifier, to be
    // confirmed. address and uid: who set it (a confirmed id of another
    // principal that holds state is NFS4ERR_CLID_INUSE).
    nfsstat4 SetClientId(const std::string& id, const verifier4 verifier, const std::string& address,
                         uint32_t uid, clientid4& clientid, verifier4 confirm);
    // SETCLIENTID_CONFIRM: the record becomes the client's; a previous
    // confirmed record of the same id (the client restarted) loses its state.
    nfsstat4 ConfirmClientId(clientid4 clientid, const verifier4 confirm);
    // RENEW, and every operation naming the client, renews its lease.
    nfsstat4 Renew(clientid4 clientid);

    // Starts an open-owner's sequenced operation (OPEN): the owner is made
    // when new; an unconfirmed owner opening again starts over.
    nfsstat4 BeginOpen(clientid4 clientid, const std::string& owner, seqid4 seqid, SequenceGuard& guard);
    // Starts the sequenced operation of the owner of a stateid: the open-owner
    // for an open stateid (OPEN_CONFIRM, OPEN_DOWNGRADE, CLOSE, LOCK with a
    // new lock-owner), the lock-owner for a lock stateid (LOCK, LOCKU).
    nfsstat4 BeginByState(const stateid4& stateid, seqid4 seqid, SequenceGuard& guard);

    // OPEN on the guard's owner: the owner's open of the file, made or
    // upgraded. file: the descriptor the open keeps (its locks are taken
    // through it); an upgrade keeps the first one. reclaim: a reclaim in the
    // grace period; outside it NFS4ERR_NO_GRACE, and a plain open inside it
    // NFS4ERR_GRACE. confirm: the owner still has to confirm.
    nfsstat4 Open(SequenceGuard& guard, const std::string& fileKey, uint32_t access, uint32_t deny, bool reclaim,
                  const std::shared_ptr<OpenFile>& file, stateid4& stateid, bool& confirm);
    // Whether an open of the file with access and deny would conflict with
    // another owner's reservation (NFS4ERR_SHARE_DENIED) before the caller
    // creates or truncates anything.
    nfsstat4 CheckShare(clientid4 clientid, const std::string& owner, const std::string& fileKey, uint32_t access,
                        uint32_t deny);
    nfsstat4 ConfirmOpen(SequenceGuard& guard, const stateid4& stateid, stateid4& result);
    nfsstat4 Downgrade(SequenceGuard& guard, const stateid4& stateid, uint32_t access, uint32_t deny,
                       stateid4& result);
    // CLOSE: drops the open; NFS4ERR_LOCKS_HELD while its lock-owners hold ranges.
    nfsstat4 Close(SequenceGuard& guard, const stateid4& stateid, stateid4& result);

    // Applies a range to the module: unlock false takes it, true releases it.
    using ApplyLock = std::function<int(const std::shared_ptr<OpenFile>& file, uint64_t lockOwner,
                                        const Range& range, bool unlock)>;
    // LOCK by a new lock-owner through an open stateid (the guard is the
    // open-owner's); the lock-owner starts at lockSeqid.
    nfsstat4 LockNew(SequenceGuard& guard, const stateid4& openStateid, seqid4 lockSeqid,
                     const std::string& lockOwner, const std::string& fileKey, const Range& range, bool reclaim,
                     const ApplyLock& apply, stateid4& result, Holder& holder);
    // LOCK by a known lock-owner (the guard is the lock-owner's).
    nfsstat4 LockExisting(SequenceGuard& guard, const stateid4& lockStateid, const std::string& fileKey,
                          const Range& range, bool reclaim, const ApplyLock& apply, stateid4& result,
                          Holder& holder);
    // LOCKT: NFS4ERR_DENIED with the holder when another owner's range conflicts.
    nfsstat4 TestLock(clientid4 clientid, const std::string& lockOwner, const std::string& fileKey,
                      const Range& range, Holder& holder);
    nfsstat4 Unlock(SequenceGuard& guard, const stateid4& lockStateid, const std::string& fileKey,
                    const Range& range, const ApplyLock& apply, stateid4& result);
    // RELEASE_LOCKOWNER: NFS4ERR_LOCKS_HELD while it holds a range.
    nfsstat4 ReleaseLockOwner(clientid4 clientid, const std::string& lockOwner);

    // The stateid a READ, WRITE or SETATTR of the size gives, checked
    // against the file and the access it needs: the special stateids, or an
    // open or lock stateid of this file with that access. Renews the lease.
    nfsstat4 CheckIo(const stateid4& stateid, const std::string& fileKey, bool write);

    // DELEGRETURN: no delegation is ever granted, so any stateid is stale
    // (of an earlier instance) or bad.
    nfsstat4 ReturnDelegation(const stateid4& stateid) const;

    // Drops the state of clients whose lease ran out (and unconfirmed
    // records as old), closing their descriptors outside the mutex.
    void ExpireLeases();

    // For tests and logging.
    size_t ClientCount();
    size_t StateCount();

private:
    struct Client;
    struct State;
    using ClientPtr = std::shared_ptr<Client>;
    using StatePtr = std::shared_ptr<State>;

    clientid4 NewClientId();
    Other NewOther(const Client& client);
    // Client lookups; renew the lease. Statuses as RENEW answers.
    nfsstat4 FindClient(clientid4 clientid, ClientPtr& client);
    nfsstat4 FindState(const stateid4& stateid, StatePtr& state);
    nfsstat4 CheckSeqid(const State& state, const stateid4& stateid) const;
    // A lock stateid of the guard's owner on the file, at its current sequence.
    nfsstat4 FindLockState(const SequenceGuard& guard, const stateid4& stateid, const std::string& fileKey,
                           StatePtr& state);
    static nfsstat4 Grant(const std::shared_ptr<Owner>& owner, std::unique_lock<std::mutex> held, seqid4 seqid,
                          bool replay, SequenceGuard& guard);
    std::shared_ptr<Owner> FindOwner(Client& client, const std::string& name, bool lockOwner);
    nfsstat4 MakeOwner(Client& client, const std::string& name, bool lockOwner, std::shared_ptr<Owner>& owner);
    void DropClientLocked(Client& client, std::vector<std::shared_ptr<OpenFile>>& released);
    void DropStateLocked(const StatePtr& state, std::vector<std::shared_ptr<OpenFile>>& released);
    void DropOwnerLocked(Client& client, const std::shared_ptr<Owner>& owner,
                         std::vector<std::shared_ptr<OpenFile>>& released);
    bool Conflicts(const std::string& fileKey, const Owner* owner, const Range& range, Holder* holder);
    nfsstat4 ApplyRange(const StatePtr& lock, const Range& range, bool reclaim, const ApplyLock& apply,
                        Holder& holder);
    nfsstat4 GraceCheck(bool reclaim);
    nfsstat4 CheckShareLocked(clientid4 clientid, const std::string& owner, const std::string& fileKey,
                              uint32_t access, uint32_t deny);
    StatePtr OpenOf(const Owner& owner, const std::string& fileKey);
    static void Stamp(State& state, stateid4& out);

    const std::chrono::seconds lease_;
    const Limits limits_;
    const std::function<Clock::time_point()> now_;
    const Clock::time_point graceEnd_;
    const uint32_t epoch_;  // names this server instance in client and state ids

    std::mutex mutex_;
    uint32_t nextClient_ = 0;                          // guarded by mutex_
    uint32_t nextState_ = 0;                           // guarded by mutex_
    uint64_t nextOwner_ = 0;                           // guarded by mutex_
    std::map<clientid4, ClientPtr> clients_;           // guarded by mutex_; confirmed
    std::map<clientid4, ClientPtr> unconfirmed_;       // guarded by mutex_
    std::map<Other, StatePtr> states_;                 // guarded by mutex_
    std::map<std::string, std::set<StatePtr>> files_;  // guarded by mutex_; states by file key
};
