// Answers of the configuration RPC dispatcher that do not come from a
// handler (BackupFSM::GenericConfigRPCHandler and ReleaseConfigRPCMem).
#pragma once
#include <cstddef>
#include <string>

// Builds the response record of request type rpcType (38141978, 38141986 or
// 38142000) carrying code (cut to 16 bits) and a heap copy of text, and
// stores it with its length and response type in the outputs; the host frees
// it through ReleaseConfigRPCMem. Any other type: logs and leaves the
// outputs untouched.
void FillErrorResponse(unsigned rpcType, char*& response, size_t& responseLength,
                       int& responseType, int code, const std::string& text);
