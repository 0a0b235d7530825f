// The disk cache shared by the host and the object-store library: a folder on
// local disk with its settings. The container keeps its stores under it.
#pragma once
#include <cstdint>
#include <string>

#include "platform/CPelError.h"

namespace ObjectStore {

// Settings of the disk cache: its folder, then five numbers passed through in
// order to the container configuration.
struct DiskCacheConfig {
    std::string path;
    uint32_t highWatermarkPct = 90;
    uint32_t lowWatermarkPct = 80;
    uint32_t warnWatermarkPct = 85;
    uint32_t maxOpenStores = 1000;
    uint32_t flags = 0;
};

class DiskCache {
public:
    explicit DiskCache(const DiskCacheConfig& config) : config_(config) {}
    DiskCache(const DiskCache&) = delete;
    DiskCache& operator=(const DiskCache&) = delete;

    // Creates the folder (and parents) when missing and checks it is writable.
    CPelError Init();
    const DiskCacheConfig& Config() const { return config_; }
    // Settings as one line of text: the folder followed by the five numbers.
    std::string ToString() const;

private:
    DiskCacheConfig config_;
};

}  // namespace ObjectStore
