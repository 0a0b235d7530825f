#pragma once

#include "BenchOptions.h"
#include "FileLayout.h"
#include "NfsConnection.h"

#include <vector>

// Attribute reads in a filled layout (files [0, files) of dir and dirs):
// stat by path (LOOKUP per component, then GETATTR) and GETATTR on open
// handles, of `samples` files spread over the store. Prints stat_by_path and
// getattr in µs per call.
class AttributeWorkload {
public:
    explicit AttributeWorkload(const BenchOptions& options)
        : options_(options), layout_(options.dir, options.dirs) {}

    bool Run() const;

private:
    std::vector<long> Samples() const;
    bool StatByPath(NfsConnection& connection, const std::vector<long>& samples) const;
    bool GetAttr(NfsConnection& connection, const std::vector<nfsfh*>& handles) const;
    bool TimeGetAttr(const std::vector<long>& samples) const;

    const BenchOptions& options_;
    FileLayout layout_;
};
