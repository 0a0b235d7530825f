// Request threads checking callers while an export update rewrites the lists
// and settings. Run under ThreadSanitizer: any unguarded access is a failure.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "module/backend/Authorization.h"
#include "module/export/BackupFSMExport.h"
#include "tests/support/TestEnvironment.h"

namespace {

class AuthorizationConcurrencyTest : public testsupport::ModuleTest {};

TEST_F(AuthorizationConcurrencyTest, AuthorizeUserRacesSetUserIds) {
    g_ptrLogWriter->SetLevel(0);  // keep the capture small; results are asserted directly
    ExportPtr parent;
    auto exp = boost::make_shared<BackupFSMExport>("/store", SHARE_PERM_READ_WRITE, "*", 7, parent);
    std::string users = "1001";
    std::string groups = "500";
    exp->SetUserIds(users);
    exp->SetGroupIds(groups);

    std::atomic<bool> stop(false);
    std::atomic<int> wrongAnswers(0);
    std::atomic<int> tornTexts(0);
    std::atomic<int> running(0);
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            IdInfo member;
            member.uid = 1001;
            member.gid = 1;
            IdInfo outsider;
            outsider.uid = 3000;
            outsider.gid = 3000;
            QuayCtxt memberCtx(member, exp, BkEndProcPtr());
            QuayCtxt outsiderCtx(outsider, exp, BkEndProcPtr());
            ++running;
            while (!stop.load()) {
                // Both lists the writer alternates between admit 1001 and refuse 3000.
                if (!AuthorizeUser(&memberCtx)) ++wrongAnswers;
                if (AuthorizeUser(&outsiderCtx)) ++wrongAnswers;
                const std::string text = exp->GetUserIds();
                if (text != "1001" && text != "1001,1002") ++tornTexts;
                std::string filter;
                exp->GetBackupFilter(filter);
                if (filter != "" && filter != "*.tmp" && filter != "*.log") ++tornTexts;
                (void)exp->GetEnabledVersions();
                (void)exp->GetVersionInterval();
                (void)exp->GetCaseSensitive();
            }
        });
    }
    while (running.load() < 3) std::this_thread::yield();  // overlap the readers
    for (int i = 0; i < 2000; ++i) {
        std::string next = i % 2 == 0 ? "1001,1002" : "1001";
        exp->SetUserIds(next);
        std::string nextGroups = i % 2 == 0 ? "500,501" : "500";
        exp->SetGroupIds(nextGroups);
        std::string filter = i % 2 == 0 ? "*.tmp" : "*.log";
        exp->SetBackupFilter(filter);
        exp->SetEnabledVersions(i % 2);
        exp->SetVersionInterval(i);
        exp->SetCaseSensitive(i % 2 == 0);
        exp->SetCopyPrecedence(static_cast<unsigned int>(i));
    }
    stop.store(true);
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(0, wrongAnswers.load());
    EXPECT_EQ(0, tornTexts.load());
}

}  // namespace
