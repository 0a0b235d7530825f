// NFSv4 state from many connections at once: clients opening, locking,
// testing, unlocking and closing one file while another thread sweeps leases
// and checks stateids. Every operation ends (no owner's sequence waits on
// another's), locks never overlap between owners, and nothing is left.
#include "nfsserver/Nfs4State.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Range = Nfs4State::Range;

constexpr int kClients = 4;
constexpr int kRounds = 200;

// Runs one owner's sequenced step; the guard ends with the step.
template <typename Step>
nfsstat4 Sequenced(Nfs4State& state, const stateid4& stateid, seqid4& seqid, Step step) {
    Nfs4State::SequenceGuard guard;
    nfsstat4 status = state.BeginByState(stateid, seqid, guard);
    if (status != NFS4_OK) return status;
    status = step(guard);
    guard.Finish(status, "reply");
    ++seqid;
    return status;
}

void Client(Nfs4State& state, int index, std::atomic<int>& overlaps, std::atomic<int>& failures) {
    const std::string name = "client-" + std::to_string(index);
    verifier4 verifier;
    memset(verifier, index, sizeof(verifier));
    clientid4 clientid = 0;
    verifier4 confirm;
    if (state.SetClientId(name, verifier, "10.0.0." + std::to_string(index), 0, clientid, confirm) != NFS4_OK ||
        state.ConfirmClientId(clientid, confirm) != NFS4_OK) {
        ++failures;
        return;
    }
    seqid4 openSeqid = 0;
    // Everybody wants the same bytes.
    const Range range{100, 199, true};
    const Nfs4State::ApplyLock apply = [](const std::shared_ptr<OpenFile>&, uint64_t, const Range&, bool) {
        return 0;
    };
    for (int round = 0; round < kRounds; ++round) {
        const std::string owner = name + "-" + std::to_string(round);
        stateid4 open{};
        bool mustConfirm = false;
        {
            Nfs4State::SequenceGuard guard;
            if (state.BeginOpen(clientid, owner, 0, guard) != NFS4_OK ||
                state.Open(guard, "shared", OPEN4_SHARE_ACCESS_BOTH, 0, false, nullptr, open, mustConfirm) !=
                    NFS4_OK) {
                ++failures;
                continue;
            }
            guard.Finish(NFS4_OK, "open");
        }
        openSeqid = 1;
        stateid4 confirmed{};
        if (Sequenced(state, open, openSeqid, [&](Nfs4State::SequenceGuard& g) {
                return state.ConfirmOpen(g, open, confirmed);
            }) != NFS4_OK) {
            ++failures;
            continue;
        }
        stateid4 lock{};
        Nfs4State::Holder holder;
        const nfsstat4 locked = Sequenced(state, confirmed, openSeqid, [&](Nfs4State::SequenceGuard& g) {
            return state.LockNew(g, confirmed, 0, owner + "-lock", "shared", range, false, apply, lock, holder);
        });
        if (locked == NFS4_OK) {
            // Held: nobody else may hold any of it now.
            if (state.TestLock(clientid, owner + "-lock", "shared", range, holder) != NFS4_OK) ++overlaps;
            seqid4 lockSeqid = 1;
            stateid4 next{};
            if (Sequenced(state, lock, lockSeqid, [&](Nfs4State::SequenceGuard& g) {
                    return state.Unlock(g, lock, "shared", Range{0, ~0ULL, true}, apply, next);
                }) != NFS4_OK) {
                ++failures;
            }
        } else if (locked != NFS4ERR_DENIED) {
            ++failures;
        }
        stateid4 closed{};
        stateid4 current = confirmed;
        if (Sequenced(state, current, openSeqid, [&](Nfs4State::SequenceGuard& g) {
                return state.Close(g, current, closed);
            }) != NFS4_OK) {
            ++failures;
        }
        if (state.ReleaseLockOwner(clientid, owner + "-lock") != NFS4_OK) ++failures;
    }
}

TEST(Nfs4StateConcurrency, ClientsOpeningAndLockingOneFileLeaveNothingBehind) {
    // Locks need the grace period over: the clock jumps past it once the
    // state has started.
    std::atomic<int> skipped{0};
    Nfs4State graceless(30s, Nfs4State::Limits(),
                        [&skipped] { return Nfs4State::Clock::now() + std::chrono::seconds(skipped.load()); });
    skipped = 60;
    ASSERT_FALSE(graceless.InGrace());
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] { Client(graceless, i + 1, overlaps, failures); });
    }
    std::thread sweeper([&] {
        stateid4 unknown{};
        memset(unknown.other, 0x5a, sizeof(unknown.other));
        while (!done) {
            graceless.ExpireLeases();
            graceless.CheckIo(unknown, "shared", true);
            graceless.StateCount();
        }
    });
    for (std::thread& thread : threads) thread.join();
    done = true;
    sweeper.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0u, graceless.StateCount());
    EXPECT_EQ(static_cast<size_t>(kClients), graceless.ClientCount());
}

}  // namespace
