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

    // Writes count bytes at offset; true when all were written. Over NFSv4
    // in pieces of at most kV4WriteBytes: Debian's libnfs 4.0 encodes an
    // NFSv4 call into a 4 KiB buffer and fails any WRITE that does not fit
    // ("Failed to encode COMPOUND4args").
    bool Write(nfsfh* fh, uint64_t offset, size_t count, const char* data);
    static constexpr size_t kV4WriteBytes = 3072;

    // Creates (or truncates) path, open for reading and writing: libnfs's
    // nfs_creat opens read-only, which over NFSv4 makes every WRITE
    // NFS4ERR_OPENMODE. False with the failure said on stderr.
    bool Create(const std::string& path, nfsfh** fh);

    // Prints what failed with libnfs's error text; always false, to be returned.
    bool Fail(const char* what, const std::string& path) const;

private:
    nfs_context* nfs_ = nullptr;
    size_t maxWrite_ = ~size_t(0);
};
