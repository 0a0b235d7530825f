// Object GUIDs: their layout, their order of creation, their uniqueness
// across threads.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "objectstore/GuidSource.h"
#include "objectstore/PathRules.h"

namespace ObjectStore {
namespace {

TEST(GuidSourceTest, TimeDigitsComeFirstAndExcessBitsAreDropped) {
    EXPECT_EQ(GuidText(0x123456789abcdULL, 0xfffULL, 0x0123456789abcdefULL), "123456789abcdfff0123456789abcdef");
    // Only 52 bits of time and 76 of randomness fit.
    EXPECT_EQ(GuidText((1ULL << 52) | 5, 0xabcdULL, 0), "0000000000005bcd0000000000000000");
}

uint64_t NowUs() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

TEST(GuidSourceTest, LaterGuidsSortAfterEarlierOnes) {
    std::string previous = NewGuidText();
    for (int i = 0; i < 200; ++i) {
        // A new microsecond, so that the time digits differ.
        const uint64_t start = NowUs();
        while (NowUs() == start) {
        }
        const std::string next = NewGuidText();
        ASSERT_TRUE(IsGuidText(next)) << next;
        ASSERT_LT(previous, next) << "GUID " << i;
        previous = next;
    }
}

TEST(GuidSourceTest, GuidsOfManyThreadsInTheSameMicrosecondsDiffer) {
    constexpr int kThreads = 4;
    constexpr int kEach = 5000;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&made, t] {
            for (int i = 0; i < kEach; ++i) made[t].push_back(NewGuidText());
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::set<std::string> all;
    for (const auto& list : made) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace ObjectStore
