// NFS client side of bench/nfs_bench.sh, on libnfs's API. Prints one line
// per figure: name, value, unit.
//   nfs_bench URL MiB
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nfsc/libnfs.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
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

// One GETATTR on an open file: a round trip through quayd with the least
// work behind it, the unit the metadata figures above are made of.
bool RoundTrip(nfs_context* nfs, int count) {
    nfsfh* fh = nullptr;
    if (nfs_creat(nfs, "/rtt.bin", 0644, &fh) != 0) return Fail(nfs, "creat");
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        struct nfs_stat_64 st{};
        if (nfs_fstat64(nfs, fh, &st) != 0) return Fail(nfs, "getattr");
    }
    printf("nfs_getattr_round_trip %.1f us\n", Seconds(start) * 1e6 / count);
    nfs_close(nfs, fh);
    return nfs_unlink(nfs, "/rtt.bin") == 0 || Fail(nfs, "unlink");
}

// The same exchange without NFS: a 128-byte call and a 256-byte reply over
// loopback TCP between two threads, the floor under every NFS round trip.
void LoopbackRoundTrip(int count) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        perror("nfs_bench: loopback");
        close(listener);
        return;
    }
    const int one = 1;
    std::thread echo([listener, one] {
        const int peer = accept(listener, nullptr, nullptr);
        if (peer < 0) return;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        char buffer[256] = {};
        while (read(peer, buffer, 128) > 0) {
            if (write(peer, buffer, sizeof(buffer)) != ssize_t(sizeof(buffer))) break;
        }
        close(peer);
    });
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    bool ok = connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    char buffer[256] = {};
    auto start = Clock::now();
    for (int i = 0; ok && i < count; ++i) {
        ok = write(client, buffer, 128) == 128 && recv(client, buffer, sizeof(buffer), MSG_WAITALL) == 256;
    }
    if (ok) printf("loopback_round_trip %.1f us\n", Seconds(start) * 1e6 / count);
    close(client);
    // Wakes the echo thread's accept when the connect failed.
    shutdown(listener, SHUT_RDWR);
    echo.join();
    close(listener);
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
    LoopbackRoundTrip(5000);
    const bool ok = RoundTrip(nfs, 5000) && WriteRead(nfs, atoi(argv[2])) && SmallFiles(nfs, 1000);
    nfs_destroy_url(url);
    nfs_destroy_context(nfs);
    return ok ? 0 : 1;
}
