// BackupFSMFileHandle: the module's NFS file handle.
//
// Wire format (handle bytes, after the nfs_fh3 length word):
//
//   offset  width  field
//   0       4      FSM type, always 4 (native byte order)
//   4       4      share id of the export (native byte order)
//   8       33     object GUID: 32 characters and a zero byte
//   41      2      zero padding, present only in 43-byte (DNFS) handles
//
// A handle is 41 bytes, or 43 when built for an export that supports DNFS.
// Encoding always zeroes handle bytes 8..50, so bytes 41..50 are zero whatever
// the length; bytes past 50 are left untouched. No other length is accepted.
//
// A handle is decided in its constructor: `valid` says whether it was built
// or decoded completely, and every user tests it first. Handles are immutable
// afterwards and take no lock; any thread may use them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/NfsTypes.h"
#include "host/QuayFileHandle.h"

class BackupFSMFileHandle : public QuayFileHandle {
public:
    static constexpr uint32_t kFsmType = 4;
    static constexpr size_t kTypeOffset = 0;
    static constexpr size_t kShareIdOffset = 4;
    static constexpr size_t kGuidOffset = 8;
    static constexpr size_t kGuidChars = 32;
    static constexpr size_t kGuidBytes = kGuidChars + 1;
    static constexpr uint32_t kLength = 41;
    static constexpr uint32_t kDnfsLength = 43;
    // Handle bytes zeroed by every encoding: 8..50.
    static constexpr size_t kZeroedBytes = 43;

    // Builds the handle of the object `guid` of share `shareId`. With a path
    // given, the handle takes it as is (no lookup, length 41). Without one,
    // the export is found in the host's export cache and the path resolved in
    // its store; the handle then takes the export's DNFS setting. Invalid
    // (and logged) when the GUID is null or longer than 32 characters, the
    // export is unknown, or the GUID has no path.
    BackupFSMFileHandle(uint32_t shareId, const char* guid, std::string path);
    // Decodes a received handle: type word 4, length 41 or 43, a
    // zero-terminated GUID, a known export and a GUID the store resolves.
    // Otherwise invalid (and logged). A decoded handle encodes as 41 bytes.
    explicit BackupFSMFileHandle(const nfs_fh3& fh);
    // Copies every member, validity included.
    BackupFSMFileHandle(const BackupFSMFileHandle& other);
    BackupFSMFileHandle& operator=(const BackupFSMFileHandle& other);
    ~BackupFSMFileHandle() override;

    // Writes the handle into fh (length 41 or 43). Callers encode only valid
    // handles; the record must have room for 51 handle bytes.
    void ToNfsFH(nfs_fh3& fh) const override;
    // "shareId [%u], GUID [%s]".
    void ToStr(std::string& text) const override;
    // The base's equality (same share id) stays the virtual one; this one
    // compares GUID texts only.
    using QuayFileHandle::operator==;
    bool operator==(const BackupFSMFileHandle& other) const;

    // True when word 0 is 4 and the length is 41 or 43; nothing else is tested.
    static bool IsValid(const nfs_fh3& fh);
    // Text of a received handle, decoded or not.
    static void FH2Str(const nfs_fh3& fh, std::string& text);

    bool valid;
    char guid[kGuidBytes];   // zero-terminated; empty when the handle failed early
    std::string path;        // the object's path inside its store
    bool supportDNFS;        // encode with length 43

private:
    bool CopyGuid(const char* text);
    void Decode(const nfs_fh3& fh);
};
