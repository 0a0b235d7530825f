// RecordingModule: a file-system module for quayd's tests. It stands on the
// other side of the FSM interface: it records the RPC request records and
// saved exports it is handed, answers with a response a test prepares
// (allocated the way a module allocates it), and counts the releases.
#pragma once
#include <string>
#include <vector>

#include "host/FSM.h"

class RecordingModule : public FSM {
public:
    // A copy of one request record, taken while the call ran.
    struct Request {
        unsigned rpcType = 0;
        std::string caller;
        int exportType = 0;
        int operation = 0;
        unsigned long subclientId = 0;
        std::string path;
        bool hasSnap = false;
        std::string snap;
        std::string first;
        std::string second;
    };
    struct Release {
        int responseType;
        void* response;
    };

    // The next answer of GenericConfigRPCHandler.
    bool result = true;
    bool respond = true;     // false: no response record
    int code = 0;
    const char* text = nullptr;
    std::vector<std::pair<std::string, std::string>> stats;
    int responseTypeOverride = 0;  // non-zero: report this response type
    // Called with the request before answering (e.g. to serve an export).
    void (*onRequest)(const Request&) = nullptr;

    bool acceptSaved = true;  // CreateExport's result

    std::vector<Request> requests;
    std::vector<Release> releases;
    std::vector<ExportPtr> saved;  // what CreateExport was handed

    std::string GetFSMName() override { return "Recording"; }
    int GetFSMType() override { return 4; }
    std::string GetFSMDetails() override { return "test module"; }
    bool UnloadFSM() override { return true; }
    bool GenericConfigRPCHandler(void* request, const std::string& caller, unsigned rpcType, char*& response,
                                 size_t& responseLength, int& responseType) override;
    void ReleaseConfigRPCMem(int responseType, void* response) override;
    bool CreateExport(const ExportPtr& exp, ExportPtr& created) override;
    std::string FH2Str(const nfs_fh3&) override { return std::string(); }
    BkEndProcPtr GetFSObject(ExportPtr&, const nfs_fh3&) override { return BkEndProcPtr(); }
    void UnExport(ExportPtr&) override {}
    void FinalizeExports() override {}
};

// A host export of module type 4, as the module would serve it.
class ServedExport : public Export {
public:
    ServedExport(const std::string& path, unsigned int shareId, SharePerms perms = SHARE_PERM_READ_WRITE);
    int GetFSModuleType() override { return 4; }
};
