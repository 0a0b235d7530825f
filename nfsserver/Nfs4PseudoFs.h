// The pseudo file system of NFSv4: the directories above the shares served
// over NFSv4, where PUTROOTFH starts. A pseudo directory is a prefix of the
// paths of those shares; an entry whose path is a share's path is that
// share's root, and a LOOKUP of it crosses into the share. Only shares whose
// NFS versions contain 4 and that let the client in are seen. Nothing is
// kept: every call reads the exports as they are now.
//
// Handle of a pseudo directory (12 bytes, never the length of a module's
// handle):
//   bytes 0-3   "QPFS"
//   bytes 4-11  FNV-1a hash of the directory's path
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/Export.h"

class Nfs4PseudoFs {
public:
    static constexpr size_t kHandleSize = 12;

    struct Entry {
        std::string name;
        ExportPtr share;  // set for a share's root, null for a pseudo directory
    };

    static std::string HandleOf(const std::string& path);
    static bool IsPseudoHandle(const unsigned char* data, size_t length);
    // The pseudo directory a handle names for this client; false when there
    // is none (any more).
    static bool Find(const std::string& client, const unsigned char* data, size_t length, std::string& path);
    // The share whose root is at path, if the client sees one there.
    static bool ShareAt(const std::string& client, const std::string& path, ExportPtr& share);
    // Entries of a pseudo directory, sorted by name.
    static std::vector<Entry> List(const std::string& client, const std::string& path);
    // ENOENT when the directory has no such entry.
    static int Lookup(const std::string& client, const std::string& path, const std::string& name, Entry& entry);
    // Parent directory ("/" for "/" and its children).
    static std::string Parent(const std::string& path);
    static std::string Child(const std::string& path, const std::string& name);
    // The fileid of a pseudo directory.
    static uint64_t FileId(const std::string& path);
};
