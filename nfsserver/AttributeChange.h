// Attribute changes a client asks for (SETATTR, and the attributes given with
// a new object); unset fields stay as they are.
#pragma once
#include <sys/types.h>
#include <time.h>

#include <cstdint>

struct AttributeChange {
    bool setMode = false;
    mode_t mode = 0;
    bool setUid = false;
    uint32_t uid = 0;
    bool setGid = false;
    uint32_t gid = 0;
    bool setSize = false;
    uint64_t size = 0;
    enum Time { kKeep, kServerTime, kClientTime };
    Time atime = kKeep;
    timespec atimeValue{};
    Time mtime = kKeep;
    timespec mtimeValue{};

    bool SetsTimes() const { return atime != kKeep || mtime != kKeep; }
    bool SetsAnything() const { return setMode || setUid || setGid || setSize || SetsTimes(); }
};
