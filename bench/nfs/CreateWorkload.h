#pragma once

#include "BenchOptions.h"
#include "FileLayout.h"

// The create rate at a point of a store's growth: one client writes files
// [from, to) of a layout (made before, see the mkdirs workload) as 4 KiB
// files with COMMIT. Prints <name> in files/s.
class CreateWorkload {
public:
    explicit CreateWorkload(const BenchOptions& options)
        : options_(options), layout_(options.dir, options.dirs) {}

    bool Run() const;

private:
    const BenchOptions& options_;
    FileLayout layout_;
};
