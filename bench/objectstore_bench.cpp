// Object-store benchmark: the library against plain files on the same disk.
// Prints each figure and its ratio to the plain-file baseline.
//
//   objectstore_bench [folder] [MiB]
//
// folder: where to put the temporary data (default /tmp); MiB: size of the
// sequential file (default 512).
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "objectstore/ObjectContainer.h"

using namespace ObjectStore;

namespace {

constexpr size_t kChunk = 1 << 20;
constexpr int kFiles = 10000;
// Small files made the way an NFS client makes them: CREATE, WRITE, COMMIT.
constexpr int kSmallFiles = 1000;
constexpr size_t kSmallFileBytes = 4096;
// The disk and CPUs may be shared: interleave plain and library rounds and
// keep the best of each.
constexpr int kRounds = 2;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// Drops the page cache of every file under dir (the data is clean after a sync).
int DropCache(const char* path, const struct stat* st, int type, struct FTW*) {
    if (type != FTW_F || st->st_size == 0) return 0;
    int fd = ::open(path, O_RDONLY);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
    return 0;
}

void Check(const CPelError& e, const char* what) {
    if (e.IsError()) {
        std::fprintf(stderr, "%s failed: %s (errno %d)\n", what, e.Message().c_str(), e.ErrNo());
        std::exit(1);
    }
}

void Report(const char* name, double value, const char* unit, double baseline, double target) {
    if (baseline > 0) {
        double ratio = value / baseline;
        std::printf("%-34s %12.1f %-8s baseline %12.1f  ratio %.2f%s\n", name, value, unit, baseline, ratio,
                    target > 0 ? (ratio >= target ? "  (target met)" : "  (below target)") : "");
    } else {
        std::printf("%-34s %12.1f %-8s%s\n", name, value, unit,
                    target > 0 ? (value >= target ? "  (target met)" : "  (below target)") : "");
    }
}

struct Plain {
    double writeMiBs, coldMiBs, warmMiBs;
};

Plain PlainFile(const std::string& dir, size_t mib, const std::vector<char>& buf) {
    Plain p{};
    std::string path = dir + "/plain.dat";
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    double t0 = Now();
    for (size_t i = 0; i < mib; ++i)
        if (::pwrite(fd, buf.data(), kChunk, i * kChunk) != static_cast<ssize_t>(kChunk)) std::exit(1);
    ::fsync(fd);
    p.writeMiBs = mib / (Now() - t0);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    std::vector<char> in(kChunk);
    for (int pass = 0; pass < 2; ++pass) {
        t0 = Now();
        for (size_t i = 0; i < mib; ++i)
            if (::pread(fd, in.data(), kChunk, i * kChunk) != static_cast<ssize_t>(kChunk)) std::exit(1);
        (pass == 0 ? p.coldMiBs : p.warmMiBs) = mib / (Now() - t0);
    }
    ::close(fd);
    ::unlink(path.c_str());
    return p;
}

// Creates kSmallFiles files of kSmallFileBytes each, each written, made durable
// and closed before the next; returns files per second.
double SmallFilesPerSec(ObjectContainer& container, uint64_t s, const ItemName& root, const std::vector<char>& buf) {
    ItemName d;
    Check(container.mkdir(s, d, root, "small", 0755), "mkdir");
    FileHandle fh;
    struct stat st;
    double t0 = Now();
    for (int i = 0; i < kSmallFiles; ++i) {
        Check(container.createAndOpen(s, fh, d, "file" + std::to_string(i), st, O_RDWR | O_CREAT), "createAndOpen");
        uint64_t count = kSmallFileBytes;
        Check(container.write(s, fh, buf.data(), count, 0, 0), "write");
        Check(container.fdatasync(s, fh.item), "fdatasync");
        Check(container.close(s, fh), "close");
    }
    return kSmallFiles / (Now() - t0);
}

double PlainSmallFilesPerSec(const std::string& dir, const std::vector<char>& buf) {
    std::string plainDir = dir + "/plain-small";
    ::mkdir(plainDir.c_str(), 0700);
    double t0 = Now();
    for (int i = 0; i < kSmallFiles; ++i) {
        int fd = ::open((plainDir + "/file" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0 || ::pwrite(fd, buf.data(), kSmallFileBytes, 0) != static_cast<ssize_t>(kSmallFileBytes))
            std::exit(1);
        ::fdatasync(fd);
        ::close(fd);
    }
    return kSmallFiles / (Now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = argc > 1 ? argv[1] : "/tmp";
    size_t mib = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 512;
    std::string tmpl = base + "/objectstore-bench.XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = name.data();
    std::vector<char> buf(kChunk);
    for (size_t i = 0; i < kChunk; ++i) buf[i] = static_cast<char>(i * 131 + 7);

    std::printf("object-store benchmark: %zu MiB sequential, %d files, in %s\n", mib, kFiles, dir.c_str());
    std::printf("sequential figures: best of %d interleaved rounds\n\n", kRounds);

    ObjectContainer container;
    ObjectContainerConfig cc;
    cc.dataRoot = dir + "/data";
    Check(container.init(cc), "init");
    ObjectStoreConfig cfg;  // the module's defaults for its tunables
    cfg.storePath = "/bench";
    cfg.defaultAttribs.mode = 0777;
    cfg.extentSize = 10ull << 20;
    cfg.flushAfterCount = 10000;
    cfg.flushAfterSeconds = 60;
    cfg.guidCacheBytes = 524288000;
    cfg.versionCacheBytes = 104857600;
    cfg.attribCacheEntries = 10000;
    cfg.xattrCacheEntries = 10000;
    cfg.dirCacheEntries = 100000;
    uint64_t s = 0;
    Check(container.openObjectStore(s, cfg), "openObjectStore");
    ItemName root(container.getRootGuid(s), true);

    Plain plain{};
    double writeMiBs = 0, readMiBs[2] = {0, 0};
    FileHandle fh;
    struct stat st;
    std::vector<char> in(kChunk);
    for (int round = 0; round < kRounds; ++round) {
        Plain p = PlainFile(dir, mib, buf);
        plain.writeMiBs = std::max(plain.writeMiBs, p.writeMiBs);
        plain.coldMiBs = std::max(plain.coldMiBs, p.coldMiBs);
        plain.warmMiBs = std::max(plain.warmMiBs, p.warmMiBs);

        // Sequential write with a final fdatasync.
        std::string file = "big" + std::to_string(round) + ".dat";
        Check(container.createAndOpen(s, fh, root, file, st, O_RDWR | O_CREAT), "createAndOpen");
        double t0 = Now();
        for (size_t i = 0; i < mib; ++i) {
            uint64_t count = kChunk;
            Check(container.write(s, fh, buf.data(), count, i * kChunk, 0), "write");
        }
        Check(container.fdatasync(s, fh.item), "fdatasync");
        writeMiBs = std::max(writeMiBs, mib / (Now() - t0));
        Check(container.close(s, fh), "close");

        // Sequential read, cold-ish (page cache of the extents dropped) then warm.
        ::nftw((cc.dataRoot).c_str(), DropCache, 16, FTW_PHYS);
        Check(container.open(s, fh, ItemName("/" + file), O_RDONLY, false), "open");
        for (int pass = 0; pass < 3; ++pass) {
            t0 = Now();
            for (size_t i = 0; i < mib; ++i) {
                uint64_t count = kChunk;
                Check(container.read(s, fh, in.data(), i * kChunk, count), "read");
                // Checked outside the timed passes, as the plain loop checks nothing.
                if (pass == 2 && (count != kChunk || std::memcmp(in.data(), buf.data(), kChunk) != 0)) {
                    std::fprintf(stderr, "read back wrong data\n");
                    return 1;
                }
            }
            if (pass < 2) readMiBs[pass] = std::max(readMiBs[pass], mib / (Now() - t0));
        }
        Check(container.close(s, fh), "close");
        Check(container.unlink(s, ItemName("/" + file)), "unlink");
    }

    // Create 10,000 files, then stat each by path (warm).
    ItemName d;
    Check(container.mkdir(s, d, root, "many", 0755), "mkdir");
    double t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
        ItemName f;
        Check(container.create(s, f, d, "file" + std::to_string(i), 0644), "create");
    }
    double createPerSec = kFiles / (Now() - t0);
    double statPerSec = 0;
    for (int pass = 0; pass < 2; ++pass) {
        t0 = Now();
        for (int i = 0; i < kFiles; ++i) {
            ItemName byPath("/many/file" + std::to_string(i));
            Check(container.getattr(s, byPath, st), "getattr");
        }
        statPerSec = kFiles / (Now() - t0);
    }
    // The same on plain files.
    std::string plainDir = dir + "/plain-many";
    ::mkdir(plainDir.c_str(), 0700);
    t0 = Now();
    for (int i = 0; i < kFiles; ++i) {
        int fd = ::open((plainDir + "/file" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        ::close(fd);
    }
    double plainCreate = kFiles / (Now() - t0);
    double plainStat = 0;
    for (int pass = 0; pass < 2; ++pass) {
        t0 = Now();
        for (int i = 0; i < kFiles; ++i) ::lstat((plainDir + "/file" + std::to_string(i)).c_str(), &st);
        plainStat = kFiles / (Now() - t0);
    }

    // List the 10,000-entry directory with attributes.
    t0 = Now();
    DirHandle* stream = nullptr;
    Check(container.opendir(s, &stream, d), "opendir");
    int entries = 0;
    for (;;) {
        struct dirent* e = nullptr;
        std::string guid;
        uint64_t cookie = 0;
        Check(container.readdir_ex(s, stream, &e, guid, st, &cookie), "readdir_ex");
        if (!e) break;
        ++entries;
    }
    Check(container.closedir(s, stream), "closedir");
    double listPerSec = entries / (Now() - t0);
    t0 = Now();
    DIR* pd = ::opendir(plainDir.c_str());
    int plainEntries = 0;
    while (struct dirent* e = ::readdir(pd)) {
        ::lstat((plainDir + "/" + e->d_name).c_str(), &st);
        ++plainEntries;
    }
    ::closedir(pd);
    double plainList = plainEntries / (Now() - t0);

    double smallPerSec = SmallFilesPerSec(container, s, root, buf);
    double plainSmall = PlainSmallFilesPerSec(dir, buf);

    Report("sequential write + fdatasync", writeMiBs, "MiB/s", plain.writeMiBs, 0.6);
    Report("sequential read, cold-ish", readMiBs[0], "MiB/s", plain.coldMiBs, 0.7);
    Report("sequential read, warm", readMiBs[1], "MiB/s", plain.warmMiBs, 0.7);
    Report("create files", createPerSec, "files/s", plainCreate, 0);
    Report("stat by path, warm", statPerSec, "stats/s", plainStat, 0);
    Report("stat by path, warm (absolute)", statPerSec, "stats/s", 0, 100000);
    Report("list 10,000 entries with stat", listPerSec, "entries/s", plainList, 0);
    Report("small files: create+4K+fdatasync", smallPerSec, "files/s", plainSmall, 0);
    Report("small files: per file", 1e6 / smallPerSec, "us", 1e6 / plainSmall, 0);
    std::printf("\nentries listed: %d (plain %d)\n", entries, plainEntries);

    Check(container.closeObjectStore(s), "closeObjectStore");
    ::nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return 0;
}
