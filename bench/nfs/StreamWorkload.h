#pragma once

#include "BenchOptions.h"

#include <string>

// Streaming: `clients` streams at once write `mib` MiB between them (each its
// own file, 1 MiB writes, COMMIT at the end), then read them back. Prints
// write_<n>_stream(s) and read_<n>_stream(s) in MiB/s over all streams.
class StreamWorkload {
public:
    explicit StreamWorkload(const BenchOptions& options);

    bool Run() const;

private:
    std::string PathOf(int stream) const { return options_.dir + "/s" + std::to_string(stream); }

    const BenchOptions& options_;
    int mibPerStream_;
    std::string suffix_;
};
