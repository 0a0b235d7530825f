#include "tests/objectstore/StoreTestFixture.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <thread>

#include "objectstore/FaultPlan.h"

namespace ObjectStore {

namespace {
int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
}  // namespace

void RemoveTree(const std::string& dir) { ::nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

std::string Pattern(size_t n, unsigned seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>('a' + (x >> 16) % 26);
    }
    return out;
}

void StoreTest::SetUp() {
    char tmpl[] = "/tmp/objectstore-test.XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(tmpl));
    tmp_ = tmpl;
    dataRoot_ = tmp_ + "/data";
    container_.reset(new ObjectContainer);
    ObjectContainerConfig cc;
    cc.dataRoot = dataRoot_;
    ASSERT_EQ(0, container_->init(cc).ErrNo());
}

void StoreTest::TearDown() {
    container_.reset();
    // The plan is process-wide: no test may inherit another's faults or counts.
    FaultPlan::Global().Clear();
    RemoveTree(tmp_);
}

ObjectStoreConfig StoreTest::LiveConfig(const std::string& storePath) const {
    ObjectStoreConfig c;
    c.storePath = storePath;
    c.defaultAttribs.mode = 0777;
    c.extentSize = 64 * 1024;
    c.versionInterval = 0;
    return c;
}

ObjectStoreConfig StoreTest::PitConfig(int64_t t, bool writable, const std::string& storePath) const {
    ObjectStoreConfig c = LiveConfig(storePath);
    c.isPIT = true;
    c.snapshotTime = t;
    c.readOnly = !writable;
    c.writablePIT = writable;
    c.defaultAttribs.mode = 0555;
    c.snapName = "snap" + std::to_string(t);
    return c;
}

uint64_t StoreTest::Open(const ObjectStoreConfig& config) {
    uint64_t index = 0;
    CPelError err = container_->openObjectStore(index, config);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    return index;
}

void StoreTest::Restart() {
    container_.reset(new ObjectContainer);
    ObjectContainerConfig cc;
    cc.dataRoot = dataRoot_;
    ASSERT_EQ(0, container_->init(cc).ErrNo());
}

std::string StoreTest::Mkdir(uint64_t store, const ItemName& parent, const std::string& name) {
    ItemName item;
    CPelError err = container_->mkdir(store, item, parent, name, 0755);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    return item.getObjGuid();
}

std::string StoreTest::MakeFile(uint64_t store, const ItemName& parent, const std::string& name,
                                const std::string& content) {
    FileHandle fh;
    struct stat st;
    CPelError err = container_->createAndOpen(store, fh, parent, name, st, O_RDWR | O_CREAT);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    uint64_t count = content.size();
    err = container_->write(store, fh, content.data(), count, 0, 0);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    EXPECT_EQ(content.size(), count);
    EXPECT_EQ(0, container_->close(store, fh).ErrNo());
    return fh.item.getObjGuid();
}

void StoreTest::WriteAt(uint64_t store, const std::string& guid, uint64_t offset, const std::string& data,
                        int sync) {
    FileHandle fh;
    ASSERT_EQ(0, container_->open(store, fh, ItemName(guid, false), O_RDWR, false).ErrNo());
    uint64_t count = data.size();
    CPelError err = container_->write(store, fh, data.data(), count, offset, sync);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    EXPECT_EQ(0, container_->close(store, fh).ErrNo());
}

std::string StoreTest::ReadAll(uint64_t store, const ItemName& item) {
    FileHandle fh;
    CPelError err = container_->open(store, fh, item, O_RDONLY, false);
    EXPECT_EQ(0, err.ErrNo()) << err.Message();
    if (err.IsError()) return "<open failed>";
    std::string out;
    char buf[70000];
    for (uint64_t off = 0;;) {
        uint64_t count = sizeof(buf);
        err = container_->read(store, fh, buf, off, count);
        EXPECT_EQ(0, err.ErrNo()) << err.Message();
        if (err.IsError() || count == 0) break;
        out.append(buf, count);
        off += count;
    }
    EXPECT_EQ(0, container_->close(store, fh).ErrNo());
    return out;
}

int StoreTest::ErrnoOfGetattr(uint64_t store, const std::string& path) {
    ItemName item(path);
    struct stat st;
    return container_->getattr(store, item, st).ErrNo();
}

std::string StoreTest::StatValue(uint64_t store, const std::string& name) {
    NameValueList stats;
    EXPECT_EQ(0, container_->getObjStrGuiStats(store, stats).ErrNo());
    for (auto& p : stats)
        if (p.first == name) return p.second;
    return "<missing>";
}

namespace {
int64_t WallSecond() {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    return tv.tv_sec;
}
}  // namespace

int64_t StoreTest::EndOfSecond() {
    // The store stamps changes with gettimeofday, so wait on the same clock.
    int64_t t = WallSecond();
    while (WallSecond() <= t) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return t;
}

}  // namespace ObjectStore
