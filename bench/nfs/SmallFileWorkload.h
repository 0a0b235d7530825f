#pragma once

#include "BenchOptions.h"

// Small-file creates: `clients` clients at once, each writing `files` 4 KiB
// files with COMMIT into its own directory <dir>/d<client>. Prints
// small_files_<clients>_client(s) in files/s.
class SmallFileWorkload {
public:
    explicit SmallFileWorkload(const BenchOptions& options) : options_(options) {}

    bool Run() const;

private:
    const BenchOptions& options_;
};
