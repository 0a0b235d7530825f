// Fixture of the export-operation tests: a started module on a fresh data
// directory, a configuration database with one client, helpers to add fully
// configured subclients and to run the export operations, and a log writer
// that can hold a thread at a chosen line.
#pragma once
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "configclient/AppMessages.h"
#include "configclient/ConfigDatabase.h"
#include "configclient/PropertyNames.h"
#include "host/ExportCache.h"
#include "host/HostServices.h"
#include "host/QuayServiceGlobals.h"
#include "host/ShareIdToPathCache.h"
#include "module/export/BackupFSMExport.h"
#include "module/exportops/CreateExport.h"
#include "module/fsm/BackupFSM.h"
#include "module/fsm/ConfigRPCRecords.h"
#include "objectstore/FaultPlan.h"
#include "tests/support/TestEnvironment.h"

namespace exportops_test {

constexpr unsigned long kClientId = 1;
constexpr const char* kThisServer = "QuayHere";

// A response record that frees its text.
struct Response {
    QuayBackupExportResp record;
    Response() = default;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response() { free(record.text); }
    QuayBackupExportResp* get() { return &record; }
    int code() const { return record.code; }
    std::string text() const { return record.text != nullptr ? record.text : "<null>"; }
};

// "<name>value</name>"
inline std::string Tag(const std::string& name, const std::string& value) {
    return "<" + name + ">" + value + "</" + name + ">";
}

inline std::string ProtocolsProperty(const std::vector<int>& types) {
    App::MossgateProtocols message;
    *message.getlistint(1, 1, App::MossgateProtocols::kProtocolGroup,
                        App::MossgateProtocols::kProtocolTypes, true) = types;
    std::string text;
    message.serializeUnicode(text);
    return text;
}

// Log writer that captures like the host's and holds the writing thread at
// one chosen text until Open(): lets a test stop an operation half-way.
class GateLogWriter : public LogWriter {
public:
    explicit GateLogWriter(const std::string& gateText) : gateText_(gateText) {
        SetLevel(10);
        StartCapture();
    }
    __attribute__((format(printf, 7, 8))) void Write(int level, const char* function, int line,
                                                     int, int, const char* format, ...) override {
        va_list args;
        va_start(args, format);
        va_list copy;
        va_copy(copy, args);
        char text[4096];
        vsnprintf(text, sizeof(text), format, copy);
        va_end(copy);
        WriteV(level, function, line, format, args);
        va_end(args);
        if (gateText_ == text) Hold();
    }
    // Blocks until a thread waits at the gate.
    void WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return held_ > 0; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    void Hold() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
    }
    const std::string gateText_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int held_ = 0;       // guarded by mutex_
    bool open_ = false;  // guarded by mutex_
};

class ExportOpsTest : public testsupport::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        gQuayTimerObj.SetManualMode(true);
        gQuayTimerObj.Clear();
        QuayServiceGlobals::isGanesha = true;
        QuayServiceGlobals::clientName = kThisServer;
        ASSERT_NE(nullptr, BackupFSM::FSMInit());
        ASSERT_FALSE(Db().AddClient(kClientId, "client1").IsError());
        HostCallLog::Clear();
        ClearLines();
    }

    void TearDown() override {
        if (BackupFSM::backupFSM != nullptr) {
            BackupFSM* module = BackupFSM::backupFSM;
            module->UnloadFSM();
            delete module;
        }
        gAllExports->Clear();
        Db().ClearStatusOverrides();
        ModuleTest::TearDown();
    }

    static ConfigDatabase& Db() { return ConfigDatabase::Instance(); }

    // A subclient with every property a live-store export reads.
    void AddSubclient(unsigned long id, unsigned long policyId = 0) {
        ASSERT_FALSE(Db().AddSubclient(id, kClientId, "sc" + std::to_string(id), policyId).IsError());
        const std::map<std::string, std::string> properties = {
            {PropertyNames::kAllowedNFSClients, "*"},
            {PropertyNames::kUsers, ""},
            {PropertyNames::kGroups, ""},
            {PropertyNames::kAccessPermission, ""},
            {PropertyNames::kSquashType, "1"},
            {PropertyNames::kAnonUid, "4001"},
            {PropertyNames::kAnonGid, "4002"},
            {PropertyNames::kCopyPrecedence, "2"},
            {PropertyNames::kACLEnableFlag, "1"},
            {PropertyNames::kBackupFilter, ""},
            {PropertyNames::kSupportDNFS, "0"},
            {PropertyNames::kIsCaseSensitive, "1"},
            {PropertyNames::kVersionInterval, "5"},
            {PropertyNames::kVersionSupportNeeded, "0"},
            {PropertyNames::kSupportedProtocols, ProtocolsProperty({1, 2})},
            {PropertyNames::kViewConfiguration, ""},
            {PropertyNames::kNFSServers, kThisServer},
        };
        for (const auto& property : properties) SetProperty(id, property.first, property.second);
    }
    // A policy subclient (no export properties of its own).
    void AddPolicySubclient(unsigned long id) {
        ASSERT_FALSE(Db().AddSubclient(id, kClientId, "policy" + std::to_string(id), 0).IsError());
    }
    void SetProperty(unsigned long id, const std::string& name, const std::string& value) {
        ASSERT_FALSE(Db().SetProperty(id, name, value).IsError()) << name;
    }
    std::string Property(unsigned long id, const std::string& name) {
        std::string value = "<unset>";
        Db().GetProperty(id, name, value);
        return value;
    }
    uint64_t Calls(unsigned long id, const std::string& operation) {
        return Db().CallCount(id, operation);
    }

    bool Create(unsigned long id, const std::string& path, ExportType type, Response& response) {
        std::string sharePath = path;
        return CreateNewExport(id, sharePath, type, response.get());
    }
    // Creates and expects success.
    void MustCreate(unsigned long id, const std::string& path, ExportType type) {
        Response response;
        ASSERT_TRUE(Create(id, path, type, response)) << response.text() << "\n"
                                                       << testsupport::Dump(Lines());
    }

    static unsigned int ShareIdOf(const std::string& path) {
        return ShareIdToPathCache::GetShareIdForPath(path, false, false);
    }
    // The served export of path, or null.
    static boost::shared_ptr<BackupFSMExport> Served(const std::string& path) {
        ExportPtr exp;
        const unsigned int id = ShareIdOf(path);
        if (id == 0 || !gAllExports->FindExport(id, exp)) return {};
        return boost::dynamic_pointer_cast<BackupFSMExport>(exp);
    }
    // The texts appear among the captured lines in this order.
    void ExpectInOrder(const std::vector<std::string>& texts) {
        const std::vector<LogLine> lines = Lines();
        size_t next = 0;
        for (const std::string& text : texts) {
            size_t at = next;
            while (at < lines.size() && lines[at].text != text) ++at;
            EXPECT_LT(at, lines.size()) << "not found in order: " << text << "\n"
                                        << testsupport::Dump(lines);
            if (at == lines.size()) return;
            next = at + 1;
        }
    }
    static std::vector<std::string> HostCalls() { return HostCallLog::Calls(); }
    static std::string Joined(const std::vector<std::string>& lines) {
        std::string out;
        for (const std::string& line : lines) out += line + "\n";
        return out;
    }
};

}  // namespace exportops_test

#define EXPECT_HOST_CALLS(...)                                                               \
    EXPECT_EQ(std::vector<std::string>(__VA_ARGS__), HostCalls()) << Joined(HostCalls())
