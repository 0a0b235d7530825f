#include "nfsserver/Nfs4State.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "nfsserver/Nfs4Status.h"
#include "nfsserver/NfsLog.h"

// One open-owner or lock-owner of a client.
class Nfs4State::Owner {
public:
    Owner(uint64_t id, clientid4 client, std::string name, bool lockOwner)
        : id(id), client(client), name(std::move(name)), lockOwner(lockOwner) {}
    const uint64_t id;  // the module's lock owner
    const clientid4 client;
    const std::string name;
    const bool lockOwner;

    std::mutex sequence;  // held by the owner's running sequenced operation
    bool started = false;  // guarded by sequence; a sequence id was accepted
    seqid4 last = 0;       // guarded by sequence
    std::string reply;     // guarded by sequence; the last operation's result

    bool confirmed = false;           // guarded by the state's mutex; open-owners only
    bool dropped = false;             // guarded by the state's mutex
    std::set<StatePtr> states;        // guarded by the state's mutex
};

struct Nfs4State::Client {
    clientid4 id = 0;
    std::string name;
    std::array<unsigned char, NFS4_VERIFIER_SIZE> verifier{};
    std::array<unsigned char, NFS4_VERIFIER_SIZE> confirm{};
    std::string address;
    std::string principal;  // address and uid
    Clock::time_point renewed;
    std::map<std::pair<bool, std::string>, std::shared_ptr<Owner>> owners;
    size_t states = 0;
};

struct Nfs4State::State {
    Other other{};
    seqid4 seqid = 1;
    bool lock = false;
    std::shared_ptr<Owner> owner;
    std::string fileKey;
    // An open: its share reservation and the descriptor its locks use.
    uint32_t access = 0;
    uint32_t deny = 0;
    std::shared_ptr<OpenFile> file;
    // A lock: the open it came from and its ranges.
    StatePtr open;
    std::vector<Range> ranges;
};

namespace {

// Statuses after which an owner's sequence id stays where it was.
bool KeepsSeqid(nfsstat4 status) {
    switch (status) {
        case NFS4ERR_STALE_CLIENTID:
        case NFS4ERR_STALE_STATEID:
        case NFS4ERR_BAD_STATEID:
        case NFS4ERR_BAD_SEQID:
        case NFS4ERR_BADXDR:
        case NFS4ERR_RESOURCE:
        case NFS4ERR_NOFILEHANDLE:
        case NFS4ERR_MOVED:
            return true;
        default:
            return false;
    }
}

bool AllBytes(const stateid4& stateid, unsigned char value) {
    for (unsigned char byte : stateid.other) {
        if (byte != value) return false;
    }
    return true;
}

uint32_t Word(const void* bytes) {
    uint32_t word = 0;
    memcpy(&word, bytes, sizeof(word));
    return word;
}

bool Overlap(const Nfs4State::Range& a, const Nfs4State::Range& b) { return a.first <= b.last && b.first <= a.last; }

// The owner's ranges without the given one, overlapping ranges split.
std::vector<Nfs4State::Range> Without(const std::vector<Nfs4State::Range>& ranges, const Nfs4State::Range& cut) {
    std::vector<Nfs4State::Range> kept;
    for (const Nfs4State::Range& r : ranges) {
        if (!Overlap(r, cut)) {
            kept.push_back(r);
            continue;
        }
        if (r.first < cut.first) kept.push_back({r.first, cut.first - 1, r.write});
        if (r.last > cut.last) kept.push_back({cut.last + 1, r.last, r.write});
    }
    return kept;
}

constexpr uint32_t kAccessBoth = OPEN4_SHARE_ACCESS_BOTH;

// Names a server instance: the start's second, and never the same twice in
// one process, so ids of a stopped instance are always stale.
uint32_t NewEpoch() {
    static std::atomic<uint32_t> last{0};
    uint32_t epoch = static_cast<uint32_t>(time(nullptr));
    uint32_t previous = last.load();
    do {
        if (epoch <= previous) epoch = previous + 1;
    } while (!last.compare_exchange_weak(previous, epoch));
    return epoch;
}

}  // namespace

Nfs4State::SequenceGuard::~SequenceGuard() = default;

const std::string& Nfs4State::SequenceGuard::LastReply() const { return owner_->reply; }

void Nfs4State::SequenceGuard::Finish(nfsstat4 status, std::string reply) {
    if (owner_ == nullptr || replay_ || KeepsSeqid(status)) return;
    owner_->started = true;
    owner_->last = seqid_;
    owner_->reply = std::move(reply);
}

Nfs4State::Nfs4State(std::chrono::seconds lease, Limits limits, std::function<Clock::time_point()> now,
                     std::chrono::seconds grace)
    : lease_(lease.count() > 0 ? lease : std::chrono::seconds(1)),
      limits_(limits),
      now_(std::move(now)),
      graceEnd_(now_() + (grace.count() < 0 ? lease_ : grace)),
      epoch_(NewEpoch()) {}

Nfs4State::~Nfs4State() {
    std::vector<std::shared_ptr<OpenFile>> released;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : clients_) DropClientLocked(*entry.second, released);
    clients_.clear();
}

bool Nfs4State::InGrace() { return now_() < graceEnd_; }

nfsstat4 Nfs4State::GraceCheck(bool reclaim) {
    const bool grace = InGrace();
    if (grace && !reclaim) return NFS4ERR_GRACE;
    if (!grace && reclaim) return NFS4ERR_NO_GRACE;
    return NFS4_OK;
}

clientid4 Nfs4State::NewClientId() { return (static_cast<clientid4>(epoch_) << 32) | ++nextClient_; }

Nfs4State::Other Nfs4State::NewOther(const Client& client) {
    Other other{};
    const uint32_t clientPart = static_cast<uint32_t>(client.id);
    const uint32_t counter = ++nextState_;
    memcpy(other.data(), &epoch_, 4);
    memcpy(other.data() + 4, &clientPart, 4);
    memcpy(other.data() + 8, &counter, 4);
    return other;
}

void Nfs4State::Stamp(State& state, stateid4& out) {
    out.seqid = state.seqid;
    memcpy(out.other, state.other.data(), NFS4_OTHER_SIZE);
}

nfsstat4 Nfs4State::SetClientId(const std::string& id, const verifier4 verifier, const std::string& address,
                                uint32_t uid, clientid4& clientid, verifier4 confirm) {
    const std::string principal = address + "/" + std::to_string(uid);
    std::lock_guard<std::mutex> lock(mutex_);
    ClientPtr confirmed;
    for (auto& entry : clients_) {
        if (entry.second->name == id) confirmed = entry.second;
    }
    // An id in use by another principal with state is not taken over.
    if (confirmed && confirmed->principal != principal && confirmed->states > 0) return NFS4ERR_CLID_INUSE;
    for (auto it = unconfirmed_.begin(); it != unconfirmed_.end();) {
        it = it->second->name == id ? unconfirmed_.erase(it) : std::next(it);
    }
    size_t fromAddress = 0;
    for (const auto* table : {&clients_, &unconfirmed_}) {
        for (const auto& entry : *table) fromAddress += entry.second->address == address ? 1 : 0;
    }
    // A known client's new instance replaces its own record and needs no
    // room (its earlier unconfirmed one went above).
    if (!confirmed && (clients_.size() + unconfirmed_.size() >= limits_.clients ||
                       fromAddress >= limits_.clientsPerAddress)) {
        return NFS4ERR_RESOURCE;
    }
    auto client = std::make_shared<Client>();
    const bool sameInstance = confirmed && memcmp(confirmed->verifier.data(), verifier, NFS4_VERIFIER_SIZE) == 0;
    // The same client instance only updates its callback; a new verifier is
    // a restarted client that gets a new id.
    client->id = sameInstance ? confirmed->id : NewClientId();
    client->name = id;
    memcpy(client->verifier.data(), verifier, NFS4_VERIFIER_SIZE);
    const uint64_t token = (static_cast<uint64_t>(epoch_) << 32) ^ ++nextState_ ^ (client->id << 20);
    memcpy(client->confirm.data(), &token, NFS4_VERIFIER_SIZE);
    client->address = address;
    client->principal = principal;
    client->renewed = now_();
    unconfirmed_[client->id] = client;
    clientid = client->id;
    memcpy(confirm, client->confirm.data(), NFS4_VERIFIER_SIZE);
    return NFS4_OK;
}

nfsstat4 Nfs4State::ConfirmClientId(clientid4 clientid, const verifier4 confirm) {
    std::vector<std::shared_ptr<OpenFile>> released;
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<uint32_t>(clientid >> 32) != epoch_) return NFS4ERR_STALE_CLIENTID;
    auto pending = unconfirmed_.find(clientid);
    if (pending != unconfirmed_.end() &&
        memcmp(pending->second->confirm.data(), confirm, NFS4_VERIFIER_SIZE) == 0) {
        ClientPtr client = pending->second;
        unconfirmed_.erase(pending);
        for (auto it = clients_.begin(); it != clients_.end(); ++it) {
            if (it->second->name != client->name) continue;
            if (it->second->id == client->id) {
                // A callback update: the state stays with the client.
                client->owners.swap(it->second->owners);
                client->states = it->second->states;
            } else {
                DropClientLocked(*it->second, released);
            }
            clients_.erase(it);
            break;
        }
        client->renewed = now_();
        clients_[client->id] = client;
        return NFS4_OK;
    }
    auto known = clients_.find(clientid);
    // A retransmitted confirmation.
    if (known != clients_.end() && memcmp(known->second->confirm.data(), confirm, NFS4_VERIFIER_SIZE) == 0) {
        known->second->renewed = now_();
        return NFS4_OK;
    }
    return NFS4ERR_STALE_CLIENTID;
}

nfsstat4 Nfs4State::FindClient(clientid4 clientid, ClientPtr& client) {
    if (static_cast<uint32_t>(clientid >> 32) != epoch_) return NFS4ERR_STALE_CLIENTID;
    auto it = clients_.find(clientid);
    if (it == clients_.end()) {
        // Ids of this instance not known any more were dropped with their lease.
        const uint32_t counter = static_cast<uint32_t>(clientid);
        const bool issued = counter != 0 && counter <= nextClient_ && unconfirmed_.count(clientid) == 0;
        return issued ? NFS4ERR_EXPIRED : NFS4ERR_STALE_CLIENTID;
    }
    client = it->second;
    client->renewed = now_();
    return NFS4_OK;
}

nfsstat4 Nfs4State::Renew(clientid4 clientid) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClientPtr client;
    return FindClient(clientid, client);
}

nfsstat4 Nfs4State::FindState(const stateid4& stateid, StatePtr& state) {
    if (Word(stateid.other) != epoch_) return NFS4ERR_STALE_STATEID;
    Other other;
    memcpy(other.data(), stateid.other, NFS4_OTHER_SIZE);
    auto it = states_.find(other);
    if (it == states_.end()) {
        const clientid4 clientid = (static_cast<clientid4>(epoch_) << 32) | Word(stateid.other + 4);
        ClientPtr client;
        const nfsstat4 status = FindClient(clientid, client);
        return status == NFS4ERR_EXPIRED ? NFS4ERR_EXPIRED : NFS4ERR_BAD_STATEID;
    }
    state = it->second;
    ClientPtr client;
    return FindClient(state->owner->client, client) == NFS4_OK ? NFS4_OK : NFS4ERR_EXPIRED;
}

nfsstat4 Nfs4State::CheckSeqid(const State& state, const stateid4& stateid) const {
    if (stateid.seqid == state.seqid) return NFS4_OK;
    return stateid.seqid < state.seqid ? NFS4ERR_OLD_STATEID : NFS4ERR_BAD_STATEID;
}

std::shared_ptr<Nfs4State::Owner> Nfs4State::FindOwner(Client& client, const std::string& name, bool lockOwner) {
    auto it = client.owners.find({lockOwner, name});
    return it == client.owners.end() ? nullptr : it->second;
}

nfsstat4 Nfs4State::MakeOwner(Client& client, const std::string& name, bool lockOwner,
                              std::shared_ptr<Owner>& owner) {
    if (client.owners.size() >= limits_.ownersPerClient) {
        // An owner without state and not in an operation makes room. The
        // caller's own owner, whose mutex it may hold, always has state here.
        for (auto it = client.owners.begin(); it != client.owners.end(); ++it) {
            std::shared_ptr<Owner> idle = it->second;
            if (!idle->states.empty() || !idle->sequence.try_lock()) continue;
            idle->dropped = true;
            idle->sequence.unlock();
            client.owners.erase(it);
            break;
        }
        if (client.owners.size() >= limits_.ownersPerClient) return NFS4ERR_RESOURCE;
    }
    owner = std::make_shared<Owner>(++nextOwner_, client.id, name, lockOwner);
    client.owners[{lockOwner, name}] = owner;
    return NFS4_OK;
}

namespace {

// Whether seqid continues the owner's sequence: the next one, or any for an
// owner that has none yet. replay: the last one again.
nfsstat4 Sequence(bool started, seqid4 last, seqid4 seqid, bool& replay) {
    replay = false;
    NFS_LOG(5, "DEBUG: NFS: sequence id [%u], the owner's last [%u]%s", seqid, last, started ? "" : " (none yet)");
    if (!started || seqid == last + 1) return NFS4_OK;
    if (seqid == last) {
        replay = true;
        return NFS4_OK;
    }
    NFS_LOG(3, "INFO: NFS: sequence id [%u] refused, the owner's last is [%u]", seqid, last);
    return NFS4ERR_BAD_SEQID;
}

}  // namespace

nfsstat4 Nfs4State::BeginOpen(clientid4 clientid, const std::string& name, seqid4 seqid, SequenceGuard& guard) {
    std::shared_ptr<Owner> owner;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ClientPtr client;
        const nfsstat4 status = FindClient(clientid, client);
        if (status != NFS4_OK) return status;
        owner = FindOwner(*client, name, false);
        if (!owner) {
            const nfsstat4 made = MakeOwner(*client, name, false, owner);
            if (made != NFS4_OK) return made;
        }
    }
    std::unique_lock<std::mutex> held(owner->sequence);
    bool replay = false;
    nfsstat4 status = Sequence(owner->started, owner->last, seqid, replay);
    {
        std::vector<std::shared_ptr<OpenFile>> released;
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner->dropped) return NFS4ERR_EXPIRED;
        // An owner that never confirmed starts over with this OPEN.
        if (!owner->confirmed && owner->started && !(replay && !owner->reply.empty())) {
            for (const StatePtr& state : std::set<StatePtr>(owner->states)) DropStateLocked(state, released);
            owner->started = false;
            owner->reply.clear();
            status = NFS4_OK;
            replay = false;
        }
    }
    if (status != NFS4_OK) return status;
    return Grant(owner, std::move(held), seqid, replay, guard);
}

nfsstat4 Nfs4State::Grant(const std::shared_ptr<Owner>& owner, std::unique_lock<std::mutex> held, seqid4 seqid,
                          bool replay, SequenceGuard& guard) {
    // A sequence id that repeats an operation whose reply was not kept
    // cannot be answered again.
    if (replay && owner->reply.empty()) return NFS4ERR_BAD_SEQID;
    guard.owner_ = owner;
    guard.lock_ = std::move(held);
    guard.seqid_ = seqid;
    guard.replay_ = replay;
    return NFS4_OK;
}

nfsstat4 Nfs4State::BeginByState(const stateid4& stateid, seqid4 seqid, SequenceGuard& guard) {
    std::shared_ptr<Owner> owner;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        StatePtr state;
        const nfsstat4 status = FindState(stateid, state);
        if (status != NFS4_OK) return status;
        owner = state->owner;
    }
    std::unique_lock<std::mutex> held(owner->sequence);
    bool replay = false;
    const nfsstat4 status = Sequence(owner->started, owner->last, seqid, replay);
    if (status != NFS4_OK) return status;
    return Grant(owner, std::move(held), seqid, replay, guard);
}

Nfs4State::StatePtr Nfs4State::OpenOf(const Owner& owner, const std::string& fileKey) {
    for (const StatePtr& state : owner.states) {
        if (!state->lock && state->fileKey == fileKey) return state;
    }
    return nullptr;
}

nfsstat4 Nfs4State::CheckShare(clientid4 clientid, const std::string& owner, const std::string& fileKey,
                               uint32_t access, uint32_t deny) {
    std::lock_guard<std::mutex> lock(mutex_);
    return CheckShareLocked(clientid, owner, fileKey, access, deny);
}

nfsstat4 Nfs4State::CheckShareLocked(clientid4 clientid, const std::string& owner, const std::string& fileKey,
                                     uint32_t access, uint32_t deny) {
    auto file = files_.find(fileKey);
    if (file == files_.end()) return NFS4_OK;
    for (const StatePtr& other : file->second) {
        if (other->lock || (other->owner->client == clientid && other->owner->name == owner)) continue;
        if ((access & other->deny) != 0 || (deny & other->access) != 0) return NFS4ERR_SHARE_DENIED;
    }
    return NFS4_OK;
}

nfsstat4 Nfs4State::Open(SequenceGuard& guard, const std::string& fileKey, uint32_t access, uint32_t deny,
                         bool reclaim, const std::shared_ptr<OpenFile>& file, stateid4& stateid, bool& confirm) {
    if (access == 0 || (access & ~kAccessBoth) != 0 || (deny & ~kAccessBoth) != 0) return NFS4ERR_INVAL;
    nfsstat4 status = GraceCheck(reclaim);
    if (status != NFS4_OK) return status;
    std::lock_guard<std::mutex> lock(mutex_);
    Owner& owner = *guard.owner_;
    status = CheckShareLocked(owner.client, owner.name, fileKey, access, deny);
    if (status != NFS4_OK) return status;
    ClientPtr client;
    status = FindClient(owner.client, client);
    if (status != NFS4_OK) return status;
    if (owner.dropped) return NFS4ERR_EXPIRED;
    StatePtr state = OpenOf(owner, fileKey);
    if (state) {
        // The owner's second open of the file is an upgrade of the first.
        state->access |= access;
        state->deny |= deny;
        ++state->seqid;
    } else {
        if (client->states >= limits_.statesPerClient || states_.size() >= limits_.states) return NFS4ERR_RESOURCE;
        state = std::make_shared<State>();
        state->other = NewOther(*client);
        state->owner = guard.owner_;
        state->fileKey = fileKey;
        state->access = access;
        state->deny = deny;
        state->file = file;
        states_[state->other] = state;
        files_[fileKey].insert(state);
        owner.states.insert(state);
        ++client->states;
    }
    // A reclaiming client confirmed its owner before the restart.
    if (reclaim) owner.confirmed = true;
    confirm = !owner.confirmed;
    Stamp(*state, stateid);
    return NFS4_OK;
}

nfsstat4 Nfs4State::ConfirmOpen(SequenceGuard& guard, const stateid4& stateid, stateid4& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr state;
    nfsstat4 status = FindState(stateid, state);
    if (status == NFS4_OK && (state->lock || state->owner != guard.owner_)) status = NFS4ERR_BAD_STATEID;
    if (status == NFS4_OK) status = CheckSeqid(*state, stateid);
    if (status == NFS4_OK && guard.owner_->confirmed) status = NFS4ERR_BAD_STATEID;
    if (status != NFS4_OK) return status;
    guard.owner_->confirmed = true;
    ++state->seqid;
    Stamp(*state, result);
    return NFS4_OK;
}

nfsstat4 Nfs4State::Downgrade(SequenceGuard& guard, const stateid4& stateid, uint32_t access, uint32_t deny,
                              stateid4& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr state;
    nfsstat4 status = FindState(stateid, state);
    if (status == NFS4_OK && (state->lock || state->owner != guard.owner_ || !guard.owner_->confirmed)) {
        status = NFS4ERR_BAD_STATEID;
    }
    if (status == NFS4_OK) status = CheckSeqid(*state, stateid);
    if (status != NFS4_OK) return status;
    // Only to a subset of what the open has.
    if (access == 0 || (access & ~state->access) != 0 || (deny & ~state->deny) != 0) return NFS4ERR_INVAL;
    state->access = access;
    state->deny = deny;
    ++state->seqid;
    Stamp(*state, result);
    return NFS4_OK;
}

nfsstat4 Nfs4State::Close(SequenceGuard& guard, const stateid4& stateid, stateid4& result) {
    std::vector<std::shared_ptr<OpenFile>> released;
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr state;
    nfsstat4 status = FindState(stateid, state);
    if (status == NFS4_OK && (state->lock || state->owner != guard.owner_)) status = NFS4ERR_BAD_STATEID;
    if (status == NFS4_OK) status = CheckSeqid(*state, stateid);
    if (status != NFS4_OK) return status;
    std::vector<StatePtr> locks;
    for (const StatePtr& other : files_[state->fileKey]) {
        if (other->lock && other->open == state) {
            if (!other->ranges.empty()) return NFS4ERR_LOCKS_HELD;
            locks.push_back(other);
        }
    }
    for (const StatePtr& other : locks) DropStateLocked(other, released);
    ++state->seqid;
    Stamp(*state, result);
    DropStateLocked(state, released);
    return NFS4_OK;
}

bool Nfs4State::Conflicts(const std::string& fileKey, const Owner* owner, const Range& range, Holder* holder) {
    auto file = files_.find(fileKey);
    if (file == files_.end()) return false;
    for (const StatePtr& state : file->second) {
        if (!state->lock || state->owner.get() == owner) continue;
        for (const Range& held : state->ranges) {
            if (!Overlap(held, range) || (!held.write && !range.write)) continue;
            if (holder != nullptr) *holder = Holder{held, state->owner->client, state->owner->name};
            return true;
        }
    }
    return false;
}

nfsstat4 Nfs4State::ApplyRange(const StatePtr& lock, const Range& range, bool reclaim, const ApplyLock& apply,
                               Holder& holder) {
    nfsstat4 status = GraceCheck(reclaim);
    if (status != NFS4_OK) return status;
    // A write lock needs an open that may write.
    if (range.write && (lock->open->access & OPEN4_SHARE_ACCESS_WRITE) == 0) return NFS4ERR_OPENMODE;
    if (Conflicts(lock->fileKey, lock->owner.get(), range, &holder)) return NFS4ERR_DENIED;
    std::vector<Range> ranges = Without(lock->ranges, range);
    ranges.push_back(range);
    if (ranges.size() > limits_.rangesPerLockState) return NFS4ERR_RESOURCE;
    const int error = apply(lock->open->file, lock->owner->id, range, false);
    if (error == EAGAIN) {
        // Held in the module by something this table does not know.
        holder = Holder{range, 0, std::string()};
        return NFS4ERR_DENIED;
    }
    if (error != 0) return Nfs4StatusFromErrno(error);
    lock->ranges = std::move(ranges);
    ++lock->seqid;
    return NFS4_OK;
}

nfsstat4 Nfs4State::LockNew(SequenceGuard& guard, const stateid4& openStateid, seqid4 lockSeqid,
                            const std::string& lockOwner, const std::string& fileKey, const Range& range,
                            bool reclaim, const ApplyLock& apply, stateid4& result, Holder& holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr open;
    nfsstat4 status = FindState(openStateid, open);
    if (status == NFS4_OK && (open->lock || open->owner != guard.owner_ || open->fileKey != fileKey ||
                              !guard.owner_->confirmed)) {
        status = NFS4ERR_BAD_STATEID;
    }
    if (status == NFS4_OK) status = CheckSeqid(*open, openStateid);
    ClientPtr client;
    if (status == NFS4_OK) status = FindClient(open->owner->client, client);
    if (status != NFS4_OK) return status;
    std::shared_ptr<Owner> owner = FindOwner(*client, lockOwner, true);
    if (!owner) {
        status = MakeOwner(*client, lockOwner, true, owner);
        if (status != NFS4_OK) return status;
        // The lock-owner's sequence starts with this LOCK; no reply to replay.
        owner->started = true;
        owner->last = lockSeqid;
    }
    StatePtr state;
    for (const StatePtr& candidate : owner->states) {
        if (candidate->fileKey == fileKey) state = candidate;
    }
    const bool made = !state;
    if (made) {
        if (client->states >= limits_.statesPerClient || states_.size() >= limits_.states) return NFS4ERR_RESOURCE;
        state = std::make_shared<State>();
        state->other = NewOther(*client);
        state->lock = true;
        state->owner = owner;
        state->fileKey = fileKey;
        state->open = open;
        state->seqid = 0;  // the first granted range makes it 1
    }
    status = ApplyRange(state, range, reclaim, apply, holder);
    if (status != NFS4_OK) return status;
    if (made) {
        states_[state->other] = state;
        files_[fileKey].insert(state);
        owner->states.insert(state);
        ++client->states;
    }
    Stamp(*state, result);
    return NFS4_OK;
}

nfsstat4 Nfs4State::FindLockState(const SequenceGuard& guard, const stateid4& stateid, const std::string& fileKey,
                                  StatePtr& state) {
    nfsstat4 status = FindState(stateid, state);
    if (status == NFS4_OK && (!state->lock || state->owner != guard.owner_ || state->fileKey != fileKey)) {
        status = NFS4ERR_BAD_STATEID;
    }
    return status == NFS4_OK ? CheckSeqid(*state, stateid) : status;
}

nfsstat4 Nfs4State::LockExisting(SequenceGuard& guard, const stateid4& lockStateid, const std::string& fileKey,
                                 const Range& range, bool reclaim, const ApplyLock& apply, stateid4& result,
                                 Holder& holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr state;
    nfsstat4 status = FindLockState(guard, lockStateid, fileKey, state);
    if (status == NFS4_OK) status = ApplyRange(state, range, reclaim, apply, holder);
    if (status == NFS4_OK) Stamp(*state, result);
    return status;
}

nfsstat4 Nfs4State::TestLock(clientid4 clientid, const std::string& lockOwner, const std::string& fileKey,
                             const Range& range, Holder& holder) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClientPtr client;
    nfsstat4 status = FindClient(clientid, client);
    if (status != NFS4_OK) return status;
    if (InGrace()) return NFS4ERR_GRACE;
    std::shared_ptr<Owner> owner = FindOwner(*client, lockOwner, true);
    return Conflicts(fileKey, owner.get(), range, &holder) ? NFS4ERR_DENIED : NFS4_OK;
}

nfsstat4 Nfs4State::Unlock(SequenceGuard& guard, const stateid4& lockStateid, const std::string& fileKey,
                           const Range& range, const ApplyLock& apply, stateid4& result) {
    std::lock_guard<std::mutex> lock(mutex_);
    StatePtr state;
    nfsstat4 status = FindLockState(guard, lockStateid, fileKey, state);
    if (status != NFS4_OK) return status;
    const int error = apply(state->open->file, state->owner->id, range, true);
    if (error != 0) return Nfs4StatusFromErrno(error);
    state->ranges = Without(state->ranges, range);
    ++state->seqid;
    Stamp(*state, result);
    return NFS4_OK;
}

nfsstat4 Nfs4State::ReleaseLockOwner(clientid4 clientid, const std::string& lockOwner) {
    std::vector<std::shared_ptr<OpenFile>> released;
    std::lock_guard<std::mutex> lock(mutex_);
    ClientPtr client;
    const nfsstat4 status = FindClient(clientid, client);
    if (status != NFS4_OK) return status;
    std::shared_ptr<Owner> owner = FindOwner(*client, lockOwner, true);
    if (!owner) return NFS4_OK;
    for (const StatePtr& state : owner->states) {
        if (!state->ranges.empty()) return NFS4ERR_LOCKS_HELD;
    }
    DropOwnerLocked(*client, owner, released);
    return NFS4_OK;
}

nfsstat4 Nfs4State::CheckIo(const stateid4& stateid, const std::string& fileKey, bool write) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool anonymous = AllBytes(stateid, 0) && stateid.seqid == 0;
    const bool bypass = AllBytes(stateid, 0xff) && stateid.seqid == 0xffffffffu;
    if (anonymous || bypass) {
        if (bypass && write) return NFS4ERR_BAD_STATEID;
        if (bypass) return NFS4_OK;
        // Without an open, another client's deny reservation still holds.
        auto file = files_.find(fileKey);
        if (file == files_.end()) return NFS4_OK;
        const uint32_t denied = write ? OPEN4_SHARE_DENY_WRITE : OPEN4_SHARE_DENY_READ;
        for (const StatePtr& state : file->second) {
            if (!state->lock && (state->deny & denied) != 0) return NFS4ERR_LOCKED;
        }
        return NFS4_OK;
    }
    StatePtr state;
    nfsstat4 status = FindState(stateid, state);
    if (status == NFS4_OK && state->fileKey != fileKey) status = NFS4ERR_BAD_STATEID;
    if (status == NFS4_OK) status = CheckSeqid(*state, stateid);
    if (status != NFS4_OK) return status;
    const State& open = state->lock ? *state->open : *state;
    if (!open.owner->confirmed) return NFS4ERR_BAD_STATEID;
    if (write && (open.access & OPEN4_SHARE_ACCESS_WRITE) == 0) return NFS4ERR_OPENMODE;
    return NFS4_OK;
}

nfsstat4 Nfs4State::ReturnDelegation(const stateid4& stateid) const {
    return Word(stateid.other) != epoch_ ? NFS4ERR_STALE_STATEID : NFS4ERR_BAD_STATEID;
}

void Nfs4State::DropStateLocked(const StatePtr& state, std::vector<std::shared_ptr<OpenFile>>& released) {
    if (states_.erase(state->other) == 0) return;
    auto file = files_.find(state->fileKey);
    if (file != files_.end()) {
        file->second.erase(state);
        if (file->second.empty()) files_.erase(file);
    }
    state->owner->states.erase(state);
    auto client = clients_.find(state->owner->client);
    if (client != clients_.end() && client->second->states > 0) --client->second->states;
    if (state->file) released.push_back(std::move(state->file));
    state->open.reset();
}

void Nfs4State::DropOwnerLocked(Client& client, const std::shared_ptr<Owner>& owner,
                                std::vector<std::shared_ptr<OpenFile>>& released) {
    for (const StatePtr& state : std::set<StatePtr>(owner->states)) DropStateLocked(state, released);
    owner->dropped = true;
    client.owners.erase({owner->lockOwner, owner->name});
}

void Nfs4State::DropClientLocked(Client& client, std::vector<std::shared_ptr<OpenFile>>& released) {
    // Lock states first: their descriptors are their opens'.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto& entry : std::map<std::pair<bool, std::string>, std::shared_ptr<Owner>>(client.owners)) {
            if (entry.first.first == (pass == 0)) DropOwnerLocked(client, entry.second, released);
        }
    }
}

void Nfs4State::ExpireLeases() {
    std::vector<std::shared_ptr<OpenFile>> released;  // closed after the mutex is dropped
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (now - it->second->renewed <= lease_) {
            ++it;
            continue;
        }
        NFS_LOG(1, "INFO: NFS: lease of client [%llu] expired; its state is released",
                static_cast<unsigned long long>(it->first));
        DropClientLocked(*it->second, released);
        it = clients_.erase(it);
    }
    for (auto it = unconfirmed_.begin(); it != unconfirmed_.end();) {
        it = now - it->second->renewed > lease_ ? unconfirmed_.erase(it) : std::next(it);
    }
}

size_t Nfs4State::ClientCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clients_.size();
}

size_t Nfs4State::StateCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_.size();
}
