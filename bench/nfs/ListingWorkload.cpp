#include "ListingWorkload.h"

#include "ClientGroup.h"
#include "Figure.h"

#include <algorithm>

namespace {

// About 200,000 entries per figure, at least three listings.
constexpr long kEntriesPerFigure = 200000;
constexpr long kMinimumRounds = 3;

}  // namespace

long ListingWorkload::ListOnce(NfsConnection& connection) const {
    nfsdir* dir = nullptr;
    if (nfs_opendir(connection.Context(), options_.dir.c_str(), &dir) != 0) {
        connection.Fail("opendir", options_.dir);
        return -1;
    }
    long entries = 0;
    while (nfs_readdir(connection.Context(), dir) != nullptr) ++entries;
    nfs_closedir(connection.Context(), dir);
    return entries;
}

bool ListingWorkload::Run() const {
    const long rounds = options_.rounds > 0 ? options_.rounds : std::max(kMinimumRounds, kEntriesPerFigure / options_.files);
    ClientGroup group(options_.url, 1);
    if (!group.Mount()) return false;
    long listed = 0;
    double seconds = 0;
    const bool ok = group.Run(
        [&](NfsConnection& connection, int) {
            for (long r = 0; r < rounds; ++r) {
                const long entries = ListOnce(connection);
                if (entries < 0) return false;
                if (entries < options_.files) return connection.Fail("short listing", options_.dir);
                listed += entries;
            }
            return true;
        },
        seconds);
    if (!ok) return false;
    PrintFigure("list_per_entry_" + std::to_string(options_.files), seconds * 1e6 / double(listed), "us");
    return true;
}
