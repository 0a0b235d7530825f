#include "nfsserver/ExclusiveCreate.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

AttributeChange ExclusiveCreate::Stamp(const char* verifier) {
    uint32_t words[2];
    memcpy(words, verifier, sizeof(words));
    AttributeChange stamp;
    stamp.atime = stamp.mtime = AttributeChange::kClientTime;
    stamp.atimeValue = timespec{static_cast<time_t>(words[0]), 0};
    stamp.mtimeValue = timespec{static_cast<time_t>(words[1]), 0};
    return stamp;
}

int ExclusiveCreate::Claim(FileService& service, const FileRequest& dir, const std::string& name,
                           const AttributeChange& stamp, BkEndProcPtr& child) {
    if (service.Lookup(dir, name, child) != 0) return EEXIST;
    struct stat st{};
    const bool same = service.GetAttributes(dir, child, st) == 0 && st.st_atim.tv_sec == stamp.atimeValue.tv_sec &&
                      st.st_mtim.tv_sec == stamp.mtimeValue.tv_sec && S_ISREG(st.st_mode);
    return same ? 0 : EEXIST;
}
