// FSM: the interface of a file-system module, as the host calls it. A module
// library exports `extern "C" FSM* LoadFSM()`.
#pragma once
#include <cstddef>
#include <string>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "host/NfsTypes.h"

class FSM {
public:
    virtual ~FSM();                                                            // 1, 2
    virtual std::string GetFSMName() = 0;                                      // 3
    virtual int GetFSMType() = 0;                                              // 4
    virtual std::string GetFSMDetails() = 0;                                   // 5
    virtual bool UnloadFSM() = 0;                                              // 6
    virtual bool GenericConfigRPCHandler(void* request, const std::string& caller,
                                         unsigned rpcType, char*& response,
                                         size_t& responseLength, int& responseType) = 0;  // 7
    virtual void ReleaseConfigRPCMem(int responseType, void* response) = 0;   // 8
    virtual bool CreateExport(const ExportPtr& saved, ExportPtr& created) = 0;  // 9
    virtual std::string FH2Str(const nfs_fh3& handle) = 0;                     // 10
    virtual BkEndProcPtr GetFSObject(ExportPtr& exp, const nfs_fh3& handle) = 0;  // 11
    // Finds the export by the share id in the handle's bytes 4 to 7.
    virtual bool FindExport(const nfs_fh3& handle, ExportPtr& exp);            // 12
    virtual void UnExport(ExportPtr& exp) = 0;                                 // 13
    virtual void FinalizeExports() = 0;                                        // 14
    virtual void PrintPerfCounters();                                          // 15
};

typedef FSM* (*LoadFSMFunc)();
