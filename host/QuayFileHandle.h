// Base of every module's file handle: the share id, and the encoding to and
// from the NFSv3 handle record.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "host/NfsTypes.h"

class QuayFileHandle {
public:
    explicit QuayFileHandle(uint32_t id) : shareId(id) {}
    // Share id from handle bytes 4 to 7.
    explicit QuayFileHandle(const nfs_fh3& fh) : shareId(0) { memcpy(&shareId, fh.data + 4, 4); }
    QuayFileHandle(const QuayFileHandle& other) : shareId(other.shareId) {}
    QuayFileHandle& operator=(const QuayFileHandle& other) {
        shareId = other.shareId;
        return *this;
    }

    virtual void ToNfsFH(nfs_fh3& fh) const = 0;
    virtual void ToStr(std::string& text) const = 0;
    virtual bool operator==(const QuayFileHandle& other) const { return shareId == other.shareId; }
    virtual ~QuayFileHandle() = default;

    uint32_t shareId;
};
