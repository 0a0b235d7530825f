// GuidNameCache: which directory holds an object and under what name, by
// the object's GUID; the steps of the walk that builds an object's path.
//
// A store of a million objects may hold an entry for each of them, so an
// entry is kept small: the GUID and the parent's GUID as 16 bytes each
// instead of 32 characters on the heap (twice for the key, which the LRU's
// list and index both hold). GUID text that is not 32 lower-case hexadecimal
// characters (the form the store hands out) is never cached.
//
// Thread-safe. Generation/PutIfCurrent/Invalidate as in LruCache.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "objectstore/LruCache.h"

namespace ObjectStore {

class GuidNameCache {
public:
    // Bytes an entry costs, to turn a byte budget into entries: the list and
    // index nodes and the name's buffer when it is longer than 15 characters.
    static constexpr size_t kEntryBytes = 192;

    explicit GuidNameCache(size_t entries) : cache_(entries) {}

    uint64_t Generation() const { return cache_.Generation(); }
    bool Get(const std::string& guid, std::string& parent, std::string& name);
    void PutIfCurrent(const std::string& guid, const std::string& parent, const std::string& name,
                      uint64_t generation);
    void Invalidate(const std::string& guid);

    // A GUID's 128 bits; false for text that is not 32 lower-case hex digits.
    struct Packed {
        uint64_t high = 0;
        uint64_t low = 0;
        bool operator==(const Packed& other) const { return high == other.high && low == other.low; }
    };
    static bool Pack(const std::string& text, Packed& out);
    static std::string Unpack(const Packed& guid);

private:
    struct PackedHash {
        size_t operator()(const Packed& guid) const noexcept;
    };
    struct Entry {
        Packed parent;
        std::string name;
    };
    LruCache<Packed, Entry, PackedHash> cache_;
};

}  // namespace ObjectStore
