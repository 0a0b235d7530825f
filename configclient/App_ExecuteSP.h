// Runs a stored procedure of the configuration database: a request message as
// XML in, a response message as XML out. 0 on success.
#pragma once
#include <string>

class App_ExecuteSP {
public:
    // 506208772: the object stores configured as NFS shares (GetNFSShareResp).
    enum { SP_GET_NFS_SHARES = 506208772 };
    static int executeStoredProcedure(int procedureId, const std::string& requestXml,
                                      std::string& responseXml, void* ctx);
};
