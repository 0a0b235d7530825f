#include "BulkWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"
#include "FileStream.h"

BulkWorkload::BulkWorkload(const BenchOptions& options)
    : options_(options), mibPerFile_(options.files > 0 ? int(options.mib / options.files) : 0) {}

bool BulkWorkload::Write() const {
    if (mibPerFile_ < 1) {
        fprintf(stderr, "nfs_bench: bulk needs at least 1 MiB per file\n");
        return false;
    }
    ClientGroup group(options_.url, options_.clients);
    if (!group.Mount()) return false;
    // The directory may be there from an earlier call.
    nfs_mkdir(group.First().Context(), options_.dir.c_str());
    double seconds = 0;
    const bool ok = group.Run([&](NfsConnection& c, int client) {
        for (long file = client; file < options_.files; file += options_.clients) {
            if (!WriteWholeFile(c, PathOf(file), mibPerFile_)) return false;
        }
        return true;
    }, seconds);
    if (!ok) return false;
    PrintFigure("bulk_write", double(mibPerFile_) * double(options_.files) / seconds, "MiB/s");
    return true;
}

bool BulkWorkload::Remove() const {
    NfsConnection connection;
    if (!connection.Mount(options_.url)) return false;
    for (long file = 0; file < options_.files; ++file) {
        const std::string path = PathOf(file);
        if (nfs_unlink(connection.Context(), path.c_str()) != 0) return connection.Fail("unlink", path);
    }
    return true;
}
