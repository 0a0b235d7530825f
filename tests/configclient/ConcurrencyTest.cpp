// Readers, writers, flushes and reopening from several threads at once.
// Run under ThreadSanitizer too (label "concurrency").
#include <atomic>
#include <thread>
#include <vector>

#include "configclient/PropertyNames.h"
#include "tests/configclient/ConfigClientTest.h"

using ConcurrencyTest = ConfigClientTest;
// Each open of ":memory:" is a new, empty database: SQLite's alone.
using SqliteReopenTest = ConfigClientTest;

TEST_P(ConcurrencyTest, ClientSeesItsOwnWritesWhileOthersReadAndFlush) {
    constexpr int kWrites = 400;
    Set(kSubclient, PropertyNames::kSupportedProtocols, "w-1");
    std::atomic<bool> done(false);
    std::atomic<int> staleOwnReads(0);
    std::atomic<int> badReads(0);

    std::thread writer([&] {
        Subclient subclient(kSubclient);
        for (int i = 0; i < kWrites; ++i) {
            const std::string value = "w" + std::to_string(i);
            if (subclient.setQuaySupportedProtocols(value, nullptr) != 0) ++badReads;
            std::string read;
            if (subclient.getQuaySupportedProtocols(read, nullptr) != 0 || read != value) ++staleOwnReads;
        }
        done = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&, r] {
            for (int n = 0; !done; ++n) {
                std::string read;
                if (Subclient(kSubclient).getQuaySupportedProtocols(read, nullptr) != 0 || read.empty() ||
                    read[0] != 'w') {
                    ++badReads;
                }
                if (r == 1 && n % 50 == 0) Flush();
            }
        });
    }
    writer.join();
    for (auto& reader : readers) reader.join();

    EXPECT_EQ(0, staleOwnReads.load());
    EXPECT_EQ(0, badReads.load());
    std::string last;
    ASSERT_EQ(0, Subclient(kSubclient).getQuaySupportedProtocols(last, nullptr));
    EXPECT_EQ("w" + std::to_string(kWrites - 1), last);
    EXPECT_EQ("w" + std::to_string(kWrites - 1), Stored(kSubclient, PropertyNames::kSupportedProtocols));
}

TEST_P(ConcurrencyTest, ParallelAdministrationLosesNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const unsigned long id = 1000 + static_cast<unsigned long>(t * kPerThread + i);
                if (db().AddSubclient(id, kClient, "sc", 0).IsError()) ++failures;
                if (db().SetProperty(id, PropertyNames::kUsers, std::to_string(id)).IsError()) ++failures;
                if (Subclient(id).lookup(nullptr) != 0) ++failures;
                std::string users;
                if (Subclient(id).getQuayUsers(users, nullptr) != 0 || users != std::to_string(id)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1u + kThreads * kPerThread, db().ListSubclients().size());
    EXPECT_EQ(2u * kThreads * kPerThread, db().CallLog().size());
}

TEST_P(SqliteReopenTest, ReopeningWhileClientsReadGivesOnlyValidAnswers) {
    std::atomic<bool> done(false);
    std::atomic<int> unexpected(0);
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done) {
                const int status = Subclient(kSubclient).lookup(nullptr);
                if (status != 0 && status != ZEL_SUBCLIENT_NOT_FOUND) ++unexpected;
                std::string users;
                const int read = Subclient(kSubclient).getQuayUsers(users, nullptr);
                if (read != 0 && read != ZEL_PROP_NOT_FOUND && read != CONFIG_NO_SUBCLIENT) ++unexpected;
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        ASSERT_FALSE(db().Open(":memory:").IsError());
        if (i % 2 == 0) {
            ASSERT_FALSE(db().AddClient(kClient, "ma").IsError());
            ASSERT_FALSE(db().AddSubclient(kSubclient, kClient, "sc", 0).IsError());
            Set(kSubclient, PropertyNames::kUsers, "u");
        }
    }
    done = true;
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(0, unexpected.load());
}

ON_EVERY_BACKEND(ConcurrencyTest);
ON_SQLITE_ONLY(SqliteReopenTest);
