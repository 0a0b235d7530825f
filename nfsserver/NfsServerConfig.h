// Where and how quayd serves NFSv3, MOUNT3 and NFSv4.0.
#pragma once
#include <cstdint>
#include <string>

struct NfsServerConfig {
    std::string address = "127.0.0.1";  // numeric IPv4 or IPv6 address to listen on
    uint16_t nfsPort = 2049;             // 0: no NFS service at all
    uint16_t mountPort = 20048;          // may equal nfsPort: one listener serves both
    bool registerWithRpcbind = true;     // only when an rpcbind answers on this machine
    unsigned maxConnections = 1024;      // open at once; further ones are closed at once
    bool securePorts = false;            // only connections from ports below 1024
    // How long a connection polls for its next call before sleeping (see
    // CallPolling); 0 turns polling off.
    unsigned pollMicroseconds = 100;
    // NFSv4 leases: a client silent this long loses its opens and locks;
    // after every start, a grace period grants only reclaims: as long as a
    // lease unless graceSeconds is set (0: none, for a server whose clients
    // hold no state from before it started).
    unsigned leaseSeconds = 90;
    int graceSeconds = -1;
};
