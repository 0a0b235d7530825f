// A small NFS client on libnfs's API that the NFS end-to-end script drives:
//   nfs_probe URL story            every procedure and the errors clients see
//   nfs_probe URL write FILE MiB   writes FILE, COMMITs, prints "committed"
//   nfs_probe URL syncwrite FILE MiB
//                                  writes FILE with FILE_SYNC WRITEs only,
//                                  checks the replies say FILE_SYNC, prints
//                                  "written", waits for a line on stdin
//   nfs_probe URL check FILE MiB   reads FILE back and checks its pattern
//   nfs_probe URL hold FILE ERRNO  opens FILE, prints "open", waits for a
//                                  line on stdin, reads with the old handle:
//                                  0 expects the data, else that -errno
//   nfs_probe URL mount ERRNO      the mount fails with -ERRNO
//   nfs_probe URL denied FILE ERRNO
//                                  looking up, opening and creating beside
//                                  FILE fail with -ERRNO
// The URL's uid and gid parameters set the caller's ids. Exit status 0 when
// every check passed; each failed check prints a line.
#include <fcntl.h>
#include <nfsc/libnfs.h>
// The raw headers build on libnfs.h.
#include <nfsc/libnfs-raw-nfs.h>
#include <nfsc/libnfs-raw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

int failures = 0;

#define CHECK_EQ(got, want, what)                                                          \
    do {                                                                                   \
        const long long g = (got), w = (want);                                             \
        if (g != w) {                                                                      \
            ++failures;                                                                    \
            printf("FAIL %s: got %lld, want %lld (%s)\n", (what), g, w, nfs_get_error(nfs)); \
        }                                                                                  \
    } while (0)

// libnfs reports some statuses only in its error text (NOTSUPP as -EINVAL).
#define CHECK_STATUS(got, status, what)                                                    \
    do {                                                                                   \
        const int g = (got);                                                               \
        if (g >= 0 || strstr(nfs_get_error(nfs), (status)) == nullptr) {                  \
            ++failures;                                                                    \
            printf("FAIL %s: got %d (%s), want %s\n", (what), g, nfs_get_error(nfs), (status)); \
        }                                                                                  \
    } while (0)

// Byte i of a pattern file.
char PatternByte(uint64_t i) { return static_cast<char>((i * 2654435761u) >> 13); }

// MiB m of a pattern file.
std::vector<char> PatternMiB(int m) {
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = PatternByte((uint64_t(m) << 20) + i);
    return chunk;
}

void Story(nfs_context* nfs) {
    CHECK_EQ(nfs_mkdir(nfs, "/d"), 0, "mkdir /d");
    CHECK_EQ(nfs_mkdir(nfs, "/d"), -EEXIST, "mkdir /d again");
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_creat(nfs, "/d/f", 0640, &fh), 0, "creat /d/f");
    if (fh != nullptr) {
        const char text[] = "hello nfs";
        CHECK_EQ(nfs_pwrite(nfs, fh, 0, sizeof(text) - 1, text), sizeof(text) - 1, "write /d/f");
        CHECK_EQ(nfs_fsync(nfs, fh), 0, "commit /d/f");
        char buffer[64] = {};
        CHECK_EQ(nfs_pread(nfs, fh, 6, sizeof(buffer), buffer), 3, "read /d/f at 6");
        CHECK_EQ(memcmp(buffer, "nfs", 3), 0, "read data");
        nfs_close(nfs, fh);
    }
    struct nfs_stat_64 st{};
    CHECK_EQ(nfs_stat64(nfs, "/d/f", &st), 0, "getattr /d/f");
    CHECK_EQ(st.nfs_size, 9, "size");
    CHECK_EQ(st.nfs_mode & 0777, 0640, "mode from create");
    CHECK_EQ(nfs_chmod(nfs, "/d/f", 0600), 0, "setattr mode");
    CHECK_EQ(nfs_truncate(nfs, "/d/f", 4), 0, "setattr size");
    CHECK_EQ(nfs_stat64(nfs, "/d/f", &st), 0, "getattr after setattr");
    CHECK_EQ(st.nfs_size, 4, "size after truncate");
    CHECK_EQ(st.nfs_mode & 0777, 0600, "mode after chmod");
    struct timeval times[2] = {{1000000, 0}, {2000000, 0}};
    CHECK_EQ(nfs_utimes(nfs, "/d/f", times), 0, "setattr times");
    CHECK_EQ(nfs_stat64(nfs, "/d/f", &st), 0, "getattr after utimes");
    CHECK_EQ(st.nfs_mtime, 2000000, "mtime");
    CHECK_EQ(nfs_access(nfs, "/d/f", R_OK | W_OK), 0, "access");

    CHECK_EQ(nfs_symlink(nfs, "f", "/d/l"), 0, "symlink");
    char target[64] = {};
    CHECK_EQ(nfs_readlink(nfs, "/d/l", target, sizeof(target)), 0, "readlink");
    CHECK_EQ(strcmp(target, "f"), 0, "link target");
    CHECK_EQ(nfs_rename(nfs, "/d/f", "/d/g"), 0, "rename");
    CHECK_EQ(nfs_stat64(nfs, "/d/f", &st), -ENOENT, "old name gone");
    CHECK_EQ(nfs_stat64(nfs, "/d/g", &st), 0, "new name there");
    CHECK_STATUS(nfs_link(nfs, "/d/g", "/d/h"), "NFS3ERR_NOTSUPP", "link");
    CHECK_STATUS(nfs_mknod(nfs, "/d/p", S_IFIFO | 0600, 0), "NFS3ERR_NOTSUPP", "mknod");

    struct statvfs vfs{};
    CHECK_EQ(nfs_statvfs(nfs, "/", &vfs), 0, "fsstat");
    CHECK_EQ(vfs.f_blocks > 0, 1, "fsstat blocks");

    // Errors.
    CHECK_EQ(nfs_stat64(nfs, "/nothing", &st), -ENOENT, "NOENT");
    CHECK_EQ(nfs_rmdir(nfs, "/d"), -ENOTEMPTY, "NOTEMPTY");
    CHECK_EQ(nfs_mkdir(nfs, ("/" + std::string(256, 'n')).c_str()), -ENAMETOOLONG, "NAMETOOLONG");
    CHECK_EQ(nfs_unlink(nfs, "/d"), -EISDIR, "unlink of a directory");

    // A directory listed over several pages: every entry exactly once.
    CHECK_EQ(nfs_mkdir(nfs, "/many"), 0, "mkdir /many");
    const int kEntries = 400;
    for (int i = 0; i < kEntries; ++i) {
        const std::string name = "/many/entry-with-a-longish-name-" + std::to_string(i);
        nfsfh* file = nullptr;
        if (nfs_creat(nfs, name.c_str(), 0644, &file) == 0) nfs_close(nfs, file);
        else CHECK_EQ(-1, 0, name.c_str());
    }
    nfsdir* dir = nullptr;
    std::map<std::string, int> seen;
    CHECK_EQ(nfs_opendir(nfs, "/many", &dir), 0, "readdirplus /many");
    if (dir != nullptr) {
        while (nfsdirent* entry = nfs_readdir(nfs, dir)) seen[entry->name]++;
        nfs_closedir(nfs, dir);
    }
    int once = 0;
    for (auto& item : seen) once += item.second == 1 && item.first.rfind("entry-", 0) == 0;
    CHECK_EQ(once, kEntries, "entries listed exactly once");

    // Clean up what can be removed.
    CHECK_EQ(nfs_unlink(nfs, "/d/l"), 0, "remove link");
    CHECK_EQ(nfs_unlink(nfs, "/d/g"), 0, "remove file");
    CHECK_EQ(nfs_rmdir(nfs, "/d"), 0, "rmdir");
}

void WriteFile(nfs_context* nfs, const char* path, int mib) {
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_creat(nfs, path, 0644, &fh), 0, "creat");
    if (fh == nullptr) return;
    for (int m = 0; m < mib; ++m) {
        const std::vector<char> chunk = PatternMiB(m);
        CHECK_EQ(nfs_pwrite(nfs, fh, uint64_t(m) << 20, chunk.size(), chunk.data()), chunk.size(), "write");
    }
    CHECK_EQ(nfs_fsync(nfs, fh), 0, "commit");
    nfs_close(nfs, fh);
    if (failures == 0) printf("committed\n");
}

// The outcome of one WRITE sent by RawWrite.
struct WriteReply {
    bool done = false;
    int rpcStatus = RPC_STATUS_ERROR;
    int nfsStatus = -1;
    int committed = -1;
    uint32_t count = 0;
};

void OnWriteReply(rpc_context*, int status, void* data, void* privateData) {
    auto* reply = static_cast<WriteReply*>(privateData);
    reply->done = true;
    reply->rpcStatus = status;
    if (status != RPC_STATUS_SUCCESS) return;
    const auto* result = static_cast<const WRITE3res*>(data);
    reply->nfsStatus = result->status;
    if (result->status != NFS3_OK) return;
    reply->committed = result->WRITE3res_u.resok.committed;
    reply->count = result->WRITE3res_u.resok.count;
}

// Sends one WRITE of the open file with the stability asked for, straight on
// the context's connection: the high-level calls do not show the reply's
// committed field. False when no reply came.
bool RawWrite(nfs_context* nfs, nfsfh* fh, uint64_t offset, std::vector<char>& data, stable_how stable,
              WriteReply& reply) {
    // libnfs keeps struct nfs_fh out of its public headers; it is a length
    // and the handle's bytes, laid out as the wire type nfs_fh3.
    const nfs_fh3& handle = *reinterpret_cast<const nfs_fh3*>(nfs_get_fh(fh));
    WRITE3args args{};
    args.file = handle;
    args.offset = offset;
    args.count = static_cast<count3>(data.size());
    args.stable = stable;
    args.data.data_len = static_cast<u_int>(data.size());
    args.data.data_val = data.data();
    rpc_context* rpc = nfs_get_rpc_context(nfs);
    if (rpc_nfs3_write_async(rpc, OnWriteReply, &args, &reply) != 0) return false;
    while (!reply.done) {
        pollfd wait{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if (poll(&wait, 1, 60 * 1000) <= 0 || rpc_service(rpc, wait.revents) < 0) return false;
    }
    return true;
}

// The first MiB through libnfs on a file opened O_SYNC (libnfs then asks for
// FILE_SYNC), the others as WRITEs of our own whose replies are checked. No
// COMMIT is sent: the file stays open until a line arrives on stdin.
void SyncWriteFile(nfs_context* nfs, const char* path, int mib) {
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_create(nfs, path, O_WRONLY | O_SYNC, 0644, &fh), 0, "create O_SYNC");
    if (fh == nullptr) return;
    std::vector<char> chunk = PatternMiB(0);
    CHECK_EQ(nfs_pwrite(nfs, fh, 0, chunk.size(), chunk.data()), chunk.size(), "O_SYNC write");
    for (int m = 1; m < mib; ++m) {
        chunk = PatternMiB(m);
        WriteReply reply;
        CHECK_EQ(RawWrite(nfs, fh, uint64_t(m) << 20, chunk, FILE_SYNC, reply), 1, "FILE_SYNC write answered");
        CHECK_EQ(reply.nfsStatus, NFS3_OK, "FILE_SYNC write status");
        CHECK_EQ(reply.committed, FILE_SYNC, "FILE_SYNC write committed");
        CHECK_EQ(reply.count, chunk.size(), "FILE_SYNC write count");
    }
    if (failures == 0) printf("written\n");
    fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    nfs_close(nfs, fh);
}

void CheckFile(nfs_context* nfs, const char* path, int mib) {
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_open(nfs, path, O_RDONLY, &fh), 0, "open");
    if (fh == nullptr) return;
    std::vector<char> chunk(1 << 20);
    for (int m = 0; m < mib && failures == 0; ++m) {
        CHECK_EQ(nfs_pread(nfs, fh, uint64_t(m) << 20, chunk.size(), chunk.data()), chunk.size(), "read");
        for (size_t i = 0; i < chunk.size() && failures == 0; ++i) {
            CHECK_EQ(chunk[i], PatternByte((uint64_t(m) << 20) + i), "data");
        }
    }
    nfs_close(nfs, fh);
}

void Hold(nfs_context* nfs, const char* path, int expected) {
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_open(nfs, path, O_RDONLY, &fh), 0, "open");
    if (fh == nullptr) return;
    printf("open\n");
    fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    char buffer[16];
    struct nfs_stat_64 st{};
    if (expected == 0) {
        CHECK_EQ(nfs_pread(nfs, fh, 0, sizeof(buffer), buffer) > 0, 1, "read with the old handle");
        CHECK_EQ(nfs_fstat64(nfs, fh, &st), 0, "getattr with the old handle");
    } else {
        CHECK_EQ(nfs_fstat64(nfs, fh, &st), -expected, "getattr with the old handle");
    }
    nfs_close(nfs, fh);
}

// A caller the share's allow-lists refuse: every operation on or beside path
// answers -expected.
void Denied(nfs_context* nfs, const char* path, int expected) {
    struct nfs_stat_64 st{};
    CHECK_EQ(nfs_stat64(nfs, path, &st), -expected, "lookup");
    nfsfh* fh = nullptr;
    CHECK_EQ(nfs_open(nfs, path, O_RDONLY, &fh), -expected, "open");
    if (fh != nullptr) nfs_close(nfs, fh);
    fh = nullptr;
    CHECK_EQ(nfs_creat(nfs, (std::string(path) + ".new").c_str(), 0644, &fh), -expected, "create");
    if (fh != nullptr) nfs_close(nfs, fh);
    CHECK_EQ(nfs_mkdir(nfs, (std::string(path) + ".dir").c_str()), -expected, "mkdir");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: nfs_probe URL story|write|syncwrite|check|hold|mount|denied [FILE] [N]\n");
        return 2;
    }
    nfs_context* nfs = nfs_init_context();
    nfs_url* url = nfs_parse_url_dir(nfs, argv[1]);
    const std::string command = argv[2];
    const char* file = argc > 3 ? argv[3] : "";
    const int number = argc > 4 ? atoi(argv[4]) : 0;
    const int mounted = url == nullptr ? -EINVAL : nfs_mount(nfs, url->server, url->path);
    if (command == "mount") {
        CHECK_EQ(mounted, -atoi(file), "mount");
    } else if (mounted != 0) {
        printf("FAIL mount: %s\n", nfs_get_error(nfs));
        ++failures;
    } else if (command == "story") {
        Story(nfs);
    } else if (command == "write") {
        WriteFile(nfs, file, number);
    } else if (command == "syncwrite") {
        SyncWriteFile(nfs, file, number);
    } else if (command == "check") {
        CheckFile(nfs, file, number);
    } else if (command == "hold") {
        Hold(nfs, file, number);
    } else if (command == "denied") {
        Denied(nfs, file, number);
    } else {
        ++failures;
    }
    nfs_destroy_url(url);
    nfs_destroy_context(nfs);
    return failures == 0 ? 0 : 1;
}
