#include "objectstore/LogWriteVfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "objectstore/FaultPlan.h"

namespace ObjectStore {

namespace {

constexpr const char* kName = "quay-log";
constexpr int kFrameHeaderBytes = 24;
// The most the platform VFS writes in one call: it keeps the low 17 bits of
// a length.
constexpr size_t kLargestWrite = 128 * 1024 - 1;

std::atomic<uint64_t> gFramesAsked{0};
std::atomic<uint64_t> gFileWrites{0};

sqlite3_vfs* gReal = nullptr;  // set once, before the VFS is registered

// What waits to be written to one log file: bytes to be written at `at`.
// The buffer is allocated by the first write (readers never write).
struct Held {
    std::unique_ptr<char[]> bytes;
    size_t used = 0;
    sqlite3_int64 at = 0;
    // The last bytes held are a frame's header; its page comes next.
    bool header = false;
    // A page's size, as the first page written after a header showed it.
    size_t pageBytes = 64 * 1024;

    sqlite3_int64 End() const { return at + static_cast<sqlite3_int64>(used); }
};

struct LogFile {
    sqlite3_file base;
    sqlite3_file* real;  // the platform VFS's file, right after this struct
    Held* held;
};

size_t RealOffset() { return (sizeof(LogFile) + 7) & ~size_t{7}; }

LogFile* Log(sqlite3_file* file) { return reinterpret_cast<LogFile*>(file); }

int WriteThrough(LogFile* f, const void* data, int amount, sqlite3_int64 offset) {
    if (FaultPlan::Global().Check("meta.log.write").IsError()) return SQLITE_IOERR_WRITE;
    gFileWrites.fetch_add(1, std::memory_order_relaxed);
    return f->real->pMethods->xWrite(f->real, data, amount, offset);
}

int Flush(LogFile* f) {
    Held& held = *f->held;
    held.header = false;
    if (held.used == 0) return SQLITE_OK;
    const int rc = WriteThrough(f, held.bytes.get(), static_cast<int>(held.used), held.at);
    held.used = 0;
    return rc;
}

uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// A frame's header that is not a commit's last: the database size it
// carries (bytes 4-7) is 0.
bool FrameHeaderToHold(const void* data, int amount) {
    return amount == kFrameHeaderBytes && BigEndian32(static_cast<const unsigned char*>(data) + 4) == 0;
}

// False when there is no room (or no memory for the buffer).
bool Append(Held& held, const void* data, int amount, sqlite3_int64 offset) {
    if (!held.bytes) held.bytes.reset(new (std::nothrow) char[kLargestWrite]);
    if (!held.bytes || held.used + static_cast<size_t>(amount) > kLargestWrite) return false;
    if (held.used == 0) held.at = offset;
    std::memcpy(held.bytes.get() + held.used, data, static_cast<size_t>(amount));
    held.used += static_cast<size_t>(amount);
    return true;
}

int Write(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    LogFile* f = Log(file);
    Held& held = *f->held;
    const bool header = FrameHeaderToHold(data, amount);
    // What waits goes out first unless this goes on where it ends and fits
    // into the same write, with the page of a header held now.
    const size_t room = static_cast<size_t>(amount) + (header ? held.pageBytes : 0);
    if (held.used != 0 && (offset != held.End() || held.used + room > kLargestWrite)) {
        const int rc = Flush(f);
        if (rc != SQLITE_OK) return rc;
    }
    if (amount == kFrameHeaderBytes) gFramesAsked.fetch_add(1, std::memory_order_relaxed);
    // A header to hold, or the page of the frame whose header waits.
    const bool page = held.header && !header;
    if ((header || page) && Append(held, data, amount, offset)) {
        if (page) held.pageBytes = static_cast<size_t>(amount);
        held.header = header;
        return SQLITE_OK;
    }
    // A commit's last frame header, or anything else: out now, after what
    // waits.
    if (held.used != 0 && Append(held, data, amount, offset)) return Flush(f);
    const int rc = Flush(f);
    return rc != SQLITE_OK ? rc : WriteThrough(f, data, amount, offset);
}

int Close(sqlite3_file* file) {
    LogFile* f = Log(file);
    // Only frames of a commit that never ended can wait here.
    Flush(f);
    const int rc = f->real->pMethods->xClose(f->real);
    delete f->held;
    f->held = nullptr;
    return rc;
}

// Writes what waits, then calls the platform file's method.
template <auto Method, typename... Args>
int FlushThen(sqlite3_file* file, Args... args) {
    LogFile* f = Log(file);
    const int rc = Flush(f);
    return rc != SQLITE_OK ? rc : (f->real->pMethods->*Method)(f->real, args...);
}

int SectorSize(sqlite3_file* file) {
    LogFile* f = Log(file);
    return f->real->pMethods->xSectorSize(f->real);
}

int DeviceCharacteristics(sqlite3_file* file) {
    LogFile* f = Log(file);
    return f->real->pMethods->xDeviceCharacteristics(f->real);
}

// Version 1, without the methods that map and share memory: SQLite uses them
// on the database file only.
const sqlite3_io_methods kLogMethods = {
    1, Close, FlushThen<&sqlite3_io_methods::xRead, void*, int, sqlite3_int64>, Write,
    FlushThen<&sqlite3_io_methods::xTruncate, sqlite3_int64>, FlushThen<&sqlite3_io_methods::xSync, int>,
    FlushThen<&sqlite3_io_methods::xFileSize, sqlite3_int64*>, FlushThen<&sqlite3_io_methods::xLock, int>,
    FlushThen<&sqlite3_io_methods::xUnlock, int>, FlushThen<&sqlite3_io_methods::xCheckReservedLock, int*>,
    FlushThen<&sqlite3_io_methods::xFileControl, int, void*>, SectorSize, DeviceCharacteristics,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    // Every other file is the platform VFS's own, in the same memory.
    if ((flags & SQLITE_OPEN_WAL) == 0) return gReal->xOpen(gReal, name, file, flags, outFlags);
    auto* f = Log(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + RealOffset());
    f->held = nullptr;
    int rc = gReal->xOpen(gReal, name, f->real, flags, outFlags);
    if (rc == SQLITE_OK) {
        f->held = new (std::nothrow) Held;
        if (f->held == nullptr) rc = SQLITE_NOMEM;
    }
    if (rc != SQLITE_OK) {
        if (f->real->pMethods != nullptr) f->real->pMethods->xClose(f->real);
        return rc;
    }
    f->base.pMethods = &kLogMethods;
    return SQLITE_OK;
}

}  // namespace

const char* LogWriteVfs::Name() {
    static std::once_flag once;
    std::call_once(once, [] {
        gReal = sqlite3_vfs_find(nullptr);
        // The platform's functions for everything but opening; they use
        // only fields copied with them.
        static sqlite3_vfs vfs = *gReal;
        vfs.zName = kName;
        vfs.pNext = nullptr;
        vfs.szOsFile = static_cast<int>(RealOffset()) + gReal->szOsFile;
        vfs.xOpen = Open;
        sqlite3_vfs_register(&vfs, 0);
    });
    return kName;
}

uint64_t LogWriteVfs::FramesAsked() { return gFramesAsked.load(std::memory_order_relaxed); }

uint64_t LogWriteVfs::FileWrites() { return gFileWrites.load(std::memory_order_relaxed); }

}  // namespace ObjectStore
