// The GUID -> (parent, name) cache of path walks: packing of GUID text,
// what is cached and what is refused, invalidation.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "objectstore/GuidNameCache.h"
#include "objectstore/GuidSource.h"

namespace ObjectStore {
namespace {

const std::string kDir = "0123456789abcdef0123456789abcdef";

TEST(GuidNameCacheTest, PackingKeepsLowerCaseGuidTextExactly) {
    for (const std::string& text : {kDir, std::string(32, '0'), std::string(32, 'f'), NewGuidText()}) {
        GuidNameCache::Packed packed;
        ASSERT_TRUE(GuidNameCache::Pack(text, packed)) << text;
        EXPECT_EQ(text, GuidNameCache::Unpack(packed));
    }
    GuidNameCache::Packed packed;
    EXPECT_FALSE(GuidNameCache::Pack("0123456789ABCDEF0123456789abcdef", packed));  // not the store's form
    EXPECT_FALSE(GuidNameCache::Pack(kDir.substr(1), packed));
    EXPECT_FALSE(GuidNameCache::Pack(kDir + "0", packed));
    EXPECT_FALSE(GuidNameCache::Pack("0123456789abcdef0123456789abcdeg", packed));
    EXPECT_FALSE(GuidNameCache::Pack("", packed));
}

TEST(GuidNameCacheTest, KeepsParentAndNameOfStoreGuidsOnly) {
    GuidNameCache cache(100);
    const std::string file = NewGuidText();
    const std::string longName(200, 'n');
    cache.PutIfCurrent(file, kDir, longName, cache.Generation());
    std::string parent, name;
    ASSERT_TRUE(cache.Get(file, parent, name));
    EXPECT_EQ(kDir, parent);
    EXPECT_EQ(longName, name);

    // Text the store never hands out, as key or as parent, is not kept.
    std::string upper = file;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    cache.PutIfCurrent(upper, kDir, "x", cache.Generation());
    EXPECT_FALSE(cache.Get(upper, parent, name));
    const std::string other = NewGuidText();
    cache.PutIfCurrent(other, "", "x", cache.Generation());
    EXPECT_FALSE(cache.Get(other, parent, name));
}

TEST(GuidNameCacheTest, InvalidationDropsTheEntryAndRefusesOlderPuts) {
    GuidNameCache cache(100);
    const std::string file = NewGuidText();
    cache.PutIfCurrent(file, kDir, "a", cache.Generation());
    const uint64_t before = cache.Generation();
    cache.Invalidate(file);
    std::string parent, name;
    EXPECT_FALSE(cache.Get(file, parent, name));
    cache.PutIfCurrent(file, kDir, "stale", before);
    EXPECT_FALSE(cache.Get(file, parent, name));

    // Even text that is never cached moves the generation on.
    const uint64_t beforeOdd = cache.Generation();
    cache.Invalidate("not a guid");
    cache.PutIfCurrent(file, kDir, "stale", beforeOdd);
    EXPECT_FALSE(cache.Get(file, parent, name));
    cache.PutIfCurrent(file, kDir, "b", cache.Generation());
    ASSERT_TRUE(cache.Get(file, parent, name));
    EXPECT_EQ("b", name);
}

}  // namespace
}  // namespace ObjectStore
