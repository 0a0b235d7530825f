// Exclusive creation with a client's 8-byte verifier, as NFSv3 CREATE and
// NFSv4 OPEN do it: the verifier is kept in the new file's access and
// modification times, so that a retransmitted create finds its own file and
// succeeds while anybody else's file stays an EEXIST.
#pragma once
#include <string>

#include "host/BkEndProc.h"
#include "nfsserver/AttributeChange.h"
#include "nfsserver/FileService.h"

class ExclusiveCreate {
public:
    static constexpr size_t kVerifierSize = 8;

    // The times that carry the verifier.
    static AttributeChange Stamp(const char* verifier);
    // 0 and the file when an existing regular file carries the stamp (an
    // earlier create of this client made it); EEXIST otherwise.
    static int Claim(FileService& service, const FileRequest& dir, const std::string& name,
                     const AttributeChange& stamp, BkEndProcPtr& child);
};
