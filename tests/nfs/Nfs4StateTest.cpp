// NFSv4 state on its own, on a clock the tests move: clients and their
// confirmation, leases and what their expiry releases, the grace period,
// owners' sequence ids and replies, share reservations, byte-range locks
// with the holder a conflict names, stateids as READ and WRITE check them,
// and the limits on what one client may hold.
#include "nfsserver/Nfs4State.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Range = Nfs4State::Range;

constexpr auto kLease = 10s;
constexpr uint64_t kToEnd = ~0ULL;

class Nfs4StateTest : public ::testing::Test {
protected:
    explicit Nfs4StateTest(Nfs4State::Limits limits = Nfs4State::Limits())
        : state_(kLease, limits, [this] { return now_; }) {}

    void PastGrace() { now_ += kLease + 1s; }

    // A confirmed client of this id string.
    clientid4 Client(const std::string& id, char instance = '1') {
        verifier4 verifier;
        memset(verifier, instance, sizeof(verifier));
        clientid4 clientid = 0;
        verifier4 confirm;
        EXPECT_EQ(NFS4_OK, state_.SetClientId(id, verifier, "127.0.0.1", 0, clientid, confirm));
        EXPECT_EQ(NFS4_OK, state_.ConfirmClientId(clientid, confirm));
        return clientid;
    }

    // An open of the file by the owner, confirmed: its stateid.
    stateid4 Open(clientid4 clientid, const std::string& owner, const std::string& file, uint32_t access,
                  uint32_t deny = OPEN4_SHARE_DENY_NONE) {
        stateid4 stateid{};
        bool confirm = false;
        {
            Nfs4State::SequenceGuard guard;
            EXPECT_EQ(NFS4_OK, state_.BeginOpen(clientid, owner, seqids_[owner], guard));
            const nfsstat4 status = state_.Open(guard, file, access, deny, false, nullptr, stateid, confirm);
            guard.Finish(status, "open");
            EXPECT_EQ(NFS4_OK, status);
        }
        ++seqids_[owner];
        if (!confirm) return stateid;
        Nfs4State::SequenceGuard confirming;
        EXPECT_EQ(NFS4_OK, state_.BeginByState(stateid, seqids_[owner], confirming));
        stateid4 confirmed{};
        EXPECT_EQ(NFS4_OK, state_.ConfirmOpen(confirming, stateid, confirmed));
        confirming.Finish(NFS4_OK, "confirm");
        ++seqids_[owner];
        return confirmed;
    }

    // Clients a and b past the grace period, each with an open of "file"
    // (owners "oa" and "ob").
    struct TwoOpens {
        clientid4 a;
        clientid4 b;
        stateid4 openA;
        stateid4 openB;
    };
    TwoOpens OpenTwice(uint32_t denyA = OPEN4_SHARE_DENY_NONE, uint32_t accessB = OPEN4_SHARE_ACCESS_BOTH) {
        PastGrace();
        TwoOpens two{Client("host-a"), Client("host-b"), {}, {}};
        two.openA = Open(two.a, "oa", "file", OPEN4_SHARE_ACCESS_BOTH, denyA);
        two.openB = Open(two.b, "ob", "file", accessB);
        return two;
    }

    // The module's side of locks: every range applied, and a status to give.
    Nfs4State::ApplyLock Recorder() {
        return [this](const std::shared_ptr<OpenFile>&, uint64_t owner, const Range& range, bool unlock) {
            applied_.push_back({owner, range.first, range.last, unlock});
            return moduleError_;
        };
    }

    nfsstat4 Lock(const stateid4& open, const std::string& openOwner, const std::string& lockOwner,
                  const std::string& file, Range range, stateid4& lock, Nfs4State::Holder& holder) {
        Nfs4State::SequenceGuard guard;
        nfsstat4 status = state_.BeginByState(open, seqids_[openOwner], guard);
        if (status != NFS4_OK) return status;
        status = state_.LockNew(guard, open, 0, lockOwner, file, range, false, Recorder(), lock, holder);
        guard.Finish(status, "lock");
        ++seqids_[openOwner];
        seqids_[lockOwner] = 1;
        return status;
    }

    nfsstat4 Unlock(const std::string& lockOwner, stateid4& lock, const std::string& file, Range range) {
        Nfs4State::SequenceGuard guard;
        nfsstat4 status = state_.BeginByState(lock, seqids_[lockOwner], guard);
        if (status != NFS4_OK) return status;
        stateid4 next{};
        status = state_.Unlock(guard, lock, file, range, Recorder(), next);
        guard.Finish(status, "unlock");
        ++seqids_[lockOwner];
        if (status == NFS4_OK) lock = next;
        return status;
    }

    struct Applied {
        uint64_t owner;
        uint64_t first;
        uint64_t last;
        bool unlock;
    };

    Nfs4State::Clock::time_point now_ = Nfs4State::Clock::time_point() + 1000h;
    Nfs4State state_;
    std::map<std::string, seqid4> seqids_;
    std::vector<Applied> applied_;
    int moduleError_ = 0;
};

TEST_F(Nfs4StateTest, AClientIsKnownOnlyOnceConfirmedAndRenewsUntilItsLeaseRunsOut) {
    verifier4 verifier;
    memset(verifier, 'v', sizeof(verifier));
    clientid4 clientid = 0;
    verifier4 confirm;
    ASSERT_EQ(NFS4_OK, state_.SetClientId("host-a", verifier, "127.0.0.1", 0, clientid, confirm));
    EXPECT_EQ(NFS4ERR_STALE_CLIENTID, state_.Renew(clientid));
    verifier4 wrong;
    memcpy(wrong, confirm, sizeof(wrong));
    wrong[0] ^= 1;
    EXPECT_EQ(NFS4ERR_STALE_CLIENTID, state_.ConfirmClientId(clientid, wrong));
    ASSERT_EQ(NFS4_OK, state_.ConfirmClientId(clientid, confirm));
    // A retransmitted confirmation is answered the same.
    EXPECT_EQ(NFS4_OK, state_.ConfirmClientId(clientid, confirm));
    now_ += kLease - 1s;
    EXPECT_EQ(NFS4_OK, state_.Renew(clientid));
    now_ += kLease - 1s;
    state_.ExpireLeases();
    EXPECT_EQ(NFS4_OK, state_.Renew(clientid));
    now_ += kLease + 1s;
    state_.ExpireLeases();
    EXPECT_EQ(NFS4ERR_EXPIRED, state_.Renew(clientid));
    EXPECT_EQ(0u, state_.ClientCount());
    // Ids of another server instance are stale, not expired.
    EXPECT_EQ(NFS4ERR_STALE_CLIENTID, state_.Renew(clientid ^ (1ULL << 40)));
}

TEST_F(Nfs4StateTest, ARestartedClientGetsANewIdAndLosesItsOldState) {
    PastGrace();
    const clientid4 first = Client("host-a", '1');
    Open(first, "o", "file", OPEN4_SHARE_ACCESS_BOTH, OPEN4_SHARE_DENY_WRITE);
    EXPECT_EQ(1u, state_.StateCount());
    // The same instance again keeps its id and state.
    EXPECT_EQ(first, Client("host-a", '1'));
    EXPECT_EQ(1u, state_.StateCount());
    const clientid4 second = Client("host-a", '2');
    EXPECT_NE(first, second);
    EXPECT_EQ(0u, state_.StateCount());
    EXPECT_EQ(NFS4ERR_EXPIRED, state_.Renew(first));
    EXPECT_EQ(NFS4_OK, state_.CheckShare(second, "o", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
}

TEST_F(Nfs4StateTest, AnIdHeldWithStateByAnotherPrincipalIsInUse) {
    PastGrace();
    const clientid4 clientid = Client("shared-name");
    Open(clientid, "o", "file", OPEN4_SHARE_ACCESS_READ);
    verifier4 verifier;
    memset(verifier, '9', sizeof(verifier));
    clientid4 other = 0;
    verifier4 confirm;
    EXPECT_EQ(NFS4ERR_CLID_INUSE, state_.SetClientId("shared-name", verifier, "10.0.0.9", 0, other, confirm));
}

TEST_F(Nfs4StateTest, TheGracePeriodGrantsOnlyReclaimsAndThenNoneAtAll) {
    const clientid4 clientid = Client("host-a");
    auto open = [&](bool reclaim, seqid4 seqid) {
        Nfs4State::SequenceGuard guard;
        EXPECT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", seqid, guard));
        stateid4 stateid{};
        bool confirm = false;
        const nfsstat4 status = state_.Open(guard, "file", OPEN4_SHARE_ACCESS_READ, 0, reclaim, nullptr, stateid,
                                            confirm);
        guard.Finish(status, "r");
        return status;
    };
    EXPECT_TRUE(state_.InGrace());
    EXPECT_EQ(NFS4ERR_GRACE, open(false, 1));
    EXPECT_EQ(NFS4_OK, open(true, 2));
    Nfs4State::Holder holder;
    EXPECT_EQ(NFS4ERR_GRACE, state_.TestLock(clientid, "l", "file", Range{0, 9, true}, holder));
    PastGrace();
    EXPECT_FALSE(state_.InGrace());
    EXPECT_EQ(NFS4_OK, state_.Renew(clientid));
    EXPECT_EQ(NFS4ERR_NO_GRACE, open(true, 3));
    EXPECT_EQ(NFS4_OK, open(false, 4));
}

TEST(Nfs4StateGraceTest, AGracePeriodOfItsOwnLengthOrNone) {
    Nfs4State::Clock::time_point now{};
    Nfs4State shorter(kLease, Nfs4State::Limits(), [&] { return now; }, 3s);
    Nfs4State none(kLease, Nfs4State::Limits(), [&] { return now; }, 0s);
    EXPECT_TRUE(shorter.InGrace());
    EXPECT_FALSE(none.InGrace());
    now += 3s;
    EXPECT_FALSE(shorter.InGrace());
    EXPECT_EQ(uint32_t(10), shorter.LeaseSeconds());
}

TEST_F(Nfs4StateTest, AnOwnersLastSequenceIdIsAReplayAndOthersAreRefused) {
    PastGrace();
    const clientid4 clientid = Client("host-a");
    Open(clientid, "o", "file", OPEN4_SHARE_ACCESS_READ);  // seqids 0 (open) and 1 (confirm)
    {
        Nfs4State::SequenceGuard guard;
        ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 1, guard));
        EXPECT_TRUE(guard.Replay());
        EXPECT_EQ("confirm", guard.LastReply());
    }
    {
        Nfs4State::SequenceGuard guard;
        EXPECT_EQ(NFS4ERR_BAD_SEQID, state_.BeginOpen(clientid, "o", 3, guard));
        EXPECT_FALSE(guard.Holds());
    }
    {
        // A status that leaves the sequence id keeps the earlier reply.
        Nfs4State::SequenceGuard guard;
        ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 2, guard));
        EXPECT_FALSE(guard.Replay());
        guard.Finish(NFS4ERR_BAD_STATEID, "bad");
    }
    {
        Nfs4State::SequenceGuard guard;
        ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 2, guard));
        EXPECT_FALSE(guard.Replay());
        guard.Finish(NFS4ERR_NOENT, "noent");
    }
    Nfs4State::SequenceGuard again;
    ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 2, again));
    EXPECT_TRUE(again.Replay());
    EXPECT_EQ("noent", again.LastReply());
}

TEST_F(Nfs4StateTest, AnUnconfirmedOwnerOpeningAgainStartsOver) {
    PastGrace();
    const clientid4 clientid = Client("host-a");
    Nfs4State::SequenceGuard guard;
    ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 7, guard));
    stateid4 stateid{};
    bool confirm = false;
    ASSERT_EQ(NFS4_OK, state_.Open(guard, "file", OPEN4_SHARE_ACCESS_READ, 0, false, nullptr, stateid, confirm));
    EXPECT_TRUE(confirm);
    guard.Finish(NFS4_OK, "first");
    guard = Nfs4State::SequenceGuard();
    // Unconfirmed: its stateid does no I/O.
    EXPECT_EQ(NFS4ERR_BAD_STATEID, state_.CheckIo(stateid, "file", false));
    Nfs4State::SequenceGuard restart;
    ASSERT_EQ(NFS4_OK, state_.BeginOpen(clientid, "o", 100, restart));
    EXPECT_FALSE(restart.Replay());
    EXPECT_EQ(0u, state_.StateCount());
}

TEST_F(Nfs4StateTest, ShareReservationsRefuseOtherOwnersAndSpecialStateids) {
    PastGrace();
    const clientid4 a = Client("host-a");
    const clientid4 b = Client("host-b");
    const stateid4 denyWrite = Open(a, "oa", "file", OPEN4_SHARE_ACCESS_READ, OPEN4_SHARE_DENY_WRITE);
    EXPECT_EQ(NFS4ERR_SHARE_DENIED, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
    EXPECT_EQ(NFS4ERR_SHARE_DENIED, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_READ,
                                                      OPEN4_SHARE_DENY_READ));
    EXPECT_EQ(NFS4_OK, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_READ, 0));
    // The owner's own reservation does not stand in its way.
    EXPECT_EQ(NFS4_OK, state_.CheckShare(a, "oa", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
    stateid4 anonymous{};
    EXPECT_EQ(NFS4ERR_LOCKED, state_.CheckIo(anonymous, "file", true));
    EXPECT_EQ(NFS4_OK, state_.CheckIo(anonymous, "file", false));
    stateid4 bypass{};
    bypass.seqid = 0xffffffffu;
    memset(bypass.other, 0xff, sizeof(bypass.other));
    EXPECT_EQ(NFS4_OK, state_.CheckIo(bypass, "file", false));
    EXPECT_EQ(NFS4ERR_BAD_STATEID, state_.CheckIo(bypass, "file", true));
    // A read-only open does not write; its stateid names one file.
    EXPECT_EQ(NFS4ERR_OPENMODE, state_.CheckIo(denyWrite, "file", true));
    EXPECT_EQ(NFS4_OK, state_.CheckIo(denyWrite, "file", false));
    EXPECT_EQ(NFS4ERR_BAD_STATEID, state_.CheckIo(denyWrite, "other", false));
    stateid4 old = denyWrite;
    --old.seqid;
    EXPECT_EQ(NFS4ERR_OLD_STATEID, state_.CheckIo(old, "file", false));
    stateid4 future = denyWrite;
    ++future.seqid;
    EXPECT_EQ(NFS4ERR_BAD_STATEID, state_.CheckIo(future, "file", false));
    stateid4 stale = denyWrite;
    stale.other[0] ^= 0x55;
    EXPECT_EQ(NFS4ERR_STALE_STATEID, state_.CheckIo(stale, "file", false));
}

TEST_F(Nfs4StateTest, DowngradeOnlyToLessAndCloseEndsTheReservation) {
    PastGrace();
    const clientid4 a = Client("host-a");
    const clientid4 b = Client("host-b");
    stateid4 open = Open(a, "oa", "file", OPEN4_SHARE_ACCESS_BOTH, OPEN4_SHARE_DENY_WRITE);
    Nfs4State::SequenceGuard guard;
    ASSERT_EQ(NFS4_OK, state_.BeginByState(open, seqids_["oa"]++, guard));
    stateid4 next{};
    EXPECT_EQ(NFS4ERR_INVAL, state_.Downgrade(guard, open, OPEN4_SHARE_ACCESS_BOTH, OPEN4_SHARE_DENY_BOTH, next));
    EXPECT_EQ(NFS4_OK, state_.Downgrade(guard, open, OPEN4_SHARE_ACCESS_READ, OPEN4_SHARE_DENY_WRITE, next));
    guard.Finish(NFS4_OK, "downgrade");
    guard = Nfs4State::SequenceGuard();
    EXPECT_EQ(open.seqid + 1, next.seqid);
    EXPECT_EQ(NFS4_OK, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_READ, 0));
    EXPECT_EQ(NFS4ERR_SHARE_DENIED, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
    Nfs4State::SequenceGuard closing;
    ASSERT_EQ(NFS4_OK, state_.BeginByState(next, seqids_["oa"]++, closing));
    stateid4 closed{};
    EXPECT_EQ(NFS4ERR_OLD_STATEID, state_.Close(closing, open, closed));
    EXPECT_EQ(NFS4_OK, state_.Close(closing, next, closed));
    EXPECT_EQ(NFS4_OK, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
    EXPECT_EQ(NFS4ERR_BAD_STATEID, state_.CheckIo(next, "file", false));
}

TEST_F(Nfs4StateTest, AConflictNamesTheHoldersRangeAndOwnerUntilReleased) {
    const auto [a, b, openA, openB] = OpenTwice();
    stateid4 lockA{};
    Nfs4State::Holder holder;
    ASSERT_EQ(NFS4_OK, Lock(openA, "oa", "la", "file", Range{0, 99, true}, lockA, holder));
    ASSERT_EQ(1u, applied_.size());
    const uint64_t ownerA = applied_[0].owner;
    EXPECT_FALSE(applied_[0].unlock);
    EXPECT_EQ(99u, applied_[0].last);

    stateid4 lockB{};
    EXPECT_EQ(NFS4ERR_DENIED, Lock(openB, "ob", "lb", "file", Range{50, 60, false}, lockB, holder));
    EXPECT_EQ(0u, holder.range.first);
    EXPECT_EQ(99u, holder.range.last);
    EXPECT_TRUE(holder.range.write);
    EXPECT_EQ(a, holder.clientid);
    EXPECT_EQ("la", holder.owner);
    EXPECT_EQ(1u, applied_.size());  // a refused range never reaches the module
    EXPECT_EQ(NFS4ERR_DENIED, state_.TestLock(b, "lb", "file", Range{99, kToEnd, false}, holder));
    EXPECT_EQ(NFS4_OK, state_.TestLock(b, "lb", "file", Range{100, kToEnd, true}, holder));
    EXPECT_EQ(NFS4_OK, state_.TestLock(a, "la", "file", Range{0, 10, true}, holder));

    // Releasing the middle leaves both ends held.
    ASSERT_EQ(NFS4_OK, Unlock("la", lockA, "file", Range{40, 59, true}));
    EXPECT_TRUE(applied_.back().unlock);
    EXPECT_EQ(NFS4_OK, state_.TestLock(b, "lb", "file", Range{45, 50, true}, holder));
    EXPECT_EQ(NFS4ERR_DENIED, state_.TestLock(b, "lb", "file", Range{10, 20, false}, holder));
    EXPECT_EQ(39u, holder.range.last);
    EXPECT_EQ(NFS4ERR_DENIED, state_.TestLock(b, "lb", "file", Range{70, 70, false}, holder));
    EXPECT_EQ(60u, holder.range.first);

    // Held ranges keep the open and the lock-owner.
    Nfs4State::SequenceGuard closing;
    ASSERT_EQ(NFS4_OK, state_.BeginByState(openA, seqids_["oa"]++, closing));
    stateid4 closed{};
    EXPECT_EQ(NFS4ERR_LOCKS_HELD, state_.Close(closing, openA, closed));
    closing = Nfs4State::SequenceGuard();
    EXPECT_EQ(NFS4ERR_LOCKS_HELD, state_.ReleaseLockOwner(a, "la"));
    ASSERT_EQ(NFS4_OK, Unlock("la", lockA, "file", Range{0, kToEnd, true}));
    EXPECT_EQ(NFS4_OK, state_.ReleaseLockOwner(a, "la"));
    ASSERT_EQ(NFS4_OK, Lock(openB, "ob", "lb2", "file", Range{0, kToEnd, true}, lockB, holder));
    EXPECT_NE(ownerA, applied_.back().owner);
}

TEST_F(Nfs4StateTest, AReadLockSharesWithReadLocksAndTheModulesRefusalIsADenial) {
    const auto [a, b, openA, openB] = OpenTwice();
    stateid4 lockA{};
    stateid4 lockB{};
    Nfs4State::Holder holder;
    ASSERT_EQ(NFS4_OK, Lock(openA, "oa", "la", "file", Range{0, 9, false}, lockA, holder));
    EXPECT_EQ(NFS4_OK, Lock(openB, "ob", "lb", "file", Range{5, 20, false}, lockB, holder));
    moduleError_ = EAGAIN;
    stateid4 lockC{};
    EXPECT_EQ(NFS4ERR_DENIED, Lock(openB, "ob", "lc", "file", Range{30, 40, true}, lockC, holder));
    EXPECT_EQ(30u, holder.range.first);
    moduleError_ = EIO;
    EXPECT_EQ(NFS4ERR_IO, Lock(openB, "ob", "ld", "file", Range{50, 60, true}, lockC, holder));
}

TEST_F(Nfs4StateTest, AnExpiredLeaseReleasesOpensAndLocksForOthers) {
    const auto [a, b, openA, openB] = OpenTwice(OPEN4_SHARE_DENY_WRITE, OPEN4_SHARE_ACCESS_READ);
    stateid4 lockA{};
    Nfs4State::Holder holder;
    stateid4 refused{};
    EXPECT_EQ(NFS4ERR_OPENMODE, Lock(openB, "ob", "lw", "file", Range{0, 9, true}, refused, holder));
    ASSERT_EQ(NFS4_OK, Lock(openA, "oa", "la", "file", Range{0, 9, true}, lockA, holder));
    now_ += kLease / 2;
    EXPECT_EQ(NFS4_OK, state_.Renew(b));
    now_ += kLease / 2 + 1s;
    state_.ExpireLeases();
    EXPECT_EQ(NFS4_OK, state_.Renew(b));  // b renewed in time
    EXPECT_EQ(1u, state_.ClientCount());
    EXPECT_EQ(NFS4ERR_EXPIRED, state_.CheckIo(openA, "file", false));
    EXPECT_EQ(NFS4ERR_EXPIRED, state_.CheckIo(lockA, "file", false));
    EXPECT_EQ(NFS4_OK, state_.CheckShare(b, "ob", "file", OPEN4_SHARE_ACCESS_WRITE, 0));
    stateid4 lockB{};
    EXPECT_EQ(NFS4_OK, Lock(openB, "ob", "lb", "file", Range{0, 9, false}, lockB, holder));
}

class Nfs4StateLimitsTest : public Nfs4StateTest {
protected:
    static Nfs4State::Limits Small() {
        Nfs4State::Limits limits;
        limits.clients = 3;
        limits.clientsPerAddress = 2;
        limits.ownersPerClient = 2;
        limits.statesPerClient = 2;
        limits.rangesPerLockState = 2;
        return limits;
    }
    Nfs4StateLimitsTest() : Nfs4StateTest(Small()) {}
};

TEST_F(Nfs4StateLimitsTest, OneClientCannotHoldMoreThanItsShare) {
    PastGrace();
    const clientid4 a = Client("host-a");
    Client("host-b");
    verifier4 verifier{};
    clientid4 other = 0;
    verifier4 confirm;
    // Two from one address, three in all.
    EXPECT_EQ(NFS4ERR_RESOURCE, state_.SetClientId("host-c", verifier, "127.0.0.1", 0, other, confirm));
    EXPECT_EQ(NFS4_OK, state_.SetClientId("host-d", verifier, "10.0.0.3", 0, other, confirm));
    EXPECT_EQ(NFS4ERR_RESOURCE, state_.SetClientId("host-e", verifier, "10.0.0.4", 0, other, confirm));
    // A known client's new instance takes its own place.
    EXPECT_EQ(NFS4_OK, state_.SetClientId("host-a", verifier, "127.0.0.1", 0, other, confirm));

    const stateid4 open = Open(a, "o1", "f1", OPEN4_SHARE_ACCESS_BOTH);
    Open(a, "o1", "f2", OPEN4_SHARE_ACCESS_BOTH);
    Nfs4State::SequenceGuard guard;
    ASSERT_EQ(NFS4_OK, state_.BeginOpen(a, "o1", seqids_["o1"], guard));
    stateid4 stateid{};
    bool flag = false;
    EXPECT_EQ(NFS4ERR_RESOURCE, state_.Open(guard, "f3", OPEN4_SHARE_ACCESS_READ, 0, false, nullptr, stateid, flag));
    guard = Nfs4State::SequenceGuard();
    // An owner without state makes room for a new one; one with state does not.
    Nfs4State::SequenceGuard second;
    EXPECT_EQ(NFS4_OK, state_.BeginOpen(a, "o2", 0, second));
    second = Nfs4State::SequenceGuard();
    Nfs4State::SequenceGuard third2;
    EXPECT_EQ(NFS4_OK, state_.BeginOpen(a, "o3", 0, third2));
    third2 = Nfs4State::SequenceGuard();
    stateid4 lock{};
    Nfs4State::Holder holder;
    EXPECT_EQ(NFS4ERR_RESOURCE, Lock(open, "o1", "l1", "f1", Range{0, 1, true}, lock, holder));
}

}  // namespace
