// The POSIX rules of quayd's NFS service, seen by several callers at once
// through libnfs (one connection each, AUTH_SYS with its own uid, gid and
// supplementary groups), driven by nfs_permissions_e2e.sh:
//   nfs_permissions URL table     a tree built by root, then a table of
//                                 operations per caller with the status each
//                                 must give (share without squashing)
//   nfs_permissions URL owners none|root|all
//                                 who owns what root and an ordinary user
//                                 create under that squash setting
//   nfs_permissions URL entries   "." and "..", link counts, long names
// READ, WRITE and ACCESS go on the wire as they are (libnfs checks ACCESS
// itself before it opens a file), with handles looked up by root. Exit
// status 0 when every check passed; each failed check prints a line.
#include <fcntl.h>
#include <nfsc/libnfs.h>
// The raw headers build on libnfs.h.
#include <nfsc/libnfs-raw-nfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-zdr.h>
#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

int failures = 0;

void Expect(long long got, long long want, const std::string& what, nfs_context* nfs = nullptr) {
    if (got == want) return;
    ++failures;
    printf("FAIL %s: got %lld, want %lld%s%s\n", what.c_str(), got, want, nfs != nullptr ? " - " : "",
           nfs != nullptr ? nfs_get_error(nfs) : "");
}

constexpr uint32_t kShareRoot = 0;
constexpr uint32_t kOwnerUid = 1000;
constexpr uint32_t kOwnerGid = 100;
constexpr uint32_t kTeam = 300;  // the group of the shared folders

// One caller: its own connection with its own credentials.
class Client {
public:
    Client(const std::string& url, const char* name, uint32_t uid, uint32_t gid, std::vector<uint32_t> groups = {})
        : name_(name), uid_(uid), gid_(gid) {
        nfs_ = nfs_init_context();
        nfs_url* parsed = nfs_parse_url_dir(nfs_, url.c_str());
        nfs_set_auth(nfs_, libnfs_authunix_create("probe", uid, gid, static_cast<uint32_t>(groups.size()),
                                                  groups.empty() ? nullptr : groups.data()));
        mounted_ = parsed != nullptr && nfs_mount(nfs_, parsed->server, parsed->path) == 0;
        if (!mounted_) printf("FAIL mount as %s: %s\n", name, nfs_get_error(nfs_));
        failures += mounted_ ? 0 : 1;
        nfs_destroy_url(parsed);
    }
    ~Client() { nfs_destroy_context(nfs_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    nfs_context* nfs() const { return nfs_; }
    const char* name() const { return name_; }
    bool mounted() const { return mounted_; }

private:
    nfs_context* nfs_ = nullptr;
    const char* name_;
    uint32_t uid_;
    uint32_t gid_;
    bool mounted_ = false;
};

// The wire handle of an open file's handle bytes.
std::string HandleOf(Client& client, const std::string& path) {
    nfsfh* fh = nullptr;
    if (nfs_open(client.nfs(), path.c_str(), O_RDONLY, &fh) != 0) {
        printf("FAIL handle of %s: %s\n", path.c_str(), nfs_get_error(client.nfs()));
        ++failures;
        return std::string();
    }
    const auto& wire = *reinterpret_cast<const nfs_fh3*>(nfs_get_fh(fh));
    std::string bytes(wire.data.data_val, wire.data.data_len);
    nfs_close(client.nfs(), fh);
    return bytes;
}

nfs_fh3 Wire(std::string& handle) {
    nfs_fh3 wire{};
    wire.data.data_len = static_cast<u_int>(handle.size());
    wire.data.data_val = handle.data();
    return wire;
}

// The NFS status of one raw call and what its callback kept.
struct RawReply {
    bool done = false;
    int nfsStatus = -1;
    uint32_t access = 0;
};

void OnRawReply(rpc_context*, int status, void* data, void* privateData) {
    auto* reply = static_cast<RawReply*>(privateData);
    reply->done = true;
    if (status != RPC_STATUS_SUCCESS) return;
    // Every NFSv3 result starts with its status.
    reply->nfsStatus = *static_cast<const int*>(data);
}

void OnAccessReply(rpc_context* rpc, int status, void* data, void* privateData) {
    OnRawReply(rpc, status, data, privateData);
    const auto* result = static_cast<const ACCESS3res*>(data);
    if (status == RPC_STATUS_SUCCESS && result->status == NFS3_OK) {
        static_cast<RawReply*>(privateData)->access = result->ACCESS3res_u.resok.access;
    }
}

// Runs one raw call on the client's connection; -1 when no reply came.
RawReply Wait(Client& client, const std::function<int(rpc_context*, RawReply*)>& send) {
    RawReply reply;
    rpc_context* rpc = nfs_get_rpc_context(client.nfs());
    if (send(rpc, &reply) != 0) return reply;
    while (!reply.done) {
        pollfd wait{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if (poll(&wait, 1, 30 * 1000) <= 0 || rpc_service(rpc, wait.revents) < 0) break;
    }
    return reply;
}

int RawRead(Client& client, std::string handle) {
    READ3args args{};
    args.file = Wire(handle);
    args.count = 16;
    return Wait(client, [&](rpc_context* rpc, RawReply* reply) {
               return rpc_nfs3_read_async(rpc, OnRawReply, &args, reply);
           }).nfsStatus;
}

int RawWrite(Client& client, std::string handle) {
    char data[] = "written";
    WRITE3args args{};
    args.file = Wire(handle);
    args.count = sizeof(data) - 1;
    args.stable = FILE_SYNC;
    args.data.data_len = sizeof(data) - 1;
    args.data.data_val = data;
    return Wait(client, [&](rpc_context* rpc, RawReply* reply) {
               return rpc_nfs3_write_async(rpc, OnRawReply, &args, reply);
           }).nfsStatus;
}

uint32_t RawAccess(Client& client, std::string handle, uint32_t asked) {
    ACCESS3args args{};
    args.object = Wire(handle);
    args.access = asked;
    RawReply reply = Wait(client, [&](rpc_context* rpc, RawReply* r) {
        return rpc_nfs3_access_async(rpc, OnAccessReply, &args, r);
    });
    Expect(reply.nfsStatus, NFS3_OK, std::string("ACCESS as ") + client.name());
    return reply.access;
}

int Create(Client& client, const std::string& path, int mode) {
    nfsfh* fh = nullptr;
    // Read-only, so that libnfs's own ACCESS check before it opens the new
    // file asks for no more than any creator gets.
    const int result = nfs_create(client.nfs(), path.c_str(), O_CREAT | O_RDONLY, mode, &fh);
    if (fh != nullptr) nfs_close(client.nfs(), fh);
    return result;
}

struct nfs_stat_64 Stat(Client& client, const std::string& path) {
    struct nfs_stat_64 st{};
    Expect(nfs_lstat64(client.nfs(), path.c_str(), &st), 0, "stat " + path, client.nfs());
    return st;
}

// Root builds the tree the table works on.
void BuildTree(Client& root) {
    nfs_context* nfs = root.nfs();
    auto dir = [&](const char* path, int mode, uint32_t uid = kShareRoot, uint32_t gid = kShareRoot) {
        Expect(nfs_mkdir2(nfs, path, mode), 0, std::string("mkdir ") + path, nfs);
        Expect(nfs_chown(nfs, path, uid, gid), 0, std::string("chown ") + path, nfs);
        Expect(nfs_chmod(nfs, path, mode), 0, std::string("chmod ") + path, nfs);
    };
    auto file = [&](const char* path, int mode, uint32_t uid = kShareRoot, uint32_t gid = kShareRoot) {
        Expect(Create(root, path, 0600), 0, std::string("create ") + path, nfs);
        Expect(nfs_chown(nfs, path, uid, gid), 0, std::string("chown ") + path, nfs);
        Expect(nfs_chmod(nfs, path, mode), 0, std::string("chmod ") + path, nfs);
    };
    dir("/perm", 0777);
    file("/perm/secret", 0600);
    dir("/perm/shut", 0700);
    file("/perm/shut/inside", 0644);
    dir("/perm/ro", 0755);
    file("/perm/ro/f", 0666);
    dir("/perm/ro/sub", 0777);
    dir("/perm/sticky", 01777);
    file("/perm/sticky/owned", 0666, kOwnerUid, kOwnerGid);
    file("/perm/sticky/owned2", 0666, kOwnerUid, kOwnerGid);
    dir("/perm/team", 02777, kShareRoot, kTeam);
    dir("/perm/unreadable", 0333);
    file("/perm/nothing-for-owner", 0000, kOwnerUid, kOwnerGid);
    file("/perm/team-only", 0060, kShareRoot, kTeam);
    file("/perm/setids", 06777, kOwnerUid, kOwnerGid);
    file("/perm/owned-by-team", 0644, kOwnerUid, kTeam);
    file("/perm/ro644", 0644);
}

// One row of the table: what a caller does, and the result it must get
// (0 or -errno from libnfs; NFS3 status for the raw calls).
struct Case {
    std::string what;
    std::function<long long()> run;
    long long expected;
};

void Table(const std::string& url) {
    Client root(url, "root", 0, 0);
    Client owner(url, "owner", kOwnerUid, kOwnerGid);
    Client member(url, "member", 2000, kTeam);
    Client supplementary(url, "supplementary", 2001, 7, {8, kTeam});
    Client other(url, "other", 3000, 3000, {3001});
    if (!root.mounted() || !owner.mounted() || !member.mounted() || !supplementary.mounted() || !other.mounted()) {
        return;
    }
    BuildTree(root);
    const std::string secret = HandleOf(root, "/perm/secret");
    const std::string roFile = HandleOf(root, "/perm/ro/f");
    const std::string noneForOwner = HandleOf(root, "/perm/nothing-for-owner");
    const std::string teamOnly = HandleOf(root, "/perm/team-only");
    const std::string setIds = HandleOf(root, "/perm/setids");
    const std::string ro644 = HandleOf(root, "/perm/ro644");
    struct timeval times[2] = {{1000000, 0}, {2000000, 0}};

    const std::vector<Case> cases = {
        // LOOKUP needs search permission on the directory.
        {"other looks into a 0700 directory", [&] { struct nfs_stat_64 st{}; return nfs_lstat64(other.nfs(), "/perm/shut/inside", &st); }, -EACCES},
        {"root looks into a 0700 directory", [&] { struct nfs_stat_64 st{}; return nfs_lstat64(root.nfs(), "/perm/shut/inside", &st); }, 0},
        // READ: read bit; the owner always; root always.
        {"other reads a 0600 file", [&] { return RawRead(other, secret); }, NFS3ERR_ACCES},
        {"root reads a 0600 file", [&] { return RawRead(root, secret); }, NFS3_OK},
        {"owner reads its 0000 file", [&] { return RawRead(owner, noneForOwner); }, NFS3_OK},
        {"member reads a 0060 file of its group", [&] { return RawRead(member, teamOnly); }, NFS3_OK},
        {"supplementary member reads it", [&] { return RawRead(supplementary, teamOnly); }, NFS3_OK},
        {"other reads it", [&] { return RawRead(other, teamOnly); }, NFS3ERR_ACCES},
        {"owner of a 0000 file writes it", [&] { return RawWrite(owner, noneForOwner); }, NFS3_OK},
        // WRITE: write bit.
        {"other writes a 0666 file", [&] { return RawWrite(other, roFile); }, NFS3_OK},
        {"other writes a 0644 file", [&] { return RawWrite(other, ro644); }, NFS3ERR_ACCES},
        {"member writes a 0060 file of its group", [&] { return RawWrite(member, teamOnly); }, NFS3_OK},
        // New entries need write and search on the directory.
        {"other creates in a 0755 directory", [&] { return Create(other, "/perm/ro/new", 0644); }, -EACCES},
        {"other makes a directory there", [&] { return nfs_mkdir(other.nfs(), "/perm/ro/newdir"); }, -EACCES},
        {"other makes a link there", [&] { return nfs_symlink(other.nfs(), "f", "/perm/ro/link"); }, -EACCES},
        {"root creates there", [&] { return Create(root, "/perm/ro/by-root", 0644); }, 0},
        {"other removes from it", [&] { return nfs_unlink(other.nfs(), "/perm/ro/f"); }, -EACCES},
        {"other removes a directory from it", [&] { return nfs_rmdir(other.nfs(), "/perm/ro/sub"); }, -EACCES},
        {"other renames out of it", [&] { return nfs_rename(other.nfs(), "/perm/ro/f", "/perm/f2"); }, -EACCES},
        {"other renames its own file into it", [&] { Create(other, "/perm/others", 0644); return nfs_rename(other.nfs(), "/perm/others", "/perm/ro/x"); }, -EACCES},
        {"other lists a 0333 directory", [&] { nfsdir* d = nullptr; int r = nfs_opendir(other.nfs(), "/perm/unreadable", &d); if (d) nfs_closedir(other.nfs(), d); return r; }, -EACCES},
        // Sticky directory: only the entry's owner, the directory's owner or root.
        {"other removes another's entry of a sticky directory", [&] { return nfs_unlink(other.nfs(), "/perm/sticky/owned"); }, -EPERM},
        {"other renames another's entry there", [&] { return nfs_rename(other.nfs(), "/perm/sticky/owned", "/perm/sticky/mine"); }, -EPERM},
        {"other adds its own entry there", [&] { return Create(other, "/perm/sticky/others", 0644); }, 0},
        {"owner replaces other's entry by rename", [&] { return nfs_rename(owner.nfs(), "/perm/sticky/owned2", "/perm/sticky/others"); }, -EPERM},
        {"owner removes its own entry", [&] { return nfs_unlink(owner.nfs(), "/perm/sticky/owned2"); }, 0},
        {"root removes other's entry", [&] { return nfs_unlink(root.nfs(), "/perm/sticky/others"); }, 0},
        // SETATTR.
        {"other chmods a 0666 file", [&] { return nfs_chmod(other.nfs(), "/perm/ro/f", 0600); }, -EPERM},
        {"other sets its times", [&] { return nfs_utimes(other.nfs(), "/perm/ro/f", times); }, -EPERM},
        {"owner gives its file to root", [&] { return nfs_chown(owner.nfs(), "/perm/nothing-for-owner", 0, kOwnerGid); }, -EPERM},
        {"owner gives it to a group it is not in", [&] { return nfs_chown(owner.nfs(), "/perm/nothing-for-owner", kOwnerUid, kTeam); }, -EPERM},
        {"owner chmods it", [&] { return nfs_chmod(owner.nfs(), "/perm/nothing-for-owner", 0640); }, 0},
        {"root gives it away", [&] { return nfs_chown(root.nfs(), "/perm/nothing-for-owner", 4242, kTeam); }, 0},
        {"other truncates a 0644 file", [&] { return nfs_truncate(other.nfs(), "/perm/ro644", 0); }, -EACCES},
        // Set-uid and set-gid go when someone but root changes the data.
        {"other writes a 06777 file", [&] { return RawWrite(other, setIds); }, NFS3_OK},
        {"its mode after", [&] { return Stat(root, "/perm/setids").nfs_mode & 07777; }, 0777},
        {"owner outside the group sets g+s", [&] { return nfs_chmod(owner.nfs(), "/perm/owned-by-team", 02755); }, 0},
        {"its mode after", [&] { return Stat(root, "/perm/owned-by-team").nfs_mode & 07777; }, 0755},
        // A set-gid directory hands down its group, and its flag to directories.
        {"member creates in a set-gid directory", [&] { return Create(member, "/perm/team/file", 0644); }, 0},
        {"the file's group", [&] { return Stat(root, "/perm/team/file").nfs_gid; }, kTeam},
        {"member makes a directory there", [&] { return nfs_mkdir2(member.nfs(), "/perm/team/dir", 0755); }, 0},
        {"the directory's group", [&] { return Stat(root, "/perm/team/dir").nfs_gid; }, kTeam},
        {"the directory's mode", [&] { return Stat(root, "/perm/team/dir").nfs_mode & 07777; }, 02755},
        {"other creates a g+s file there", [&] { return Create(other, "/perm/team/theirs", 02755); }, 0},
        {"its mode (not in the group)", [&] { return Stat(root, "/perm/team/theirs").nfs_mode & 07777; }, 0755},
        {"its owner", [&] { return Stat(root, "/perm/team/theirs").nfs_uid; }, 3000},
        // ACCESS answers from the mode alone.
        {"ACCESS of other on a 0600 file", [&] { return RawAccess(other, secret, ACCESS3_READ | ACCESS3_MODIFY); }, 0},
        {"ACCESS of root on it", [&] { return RawAccess(root, secret, 0x3f); }, ACCESS3_READ | ACCESS3_MODIFY | ACCESS3_EXTEND},
        {"ACCESS of the owner on its 0666 file", [&] { return RawAccess(owner, HandleOf(root, "/perm/sticky/owned"), 0x3f); }, ACCESS3_READ | ACCESS3_MODIFY | ACCESS3_EXTEND},
    };
    for (const Case& c : cases) Expect(c.run(), c.expected, c.what);
    // Owner convenience does not reach ACCESS: a 0444 file of its own.
    Expect(Create(owner, "/perm/readonly-mine", 0444), 0, "owner creates a 0444 file");
    const std::string mine = HandleOf(root, "/perm/readonly-mine");
    Expect(RawAccess(owner, mine, ACCESS3_READ | ACCESS3_MODIFY), ACCESS3_READ, "ACCESS of the owner on its 0444 file");
    Expect(RawWrite(owner, mine), NFS3_OK, "the owner writes its 0444 file");
}

// Owners of what root and an ordinary user create, under the share's squash.
void Owners(const std::string& url, const std::string& squash) {
    Client root(url, "root", 0, 0);
    Client user(url, "user", 1234, 5678, {5679});
    if (!root.mounted() || !user.mounted()) return;
    const uint32_t anon = 65534;
    const bool rootSquashed = squash != "none";
    const bool allSquashed = squash == "all";
    const std::string dir = "/owners-" + squash;
    Expect(nfs_mkdir2(root.nfs(), dir.c_str(), 0777), 0, "mkdir " + dir, root.nfs());
    Expect(nfs_chmod(root.nfs(), dir.c_str(), 0777), 0, "chmod " + dir, root.nfs());
    for (Client* who : {&root, &user}) {
        const std::string prefix = dir + "/" + who->name();
        Expect(Create(*who, prefix + "-file", 0644), 0, "create as " + std::string(who->name()), who->nfs());
        Expect(nfs_mkdir(who->nfs(), (prefix + "-dir").c_str()), 0, "mkdir", who->nfs());
        Expect(nfs_symlink(who->nfs(), "target", (prefix + "-link").c_str()), 0, "symlink", who->nfs());
        const bool squashed = who == &root ? rootSquashed : allSquashed;
        const uint32_t uid = squashed ? anon : who == &root ? 0 : 1234;
        const uint32_t gid = squashed ? anon : who == &root ? 0 : 5678;
        for (const char* kind : {"-file", "-dir", "-link"}) {
            const struct nfs_stat_64 st = Stat(root, prefix + kind);
            Expect(st.nfs_uid, uid, "owner of " + prefix + kind);
            Expect(st.nfs_gid, gid, "group of " + prefix + kind);
        }
    }
}

// "." and ".." in listings, link counts of directories, long names (link
// targets longer than libnfs sends are the script's).
void Entries(const std::string& url) {
    Client root(url, "root", 0, 0);
    if (!root.mounted()) return;
    nfs_context* nfs = root.nfs();
    Expect(nfs_mkdir(nfs, "/entries"), 0, "mkdir /entries", nfs);
    for (const char* sub : {"/entries/a", "/entries/b", "/entries/c"}) Expect(nfs_mkdir(nfs, sub), 0, sub, nfs);
    Expect(Create(root, "/entries/file", 0644), 0, "create /entries/file", nfs);
    Expect(Stat(root, "/entries").nfs_nlink, 5, "links of a directory with 3 subdirectories");
    Expect(Stat(root, "/entries/a").nfs_nlink, 2, "links of an empty directory");
    Expect(nfs_rmdir(nfs, "/entries/c"), 0, "rmdir /entries/c", nfs);
    Expect(Stat(root, "/entries").nfs_nlink, 4, "links after rmdir");

    nfsdir* dir = nullptr;
    std::map<std::string, int> seen;
    Expect(nfs_opendir(nfs, "/entries", &dir), 0, "readdirplus /entries", nfs);
    if (dir != nullptr) {
        while (nfsdirent* entry = nfs_readdir(nfs, dir)) seen[entry->name]++;
        nfs_closedir(nfs, dir);
    }
    const std::map<std::string, int> expected{{".", 1}, {"..", 1}, {"a", 1}, {"b", 1}, {"file", 1}};
    Expect(seen == expected, 1, "the listing is . .. a b file, each once");

    const std::string longest(255, 'n');
    Expect(Create(root, "/entries/" + longest, 0644), 0, "create with a 255-byte name", nfs);
    Expect(Create(root, "/entries/" + longest + "x", 0644), -ENAMETOOLONG, "create with a 256-byte name", nfs);
    Expect(nfs_mkdir(nfs, ("/entries/" + std::string(1500, 'm')).c_str()), -ENAMETOOLONG, "mkdir, 1,500 bytes", nfs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: nfs_permissions URL table|owners none|root|all|entries\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string command = argv[2];
    if (command == "table") {
        Table(url);
    } else if (command == "owners" && argc > 3) {
        Owners(url, argv[3]);
    } else if (command == "entries") {
        Entries(url);
    } else {
        fprintf(stderr, "unknown command %s\n", command.c_str());
        return 2;
    }
    printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
