// One received call, as a program's dispatcher sees it. The transport and
// scratch buffers belong to the connection; nothing here outlives the call.
#pragma once
#include <rpc/rpc.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "nfsserver/CallerIdentity.h"

class CachedCall;
class FileReadAhead;
class ListingReadAhead;
class ServerMetrics;

// Buffers a connection owns and reuses for every call, so a call's data
// (a 1 MiB WRITE or READ) needs no allocation of its own.
struct ConnectionBuffers {
    std::vector<char> data;  // WRITE arguments
    // The connection's next listing page and next READ, expected once a
    // READDIRPLUS or READ is answered; its thread prepares them between calls.
    std::unique_ptr<ListingReadAhead> listing;
    std::unique_ptr<FileReadAhead> reading;
};

struct RpcCall {
    SVCXPRT* transport;
    uint32_t procedure;
    const CallerIdentity& caller;
    ConnectionBuffers& buffers;
    uint32_t xid = 0;
    // Set for calls whose reply is kept for retransmissions.
    CachedCall* cached = nullptr;
    // Where the call is counted (null: nowhere), and what its answer was:
    // set by RpcReply as a reply of the procedure goes out (with the first
    // word of its result) or its arguments fail to decode.
    ServerMetrics* metrics = nullptr;
    bool replied = false;
    bool garbage = false;
    uint32_t replyStatus = 0;
};
