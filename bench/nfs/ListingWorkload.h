#pragma once

#include "BenchOptions.h"
#include "NfsConnection.h"

#include <string>

// Lists an existing directory of at least `files` entries with
// opendir/readdir (READDIRPLUS over NFSv3), as many rounds as make the
// timing long enough to read. Prints list_per_entry_<files> in µs.
class ListingWorkload {
public:
    explicit ListingWorkload(const BenchOptions& options) : options_(options) {}

    bool Run() const;

private:
    // Entries of one listing, or -1 on failure.
    long ListOnce(NfsConnection& connection) const;

    const BenchOptions& options_;
};
