#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "host/UniqueNumber.h"
#include "host/UniqueNumberPool.h"
#include "tests/host/HostTestSupport.h"

namespace {

class UniqueNumberTest : public hosttest::HostTest {};

TEST_F(UniqueNumberTest, UniqueNumbersAreNonZeroAndNotReusedWhileTaken) {
    unsigned int before = TakenUniqueNumbers();
    std::set<unsigned int> taken;
    for (int i = 0; i < 1000; ++i) {
        unsigned int number = GetUniqueNumber();
        EXPECT_NE(0u, number);
        EXPECT_LE(number, 0x7fffffffu);  // fits a positive int descriptor
        EXPECT_TRUE(taken.insert(number).second) << number;
    }
    EXPECT_EQ(before + 1000, TakenUniqueNumbers());
    for (unsigned int number : taken) FreeUniqueNumber(number);
    EXPECT_EQ(before, TakenUniqueNumbers());
}

TEST_F(UniqueNumberTest, FreeingANumberNotTakenIsIgnoredAndLogged) {
    unsigned int number = GetUniqueNumber();
    FreeUniqueNumber(number);
    unsigned int before = TakenUniqueNumbers();
    g_ptrLogWriter->ClearCaptured();
    FreeUniqueNumber(number);
    FreeUniqueNumber(0);
    EXPECT_EQ(before, TakenUniqueNumbers());
    EXPECT_TRUE(Logged(
        1, "WARN: Descriptor number [" + std::to_string(number) + "] is not in use; nothing freed"))
        << Dump();
    EXPECT_TRUE(Logged(1, "WARN: Descriptor number [0] is not in use; nothing freed")) << Dump();
}

TEST_F(UniqueNumberTest, FreedNumbersComeBackOnlyAfterTheRestOfTheRange) {
    UniqueNumberPool pool(4);
    EXPECT_EQ(1u, pool.Take());
    EXPECT_EQ(2u, pool.Take());
    pool.Release(1);
    EXPECT_EQ(3u, pool.Take());  // not 1: a late release of the old 1 must not hit a new owner
    EXPECT_EQ(4u, pool.Take());
    EXPECT_EQ(1u, pool.Take());  // wrapped, 2 still taken is skipped next
    pool.Release(3);
    EXPECT_EQ(3u, pool.Take());
    EXPECT_EQ(4u, pool.TakenCount());
}

TEST_F(UniqueNumberTest, AnExhaustedPoolAnswersZero) {
    UniqueNumberPool pool(2);
    EXPECT_EQ(1u, pool.Take());
    EXPECT_EQ(2u, pool.Take());
    EXPECT_EQ(0u, pool.Take());
    EXPECT_TRUE(Logged(-1, "ERROR: All [2] descriptor numbers are in use")) << Dump();
    pool.Release(2);
    EXPECT_EQ(2u, pool.Take());
}

TEST_F(UniqueNumberTest, UniqueNumbersUnderConcurrentCallers) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    unsigned int before = TakenUniqueNumbers();
    std::vector<std::vector<unsigned int>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &kept] {
            for (int i = 0; i < kRounds; ++i) {
                unsigned int number = GetUniqueNumber();
                if (i % 2 == 0)
                    kept[t].push_back(number);
                else
                    FreeUniqueNumber(number);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<unsigned int> all;
    for (const auto& numbers : kept) all.insert(all.end(), numbers.begin(), numbers.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
    EXPECT_EQ(0, std::count(all.begin(), all.end(), 0u));
    EXPECT_EQ(before + all.size(), TakenUniqueNumbers());
    for (unsigned int number : all) FreeUniqueNumber(number);
    EXPECT_EQ(before, TakenUniqueNumbers());
}

}  // namespace
