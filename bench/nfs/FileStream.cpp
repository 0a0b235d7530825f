#include "FileStream.h"

#include <fcntl.h>

#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;

}  // namespace

bool WriteWholeFile(NfsConnection& connection, const std::string& path, int mib) {
    const std::vector<char> chunk(kChunk, 'x');
    nfsfh* fh = nullptr;
    if (!connection.Create(path, &fh)) return false;
    bool ok = true;
    for (int m = 0; ok && m < mib; ++m) {
        ok = connection.Write(fh, uint64_t(m) * kChunk, kChunk, chunk.data());
    }
    ok = ok && nfs_fsync(connection.Context(), fh) == 0;
    nfs_close(connection.Context(), fh);
    return ok || connection.Fail("write", path);
}

bool ReadWholeFile(NfsConnection& connection, const std::string& path, int mib) {
    std::vector<char> chunk(kChunk);
    nfsfh* fh = nullptr;
    if (nfs_open(connection.Context(), path.c_str(), O_RDONLY, &fh) != 0) return connection.Fail("open", path);
    bool ok = true;
    for (int m = 0; ok && m < mib; ++m) {
        ok = nfs_pread(connection.Context(), fh, uint64_t(m) * kChunk, kChunk, chunk.data()) == int(kChunk);
    }
    nfs_close(connection.Context(), fh);
    return ok || connection.Fail("read", path);
}
