#pragma once

#include <nfsc/libnfs.h>

#include <string>

// One mounted libnfs context: one TCP connection to the server. A context is
// not thread-safe; each client thread owns its own connection.
class NfsConnection {
public:
    NfsConnection() = default;
    ~NfsConnection();
    NfsConnection(const NfsConnection&) = delete;
    NfsConnection& operator=(const NfsConnection&) = delete;

    // Mounts the share a libnfs URL names (nfs://host/path?nfsport=..&mountport=..&version=3|4).
    // The protocol version comes from the URL alone, so one workload runs over NFSv3 and NFSv4.
    // libnfs's directory cache is turned off: every listing goes to the server.
    bool Mount(const std::string& url);

    nfs_context* Context() const { return nfs_; }

    // Prints what failed with libnfs's error text; always false, to be returned.
    bool Fail(const char* what, const std::string& path) const;

private:
    nfs_context* nfs_ = nullptr;
};
