// NFSv3 records the host shares with file-system modules.
#pragma once
#include <cstddef>
#include <cstdint>

// Room for the largest NFSv3 handle.
constexpr size_t NFS3_FHSIZE_MAX = 64;

// An NFSv3 file handle: length at offset 0, then the handle bytes.
struct nfs_fh3 {
    uint32_t length = 0;
    unsigned char data[NFS3_FHSIZE_MAX] = {};
};
static_assert(offsetof(nfs_fh3, data) == 4, "handle bytes follow the length");

enum ftype3 {
    NF3REG = 1,
    NF3DIR = 2,
    NF3BLK = 3,
    NF3CHR = 4,
    NF3LNK = 5,
    NF3SOCK = 6,
    NF3FIFO = 7
};

// Stability the client asked for on a write: 1 unstable, 2 data sync, 3 file sync.
enum BkEndSyncType { BKEND_UNSTABLE = 1, BKEND_DATA_SYNC = 2, BKEND_FILE_SYNC = 3 };

enum SharePerms { SHARE_PERM_READ_ONLY = 0, SHARE_PERM_READ_WRITE = 1 };

// A 32-bit field of the configuration records: with its width fixed every
// value a sender puts there reads as the number it is, to be refused by value.
enum ExportType : int32_t { EXPORT_TYPE_OBJECT_STORE = 1, EXPORT_TYPE_PIT = 2 };
