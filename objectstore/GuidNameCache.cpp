#include "objectstore/GuidNameCache.h"

#include "objectstore/GuidSource.h"

namespace ObjectStore {

namespace {

constexpr size_t kGuidDigits = 32;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool GuidNameCache::Pack(const std::string& text, Packed& out) {
    if (text.size() != kGuidDigits) return false;
    uint64_t words[2] = {0, 0};
    for (size_t i = 0; i < kGuidDigits; ++i) {
        const int digit = HexValue(text[i]);
        if (digit < 0) return false;
        uint64_t& word = words[i / 16];
        word = (word << 4) | static_cast<uint64_t>(digit);
    }
    out.high = words[0];
    out.low = words[1];
    return true;
}

std::string GuidNameCache::Unpack(const Packed& guid) {
    // The high word's 16 digits are GuidText's 13 time digits and its 3 first random ones.
    return GuidText(guid.high >> 12, guid.high, guid.low);
}

size_t GuidNameCache::PackedHash::operator()(const Packed& guid) const noexcept {
    // The high word begins with the creation time: mix it into the random low one.
    return static_cast<size_t>(guid.low ^ (guid.high * 0x9e3779b97f4a7c15ULL));
}

bool GuidNameCache::Get(const std::string& guid, std::string& parent, std::string& name) {
    Packed key;
    Entry entry;
    if (!Pack(guid, key) || !cache_.Get(key, entry)) return false;
    parent = Unpack(entry.parent);
    name = std::move(entry.name);
    return true;
}

void GuidNameCache::PutIfCurrent(const std::string& guid, const std::string& parent, const std::string& name,
                                 uint64_t generation) {
    Packed key;
    Entry entry;
    if (!Pack(guid, key) || !Pack(parent, entry.parent)) return;
    entry.name = name;
    cache_.PutIfCurrent(key, entry, generation);
}

void GuidNameCache::Invalidate(const std::string& guid) {
    Packed key;
    // Text that cannot be cached still moves the generation on, as every
    // change must.
    if (!Pack(guid, key)) key = Packed{};
    cache_.Invalidate(key);
}

}  // namespace ObjectStore
