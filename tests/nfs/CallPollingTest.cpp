// Polling for the next call: what it reports, that it gives up on time, and
// that no more threads poll at once than it has slots for.
#include "nfsserver/CallPolling.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "nfsserver/RpcRecordReader.h"
#include "tests/nfs/SocketPair.h"

namespace {

constexpr unsigned kLong = 10 * 1000 * 1000;  // microseconds; never reached when data comes

// Waits until polling has as many threads polling as expected.
void AwaitPolling(const CallPolling& polling, unsigned expected) {
    while (polling.Polling() != expected) std::this_thread::yield();
}

TEST(CallPollingTest, ReportsDataAndHangUpsThatComeWithinTheTimeAllowed) {
    CallPolling polling(kLong, 1);
    SocketPair ready;
    ready.Send("x");
    EXPECT_TRUE(polling.AwaitReadable(ready.Served()));

    SocketPair later;
    std::thread sender([&later] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        later.Send("y");
    });
    EXPECT_TRUE(polling.AwaitReadable(later.Served()));
    sender.join();

    SocketPair gone;
    gone.HangUp();
    EXPECT_TRUE(polling.AwaitReadable(gone.Served()));
    EXPECT_EQ(polling.Polling(), 0u);
}

TEST(CallPollingTest, GivesUpWhenTheTimeRunsOutOrPollingIsOff) {
    SocketPair quiet;
    CallPolling brief(2000, 1);
    EXPECT_FALSE(brief.AwaitReadable(quiet.Served()));
    EXPECT_EQ(brief.Polling(), 0u);  // the slot is given back

    SocketPair ready;
    ready.Send("x");
    CallPolling off(0, 1);
    EXPECT_FALSE(off.AwaitReadable(ready.Served()));
}

TEST(CallPollingTest, NoMoreThreadsPollThanThereAreSlots) {
    CallPolling polling(kLong, 1);
    SocketPair first;
    SocketPair second;
    second.Send("x");
    auto polled = std::async(std::launch::async, [&] { return polling.AwaitReadable(first.Served()); });
    AwaitPolling(polling, 1);
    // The only slot is taken: the second connection goes to sleep in poll
    // instead, even though its call is there.
    EXPECT_FALSE(polling.AwaitReadable(second.Served()));
    first.Send("y");
    EXPECT_TRUE(polled.get());
    EXPECT_EQ(polling.Polling(), 0u);
    EXPECT_TRUE(polling.AwaitReadable(second.Served()));
}

TEST(CallPollingTest, RecordReaderPollsOnlyBetweenRecords) {
    CallPolling polling(kLong, 1);
    SocketPair pair;
    RpcRecordReader reader(pair.Served(), 100, 30 * 1000, &polling);
    // A header and half a body: the rest is waited for in poll, not polled
    // for, so the slot stays free while the record is incomplete.
    const std::string header("\x80\x00\x00\x04", 4);
    pair.Send(header + "ab");
    auto next = std::async(std::launch::async, [&reader] { return reader.Next(); });
    EXPECT_EQ(next.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(polling.Polling(), 0u);
    pair.Send("cd");
    ASSERT_EQ(next.get(), RpcRecordReader::Status::kRecord);
    EXPECT_EQ(std::string(reader.Data(), reader.Size()), "abcd");

    // Between records it polls, and a hang-up still ends the stream cleanly.
    next = std::async(std::launch::async, [&reader] { return reader.Next(); });
    AwaitPolling(polling, 1);
    pair.HangUp();
    EXPECT_EQ(next.get(), RpcRecordReader::Status::kClosed);
}

}  // namespace
