// ModuleRpc: quayd's side of the configuration RPCs. Builds the request
// records the module reads, calls FSM::GenericConfigRPCHandler, copies what
// the response record says, and always hands the response back to
// FSM::ReleaseConfigRPCMem. The module is reached only through the FSM
// interface and the records of module/fsm/ConfigRPCRecords.h.
//
// Thread safety: as safe as the module's handler (which may be called from
// several threads); ModuleRpc itself keeps no state besides the module.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "daemon/AdminResult.h"
#include "host/FSM.h"
#include "host/NfsTypes.h"

// What one RPC came back with.
struct ModuleAnswer {
    bool result = false;        // the handler's bool
    bool hasResponse = false;   // a response record of a known type came back
    int responseType = 0;
    int code = 0;
    std::string text;
    std::vector<std::pair<std::string, std::string>> stats;  // statistics, in the module's order
    std::string refused;        // set when quayd did not send the request, and why
};

class ModuleRpc {
public:
    // module is not owned and must outlive this object.
    ModuleRpc(FSM& module, std::string caller) : module_(module), caller_(std::move(caller)) {}
    ModuleRpc(const ModuleRpc&) = delete;
    ModuleRpc& operator=(const ModuleRpc&) = delete;

    // operation: 1 create, 2 update, 3 un-export; exportType: 1 live store,
    // 2 PIT view. Other values are refused here (the module reads the type
    // into an enumeration that cannot hold them). snapDetails may be null.
    ModuleAnswer Export(int operation, int exportType, uint64_t subclientId, const std::string& path,
                        const std::string* snapDetails);
    ModuleAnswer ClientUpdate(uint64_t subclientId, const std::string& path, const std::string& first,
                              const std::string& second);
    ModuleAnswer Stats(uint64_t subclientId, const std::string& path);

    // The admin answer for a module answer. A handler that failed without a
    // code (or without any response) is reported as kModuleFailed, never as
    // success; a request quayd refused to send as kBadRequest; statistics
    // become rows "name<TAB>value".
    static AdminResult ToResult(const ModuleAnswer& answer);

private:
    ModuleAnswer Call(void* request, unsigned rpcType);
    // Copies the response's content; false when its type or length is not
    // one this side knows how to read.
    static bool ReadResponse(const char* response, size_t length, int type, ModuleAnswer& answer);

    FSM& module_;
    const std::string caller_;
};
