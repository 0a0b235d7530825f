#include "StreamWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"

#include <fcntl.h>

#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;

}  // namespace

StreamWorkload::StreamWorkload(const BenchOptions& options)
    : options_(options),
      mibPerStream_(options.mib / options.clients),
      suffix_(std::to_string(options.clients) + (options.clients == 1 ? "_stream" : "_streams")) {}

bool StreamWorkload::WriteStream(NfsConnection& connection, int stream) const {
    const std::vector<char> chunk(kChunk, 'x');
    const std::string path = PathOf(stream);
    nfsfh* fh = nullptr;
    if (nfs_creat(connection.Context(), path.c_str(), 0644, &fh) != 0) return connection.Fail("creat", path);
    bool ok = true;
    for (int m = 0; ok && m < mibPerStream_; ++m) {
        ok = nfs_pwrite(connection.Context(), fh, uint64_t(m) * kChunk, kChunk, chunk.data()) == int(kChunk);
    }
    ok = ok && nfs_fsync(connection.Context(), fh) == 0;
    nfs_close(connection.Context(), fh);
    return ok || connection.Fail("write", path);
}

bool StreamWorkload::ReadStream(NfsConnection& connection, int stream) const {
    std::vector<char> chunk(kChunk);
    const std::string path = PathOf(stream);
    nfsfh* fh = nullptr;
    if (nfs_open(connection.Context(), path.c_str(), O_RDONLY, &fh) != 0) return connection.Fail("open", path);
    bool ok = true;
    for (int m = 0; ok && m < mibPerStream_; ++m) {
        ok = nfs_pread(connection.Context(), fh, uint64_t(m) * kChunk, kChunk, chunk.data()) == int(kChunk);
    }
    nfs_close(connection.Context(), fh);
    return ok || connection.Fail("read", path);
}

bool StreamWorkload::Run() const {
    ClientGroup group(options_.url, options_.clients);
    if (!group.Mount()) return false;
    if (nfs_mkdir(group.First().Context(), options_.dir.c_str()) != 0) return group.First().Fail("mkdir", options_.dir);
    const double mib = double(mibPerStream_) * options_.clients;
    double seconds = 0;
    if (!group.Run([&](NfsConnection& c, int stream) { return WriteStream(c, stream); }, seconds)) return false;
    PrintFigure("write_" + suffix_, mib / seconds, "MiB/s");
    if (!group.Run([&](NfsConnection& c, int stream) { return ReadStream(c, stream); }, seconds)) return false;
    PrintFigure("read_" + suffix_, mib / seconds, "MiB/s");
    // Removed after timing, so the next workload starts on a store without them.
    for (int stream = 0; stream < options_.clients; ++stream) {
        const std::string path = PathOf(stream);
        if (nfs_unlink(group.First().Context(), path.c_str()) != 0) return group.First().Fail("unlink", path);
    }
    return true;
}
