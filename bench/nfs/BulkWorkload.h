#pragma once

#include "BenchOptions.h"

#include <string>

// Bulk data for the retention benchmark: `clients` clients at once write
// `files` files of `mib` MiB between them into dir (1 MiB writes, COMMIT at
// the end of each) and keep them; prints bulk_write in MiB/s. With the
// workload name "unbulk" the same files are removed instead (untimed).
class BulkWorkload {
public:
    explicit BulkWorkload(const BenchOptions& options);

    bool Write() const;
    bool Remove() const;

private:
    std::string PathOf(long file) const { return options_.dir + "/b" + std::to_string(file); }

    const BenchOptions& options_;
    int mibPerFile_;
};
