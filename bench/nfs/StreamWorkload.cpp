#include "StreamWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"
#include "FileStream.h"

StreamWorkload::StreamWorkload(const BenchOptions& options)
    : options_(options),
      mibPerStream_(options.mib / options.clients),
      suffix_(std::to_string(options.clients) + (options.clients == 1 ? "_stream" : "_streams")) {}

bool StreamWorkload::Run() const {
    ClientGroup group(options_.url, options_.clients);
    if (!group.Mount()) return false;
    if (nfs_mkdir(group.First().Context(), options_.dir.c_str()) != 0) return group.First().Fail("mkdir", options_.dir);
    const double mib = double(mibPerStream_) * options_.clients;
    double seconds = 0;
    auto write = [&](NfsConnection& c, int stream) { return WriteWholeFile(c, PathOf(stream), mibPerStream_); };
    if (!group.Run(write, seconds)) return false;
    PrintFigure("write_" + suffix_, mib / seconds, "MiB/s");
    auto read = [&](NfsConnection& c, int stream) { return ReadWholeFile(c, PathOf(stream), mibPerStream_); };
    if (!group.Run(read, seconds)) return false;
    PrintFigure("read_" + suffix_, mib / seconds, "MiB/s");
    // Removed after timing, so the next workload starts on a store without them.
    for (int stream = 0; stream < options_.clients; ++stream) {
        const std::string path = PathOf(stream);
        if (nfs_unlink(group.First().Context(), path.c_str()) != 0) return group.First().Fail("unlink", path);
    }
    return true;
}
