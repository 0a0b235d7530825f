// NFS client side of bench/nfs_bench.sh, on libnfs's API. Prints one line
// per figure: name, value, unit.
//   nfs_bench URL MiB
#include <fcntl.h>
#include <nfsc/libnfs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool Fail(nfs_context* nfs, const char* what) {
    fprintf(stderr, "nfs_bench: %s: %s\n", what, nfs_get_error(nfs));
    return false;
}

bool WriteRead(nfs_context* nfs, int mib) {
    std::vector<char> chunk(1 << 20, 'x');
    nfsfh* fh = nullptr;
    auto start = Clock::now();
    if (nfs_creat(nfs, "/bench.bin", 0644, &fh) != 0) return Fail(nfs, "creat");
    for (int m = 0; m < mib; ++m) {
        if (nfs_pwrite(nfs, fh, uint64_t(m) << 20, chunk.size(), chunk.data()) != int(chunk.size())) {
            return Fail(nfs, "write");
        }
    }
    if (nfs_fsync(nfs, fh) != 0) return Fail(nfs, "commit");
    nfs_close(nfs, fh);
    printf("nfs_write_commit %.1f MiB/s\n", mib / Seconds(start));
    start = Clock::now();
    if (nfs_open(nfs, "/bench.bin", O_RDONLY, &fh) != 0) return Fail(nfs, "open");
    for (int m = 0; m < mib; ++m) {
        if (nfs_pread(nfs, fh, uint64_t(m) << 20, chunk.size(), chunk.data()) != int(chunk.size())) {
            return Fail(nfs, "read");
        }
    }
    nfs_close(nfs, fh);
    printf("nfs_read %.1f MiB/s\n", mib / Seconds(start));
    return nfs_unlink(nfs, "/bench.bin") == 0 || Fail(nfs, "unlink");
}

bool SmallFiles(nfs_context* nfs, int count) {
    std::vector<char> block(4096, 's');
    if (nfs_mkdir(nfs, "/small") != 0) return Fail(nfs, "mkdir");
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        nfsfh* fh = nullptr;
        const std::string path = "/small/f" + std::to_string(i);
        if (nfs_creat(nfs, path.c_str(), 0644, &fh) != 0) return Fail(nfs, "creat");
        if (nfs_pwrite(nfs, fh, 0, block.size(), block.data()) != int(block.size())) return Fail(nfs, "write");
        nfs_close(nfs, fh);
    }
    printf("nfs_create_%d_4k_files %.3f s\n", count, Seconds(start));
    start = Clock::now();
    for (int i = 0; i < count; ++i) {
        struct nfs_stat_64 st{};
        const std::string path = "/small/f" + std::to_string(i);
        if (nfs_stat64(nfs, path.c_str(), &st) != 0) return Fail(nfs, "stat");
    }
    printf("nfs_stat_by_path %.1f us\n", Seconds(start) * 1e6 / count);
    const int rounds = 10;
    start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        nfsdir* dir = nullptr;
        if (nfs_opendir(nfs, "/small", &dir) != 0) return Fail(nfs, "opendir");
        int entries = 0;
        while (nfs_readdir(nfs, dir) != nullptr) ++entries;
        nfs_closedir(nfs, dir);
        if (entries < count) return Fail(nfs, "listing is short");
    }
    printf("nfs_list_%d_entries %.2f ms\n", count, Seconds(start) * 1e3 / rounds);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: nfs_bench URL MiB\n");
        return 2;
    }
    nfs_context* nfs = nfs_init_context();
    nfs_url* url = nfs_parse_url_dir(nfs, argv[1]);
    if (url == nullptr || nfs_mount(nfs, url->server, url->path) != 0) return Fail(nfs, "mount") ? 0 : 1;
    const bool ok = WriteRead(nfs, atoi(argv[2])) && SmallFiles(nfs, 1000);
    nfs_destroy_url(url);
    nfs_destroy_context(nfs);
    return ok ? 0 : 1;
}
