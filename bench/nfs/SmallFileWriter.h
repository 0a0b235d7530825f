#pragma once

#include "NfsConnection.h"

#include <string>
#include <vector>

// The unit of the small-file figures: CREATE, one 4 KiB WRITE, COMMIT and
// close, as a backup client writes a small file it must find after a crash.
class SmallFileWriter {
public:
    static constexpr size_t kBytes = 4096;

    SmallFileWriter() : block_(kBytes, 's') {}

    bool Write(NfsConnection& connection, const std::string& path) const;

private:
    std::vector<char> block_;
};
