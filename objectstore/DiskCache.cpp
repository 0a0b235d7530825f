#include "objectstore/DiskCache.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "objectstore/PathRules.h"

namespace ObjectStore {

CPelError DiskCache::Init() {
    if (config_.path.empty()) return CPelError(EINVAL, "disk cache folder is not set");
    int err = MakeFolders(config_.path);
    if (err) return CPelError(err, "cannot create disk cache folder " + config_.path + ": " + std::strerror(err));
    if (::access(config_.path.c_str(), W_OK | X_OK) != 0) {
        err = errno;
        return CPelError(err, "disk cache folder " + config_.path + " is not writable: " + std::strerror(err));
    }
    return CPelError::Success();
}

std::string DiskCache::ToString() const {
    return config_.path + " " + std::to_string(config_.highWatermarkPct) + " " +
           std::to_string(config_.lowWatermarkPct) + " " + std::to_string(config_.warnWatermarkPct) + " " +
           std::to_string(config_.maxOpenStores) + " " + std::to_string(config_.flags);
}

}  // namespace ObjectStore
