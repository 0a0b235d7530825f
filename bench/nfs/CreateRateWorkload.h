#pragma once

#include "BenchOptions.h"
#include "FileLayout.h"

// Create rate as a store grows: one client times files [0, window), clients
// fill the store up to files - window, then one client times the last
// window. Files lie in one directory or spread over `dirs` directories.
// Prints create_<name>_first and create_<name>_last in files/s.
class CreateRateWorkload {
public:
    explicit CreateRateWorkload(const BenchOptions& options)
        : options_(options), layout_(options.dir, options.dirs) {}

    bool Run() const;

private:
    // Files [first, end) by one client, timed; prints the rate as `figure`.
    bool TimeWindow(long first, long end, const std::string& figure) const;

    const BenchOptions& options_;
    FileLayout layout_;
};
