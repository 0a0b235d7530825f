#include "objectstore/ExtentStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "objectstore/ParallelSync.h"
#include "objectstore/StoreFailure.h"
#include "objectstore/StoreFormat.h"

namespace ObjectStore {

namespace {

[[noreturn]] void FailErrno(const std::string& what) {
    int err = errno;
    Fail(err ? err : EIO, what + ": " + std::strerror(err));
}

void SyncPath(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) FailErrno("cannot open " + path);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    errno = err;
    if (rc != 0) FailErrno("cannot sync " + path);
}

}  // namespace

ExtentStore::Fd::~Fd() { ::close(fd_); }

ExtentStore::ExtentStore(const std::string& root, std::shared_ptr<ExtentStore> base, size_t maxOpenFiles)
    : root_(root), base_(std::move(base)), maxOpenFiles_(maxOpenFiles ? maxOpenFiles : 1) {
    std::string dir = root_ + "/" + kExtentDirName;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) FailErrno("cannot create " + dir);
}

ExtentStore::~ExtentStore() = default;

bool ExtentStore::Owns(uint64_t extent) const { return !base_ || extent >= kViewExtentBase; }

std::string ExtentStore::DirOf(uint64_t extent) const {
    char name[32];
    std::snprintf(name, sizeof(name), "%06llx", static_cast<unsigned long long>((extent & ~kViewExtentBase) >> 10));
    return root_ + "/" + kExtentDirName + "/" + name;
}

std::string ExtentStore::PathOf(uint64_t extent) const {
    char name[32];
    std::snprintf(name, sizeof(name), "/%016llx", static_cast<unsigned long long>(extent));
    return DirOf(extent) + name;
}

void ExtentStore::EnsureDir(uint64_t extent) {
    std::string dir = DirOf(extent);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (knownDirs_.count(dir)) return;
    }
    bool made = ::mkdir(dir.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) FailErrno("cannot create " + dir);
    std::lock_guard<std::mutex> guard(mutex_);
    knownDirs_.insert(dir);
    // A new folder is itself a new entry of the extents folder.
    if (made) unsyncedDirs_.insert(root_ + "/" + kExtentDirName);
}

std::shared_ptr<ExtentStore::Fd> ExtentStore::Open(uint64_t extent, bool create) {
    if (!Owns(extent)) return base_->Open(extent, false);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = byId_.find(extent);
        if (it != byId_.end()) {
            lru_.splice(lru_.begin(), lru_, it->second);
            return it->second->second;
        }
    }
    if (create) EnsureDir(extent);
    std::string path = PathOf(extent);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    bool made = false;
    if (fd < 0 && errno == ENOENT && create) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        made = fd >= 0;
        if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) FailErrno("cannot open extent " + path);
    auto handle = std::make_shared<Fd>(fd);
    std::lock_guard<std::mutex> guard(mutex_);
    if (made) unsyncedDirs_.insert(DirOf(extent));
    auto it = byId_.find(extent);
    if (it != byId_.end()) return it->second->second;  // another thread opened it meanwhile
    lru_.emplace_front(extent, handle);
    byId_[extent] = lru_.begin();
    while (lru_.size() > maxOpenFiles_) {
        byId_.erase(lru_.back().first);
        lru_.pop_back();
    }
    return handle;
}

size_t ExtentStore::Read(uint64_t extent, void* buf, size_t n, uint64_t off) {
    std::shared_ptr<Fd> fd = Open(extent, false);
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd->get(), static_cast<char*>(buf) + done, n - done, off + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) FailErrno("cannot read extent");
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void ExtentStore::Write(uint64_t extent, const void* buf, size_t n, uint64_t off, bool startWriteback) {
    if (!Owns(extent)) Fail(EROFS, "extent belongs to the base store");
    std::shared_ptr<Fd> fd = Open(extent, true);
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd->get(), static_cast<const char*>(buf) + done, n - done, off + done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) FailErrno("cannot write extent");
        done += static_cast<size_t>(put);
    }
    // Only a hint: whatever it does not start, SyncData writes.
    if (startWriteback) (void)::sync_file_range(fd->get(), 0, 0, SYNC_FILE_RANGE_WRITE);
}

void ExtentStore::Zero(uint64_t extent, uint64_t n, uint64_t off) {
    std::vector<char> zeros(static_cast<size_t>(std::min<uint64_t>(n, 1 << 20)), 0);
    while (n > 0) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
        Write(extent, zeros.data(), chunk, off);
        off += chunk;
        n -= chunk;
    }
}

void ExtentStore::Copy(uint64_t from, uint64_t to, uint64_t n) {
    std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(n ? n : 1, 1 << 20)));
    uint64_t off = 0;
    // Make sure the target exists even when there is nothing to copy.
    Open(to, true);
    while (off < n) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(n - off, buf.size()));
        size_t got = Read(from, buf.data(), chunk, off);
        if (got < chunk) std::memset(buf.data() + got, 0, chunk - got);
        Write(to, buf.data(), chunk, off);
        off += chunk;
    }
}

uint64_t ExtentStore::FileSize(uint64_t extent) {
    if (!Owns(extent)) return base_->FileSize(extent);
    struct stat st;
    if (::stat(PathOf(extent).c_str(), &st) != 0) {
        if (errno == ENOENT) return 0;
        FailErrno("cannot stat extent");
    }
    return static_cast<uint64_t>(st.st_size);
}

bool ExtentStore::Exists(uint64_t extent) {
    if (!Owns(extent)) return base_->Exists(extent);
    return ::access(PathOf(extent).c_str(), F_OK) == 0;
}

void ExtentStore::SyncData(const std::vector<uint64_t>& extents) {
    std::vector<uint64_t> own;
    for (uint64_t extent : extents) {
        if (Owns(extent)) own.push_back(extent);
    }
    ParallelSync::Run(own.size(), [&](size_t i) {
        std::shared_ptr<Fd> fd = Open(own[i], true);
        if (::fdatasync(fd->get()) != 0) FailErrno("cannot sync extent");
    });
}

void ExtentStore::SyncNewEntries() {
    std::set<std::string> dirs;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        dirs.swap(unsyncedDirs_);
    }
    try {
        // Leaf folders first, then the extents folder that holds new leaves.
        const std::string top = root_ + "/" + kExtentDirName;
        std::vector<std::string> leaves;
        for (const std::string& dir : dirs) {
            if (dir != top) leaves.push_back(dir);
        }
        ParallelSync::Run(leaves.size(), [&](size_t i) { SyncPath(leaves[i]); });
        if (dirs.count(top)) SyncPath(top);
    } catch (const StoreFailure&) {
        std::lock_guard<std::mutex> guard(mutex_);
        unsyncedDirs_.insert(dirs.begin(), dirs.end());
        throw;
    }
}

void ExtentStore::ForEachFile(const std::function<void(uint64_t, const struct stat&)>& visit) {
    std::string top = root_ + "/" + kExtentDirName;
    DIR* outer = ::opendir(top.c_str());
    if (!outer) return;
    while (struct dirent* d = ::readdir(outer)) {
        if (d->d_name[0] == '.') continue;
        std::string sub = top + "/" + d->d_name;
        DIR* inner = ::opendir(sub.c_str());
        if (!inner) continue;
        while (struct dirent* e = ::readdir(inner)) {
            char* end = nullptr;
            const unsigned long long id = std::strtoull(e->d_name, &end, 16);
            // Only names this store gives its extent files.
            if (e->d_name[0] == '.' || std::strlen(e->d_name) != 16 || *end != '\0') continue;
            struct stat st;
            if (::stat((sub + "/" + e->d_name).c_str(), &st) == 0) visit(id, st);
        }
        ::closedir(inner);
    }
    ::closedir(outer);
}

uint64_t ExtentStore::StoredBytes() {
    uint64_t total = 0;
    ForEachFile([&](uint64_t, const struct stat& st) { total += static_cast<uint64_t>(st.st_blocks) * 512; });
    return total;
}

uint64_t ExtentStore::AllocatedBytes(uint64_t extent) {
    struct stat st;
    return ::stat(PathOf(extent).c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

void ExtentStore::Remove(uint64_t extent) {
    if (!Owns(extent)) Fail(EINVAL, "extent " + std::to_string(extent) + " belongs to the base store");
    {
        // A cached descriptor would keep the file's blocks.
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = byId_.find(extent);
        if (it != byId_.end()) {
            lru_.erase(it->second);
            byId_.erase(it);
        }
    }
    if (::unlink(PathOf(extent).c_str()) != 0 && errno != ENOENT) FailErrno("cannot remove extent " + PathOf(extent));
}

uint64_t ExtentStore::PunchFrom(uint64_t extent, uint64_t offset) {
    const uint64_t before = AllocatedBytes(extent);
    std::shared_ptr<Fd> fd = Open(extent, false);
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) FailErrno("cannot stat extent " + PathOf(extent));
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (offset >= size) return 0;
    if (::fallocate(fd->get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(size - offset)) != 0) {
        // Not every file system punches holes; the bytes then stay.
        if (errno == EOPNOTSUPP) return 0;
        FailErrno("cannot punch extent " + PathOf(extent));
    }
    const uint64_t after = AllocatedBytes(extent);
    return before > after ? before - after : 0;
}

}  // namespace ObjectStore
