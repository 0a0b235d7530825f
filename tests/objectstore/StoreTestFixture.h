// Shared fixture of the object-store tests: a fresh temporary data root per
// test, a container on it, and small helpers to build and read content.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "objectstore/ObjectContainer.h"

namespace ObjectStore {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A live, writable store config at storePath.
    ObjectStoreConfig LiveConfig(const std::string& storePath = "/stores/s1") const;
    // A point-in-time view config of storePath at time t.
    ObjectStoreConfig PitConfig(int64_t t, bool writable, const std::string& storePath = "/stores/s1") const;
    uint64_t Open(const ObjectStoreConfig& config);
    // Drops the container and makes a new one on the same data root (a restart).
    void Restart();

    ItemName Root(uint64_t store) { return ItemName(container_->getRootGuid(store), true); }
    // Creates a directory / file under parent; returns its GUID.
    std::string Mkdir(uint64_t store, const ItemName& parent, const std::string& name);
    std::string MakeFile(uint64_t store, const ItemName& parent, const std::string& name,
                         const std::string& content);
    void WriteAt(uint64_t store, const std::string& guid, uint64_t offset, const std::string& data, int sync = 0);
    // Whole content of the file (by GUID or path item).
    std::string ReadAll(uint64_t store, const ItemName& item);
    std::string ReadPath(uint64_t store, const std::string& path) { return ReadAll(store, ItemName(path)); }
    int ErrnoOfGetattr(uint64_t store, const std::string& path);
    std::string StatValue(uint64_t store, const std::string& name);
    // Waits until the wall clock is in a later second than the one returned:
    // everything done before the call belongs to that second.
    static int64_t EndOfSecond();

    std::string tmp_;
    std::string dataRoot_;
    std::unique_ptr<ObjectContainer> container_;
};

std::string Pattern(size_t n, unsigned seed);
void RemoveTree(const std::string& dir);

}  // namespace ObjectStore
