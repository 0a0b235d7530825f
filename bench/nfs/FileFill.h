#pragma once

#include "FileLayout.h"

#include <string>

// Writes small files [first, end) of a layout with several clients at once:
// the untimed part of a workload that needs a big directory or store. The
// files are written as the timed ones are (CREATE, WRITE, COMMIT), so the
// store grows as it would under the timed workload.
class FileFill {
public:
    FileFill(std::string url, int clients) : url_(std::move(url)), clients_(clients) {}

    bool Fill(const FileLayout& layout, long first, long end) const;

private:
    std::string url_;
    int clients_;
};
